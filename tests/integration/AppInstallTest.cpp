// The installer's start at the end of the whole flow, with a stand-in installer in the package
// that records that it ran.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>

#include "tests/integration/AppFixture.h"

namespace bw::test {
namespace {

class AppInstallTest : public AppFixture {
 protected:
  // The demo package with a script as its installer.
  std::string PackageWithStandInInstaller() {
    const std::string folder = dir_.Path("package-files");
    std::filesystem::copy(BW_DEMO_PACKAGE_DIR, folder);
    std::ofstream(folder + "/" + kNames[0], std::ios::trunc)
        << "#!/bin/sh\nprintf '%s\\n' \"$0\" \"$#\" \"$PWD\" > installer-ran.txt\n";
    return folder;
  }

  std::string InstallerRecord() const {
    const std::string path = dir_.Path("home/TNW0223/installer-ran.txt");
    for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) platform::SleepMs(10);
    platform::SleepMs(50);  // the script may still be writing
    return TempDir::Read(path);
  }
};

struct InstallCase {
  bool check;
  std::multiset<std::string> codes;  // of the installation
};

void PrintTo(const InstallCase& c, std::ostream* out) { *out << (c.check ? "checked first" : "not checked"); }

class AppInstallFlowTest : public AppInstallTest, public ::testing::WithParamInterface<InstallCase> {};

// The answer to "check first?" decides whether the MD5 check comes between the download and the
// installer; either way the installer is the package's, started from the save folder with its path
// as its only argument, and the downloader ends.
TEST_P(AppInstallFlowTest, TheInstallerStartsOnceTheDownloadIsDone) {
  const InstallCase& c = GetParam();
  const std::string files = PackageWithStandInInstaller();
  NginxServer& base = StartMirror(kFolder, "", files);
  ServeResourceList("<project><configs><p2p-switch>off</p2p-switch></configs></project>");
  BuildPackage(base, files);
  std::vector<std::string> options{"--start", "--install", "--linger", "0"};
  if (c.check) options.push_back("--verify");
  ASSERT_EQ(RunConsole(options, 120000), 0) << LastLog();
  EXPECT_EQ(InstallerRecord(), Saved(0) + "\n0\n" + dir_.Path("home/TNW0223") + "\n") << LastLog();
  EXPECT_NE(LastLog().find(std::string("question: 是否验证安装文件的正确性？ ") + (c.check ? "yes" : "no")),
            std::string::npos)
      << LastLog();
  std::multiset<std::string> codes;
  for (const std::string& code : ReportedCodes()) {
    if (code.starts_with("1107") || code.starts_with("1110") || code == "11040000" || code == "11990501") {
      codes.insert(code);  // of the installation, and of an exit other than the installer's
    }
  }
  EXPECT_EQ(codes, c.codes) << collector_->Log();
}

INSTANTIATE_TEST_SUITE_P(Answers, AppInstallFlowTest,
                         ::testing::Values(InstallCase{false, {"11070000", "11100002"}},
                                           InstallCase{true, {"11070000", "11100001", "11100004", "11070000"}}),
                         [](const ::testing::TestParamInfo<InstallCase>& info) {
                           return info.param.check ? "CheckedFirst" : "NotChecked";
                         });

}  // namespace
}  // namespace bw::test
