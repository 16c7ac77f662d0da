#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "reporting/ReportDeltas.h"

namespace bw {

// Who reports: fixed when the upload starts.
struct UploadIdentity {
  std::string gameId;
  std::string appVersion;
  std::string gameVersion;
  std::string channel;
};

// One report as the caller made it.
struct ReportFigures {
  std::string_view serverIp;
  std::string_view httpResult;
  ReportDeltas::Totals totals;
  uint64_t averageRate = 0;
  std::string_view progress;
  uint64_t httpRate = 0;
  uint64_t p2pRate = 0;
  uint32_t corruptId = 0;
  std::string_view fileName;
  std::string_view url;
  std::string_view errorMessage;
};

// The record's members as the continuation of a JSON object: a comma, then the 23 members from
// "DVersion" to "Errormsg", every value a string, no braces.
std::string FormatRecordBody(const UploadIdentity& identity, const ReportFigures& figures,
                             const ReportDeltas::Totals& deltas);

}  // namespace bw
