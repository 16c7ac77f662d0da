// The piece map's file selection: which files are wanted, which pieces that leaves wanted, and
// the list the task keeps of it.
#include <algorithm>

#include "engine/storage/TPieces.h"
#include "engine/storage/TResumeRecord.h"

namespace bw {

bool TPieces::PieceTouchesSelected(int64_t index) const {
  const int64_t start = index * pieceLength_;
  const int64_t end = start + Piece(index).Size;
  for (const TPieceFile& file : storage_.Files()) {
    if (file.Length > 0 && !file.Deselected() && file.Offset < end && file.Offset + file.Length > start) {
      return true;
    }
  }
  return false;
}

bool TPieces::SelectFile(int32_t index, bool deselect) {
  std::vector<TPieceFile>& files = storage_.Files();
  if (index < 0 || index >= static_cast<int32_t>(files.size())) return false;
  TPieceFile& file = files[static_cast<size_t>(index)];
  file.Selection = deselect ? TPieceFile::kDeselected : 0;
  if (deselect) file.Handle.Close();
  for (int64_t i = file.FirstPiece; i < file.FirstPiece + file.PieceCount && i < pieceCount_; ++i) {
    pieces_[static_cast<size_t>(i)].Skip = !PieceTouchesSelected(i);
  }
  RecountWanted();
  return true;
}

void TPieces::SelectAll(bool deselect) {
  for (TPieceFile& file : storage_.Files()) {
    file.Selection = deselect ? TPieceFile::kDeselected : 0;
    if (deselect) file.Handle.Close();
  }
  for (TPiece& piece : pieces_) piece.Skip = deselect;
  RecountWanted();
}

void TPieces::RecountWanted() {
  bytesWanted_ = 0;
  for (const TPieceFile& file : storage_.Files()) {
    if (!file.Deselected()) bytesWanted_ += file.Length;
  }
  piecesWanted_ = std::count_if(pieces_.begin(), pieces_.end(), [](const TPiece& p) { return !p.Skip; });
  donePieces_ = CountDoneOrSkipped();
}

void TPieces::ReportFileSelection() {
  std::vector<std::pair<std::string, bool>> selection;
  for (const TPieceFile& file : storage_.Files()) selection.emplace_back(file.RelativePath, file.Deselected());
  std::string list;
  if (!TResumeRecord::EncodeFileSelection(selection, &list)) return;
  Send(TPiecesEvent::kFileSelection, 1, static_cast<int32_t>(list.size()), list.data());
}

bool TPieces::FileHasMissingPieces(const TPieceFile& file) const {
  for (int64_t i = file.FirstPiece; i < file.FirstPiece + file.PieceCount; ++i) {
    if (!IsPieceComplete(i)) return true;
  }
  return false;
}

}  // namespace bw
