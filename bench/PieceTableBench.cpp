// Memory of the piece table of a torrent of many small pieces while none is active: the heap the
// map takes to load it, per piece, beside the 20 bytes of its hash that any map must keep.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "engine/storage/QElement.h"
#include "engine/storage/TPiece.h"
#include "engine/storage/TPieces.h"
#include "tests/storage/QuietPiecesTask.h"

namespace {

constexpr int64_t kPieceLength = 16384;

// Heap in use, large blocks that malloc maps on their own included.
size_t HeapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

void PieceTableMemory(benchmark::State& state) {
  const int64_t pieces = state.range(0);
  std::string pattern = "/tmp/bwpiecetable.XXXXXX";
  const std::string folder = std::string(mkdtemp(pattern.data())) + "/";
  const std::string hashes(static_cast<size_t>(pieces * 20), '\x5a');
  std::string info = "d6:lengthi";
  info += std::to_string(pieces * kPieceLength);
  info += "e4:name4:big012:piece lengthi";
  info += std::to_string(kPieceLength);
  info += "e6:pieces";
  info += std::to_string(hashes.size());
  info += ":";
  info += hashes;
  info += "e";
  for (auto _ : state) {
    bw::test::QuietPiecesTask task;
    auto element = bw::ParseElement(info.data(), static_cast<int64_t>(info.size()));
    const size_t before = HeapInUse();
    auto map = std::make_unique<bw::TPieces>(task);
    map->SetSaveDirectory(folder);
    if (!map->LoadInfo(*element) && map->PieceCount() != pieces) state.SkipWithError("the map did not load");
    const double perPiece = static_cast<double>(HeapInUse() - before) / static_cast<double>(pieces);
    state.counters["bytes/piece"] = perPiece;
    state.counters["without hash"] = perPiece - 20;
    state.counters["sizeof TPiece"] = sizeof(bw::TPiece);
  }
  std::filesystem::remove_all(folder);
}

BENCHMARK(PieceTableMemory)->Arg(1000000)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
