#include <gtest/gtest.h>

#include "app/ListenPortMapping.h"
#include "tests/app/FakeEngine.h"

namespace bw::app {
namespace {

using Kind = PortForwardEventKind;

// What the controller reports once the worker's events have come in.
TEST(ListenPortMapping, ReportsTheOutcomeOfSearchAndMapping) {
  struct Case {
    bool gatewayFound;
    bool mapped;
    const char* code;
    const char* text;
  } cases[] = {
      {true, true, "11390000", ""},
      {true, false, "11500105", "IGD设备已找到，但是uPnP依然失败"},
      {false, false, "11500105", "uPnP失败，因为没有IGD设备信息"},
  };
  for (const Case& c : cases) {
    test::FakeEngine engine;
    ListenPortMapping mapping(engine);
    const PortForwardEvent events[] = {
        {Kind::kSearchProgress, 0, false, ""},  {Kind::kSearchProgress, 5, false, ""},
        {Kind::kSearchProgress, 6, false, ""},  {Kind::kSearchFinished, 0, c.gatewayFound, "Gateway"},
        {Kind::kMappingProgress, 0, false, ""}, {Kind::kMappingFinished, 0, c.mapped, ""},
    };
    for (const PortForwardEvent& event : events) mapping.OnPortForwardNotify(event);
    ASSERT_EQ(engine.reports.size(), 1u) << c.gatewayFound << c.mapped;
    EXPECT_EQ(engine.reports[0].code, c.code);
    EXPECT_EQ(engine.reports[0].text, c.text);
  }
}

}  // namespace
}  // namespace bw::app
