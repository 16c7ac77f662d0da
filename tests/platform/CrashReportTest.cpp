#include "platform/CrashReport.h"

#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <regex>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/TempDir.h"

namespace platform {
namespace {

using bw::test::TempDir;

TEST(CrashReport, NameCarriesTheTimeToTheMillisecond) {
  const std::pair<CrashTime, const char*> cases[] = {
      {{2026, 12, 11, 3, 4, 5, 7}, "2026-12-11-03-04-05-07-42.dmp"},
      {{2026, 1, 2, 23, 59, 58, 123}, "2026-01-02-23-59-58-123-42.dmp"},
      {{2026, 1, 2, 0, 0, 0, 0}, "2026-01-02-00-00-00-00-42.dmp"},
  };
  for (const auto& [time, name] : cases) EXPECT_EQ(CrashReportName(time, 42), name);
  EXPECT_EQ(CrashReportName({2026, 1, 2, 0, 0, 0, 0}, 5), "2026-01-02-00-00-00-00-05.dmp");
}

TEST(CrashReport, FatalSignalLeavesAReportAndStillEndsTheProcess) {
  for (int signal : {SIGSEGV, SIGABRT, SIGFPE}) {
    TempDir dir;
    const pid_t child = fork();
    if (child == 0) {
      if (chdir(dir.path.c_str()) != 0) _exit(3);
      InstallCrashReport();
      raise(signal);
      _exit(0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "signal " << signal;
    EXPECT_EQ(WTERMSIG(status), signal);
    std::vector<std::string> reports;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path)) {
      reports.push_back(entry.path().filename().string());
    }
    ASSERT_EQ(reports.size(), 1u) << "signal " << signal;
    EXPECT_TRUE(std::regex_match(reports[0], std::regex(R"(\d{4}(-\d{2}){5}-\d{2,3}-\d{2}\.dmp)"))) << reports[0];
    const std::string report = TempDir::Read(dir.Path(reports[0]));
    EXPECT_NE(report.find("signal " + std::to_string(signal) + " "), std::string::npos) << report;
    EXPECT_NE(report.find("backtrace:\n"), std::string::npos) << report;
  }
}

}  // namespace
}  // namespace platform
