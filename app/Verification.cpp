#include "app/Verification.h"

#include <thread>

#include "app/CDownloadController.h"
#include "app/FileDigest.h"

namespace bw::app {

namespace {
constexpr int kRecoverAttempts = 4;
constexpr const char* kRepairFailedMessage =
    "修复失败：\r\n\r\n多次修复安装文件仍然出错，请尝试其他方式下载客户端\r\n或重启下载器进行再次修复";
}  // namespace

Verification::Check Verification::VerifyFile(int i, std::string* actual) {
  currentFile = i;
  const FileDigest digest = ComputeFileMd5(target_.FilePath(i), verifyProgress, &stop_);
  if (digest.outcome == FileDigest::Outcome::kStopped) return Check::kStopped;
  if (digest.outcome == FileDigest::Outcome::kReadError) {
    target_.Log("MD5读取失败：" + target_.FileName(i));
    return Check::kReadError;
  }
  const std::string expected = target_.ExpectedMd5(i);
  const std::string texts = target_.FileName(i) + "，Except：" + expected + "，Actural：" + digest.hex;
  if (digest.hex != expected) {
    mismatchSeen = 1;
    verifyProgress = 0;
    target_.Log("MD5不匹配：" + texts);
    *actual = digest.hex;
    return Check::kMismatch;
  }
  target_.Log("MD5匹配：" + texts);
  return Check::kMatch;
}

bool Verification::Sleep() {
  std::this_thread::sleep_for(timing_.poll);
  return !stop_;
}

bool Verification::WaitForRepair(int i) {
  auto lastChange = std::chrono::steady_clock::now();
  int lastProgress = -1;
  while (Sleep()) {
    int progress = 0;
    uint32_t speed = 0;
    const auto status = target_.PollRepair(i, &progress, &speed);
    if (status == IVerificationTarget::RepairStatus::kComplete) return true;
    if (status == IVerificationTarget::RepairStatus::kFailed) return false;
    repairProgress = progress;
    repairSpeed = speed;
    const auto now = std::chrono::steady_clock::now();
    if (progress != lastProgress || speed > 0) {
      lastProgress = progress;
      lastChange = now;
    } else if (now - lastChange >= timing_.stallLimit) {
      return false;
    }
  }
  return false;
}

int Verification::Run() {
  mismatchSeen = 0;
  for (int i = 0; i < kFileCount; ++i) {
    int repairs = 0;
    std::string actual;
    Check check = VerifyFile(i, &actual);
    if (check == Check::kStopped) return kStopped;
    if (check == Check::kMismatch) {
      target_.ReportFileEvent("11500201", target_.FileName(i), "MD5 unmatched (" + actual + ")");
    }
    while (check == Check::kMismatch && repairs < kMaxRepairs) {
      if (stop_) return kStopped;
      target_.SetState(kStateCheckRecover);
      repairProgress = 0;
      repairSpeed = 0;
      bool recovered = false;
      for (int attempt = 0; attempt < kRecoverAttempts && !recovered; ++attempt) recovered = target_.RestartForRepair(i);
      if (!recovered) {
        target_.ShowMessage("修复出错，请尝试重新启动下载器");
        return kRecoverFailed;
      }
      if (!WaitForRepair(i)) {
        if (stop_) return kStopped;
        // The repaired task stopped on an error or stalled: waiting on would never end.
        target_.ShowMessage(kRepairFailedMessage);
        target_.ReportFileEvent("11990501", target_.FileName(i), "修复次数：" + std::to_string(repairs));
        target_.SetState(kStateFailed);
        return kRecoverFailed;
      }
      target_.RecordFingerprint(i);
      target_.SetState(kStateMd5Checking);
      std::string ignored;
      check = VerifyFile(i, &ignored);
      if (check == Check::kStopped) return kStopped;
      ++repairs;
      if (check == Check::kMatch) {
        target_.ReportFileEvent("11100003", target_.FileName(i), "修复次数：" + std::to_string(repairs));
      }
    }
    if (check == Check::kReadError) {
      target_.ShowMessage(("校验失败：无法读取文件 " + target_.FileName(i)).c_str());
      target_.SetState(kStateFailed);
      return kRepairGaveUp;
    }
    if (check == Check::kMismatch) {
      target_.ShowMessage(kRepairFailedMessage);
      target_.ReportFileEvent("11990501", target_.FileName(i), "修复次数：" + std::to_string(repairs));
      target_.SetState(kStateFailed);
      return kRepairGaveUp;
    }
  }
  target_.ReportEvent("11100004");
  target_.SetState(kStateCheckFinished);
  return kAllMatched;
}

}  // namespace bw::app
