// Any bytes as a saved resume record: the decoder takes what is well formed without crashing or
// reading past its input, and what it yields encodes again.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/storage/TResumeRecord.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  bw::TResumeRecord::Saved saved;
  if (!bw::TResumeRecord::Decode(bytes, &saved)) return 0;
  std::vector<bw::TResumeRecord::FileFacts> files;
  for (const auto& file : saved.files) {
    if (file.path.empty()) break;
    const uint64_t time = static_cast<uint32_t>(file.low) | uint64_t{static_cast<uint32_t>(file.high)} << 32;
    files.push_back({file.path, time, file.size, static_cast<int32_t>(file.priority)});
  }
  std::vector<bw::TResumeRecord::PartialPiece> partial;
  for (const auto& piece : saved.pieces) {
    partial.push_back({static_cast<int32_t>(piece.index), static_cast<int32_t>(piece.part), piece.state.data()});
  }
  std::string again;
  if (!bw::TResumeRecord::Encode(saved.hasInfoHash ? saved.infoHash.data() : nullptr, files, partial, saved.bitfield,
                                 &again)) {
    __builtin_trap();
  }
  bw::TResumeRecord::Saved back;
  if (!bw::TResumeRecord::Decode(again, &back) || back.bitfield != saved.bitfield ||
      back.pieces.size() != partial.size()) {
    __builtin_trap();
  }
  return 0;
}
