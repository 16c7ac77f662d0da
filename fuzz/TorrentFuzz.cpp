// Any bytes as a torrent: loading never crashes, reads past its input or asks for unbounded
// memory; the files it lays out stay inside a scratch folder that is emptied after each input.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "engine/storage/TPieces.h"
#include "engine/storage/TTorrent.h"
#include "tests/storage/QuietPiecesTask.h"

namespace {

const std::string kScratch = "/tmp/bw-fuzz-torrent-" + std::to_string(getpid()) + "/";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  bw::test::QuietPiecesTask task;
  bw::TPieces map(task);
  map.SetSaveDirectory(kScratch);
  map.SetFreeSpaceQuery([](const std::string&) { return int64_t{1} << 50; });
  bw::TTorrent torrent(map, nullptr);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  bool loaded;
  if (text.find("$End$") != std::string_view::npos) {
    torrent.SourceText.assign(text);
    loaded = torrent.Load();
  } else {
    // libFuzzer's own block of exactly `size` bytes, so ASan sees any read past the end.
    loaded = torrent.LoadFromBytes(text.data(), static_cast<int64_t>(size));
  }
  if (loaded) {
    if (torrent.Trackers.empty() || torrent.InfoHashHex.size() != 40) __builtin_trap();
  }
  map.Reset();
  std::error_code ec;
  std::filesystem::remove_all(kScratch, ec);
  return 0;
}
