#include "reporting/RecordBody.h"

#include <initializer_list>
#include <utility>

#include "reporting/JsonEscape.h"

namespace bw {

std::string FormatRecordBody(const UploadIdentity& identity, const ReportFigures& figures,
                             const ReportDeltas::Totals& deltas) {
  const ReportDeltas::Totals& totals = figures.totals;
  const std::string numbers[] = {
      std::to_string(totals.seconds),   std::to_string(deltas.seconds),   std::to_string(totals.bytes),
      std::to_string(deltas.bytes),     std::to_string(figures.averageRate), std::to_string(totals.httpBytes),
      std::to_string(deltas.httpBytes), std::to_string(figures.httpRate), std::to_string(totals.p2pBytes),
      std::to_string(deltas.p2pBytes),  std::to_string(figures.p2pRate),  std::to_string(figures.corruptId),
  };
  const std::initializer_list<std::pair<const char*, std::string_view>> members = {
      {"DVersion", "1.8"},
      {"GameID", identity.gameId},
      {"AppVersion", identity.appVersion},
      {"GVersion", identity.gameVersion},
      {"Dchannel", identity.channel},
      {"Serverip", figures.serverIp},
      {"Httpresult", figures.httpResult},
      {"Totaltime", numbers[0]},
      {"Intime", numbers[1]},
      {"Totalbytes", numbers[2]},
      {"Intotalbytes", numbers[3]},
      {"Averagespeed", numbers[4]},
      {"Progress", figures.progress},
      {"Httptotalbytes", numbers[5]},
      {"Inhttptotalbytes", numbers[6]},
      {"Httpaveragespeed", numbers[7]},
      {"P2ptotalbytes", numbers[8]},
      {"Inp2ptotalbytes", numbers[9]},
      {"P2paveragespeed", numbers[10]},
      {"Corruptpakid", numbers[11]},
      {"Filename", figures.fileName},
      {"Url", figures.url},
      {"Errormsg", figures.errorMessage},
  };
  std::string body;
  for (const auto& [name, value] : members) {
    body += ",\"";
    body += name;
    body += "\":\"";
    AppendJsonEscaped(body, value);
    body += '"';
  }
  return body;
}

}  // namespace bw
