#include "reporting/RecordBody.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/StatisticsCollector.h"

namespace bw {
namespace {

const UploadIdentity kIdentity{"991002085", "1.0.0.1", "v1.0.0.29", "1"};

// The body completes an object once its leading comma becomes an opening brace.
Json::Value AsObject(const std::string& body) {
  EXPECT_EQ(body.front(), ',');
  std::string object = "{";
  object.append(body, 1);
  return test::StatisticsCollector::Parse(object + "}");
}

TEST(ReportDeltas, GrowthSincePreviousReport) {
  struct Step {
    uint64_t total;
    uint64_t delta;
  } steps[] = {
      {1000, 1000},  // against the 0 of process start
      {1500, 500},
      {1200, 0},     // below the previous value: no growth, and 1200 becomes previous
      {0, 0},        // says nothing and leaves 1200 alone
      {1300, 100},
  };
  ReportDeltas deltas;
  for (const Step& step : steps) {
    const ReportDeltas::Totals d = deltas.Advance({static_cast<uint32_t>(step.total), step.total, step.total, step.total});
    EXPECT_EQ(d.seconds, step.delta) << step.total;
    EXPECT_EQ(d.bytes, step.delta) << step.total;
    EXPECT_EQ(d.httpBytes, step.delta) << step.total;
    EXPECT_EQ(d.p2pBytes, step.delta) << step.total;
  }
}

TEST(ReportDeltas, EachTotalKeepsItsOwnPreviousValue) {
  ReportDeltas deltas;
  deltas.Advance({10, 100, 0, 7});
  const ReportDeltas::Totals d = deltas.Advance({15, 0, 40, 7});
  EXPECT_EQ(d.seconds, 5u);
  EXPECT_EQ(d.bytes, 0u);
  EXPECT_EQ(d.httpBytes, 40u);
  EXPECT_EQ(d.p2pBytes, 0u);
  EXPECT_EQ(deltas.Advance({0, 150, 0, 0}).bytes, 50u) << "a report with bytes 0 left the previous 100";
}

TEST(RecordBody, AnEventHasZeroFiguresAndEmptyTexts) {
  const std::string body = FormatRecordBody(kIdentity, ReportFigures{}, ReportDeltas::Totals{});
  EXPECT_EQ(body,
            ",\"DVersion\":\"1.8\",\"GameID\":\"991002085\",\"AppVersion\":\"1.0.0.1\",\"GVersion\":\"v1.0.0.29\","
            "\"Dchannel\":\"1\",\"Serverip\":\"\",\"Httpresult\":\"\",\"Totaltime\":\"0\",\"Intime\":\"0\","
            "\"Totalbytes\":\"0\",\"Intotalbytes\":\"0\",\"Averagespeed\":\"0\",\"Progress\":\"\","
            "\"Httptotalbytes\":\"0\",\"Inhttptotalbytes\":\"0\",\"Httpaveragespeed\":\"0\",\"P2ptotalbytes\":\"0\","
            "\"Inp2ptotalbytes\":\"0\",\"P2paveragespeed\":\"0\",\"Corruptpakid\":\"0\",\"Filename\":\"\",\"Url\":\"\","
            "\"Errormsg\":\"\"");
}

TEST(RecordBody, FiguresGoIntoTheirMembers) {
  ReportFigures figures;
  figures.serverIp = "1.2.3.4";
  figures.httpResult = "200";
  figures.totals = {4294967295u, 18446744073709551615ull, 3000, 4000};
  figures.averageRate = 5;
  figures.progress = "45.67%";
  figures.httpRate = 6;
  figures.p2pRate = 7;
  figures.corruptId = 8;
  figures.fileName = "client.cab";
  figures.url = "http://host/client.cab";
  figures.errorMessage = "修复次数：2";
  const Json::Value record = AsObject(FormatRecordBody(kIdentity, figures, {9, 10, 11, 12}));
  const std::vector<std::pair<const char*, const char*>> expected = {
      {"Serverip", "1.2.3.4"},           {"Httpresult", "200"},        {"Totaltime", "4294967295"},
      {"Intime", "9"},                   {"Totalbytes", "18446744073709551615"}, {"Intotalbytes", "10"},
      {"Averagespeed", "5"},             {"Progress", "45.67%"},       {"Httptotalbytes", "3000"},
      {"Inhttptotalbytes", "11"},        {"Httpaveragespeed", "6"},    {"P2ptotalbytes", "4000"},
      {"Inp2ptotalbytes", "12"},         {"P2paveragespeed", "7"},     {"Corruptpakid", "8"},
      {"Filename", "client.cab"},        {"Url", "http://host/client.cab"}, {"Errormsg", "修复次数：2"},
  };
  EXPECT_EQ(record.size(), 23u);
  for (const auto& [name, value] : expected) EXPECT_EQ(record[name].asString(), value) << name;
}

// Caller texts are escaped, so the record stays JSON whatever they hold.
TEST(RecordBody, CallerTextsAreEscaped) {
  const struct {
    std::string text;
    std::string parsed;  // what a JSON reader gets back
  } cases[] = {
      {R"(C:\games\"quoted" name.cab)", R"(C:\games\"quoted" name.cab)"},
      {"a\\\"b\\", "a\\\"b\\"},
      {"line\nbreak\ttab\x01\x1f", "line\nbreak\ttab\x01\x1f"},
      {"中文名.exe", "中文名.exe"},
      {"\xB2\xE2\xCA\xD4 gbk", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD gbk"},  // not UTF-8: U+FFFD each
      {"cut \xE4\xB8", "cut \xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xED\xA0\x80 surrogate", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD surrogate"},
  };
  for (const auto& c : cases) {
    ReportFigures figures;
    figures.fileName = c.text;
    figures.url = c.text;
    figures.errorMessage = c.text;
    const Json::Value record = AsObject(FormatRecordBody(kIdentity, figures, {}));
    for (const char* member : {"Filename", "Url", "Errormsg"}) EXPECT_EQ(record[member].asString(), c.parsed) << member;
  }
}

}  // namespace
}  // namespace bw
