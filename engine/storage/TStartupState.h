#pragma once
#include <cstdint>

namespace bw {

class IPiecesTask;
class TPieces;

// What a freshly built piece map finds already present, and which files it wants: carried over
// from the task's former map, trusted from the files (quick start), replayed from the resume
// record and pending blocks saved at the last stop, or hashed from the files on disk. It works
// through the map's own operations; the saved records are decoded by their formats' readers.
class TStartupState {
 public:
  TStartupState(TPieces& map, IPiecesTask& task) : map_(map), task_(task) {}

  // The first way that applies; false when it fails or a stop was requested.
  bool RestoreState(TPieces* previous);
  bool LoadResumeRecord();
  bool LoadPendingBlocks();
  bool QuickCheck();
  bool RecheckFiles();
  bool MigrateFrom(TPieces& previous);
  // Creates the selected files (without allocating them) once enough space is free.
  bool PrepareFiles();
  // Applies the saved "part" list: the files it flags stay deselected.
  void ApplyFileSelection();

 private:
  void ReportCheck();

  TPieces& map_;
  IPiecesTask& task_;
};

}  // namespace bw
