// The install prompt, the installer's launch and the expiry page, on a stand-in launcher.
#include <algorithm>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "app/CDownloadController.h"
#include "app/ILauncher.h"
#include "engine/frame/EngineLog.h"
#include "tests/app/AppTestSupport.h"

namespace bw::app::test {
namespace {

class FakeLauncher : public ILauncher {
 public:
  int result = 33;
  std::vector<std::pair<std::string, std::string>> started;  // path, working folder
  std::vector<std::string> opened;

  int StartInstaller(const std::string& path, const std::string& workingFolder) override {
    started.emplace_back(path, workingFolder);
    return result;
  }
  bool OpenWebAddress(const std::string& url) override {
    opened.push_back(url);
    return true;
  }
};

class InstallationTest : public ControllerFixture {
 protected:
  // Every file downloaded: state 8, with the stand-in launcher and the user's answer.
  void Finished(bool checkFirst) {
    Downloading();
    FinishAll();
    ASSERT_EQ(C().State(), kStateFinished);
    C().SetLauncher(&launcher_);
    C().SetQuestion([this, checkFirst](const char* text) {
      questions_.push_back(text);
      return checkFirst;
    });
    engine_.reports.clear();
  }

  FakeLauncher launcher_;
  std::vector<std::string> questions_;
};

TEST_F(InstallationTest, DecliningTheCheckStartsTheInstallerAtOnce) {
  Finished(false);
  C().OnMainAction();
  EXPECT_EQ(questions_, std::vector<std::string>{"是否验证安装文件的正确性？"});
  EXPECT_EQ(engine_.Codes(), (std::vector<std::string>{"11070000", "11100002"}));
  ASSERT_EQ(launcher_.started.size(), 1u);
  EXPECT_EQ(launcher_.started[0].first, FileIn(0));
  EXPECT_EQ(launcher_.started[0].second, SaveFolder());
  EXPECT_TRUE(C().InstallerStarted());
}

TEST_F(InstallationTest, AcceptingTheCheckStartsTheVerificationFirst) {
  Finished(true);
  host_.defer = true;
  const int workers = host_.started;
  C().OnMainAction();
  EXPECT_EQ(engine_.Codes(), (std::vector<std::string>{"11070000", "11100001"}));
  EXPECT_EQ(C().State(), kStateMd5Checking);
  EXPECT_EQ(host_.started, workers + 1);
  EXPECT_TRUE(launcher_.started.empty());
}

// A failed start tells the user and the statistics why, with whether the files were checked, and
// gives the state back so that the user may try again.
TEST_F(InstallationTest, AFailedStartNamesItsReason) {
  struct Case {
    int result;
    bool verified;
    const char* text;
  };
  const Case cases[] = {
      {5, true,
       "安装程序无法正常打开，原因：本次安装前通过了校验The operating system denied access to the specified file."},
      {32, false, "安装程序无法正常打开，原因：本次安装前没有校验The specified DLL was not found."},
      {0, false, "安装程序无法正常打开，原因：本次安装前没有校验Unknown open failed"},
      {11, true,
       "安装程序无法正常打开，原因：本次安装前通过了校验The .exe file is invalid (non-Win32 .exe or error in .exe "
       "image)."},
  };
  Finished(false);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.result);
    launcher_.result = c.result;
    engine_.reports.clear();
    engine_.messages.clear();
    engine_.captions.clear();
    C().LaunchInstaller(c.verified);
    EXPECT_EQ(C().State(), kStateFinished);
    EXPECT_FALSE(C().InstallerStarted());
    EXPECT_EQ(engine_.messages, std::vector<std::string>{"安装程序无法正常打开"});
    EXPECT_EQ(engine_.captions, std::vector<std::string>{"安装失败"});
    ASSERT_EQ(engine_.reports.size(), 1u);
    EXPECT_EQ(engine_.reports[0].code, "11600101");
    EXPECT_EQ(engine_.reports[0].text, "Inst.exe");
    EXPECT_EQ(engine_.reports[0].detail, c.text);
  }
}

// A failing report of a failed start is logged; the user is told all the same.
TEST_F(InstallationTest, AFailingReportOfAFailedStartIsLogged) {
  Finished(false);
  CreateEngineLog();
  SetEngineLogBasePath(dir_.Path("log").c_str());
  launcher_.result = 2;
  engine_.fileEventsThrow = true;
  testing::internal::CaptureStderr();  // the log's debugger output
  C().LaunchInstaller(false);
  const std::string logged = testing::internal::GetCapturedStderr();
  DeleteEngineLog();
  EXPECT_EQ(engine_.messages.back(), "安装程序无法正常打开");
  EXPECT_NE(logged.find("] [DC failed]"), std::string::npos) << logged;
}

TEST_F(InstallationTest, AMissingInstallerIsToldAndNothingStarts) {
  Finished(false);
  std::filesystem::remove(FileIn(0));
  C().OnMainAction();
  EXPECT_TRUE(launcher_.started.empty());
  EXPECT_EQ(engine_.messages.back(), "安装程序丢失");
  EXPECT_EQ(engine_.captions.back(), "安装失败");
  EXPECT_EQ(engine_.Codes().back(), "11600102");
  EXPECT_EQ(C().State(), kStateFinished);
}

TEST_F(InstallationTest, OnlyWebAddressesAreOpened) {
  Finished(false);
  for (const char* url : {"http://127.0.0.1/new", "https://127.0.0.1/new", "file:///etc/passwd", "javascript:x()",
                          "/usr/bin/xterm", "HTTP://127.0.0.1/", ""}) {
    C().OpenExpiryPage(url);
  }
  EXPECT_EQ(launcher_.opened, (std::vector<std::string>{"http://127.0.0.1/new", "https://127.0.0.1/new"}));
}

// The record of why the program ends: a user's exit (with a statistics record unless nothing was
// under way), the installer's start, or neither; sent before the engine ends, and the engine ends
// before the statistics upload that carries it.
TEST_F(InstallationTest, TheExitRecordSaysWhyTheProgramEnds) {
  struct Case {
    const char* why;
    std::vector<std::string> codes;
    std::string detail;
    int stateAfter;
  };
  const Case cases[] = {
      {"user exit while downloading", {"11040000"}, "", kStateDownloading},
      {"user exit when finished", {}, "", kStateFinished},
      {"installer started", {}, "", kStateFinished},
      {"unknown", {"11990501"}, "Unknow Exit, maybe crashed", kStateUnknownExit},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    const std::string why = c.why;
    if (why == "user exit while downloading") {
      Downloading();
    } else {
      Finished(false);
    }
    if (why.starts_with("user exit")) C().MarkUserExit();
    if (why == "installer started") C().LaunchInstaller(false);
    engine_.reports.clear();
    engine_.endCalls.clear();
    C().Shutdown();
    C().Shutdown();  // once only
    EXPECT_EQ(engine_.Codes(), c.codes);
    if (!c.codes.empty()) {
      EXPECT_EQ(engine_.reports[0].detail, c.detail);
    }
    EXPECT_EQ(C().State(), c.stateAfter);
    EXPECT_EQ(engine_.endCalls,
              (std::vector<std::string>{"UninitEngine", "ShutdownReporting", "UninitEngine", "ShutdownReporting"}));
    std::filesystem::remove_all(dir_.Path("data"));
    std::filesystem::remove_all(SaveFolder());
  }
}

}  // namespace
}  // namespace bw::app::test
