#pragma once

namespace bw {

// The reporting identifier that message boxes show under their text ("" for none). While it is
// empty, a message box asks the statistics upload for its own and keeps that.
void SetReportingIdentifier(const char* identifier);

}  // namespace bw
