#include "engine/storage/CodePageText.h"

#include <gtest/gtest.h>

#include "engine/storage/QElement.h"

namespace bw {
namespace {

TEST(CodePageText, TorrentTextsConvertFromTheirEncoding) {
  // "name" is 你好 in GBK; the reader maps the "encoding" to its code page.
  const std::string torrent = "d8:encoding3:GBK4:name4:\xC4\xE3\xBA\xC3" "5:plain5:a b.ce";
  std::unique_ptr<QElement> root =
      ParseElement(torrent.data(), static_cast<int64_t>(torrent.size()));
  ASSERT_TRUE(root);
  EXPECT_EQ(root->FindValue("name")->GetText(), "\xC4\xE3\xBA\xC3");  // no code page yet
  root->SetCodePage(936);
  EXPECT_EQ(root->FindValue("name")->GetText(), "你好");
  EXPECT_EQ(root->FindValue("plain")->GetText(), "a b.c");
  std::string joined;
  root->GetString(joined, "|");
  EXPECT_EQ(joined, "encoding|GBK|name|你好|plain|a b.c");
}

TEST(CodePageText, ConvertsBothWays) {
  struct Case {
    int32_t codePage;
    const char* local;
    const char* text;
  };
  const Case cases[] = {
      {936, "\xD6\xD0\xCE\xC4", "中文"},
      {950, "\xA4\xA4", "中"},
      {949, "\xC7\xD1", "한"},
      {932, "\x93\xFA", "日"},
      {12345, "plain ASCII", "plain ASCII"},  // printable ASCII is never converted
      {0, "\xC4\xE3", "\xC4\xE3"},            // no code page: bytes as they are
  };
  for (const Case& c : cases) {
    EXPECT_EQ(TextFromCodePage(c.local, c.codePage), c.text) << c.codePage;
    EXPECT_EQ(TextToCodePage(c.text, c.codePage), c.local) << c.codePage;
  }
}

TEST(CodePageText, FailedConversionGivesAnEmptyText) {
  EXPECT_EQ(TextFromCodePage("ok\xC4", 936), "");      // truncated double-byte character
  EXPECT_EQ(TextFromCodePage("\xC4\xE3", 12345), "");  // unknown code page
  EXPECT_EQ(TextFromCodePage("\xC4\xE3", -5), "");
  EXPECT_EQ(TextToCodePage("\xFF\xFE", 936), "");       // not UTF-8
  EXPECT_EQ(TextToCodePage("emoji \xF0\x9F\x98\x80", 936), "");  // no GBK form
  EXPECT_EQ(TextFromCodePage("", 936), "");
}

TEST(CodePageText, ControlBytesAreNotPlainText) {
  EXPECT_EQ(TextFromCodePage("a\tb", 936), "a\tb");  // converted, and GBK keeps ASCII
  EXPECT_EQ(TextFromCodePage(std::string(300, '\xB0') + "\xA1", 936).size(), 0u);
  std::string many;
  for (int i = 0; i < 5000; ++i) many += "\xC4\xE3";
  EXPECT_EQ(TextFromCodePage(many, 936).size(), 5000u * 3);  // output grows past its first guess
}

}  // namespace
}  // namespace bw
