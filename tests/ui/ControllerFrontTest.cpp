// The window's front on the real controller thread and a fake engine: the install question, the
// stand-in installer and the exit record.
#include "app/ui/ControllerFront.h"

#include <QElapsedTimer>
#include <QTimer>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

#include "tests/app/AppTestSupport.h"
#include "tests/ui/UiFakes.h"

namespace bw::app::ui {
namespace {

class FakeLauncher : public ILauncher {
 public:
  int StartInstaller(const std::string& path, const std::string&) override {
    started.push_back(path);
    return 33;
  }
  bool OpenWebAddress(const std::string&) override { return false; }
  std::vector<std::string> started;
};

class ControllerFrontTest : public app::test::ControllerFixture {
 protected:
  // Every file downloaded, the engine touched only on the controller's thread.
  void Finished() {
    ASSERT_EQ(front_.Initialize(), 0);
    controller_.Call([this](CDownloadController& c) {
      c.SetAllocationProbe([](const std::string&) { return platform::VolumeAllocation::kReserves; });
      c.OnMainAction();
      for (int i = 0; i < kFileCount; ++i) {
        WriteFile(FileIn(i), "content " + std::to_string(i));
        app::test::FakeEngine::Task& task = engine_.TaskOf(c.Records().tasks[i]);
        task.complete = 1;
        task.progress.progress = 10000;
        task.progress.status = kTaskStatusComplete;
      }
      return 0;
    });
    ASSERT_TRUE(WaitFor([](int s) { return s == kStateFinished; }));
  }

  template <class Fits>
  bool WaitFor(Fits fits) {
    QElapsedTimer clock;
    clock.start();
    while (!fits(controller_.View().state) && clock.elapsed() < 10000) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return fits(controller_.View().state);
  }

  // The program's end: the front's last word, then the controller's stop.
  std::vector<std::string> EndCodes() {
    front_.Finish();
    controller_.Stop();
    return engine_.Codes();
  }

  test::FakeDesktop desktop_;
  FakeLauncher launcher_;
  InstallQuestion question_{desktop_, "caption"};
  ControllerThread controller_{engine_, package_};
  ControllerFront front_{controller_, 0, launcher_, question_};
};

bool Has(const std::vector<std::string>& codes, const std::string& code) {
  return std::find(codes.begin(), codes.end(), code) != codes.end();
}

TEST_F(ControllerFrontTest, InstallButtonAsksAndNoStartsTheInstaller) {
  Finished();
  desktop_.answerYes = false;
  front_.MainAction();  // waits on the controller, which waits on the question
  EXPECT_EQ(desktop_.calls, std::vector<std::string>{"Question 是否验证安装文件的正确性？"});
  EXPECT_EQ(launcher_.started, std::vector<std::string>{FileIn(0)});
  EXPECT_FALSE(Has(EndCodes(), "11990501"));
}

TEST_F(ControllerFrontTest, YesStartsTheCheckAndTheExitIsTheUsers) {
  Finished();
  desktop_.answerYes = true;
  front_.MainAction();
  EXPECT_EQ(desktop_.calls, std::vector<std::string>{"Question 是否验证安装文件的正确性？"});
  // The check of stand-in files finds them wrong and goes on to repair them.
  EXPECT_TRUE(WaitFor([](int s) { return s == kStateMd5Checking || s == kStateCheckRecover || s == kStateFailed; }));
  EXPECT_TRUE(launcher_.started.empty());
  // Without the front's last word this end would count as a crash.
  EXPECT_FALSE(Has(EndCodes(), "11990501"));
}

// How the install question's box ends: the user's yes or no, or the program's exit taking it away.
enum class BoxEnd { kYes, kNo, kExit };
class ControllerFrontQuestionTest : public ControllerFrontTest, public ::testing::WithParamInterface<BoxEnd> {};

// The box is open while the controller waits on it: the window's events still run, a call made
// from one of them that waits on the controller too ends once the box does, and a box that the
// exit takes away answers with the check, never the installer.
TEST_P(ControllerFrontQuestionTest, CallsWhileTheBoxIsOpenEndWithIt) {
  Finished();
  desktop_.openQuestions = true;
  int closeSelection = -1;
  QTimer::singleShot(100, [&] { closeSelection = front_.LoadCloseSelection(); });
  QTimer::singleShot(300, [&] {
    ASSERT_TRUE(desktop_.openQuestion);
    if (GetParam() == BoxEnd::kExit) {
      question_.Close();
    } else {
      desktop_.openQuestion(GetParam() == BoxEnd::kYes);
    }
  });
  front_.MainAction();
  EXPECT_EQ(closeSelection, 0);
  EXPECT_EQ(desktop_.calls, std::vector<std::string>{"Question 是否验证安装文件的正确性？"});
  EXPECT_EQ(launcher_.started.size(), GetParam() == BoxEnd::kNo ? 1u : 0u);
  EndCodes();
}

INSTANTIATE_TEST_SUITE_P(BoxEnds, ControllerFrontQuestionTest,
                         ::testing::Values(BoxEnd::kYes, BoxEnd::kNo, BoxEnd::kExit));

}  // namespace
}  // namespace bw::app::ui
