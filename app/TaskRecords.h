#pragma once
#include <array>
#include <memory>
#include <string>
#include <vector>

#include "app/AppFolders.h"
#include "app/IEngine.h"
#include "app/RecordFile.h"
#include "app/package/Package.h"

namespace bw::app {

// How the previous run left the download, as the record file and the files on disk tell.
enum class RestoreOutcome {
  kBlank,          // nothing was started: ready
  kLost,           // the record names a save folder that holds none of the files: start over
  kFolderMissing,  // the save folder itself is gone (an unplugged disk): keep the record, ready
  kComplete,       // every file is there and unchanged since it completed
  kCheck,          // some files are there, some changed or still partial: check and continue
  kRecover,        // partial downloads continue
};

// The download's lasting side: its folders, the record file, the five engine task records, how
// tasks are created and recovered, the finish fingerprints, and what the previous run left.
// Confined to the controller's thread like the controller that owns it.
class TaskRecords {
 public:
  TaskRecords(IEngine& engine, const Package& package);

  // The application folder (made when missing), record file and log base of this user.
  void BuildFolders();
  const AppFolders& Folders() const { return folders_; }
  const RecordFile& Record() const { return record_; }

  const std::string& Identifier() const { return package_.rows[0].digest; }
  const std::string& FileName(int i) const { return package_.rows[i].name; }
  const std::string& Url(int i) const { return package_.rows[i].url; }
  std::string FilePath(int i) const { return saveFolder + "/" + FileName(i); }

  void ChooseDefaultSaveFolder();
  void BuildInfoPaths(int i);
  // writeFiles adds the per-file addresses and names (only while nothing was started).
  void WriteTaskSet(bool writeFiles);
  void WriteSavePath();
  void MarkComplete();

  // The engine's result; tasks[i] is set on success.
  int CreateTask(int i);
  // force: the repair's recovery, which reports a failure to the user and sets reloadFailed.
  int RecoverTask(int i, bool force);

  void RecordFingerprint(int i);
  // note: a file that fails joins reloadList.
  bool CheckFingerprint(int i, bool note);

  // Reads the record and looks at the files: saveFolder, hash, entrance and the info paths are
  // set, reloadList holds what needs a task.
  RestoreOutcome Restore();

  std::string hash;
  std::string entrance;
  std::string folderName;
  std::string saveFolder;
  std::string infoFolder;
  std::array<std::string, kFileCount> infoPaths;
  std::array<TaskHandle, kFileCount> tasks{};
  std::array<int, kFileCount> done{};
  std::vector<int> reloadList;
  bool reloadFailed = false;

 private:
  // The torrent of file i unpacked, and the record filled for the engine.
  void DescribeTask(int i, const char* unpackFailureCode);
  bool FingerprintsMatch();

  IEngine& engine_;
  const Package& package_;
  AppFolders folders_;
  RecordFile record_;
  std::unique_ptr<std::array<TaskParams, kFileCount>> params_;
};

}  // namespace bw::app
