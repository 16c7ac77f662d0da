#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/net/ChildProcess.h"
#include "tests/support/TempDir.h"

namespace bw::test {

// A test that makes network interfaces of its own (and sends multicast on them) runs again as a
// program of its own in a network namespace (and a user namespace unless it runs as root): nothing it sends reaches the
// host's network, and two copies of it do not meet.
inline constexpr const char* kOwnNamespaceVariable = "BW_TEST_OWN_NETWORK_NAMESPACE";

inline bool InsideOwnNetworkNamespace() { return std::getenv(kOwnNamespaceVariable) != nullptr; }

// Outside: runs the current test in a namespace of its own and takes over its outcome, its
// output shown with a failure or a skip. Skips when this machine makes no such namespace.
inline void RunCurrentTestInOwnNetworkNamespace() {
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string unshare = FindProgram("unshare");
  if (unshare.empty()) GTEST_SKIP() << "unshare (util-linux) is not installed";
  char self[4096] = {};
  ASSERT_GT(::readlink("/proc/self/exe", self, sizeof self - 1), 0);
  TempDir dir;
  ::setenv(kOwnNamespaceVariable, "1", 1);
  // root needs no user namespace, and keeps the users that servers such as nginx switch to.
  std::vector<std::string> argv{unshare, "--net"};
  if (::geteuid() != 0) argv.insert(argv.begin() + 1, {"--user", "--map-root-user"});
  argv.insert(argv.end(), {self, std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()});
  ChildProcess copy(argv, dir.Path("copy.log"));
  ::unsetenv(kOwnNamespaceVariable);
  const int status = copy.Wait(240000);
  const std::string output = TempDir::Read(dir.Path("copy.log"));
  if (output.find("[==========]") == std::string::npos) {
    GTEST_SKIP() << "no network namespace can be made here (status " << status << "): " << output;
  }
  if (output.find("[  SKIPPED ]") != std::string::npos) GTEST_SKIP() << output;
  EXPECT_EQ(status, 0) << output;
}

}  // namespace bw::test
