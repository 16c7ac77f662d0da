#pragma once
#include <string>

#include "engine/storage/IPiecesTask.h"

namespace bw::test {

// A task that lets the piece map work undisturbed: no stop, no events kept (fuzzing, benchmarks).
class QuietPiecesTask : public IPiecesTask {
 public:
  void OnPiecesEvent(const TPiecesEvent&) override {}
  bool StopRequested() override { return false; }
  int64_t Clock() override { return 1000; }
  bool MetadataLoaded() override { return true; }
  void ReportEvent(const char*, const std::string&) override {}
};

}  // namespace bw::test
