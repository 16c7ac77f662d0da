#include "app/TaskRecords.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "app/AppTexts.h"
#include "app/Fingerprint.h"
#include "app/ResourceUnpack.h"
#include "platform/Clock.h"
#include "platform/File.h"

namespace bw::app {
namespace {

constexpr const char* kTaskSection = "BrightwillowTask";
constexpr const char* kFinishSection = "BrightwillowFinishInfo";
constexpr uint32_t kFlagsOfTask = kTaskFlagStored | kTaskFlagFullPath;

std::string Numbered(const char* format, int i) {
  char key[64];
  std::snprintf(key, sizeof key, format, i);
  return key;
}

void CopyText(char (&field)[kTextSize], const std::string& text) {
  const size_t n = std::min(text.size(), sizeof field - 1);
  std::memcpy(field, text.data(), n);
  field[n] = '\0';
}

bool IsFolder(const std::string& path) {
  return !path.empty() && platform::PathExists(path) && platform::PathFileSize(path) < 0;
}

// Fingerprint keys of file i in the order they are compared, with the values of a fingerprint.
std::array<std::pair<std::string, uint32_t>, 4> FingerprintKeys(int i, const Fingerprint& f) {
  return {{{Numbered("BrightwillowTask%dWriteTimeHigh", i), f.writeTimeHigh},
           {Numbered("BrightwillowTask%dWriteTimeLow", i), f.writeTimeLow},
           {Numbered("BrightwillowTask%dFileSizeHigh", i), f.sizeHigh},
           {Numbered("BrightwillowTask%dFileSizeLow", i), f.sizeLow}}};
}

}  // namespace

TaskRecords::TaskRecords(IEngine& engine, const Package& package)
    : engine_(engine), package_(package), params_(std::make_unique<std::array<TaskParams, kFileCount>>()) {}

void TaskRecords::BuildFolders() {
  folders_ = app::BuildFolders(Identifier());
  platform::MakeDirectories(folders_.appFolder);
  record_.SetPath(folders_.iniPath);
}

void TaskRecords::ChooseDefaultSaveFolder() {
  saveFolder = ChooseSaveFolder(SaveFolderCandidates(),
                                [this](const std::string& folder) { return engine_.GetDiskFreeBytes(folder.c_str()); });
}

void TaskRecords::BuildInfoPaths(int i) {
  infoFolder = folders_.appFolder + "/" + hash + "BWInfo/";
  platform::MakeDirectories(infoFolder);
  infoPaths[i] = infoFolder + FileName(i) + ".bwinfo";
}

void TaskRecords::WriteTaskSet(bool writeFiles) {
  char now[64];
  platform::FormatLocalTime(now, sizeof now, "%Y-%m-%d %X");
  std::vector<std::pair<std::string, std::string>> values = {
      {"BrightwillowTaskHash", hash},
      {"BrightwillowTaskCreateTimeStamp", std::to_string(platform::TickCountMs())},
      {"BrightwillowTaskCreateTime", now}};
  if (writeFiles) {
    for (int i = 0; i < kFileCount; ++i) {
      values.emplace_back(Numbered("BrightwillowHttpTaskUrl%d", i), Url(i));
      values.emplace_back(Numbered("BrightwillowHttpTaskFile%d", i), FileName(i));
    }
  }
  if (saveFolder.empty()) ChooseDefaultSaveFolder();
  if (entrance.empty()) entrance = FileName(0);
  values.emplace_back("BrightwillowTaskEntrence", entrance);
  if (folderName.empty()) folderName = kDefaultFolderName;
  values.emplace_back("BrightwillowTaskFloder", folderName);
  record_.Write(kTaskSection, values);
}

void TaskRecords::WriteSavePath() { record_.Write(kTaskSection, "BrightwillowTaskSavePath", saveFolder); }

void TaskRecords::MarkComplete() { record_.Write(kTaskSection, "BrightwillowTaskIsComplete", "COMPLETE"); }

void TaskRecords::DescribeTask(int i, const char* unpackFailureCode) {
  TaskParams& params = (*params_)[i];
  params.flags = kFlagsOfTask;
  params.sources = Url(i).c_str();
  std::string torrentPath;
  if (UnpackResource(package_.rows[i].torrent, false, folders_.appFolder, package_.rows[i].digest, &torrentPath) >= 0) {
    CopyText(params.contentId, "file://" + torrentPath);
    params.flags |= kTaskFlagP2SP;
  } else {
    LogPrintf(kAppLogChannel, kAppLogChannel, "Torent 资源释放失败");
    engine_.ReportEvent(unpackFailureCode, "BWconf资源释放失败", 0);
  }
  CopyText(params.target, FilePath(i));
  CopyText(params.infoPath, infoPaths[i]);
}

int TaskRecords::CreateTask(int i) {
  (*params_)[i] = TaskParams{};
  done[i] = 0;
  DescribeTask(i, "11400190");
  const int result = engine_.CreateDownloadTask(&(*params_)[i]);
  if (result == kEngineOk) tasks[i] = (*params_)[i].handle;
  return result;
}

int TaskRecords::RecoverTask(int i, bool force) {
  if (Url(i).empty()) engine_.ShowMessage("下载源出错，请验证这个下载工具的md5是否正确");
  DescribeTask(i, "11400101");
  const int result = engine_.RecoverDownloadTask(&(*params_)[i], force);
  if (result != kEngineOk) {
    LogPrintf(kAppLogChannel, kAppLogChannel, "Reload 失败");
    if (force) {
      reloadFailed = true;
      engine_.ShowMessage(("ErrorCode : " + std::to_string(result)).c_str());
    }
    return result;
  }
  if (force) reloadFailed = false;
  LogPrintf(kAppLogChannel, kAppLogChannel, "Reload 成功");
  tasks[i] = (*params_)[i].handle;
  record_.Write(kTaskSection, Numbered("BrightwillowTask%d", i), FileName(i));
  return result;
}

void TaskRecords::RecordFingerprint(int i) {
  const std::optional<Fingerprint> now = FingerprintOf(FilePath(i));
  if (!now) return;
  std::vector<std::pair<std::string, std::string>> values;
  for (const auto& [key, value] : FingerprintKeys(i, *now)) values.emplace_back(key, std::to_string(value));
  record_.Write(kFinishSection, values);
}

bool TaskRecords::CheckFingerprint(int i, bool note) {
  const std::optional<Fingerprint> now = FingerprintOf(FilePath(i));
  bool same = now.has_value();
  if (now) {
    for (const auto& [key, value] : FingerprintKeys(i, *now)) {
      if (record_.Read(kFinishSection, key) != std::to_string(value)) {
        same = false;
        break;
      }
    }
  }
  if (!same && note && std::find(reloadList.begin(), reloadList.end(), i) == reloadList.end()) reloadList.push_back(i);
  return same;
}

bool TaskRecords::FingerprintsMatch() {
  bool all = true;
  for (int i = 0; i < kFileCount; ++i) all = CheckFingerprint(i, true) && all;
  return all;
}

RestoreOutcome TaskRecords::Restore() {
  if (!record_.Exists()) {
    platform::MakeDirectories(folders_.appFolder);
    hash = Identifier();
    ChooseDefaultSaveFolder();
    entrance = FileName(0);
    for (int i = 0; i < kFileCount; ++i) BuildInfoPaths(i);
    return RestoreOutcome::kBlank;
  }
  const bool blankTime = record_.Read(kTaskSection, "BrightwillowTaskCreateTime").empty();
  hash = record_.Read(kTaskSection, "BrightwillowTaskHash");
  const bool blankHash = hash.empty();
  if (blankHash) hash = Identifier();
  saveFolder = record_.Read(kTaskSection, "BrightwillowTaskSavePath");
  const bool blankPath = saveFolder.empty();
  if (blankPath) ChooseDefaultSaveFolder();

  // A record marked complete counts missing files only; otherwise a file is final, partial
  // (its ".bwtmp" is there) or missing.
  const bool markedComplete = record_.Read(kTaskSection, "BrightwillowTaskIsComplete") == "COMPLETE";
  int present = 0, final = 0, missing = 0;
  for (int i = 0; i < kFileCount; ++i) {
    if (platform::PathFileSize(FilePath(i)) >= 0) {
      ++present;
      if (!markedComplete) ++final;
    } else if (markedComplete || platform::PathFileSize(FilePath(i) + ".bwtmp") < 0) {
      ++missing;
    }
  }
  const bool allPresent = present == kFileCount;

  RestoreOutcome outcome;
  if (allPresent || final > 0) {
    outcome = FingerprintsMatch() ? RestoreOutcome::kComplete : RestoreOutcome::kCheck;
  } else if (missing == kFileCount) {
    outcome = IsFolder(saveFolder) ? RestoreOutcome::kLost : RestoreOutcome::kFolderMissing;
  } else {
    outcome = RestoreOutcome::kRecover;
  }

  entrance = record_.Read(kTaskSection, "BrightwillowTaskEntrence");
  const bool blankEntrance = entrance.empty();
  if (blankEntrance) entrance = FileName(0);
  for (int i = 0; i < kFileCount; ++i) {
    BuildInfoPaths(i);
    // The engine deletes this file at completion: a path outside the info folder is not taken.
    const std::string stored = record_.Read(kTaskSection, Numbered("BrightwillowDownloadInfo%d", i));
    const std::string name = stored.substr(std::min(stored.size(), infoFolder.size()));
    if (stored.starts_with(infoFolder) && !name.empty() && name.find('/') == std::string::npos && name != "." &&
        name != "..") {
      infoPaths[i] = stored;
    }
  }
  if (hash.empty()) LogPrintf(kAppLogChannel, kAppLogChannel, "恢复下载失败，无法进行续传");
  if (blankTime && blankHash && blankPath && blankEntrance) return RestoreOutcome::kBlank;
  return outcome;
}

}  // namespace bw::app
