#include "platform/IniFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "tests/support/TempDir.h"

namespace platform {
namespace {

TEST(IniFile, ProfileStringRules) {
  const std::string text =
      "\xEF\xBB\xBF"
      "orphan=before any section\n"
      "[ Servers ]\r\n"
      "  SubmitUrl  =  http://a/x  \r\n"
      "submiturl=second of the same name\n"
      "; SubmitUrl1=commented out\n"
      "Quoted=\"  kept blanks  \"\n"
      "Single='x'\n"
      "Unbalanced=\"x\n"
      "OneQuote=\"\n"
      "Empty=\n"
      "no equals sign\n"
      "Equals=a=b\n"
      "[Broken\n"
      "AfterBroken=still in Servers\n"
      "[servers]\n"
      "Later=a second section of that name is never read\n"
      "[Other]\r"
      "Key=other";
  IniFile ini;
  ini.Parse(text.data(), text.size());
  struct Case {
    const char* section;
    const char* key;
    const char* value;
  } cases[] = {
      {"Servers", "SubmitUrl", "http://a/x"},
      {"SERVERS", "SUBMITURL", "http://a/x"},
      {"Servers", "SubmitUrl1", "fallback"},
      {"Servers", "Quoted", "  kept blanks  "},
      {"Servers", "Single", "x"},
      {"Servers", "Unbalanced", "\"x"},
      {"Servers", "OneQuote", "\""},
      {"Servers", "Empty", ""},
      {"Servers", "no equals sign", "fallback"},
      {"Servers", "Equals", "a=b"},
      {"Servers", "AfterBroken", "still in Servers"},
      {"Servers", "Later", "fallback"},
      {"Other", "Key", "other"},
      {"", "orphan", "fallback"},
      {"Missing", "Key", "fallback"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ini.GetString(c.section, c.key, "fallback"), c.value) << c.section << " / " << c.key;
  }
}

TEST(IniFile, LoadReadsAFileAndRefusesWhatItCannotRead) {
  bw::test::TempDir dir;
  std::ofstream(dir.Path("a.ini")) << "[S]\nK=v\n";
  IniFile ini;
  ASSERT_TRUE(ini.Load(dir.Path("a.ini")));
  EXPECT_EQ(ini.GetString("S", "K"), "v");

  EXPECT_FALSE(ini.Load(dir.Path("missing.ini")));
  EXPECT_EQ(ini.GetString("S", "K", "gone"), "gone") << "a failed load leaves nothing of the former file";
  EXPECT_FALSE(ini.Load(dir.Path()));
  std::ofstream(dir.Path("huge.ini")) << "[S]\nK=" << std::string(IniFile::kMaxFileBytes, 'x') << "\n";
  EXPECT_FALSE(ini.Load(dir.Path("huge.ini")));
}

// What is set reads back the same after the text is parsed again, the rest of the file with it.
TEST(IniFile, SetValuesSurviveTheText) {
  const std::string text = "[Task]\nSavePath=/old\nKept=1\n[Other]\nKey=x\n";
  IniFile ini;
  ini.Parse(text.data(), text.size());
  EXPECT_TRUE(ini.SetString("TASK", "savepath", "/new"));
  EXPECT_TRUE(ini.SetString("Task", "Spaced", "  both ends  "));
  EXPECT_TRUE(ini.SetString("Task", "Quoted", "'single'"));
  EXPECT_TRUE(ini.SetString("Finish", "Added", "7"));
  EXPECT_FALSE(ini.SetString("Task", "Broken", "a\r\nInjected=1"));
  IniFile again;
  const std::string written = ini.Text();
  again.Parse(written.data(), written.size());
  EXPECT_EQ(again.GetString("Task", "SavePath"), "/new");
  EXPECT_EQ(again.GetString("Task", "Kept"), "1");
  EXPECT_EQ(again.GetString("Task", "Spaced"), "  both ends  ");
  EXPECT_EQ(again.GetString("Task", "Quoted"), "'single'");
  EXPECT_EQ(again.GetString("Other", "Key"), "x");
  EXPECT_EQ(again.GetString("Finish", "Added"), "7");
  EXPECT_EQ(again.GetString("Task", "Injected", "none"), "none");
  EXPECT_EQ(again.GetString("Task", "Broken", "none"), "none");
}

}  // namespace
}  // namespace platform
