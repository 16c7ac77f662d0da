#pragma once

namespace bw {

// What every kind of source implements for the common peer driver.
class TVirtualPeer {
 public:
  virtual ~TVirtualPeer() = default;
  virtual bool ReadInput() = 0;
  virtual bool FlushOutput() = 0;
  virtual bool PlanRequests() = 0;
  virtual bool ServeUploads() = 0;
  virtual void Reset() = 0;
};

}  // namespace bw
