#include "reporting/EventDocument.h"

#include <gtest/gtest.h>

#include "tests/support/StatisticsCollector.h"

namespace bw {
namespace {

TEST(EventDocument, CompactWriterSortsMembersAndKeepsUtf8) {
  Json::Value value(Json::objectValue);
  value["b"] = "中 \"q\"";
  value["a"] = Json::UInt64(18446744073709551615ull);
  value["c"] = Json::Value(Json::arrayValue);
  value["c"].append(Json::Value());
  EXPECT_EQ(CompactJson(value), "{\"a\":18446744073709551615,\"b\":\"中 \\\"q\\\"\",\"c\":[null]}");
}

TEST(EventDocument, InfoIsOneObjectOfTheDocumentsAndTheRecordsMembers) {
  Json::Value document(Json::objectValue);
  document["MachId"] = "0123456789ABCDEF";
  document["CPU"]["CPU_Name"] = "x";
  const std::string info = EventInfo(document, ",\"DVersion\":\"1.8\",\"Filename\":\"a\\\"b\"");
  EXPECT_EQ(info, "{\"CPU\":{\"CPU_Name\":\"x\"},\"MachId\":\"0123456789ABCDEF\",\"DVersion\":\"1.8\",\"Filename\":\"a\\\"b\"}");
  const Json::Value parsed = test::StatisticsCollector::Parse(info);
  EXPECT_EQ(parsed["Filename"].asString(), "a\"b");
  EXPECT_EQ(parsed["CPU"]["CPU_Name"].asString(), "x");
}

}  // namespace
}  // namespace bw
