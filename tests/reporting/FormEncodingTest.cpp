#include "reporting/FormEncoding.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

TEST(FormEncoding, LettersAndDigitsStayABlankIsAnUnderscoreTheRestIsHex) {
  const struct {
    std::string text;
    const char* body;
  } cases[] = {
      {"a b/c", "data=a_b%2Fc"},
      {"AZaz09", "data=AZaz09"},
      {"_-.~%+&=", "data=%5F%2D%2E%7E%25%2B%26%3D"},
      {"{\"code\":1}", "data=%7B%22code%22%3A1%7D"},
      {"中", "data=%E4%B8%AD"},
      {std::string("\0\n", 2), "data=%00%0A"},
      {"", "data="},
  };
  for (const auto& c : cases) EXPECT_EQ(EncodeSubmission(c.text), c.body) << c.text;
}

}  // namespace
}  // namespace bw
