#pragma once
#include <cstdint>
#include <string>

#include "engine/storage/TPiecesEvent.h"

namespace bw {

// What the piece map needs from the task that owns it.
class IPiecesTask {
 public:
  virtual ~IPiecesTask() = default;
  virtual void OnPiecesEvent(const TPiecesEvent& event) = 0;
  virtual bool StopRequested() = 0;
  // The engine clock in seconds.
  virtual int64_t Clock() = 0;
  // True once the task has loaded its metadata (a map without hashes is then not valid).
  virtual bool MetadataLoaded() = 0;
  // Hands a statistics event (an eight-digit code and its text) to the reporting side.
  virtual void ReportEvent(const char* code, const std::string& text) = 0;
};

}  // namespace bw
