#include "app/ui/InstallQuestion.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <thread>

#include "tests/ui/UiFakes.h"

namespace bw::app::ui {
namespace {

using namespace std::chrono_literals;

// Asked from another thread, as the controller's thread asks; answered on this one.
std::future<bool> AskElsewhere(InstallQuestion& question) {
  return std::async(std::launch::async, [&question] { return question.Ask("check first?"); });
}

TEST(InstallQuestionTest, TheUserAnswersOnTheWindowThreadWhetherIdleOrWaiting) {
  for (const bool yes : {true, false}) {
    for (const bool windowWaits : {false, true}) {
      SCOPED_TRACE(std::string(yes ? "yes" : "no") + (windowWaits ? ", window waiting" : ", event loop"));
      test::FakeDesktop desktop;
      desktop.answerYes = yes;
      InstallQuestion question(desktop, "caption");
      std::future<bool> answer = AskElsewhere(question);
      QElapsedTimer clock;
      clock.start();
      // A window blocked on the controller pumps the question itself; an idle one runs its events.
      while (answer.wait_for(10ms) != std::future_status::ready && clock.elapsed() < 5000) {
        if (windowWaits) {
          question.AnswerPending();
        } else {
          QCoreApplication::processEvents();
        }
      }
      ASSERT_EQ(answer.wait_for(0s), std::future_status::ready);
      EXPECT_EQ(answer.get(), yes);
      EXPECT_EQ(desktop.calls, std::vector<std::string>{"Question check first?"});
      QCoreApplication::processEvents();  // the queued call finds nothing left to ask
      EXPECT_EQ(desktop.calls.size(), 1u);
    }
  }
}

TEST(InstallQuestionTest, CloseAnswersTheWaitingQuestionAndLaterOnesWithTheCheck) {
  test::FakeDesktop desktop;
  desktop.answerYes = false;
  InstallQuestion question(desktop, "caption");
  std::future<bool> answer = AskElsewhere(question);
  std::this_thread::sleep_for(50ms);  // let it wait: Close must release it either way
  question.Close();
  ASSERT_EQ(answer.wait_for(5s), std::future_status::ready);
  EXPECT_TRUE(answer.get());
  EXPECT_TRUE(question.Ask("again?"));
  QCoreApplication::processEvents();
  EXPECT_TRUE(desktop.calls.empty());
}

}  // namespace
}  // namespace bw::app::ui
