#include "engine/task/TaskInterface.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace bw {
namespace {

// Lines end at CR, LF or CR LF; a last line without an end counts; an empty text has no lines.
std::vector<std::string> SplitLines(const char* text) {
  std::vector<std::string> lines;
  if (!text) return lines;
  std::string_view rest(text);
  while (!rest.empty()) {
    const size_t end = rest.find_first_of("\r\n");
    if (end == std::string_view::npos) {
      lines.emplace_back(rest);
      break;
    }
    lines.emplace_back(rest.substr(0, end));
    const size_t next = rest.compare(end, 2, "\r\n") == 0 ? end + 2 : end + 1;
    rest.remove_prefix(next);
  }
  return lines;
}

bool IsControlOrBlank(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u >= 1 && u <= 32;
}

void Trim(std::string& text) {
  const auto first = std::find_if_not(text.begin(), text.end(), IsControlOrBlank);
  const auto last = std::find_if_not(text.rbegin(), text.rend(), IsControlOrBlank).base();
  text = first < last ? std::string(first, last) : std::string();
}

// A fixed text field of the caller's record, read no further than its size.
std::string FieldText(const char (&field)[kTextSize]) { return std::string(field, strnlen(field, kTextSize)); }

}  // namespace

int TaskInterface::GetProgress(TaskProgress* out) {
  if (!out) return kEngineInvalidArgument;
  TaskStatusView view;
  {
    QScopedLock guard(lock);
    ReadPublished(view);
  }
  std::memset(out, 0, sizeof *out);
  std::memcpy(out->name, view.name.data(), std::min(view.name.size(), sizeof out->name - 1));
  out->totalKiB = static_cast<int32_t>(view.totalBytes / 1024);
  out->httpBytes = view.httpBytes;
  out->p2pBytes = view.p2pBytes;
  out->speed = view.speed;
  out->remaining = view.remaining;
  out->doneBytes = view.doneBytes;
  if (view.totalBytes != 0) {
    const auto scaled = static_cast<unsigned __int128>(view.doneBytes) * 10000 / view.totalBytes;
    out->progress = static_cast<int32_t>(std::min<unsigned __int128>(scaled, 10000));
  }
  out->status = out->progress >= 10000 ? kTaskStatusComplete : view.status;
  return kEngineOk;
}

int TaskInterface::IsComplete(int* out) {
  if (!out) return kEngineInvalidArgument;
  TaskStatusView view;
  {
    QScopedLock guard(lock);
    ReadPublished(view);
  }
  *out = view.totalBytes != 0 && static_cast<unsigned __int128>(view.doneBytes) * 10000 / view.totalBytes > 9999;
  return kEngineOk;
}

int TaskInterface::CopyPieceBitmap(void* buf, int size) {
  QScopedLock guard(lock);
  const std::span<const uint8_t> bits = PieceBitmap();
  std::memcpy(buf, bits.data(), std::min(static_cast<size_t>(size), bits.size()));
  return static_cast<int>(std::min<int64_t>(static_cast<int64_t>(bits.size()) * 8, PieceCount()));
}

int TaskInterface::PieceBitmapBytes() {
  QScopedLock guard(lock);
  return static_cast<int>(PieceBitmap().size());
}

void TaskInterface::AddMirrors(const char* urls, const char* hosts) {
  QScopedLock guard(lock);
  for (std::string& url : SplitLines(urls)) mirrors.push_back(std::move(url));
  for (std::string& host : SplitLines(hosts)) mirrorHosts.push_back(std::move(host));
  mirrorsChanged = true;
}

void TaskInterface::ClearMirrors() {
  QScopedLock guard(lock);
  mirrors.clear();
  mirrorHosts.clear();
  mirrorsChanged = false;
}

void TaskInterface::Describe(const TaskParams& params, bool storeFlag) {
  QScopedLock guard(lock);
  for (std::string& line : SplitLines(params.sources)) sources.push_back({std::move(line), kSourceIdle});
  for (TaskSource& source : sources) Trim(source.text);
  infoPath = FieldText(params.infoPath);
  pendingBlockPath = infoPath + "df";
  saveFolder = FieldText(params.target);
  p2sp = params.flags & kTaskFlagP2SP;
  bt = params.flags & kTaskFlagBT;
  fullPath = params.flags & kTaskFlagFullPath;
  pieceMapOption = params.flags & kTaskFlagPieceMapOption;
  if (storeFlag) storedFlag = params.flags & kTaskFlagStored;
  if (p2sp) {
    contentId = FieldText(params.contentId);
  } else if (bt && !sources.empty()) {
    contentId = sources.front().text;
    sources.front().mark = kSourceTorrent;
  }
  typeName = p2sp ? "P2SP Task" : bt ? "BT Task" : "HTTP Task";
  if (fullPath) {
    targetFile = saveFolder;
    const size_t slash = saveFolder.find_last_of('/');
    if (slash != std::string::npos) saveFolder.resize(slash + 1);
  }
}

bool TaskInterface::Duplicates(TaskInterface& other) {
  QScopedLock guard(other.lock);
  if (fullPath && other.fullPath && targetFile == other.targetFile) return true;
  if ((p2sp || bt) && (other.p2sp || other.bt) && contentId == other.contentId) return true;
  size_t shared = 0;
  for (const TaskSource& mine : sources) {
    const auto same = [&](const TaskSource& theirs) { return theirs.text == mine.text; };
    if (std::any_of(other.sources.begin(), other.sources.end(), same)) ++shared;
  }
  return shared != 0 && sources.size() / shared <= 2;
}

}  // namespace bw
