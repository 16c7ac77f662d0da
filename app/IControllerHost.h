#pragma once
#include <functional>

namespace bw::app {

// Hands a job to the controller's thread; safe from any thread, at any time: once the controller
// has stopped, jobs are dropped.
using PostFunction = std::function<void(std::function<void()> job)>;

// What the controller needs of the thread it is confined to: workers for slow calls (the
// resource-list fetch) whose results come back to it as posted jobs.
class IControllerHost {
 public:
  virtual ~IControllerHost() = default;
  // Runs work on a thread of its own. The work must not touch the controller: it posts instead.
  virtual void RunInBackground(std::function<void()> work) = 0;
  virtual PostFunction Poster() = 0;
};

}  // namespace bw::app
