#include "app/PostedVerificationTarget.h"

#include <future>
#include <memory>

#include "app/AppTexts.h"
#include "app/CDownloadController.h"
#include "engine/api/EngineApi.h"

namespace bw::app {

PostedVerificationTarget::PostedVerificationTarget(CDownloadController& controller, IEngine& engine,
                                                   PostFunction post,
                                                   const std::array<std::string, kFileCount>& paths,
                                                   const std::array<std::string, kFileCount>& names,
                                                   const std::array<std::string, kFileCount>& digests)
    : controller_(controller), engine_(engine), post_(std::move(post)), paths_(paths), names_(names),
      digests_(digests) {}

bool PostedVerificationTarget::OnController(std::function<void()> job) {
  auto task = std::make_shared<std::packaged_task<void()>>(std::move(job));
  std::future<void> done = task->get_future();
  post_([task = std::move(task)] { (*task)(); });
  try {
    done.get();
    return true;
  } catch (const std::future_error&) {
    return false;  // dropped: the controller has stopped
  }
}

void PostedVerificationTarget::SetState(int state) {
  OnController([this, state] { controller_.SetVerifyState(state); });
}

bool PostedVerificationTarget::RestartForRepair(int i) {
  bool ok = false;
  return OnController([&] { ok = controller_.RestartForRepair(i); }) && ok;
}

IVerificationTarget::RepairStatus PostedVerificationTarget::PollRepair(int i, int* progress, uint32_t* speed) {
  RepairStatus status = RepairStatus::kFailed;
  OnController([&] { status = controller_.PollRepair(i, progress, speed); });
  return status;
}

void PostedVerificationTarget::RecordFingerprint(int i) {
  OnController([this, i] { controller_.RecordFingerprint(i); });
}

void PostedVerificationTarget::ReportFileEvent(const char* code, const std::string& fileName, const std::string& text) {
  OnController([&] { engine_.ReportFileEvent(code, fileName.c_str(), text.c_str()); });
}

void PostedVerificationTarget::ReportEvent(const char* code) {
  OnController([&] { engine_.ReportEvent(code, "", 0); });
}

void PostedVerificationTarget::ShowMessage(const char* text) {
  OnController([&] { engine_.ShowMessage(text); });
}

void PostedVerificationTarget::Log(const std::string& text) {
  LogPrintf(kAppLogChannel, kAppLogChannel, "%s", text.c_str());
}

}  // namespace bw::app
