#include "app/SingleInstance.h"

#include <thread>

#include "platform/ProcessCheck.h"

namespace bw::app {
namespace {

// How long an ended instance may take to give its lock back.
constexpr auto kReleaseWait = std::chrono::seconds(5);
constexpr auto kReleasePoll = std::chrono::milliseconds(20);

}  // namespace

SingleInstance::SingleInstance(IInstanceChannel& channel, const std::string& identifier, const std::string& folder,
                               std::string programPath, std::chrono::milliseconds answerWait)
    : channel_(channel),
      lock_(folder + "/brightwillow-" + identifier + ".lock"),
      channelPath_(folder + "/brightwillow-" + identifier + ".socket"),
      programPath_(std::move(programPath)),
      answerWait_(answerWait) {}

SingleInstance::Outcome SingleInstance::Own(Outcome won) {
  return channel_.Listen(channelPath_) ? won : Outcome::kRefused;
}

SingleInstance::Outcome SingleInstance::Start() {
  if (lock_.TryLock()) return Own(Outcome::kFirst);
  if (channel_.Ask(channelPath_, answerWait_)) return Outcome::kAnswered;
  // It may have ended while we asked.
  if (lock_.TryLock()) return Own(Outcome::kFirst);
  const int holder = lock_.Holder();
  if (!platform::ProcessRunsProgram(holder, programPath_)) return Outcome::kRefused;
  platform::EndProcess(holder);
  for (auto waited = std::chrono::milliseconds(0); waited < kReleaseWait; waited += kReleasePoll) {
    if (lock_.TryLock()) return Own(Outcome::kReplaced);
    std::this_thread::sleep_for(kReleasePoll);
  }
  return Outcome::kRefused;
}

}  // namespace bw::app
