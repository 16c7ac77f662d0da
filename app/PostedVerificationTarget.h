#pragma once
#include <array>
#include <string>

#include "app/IControllerHost.h"
#include "app/IEngine.h"
#include "app/TaskRecords.h"
#include "app/Verification.h"

namespace bw::app {

class CDownloadController;

// The verification worker's view of the controller: the files' paths, names and digests are
// copied when the check starts; every step that touches the controller or the engine is posted to
// the controller's thread. Once that thread has stopped, steps fail instead of waiting.
class PostedVerificationTarget : public IVerificationTarget {
 public:
  PostedVerificationTarget(CDownloadController& controller, IEngine& engine, PostFunction post,
                           const std::array<std::string, kFileCount>& paths,
                           const std::array<std::string, kFileCount>& names,
                           const std::array<std::string, kFileCount>& digests);

  std::string FilePath(int i) override { return paths_[i]; }
  std::string ExpectedMd5(int i) override { return digests_[i]; }
  const std::string& FileName(int i) override { return names_[i]; }
  void SetState(int state) override;
  bool RestartForRepair(int i) override;
  RepairStatus PollRepair(int i, int* progress, uint32_t* speed) override;
  void RecordFingerprint(int i) override;
  void ReportFileEvent(const char* code, const std::string& fileName, const std::string& text) override;
  void ReportEvent(const char* code) override;
  void ShowMessage(const char* text) override;
  void Log(const std::string& text) override;

 private:
  // Runs job on the controller's thread and waits for it; false when the thread is gone.
  bool OnController(std::function<void()> job);

  CDownloadController& controller_;
  IEngine& engine_;
  PostFunction post_;
  std::array<std::string, kFileCount> paths_, names_, digests_;
};

}  // namespace bw::app
