#include "engine/task/TTaskSettings.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/task/EngineIdentity.h"
#include "platform/Uuid.h"

namespace bw {
namespace {

struct LimitCase {
  int32_t TTaskSettings::*field;
  int32_t value;
  int32_t expected;
};

TEST(TTaskSettings, NormaliseBringsEveryLimitBackIntoRange) {
  const LimitCase cases[] = {
      {&TTaskSettings::maxConnections, 0, 52},         {&TTaskSettings::maxConnections, 20480, 20480},
      {&TTaskSettings::maxConnections, 20481, 52},     {&TTaskSettings::maxConnections, 1, 1},
      {&TTaskSettings::minUrlConnections, 21, 1},      {&TTaskSettings::minUrlConnections, 20, 20},
      {&TTaskSettings::minUrlConnections, -5, 1},      {&TTaskSettings::setting2, 8001, 64},
      {&TTaskSettings::setting2, 0, 64},               {&TTaskSettings::setting2, 8000, 8000},
      {&TTaskSettings::seedHours, -1, 12},             {&TTaskSettings::seedHours, 0, 0},
      {&TTaskSettings::seedHours, 20481, 12},          {&TTaskSettings::downloadLimitKiB, 32767, 0},
      {&TTaskSettings::downloadLimitKiB, 32766, 32766}, {&TTaskSettings::downloadLimitKiB, -1, 0},
      {&TTaskSettings::uploadLimitKiB, 32767, 0},      {&TTaskSettings::uploadLimitKiB, 500, 500},
      {&TTaskSettings::setting8, 40000, 0},            {&TTaskSettings::setting8, 7, 7},
      {&TTaskSettings::setting3, -9, -9},              {&TTaskSettings::setting10, 0, 0},
  };
  for (const LimitCase& c : cases) {
    TTaskSettings settings;
    settings.*c.field = c.value;
    settings.Normalise();
    EXPECT_EQ(settings.*c.field, c.expected) << "value " << c.value;
  }
}

TEST(TTaskSettings, DefaultsSurviveNormalisation) {
  TTaskSettings settings;
  settings.Normalise();
  EXPECT_EQ(settings.maxConnections, 52);
  EXPECT_EQ(settings.minUrlConnections, 1);
  EXPECT_EQ(settings.setting2, 64);
  EXPECT_EQ(settings.seedHours, 12);
  EXPECT_EQ(settings.downloadLimitKiB, 0);
  EXPECT_EQ(settings.setting10, 32);
  EXPECT_EQ(settings.metadataTimeout, 45);
  EXPECT_FALSE(settings.QuickStart());
}

TEST(EngineIdentity, RandomVersion4AndNeverALeadingZero) {
  uint8_t a[16], b[16];
  ASSERT_TRUE(platform::NewUuid(a));
  ASSERT_TRUE(platform::NewUuid(b));
  EXPECT_NE(std::memcmp(a, b, 16), 0);
  EXPECT_EQ(a[6] >> 4, 4);
  EXPECT_EQ(a[8] & 0xC0, 0x80);
  const uint8_t* id = EngineIdentifier();
  EXPECT_NE(id[0], 0);
  EXPECT_EQ(id, EngineIdentifier());
}

}  // namespace
}  // namespace bw
