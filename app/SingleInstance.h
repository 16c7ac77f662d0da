#pragma once
#include <chrono>
#include <string>

#include "app/IInstanceChannel.h"
#include "platform/InstanceLock.h"

namespace bw::app {

// One running downloader per user and package. The first instance holds a lock file for its whole
// life and answers on a channel beside it; a later start asks it to come to the front and ends.
// An instance that does not answer within the wait is ended and replaced, but only when its
// process runs this program; the replacing instance then owns the lock and the channel.
class SingleInstance {
 public:
  enum class Outcome {
    kFirst,     // no other instance: go on starting
    kReplaced,  // a hung instance was ended: go on starting
    kAnswered,  // the running instance comes to the front: end
    kRefused,   // the lock is held by a process that is not this program: end, ending nothing
  };

  // The running instance answers from its user-interface thread, whose longest blocking call is
  // the stop of every task at the end: the default wait is longer than that.
  static constexpr std::chrono::milliseconds kAnswerWait{10000};

  // identifier: names the lock and the channel (the package's installer digest); folder: where
  // they live (platform::RuntimeFolder); programPath: the program an instance runs.
  SingleInstance(IInstanceChannel& channel, const std::string& identifier, const std::string& folder,
                 std::string programPath, std::chrono::milliseconds answerWait = kAnswerWait);

  Outcome Start();

  const std::string& LockPath() const { return lock_.Path(); }
  const std::string& ChannelPath() const { return channelPath_; }

 private:
  Outcome Own(Outcome won);

  IInstanceChannel& channel_;
  platform::InstanceLock lock_;
  std::string channelPath_;
  std::string programPath_;
  std::chrono::milliseconds answerWait_;
};

}  // namespace bw::app
