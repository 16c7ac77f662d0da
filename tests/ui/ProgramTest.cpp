// The program's command line, read before anything needs a display.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <tuple>

#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace {

using bw::test::ChildProcess;
using bw::test::TempDir;

TEST(Program, HelpAndUsageErrorsNeedNoDisplay) {
  TempDir dir;
  const std::string platform = std::getenv("QT_QPA_PLATFORM") ? std::getenv("QT_QPA_PLATFORM") : "";
  const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
  ::setenv("QT_QPA_PLATFORM", "xcb", 1);
  ::unsetenv("DISPLAY");
  const std::tuple<const char*, int, const char*> cases[] = {
      {"--help", 0, "usage: brightwillow"},
      {"--listen-port=1", 1, "Try 'brightwillow --help'"},
  };
  for (const auto& [argument, status, says] : cases) {
    ChildProcess program({BW_BRIGHTWILLOW, argument}, dir.Path("log"));
    EXPECT_EQ(program.Wait(10000), status) << argument << ": " << TempDir::Read(dir.Path("log"));
    EXPECT_NE(TempDir::Read(dir.Path("log")).find(says), std::string::npos)
        << argument << ": " << TempDir::Read(dir.Path("log"));
  }
  ::setenv("QT_QPA_PLATFORM", platform.c_str(), 1);
  if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
}

}  // namespace
