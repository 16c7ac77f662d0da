#include "engine/storage/QIntegerElement.h"

#include <gtest/gtest.h>

#include <string>

namespace bw {
namespace {

TEST(QIntegerElement, CreatesOnlyWritableStrings) {
  struct Case {
    const char* bytes;
    int64_t length;
    int64_t integer;
    bool hasInteger;
    const char* written;  // none: refused
  };
  const Case cases[] = {
      {"Low", -1, 0, false, "3:Low"},  // a zero without the flag is not written
      {"Low", 3, 0, true, "3:Lowi0e"},
      {"Size", -1, -1, false, "4:Sizei-1e"},
      {"x", 1, INT64_MIN, false, "1:xi-9223372036854775808e"},
      {"abcdef", 2, 0, false, "2:ab"},
      {"", 0, 0, false, "0:"},
      {"", -1, 0, false, "0:"},
      {"", 0, 5, false, nullptr},  // an empty string cannot carry an integer
      {"", 0, 0, true, nullptr},
      {nullptr, 3, 0, false, nullptr},
      {"x", QIntegerElement::kMaxLength + 1, 0, false, nullptr},  // refused before any read
  };
  for (const Case& c : cases) {
    QIntegerElement element;
    const bool created = element.Create(c.bytes, c.length, c.integer, c.hasInteger);
    EXPECT_EQ(created, c.written != nullptr) << c.bytes;
    EXPECT_EQ(element.IsValid(), created);
    if (!created) continue;
    std::string out;
    ASSERT_TRUE(element.Serialise(out));
    EXPECT_EQ(out, c.written);
    EXPECT_EQ(element.EncodedLength(), static_cast<int64_t>(out.size())) << c.written;
    EXPECT_EQ(element.Source(), nullptr);
  }
}

TEST(QIntegerElement, ParsedStringKeepsBytesIntegerAndSource) {
  const std::string text("5:a\0b\0ci-77etail", 16);
  QIntegerElement element;
  EXPECT_EQ(element.Parse(text.data(), static_cast<int64_t>(text.size())), 12);
  EXPECT_EQ(element.Length(), 5);
  EXPECT_EQ(element.ByteView(), std::string_view("a\0b\0c", 5));
  EXPECT_EQ(element.Bytes()[5], '\0');
  EXPECT_TRUE(element.HasAnInteger());
  EXPECT_EQ(element.Value(), -77);
  EXPECT_EQ(element.Source(), text.data());
  std::string raw;
  element.GetString(raw, ",");
  EXPECT_EQ(raw, std::string_view("a\0b\0c", 5));

  // A failed parse leaves nothing behind.
  EXPECT_EQ(element.Parse("3:abcixe", 8), -1);
  EXPECT_FALSE(element.IsValid());
  EXPECT_FALSE(element.HasAnInteger());
  EXPECT_EQ(element.Length(), -1);
}

TEST(QIntegerElement, LengthAndIntegerLimits) {
  QIntegerElement element;
  // Leading zeros cost nothing, however many.
  const std::string zeros = std::string(40, '0') + "2:ok";
  EXPECT_EQ(element.Parse(zeros.data(), static_cast<int64_t>(zeros.size())), 44);
  EXPECT_EQ(element.ByteView(), "ok");
  const std::string small = "1:xi-" + std::string(40, '0') + "9e";
  EXPECT_GT(element.Parse(small.data(), static_cast<int64_t>(small.size())), 0);
  EXPECT_EQ(element.Value(), -9);
  EXPECT_EQ(element.Parse("1:xi18446744073709551616e", 25), -1);
  EXPECT_EQ(element.Parse("1:xi18446744073709551615e", 25), -1);
}

}  // namespace
}  // namespace bw
