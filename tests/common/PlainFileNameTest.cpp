#include "engine/common/PlainFileName.h"

#include <gtest/gtest.h>

namespace bw {
namespace {

// A name from a server or an address never leads out of the save folder.
TEST(PlainFileNameTest, KeepsOnlyAPlainLastElement) {
  struct Case {
    const char* given;
    const char* expected;
  };
  const Case cases[] = {
      {"setup.exe", "setup.exe"},
      {"../../etc/passwd", "passwd"},
      {"..\\..\\boot.ini", "boot.ini"},
      {"/abs/path/x.cab", "x.cab"},
      {"dir/", ""},
      {"..", ""},
      {".", ""},
      {"  spaced name.bin \t", "spaced name.bin"},
      {"a\x01" "b\x7f" "c", "abc"},
      {"", ""},
  };
  for (const Case& c : cases) EXPECT_EQ(PlainFileName(c.given), c.expected) << c.given;
}

}  // namespace
}  // namespace bw
