#pragma once

namespace bw {

// The reporting identifier that message boxes show under their text ("" for none). Set by the
// statistics upload once it knows it.
void SetReportingIdentifier(const char* identifier);

}  // namespace bw
