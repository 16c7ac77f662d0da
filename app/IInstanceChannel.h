#pragma once
#include <chrono>
#include <string>

namespace bw::app {

// The reply channel between instances of the program: the running one listens at a path and
// answers a request to come to the front; a later start asks it there.
class IInstanceChannel {
 public:
  virtual ~IInstanceChannel() = default;
  // Takes the channel at path; only the lock's holder calls it, so anything left there is a dead
  // instance's and may be replaced.
  virtual bool Listen(const std::string& path) = 0;
  // True when the instance listening at path answered within wait.
  virtual bool Ask(const std::string& path, std::chrono::milliseconds wait) = 0;
};

}  // namespace bw::app
