// Parsing and writing a torrent-shaped document of about 1 MiB, in bytes per second: once as one
// info dictionary with a 1 MiB "pieces" string, once as an info dictionary with many file entries.
#include <benchmark/benchmark.h>

#include <string>

#include "engine/storage/QElement.h"

namespace {

constexpr int64_t kTarget = 1 << 20;

std::string Serialised(const bw::QElement& element) {
  std::string out;
  element.Serialise(out);
  return out;
}

std::unique_ptr<bw::QElement> NewTorrent(std::unique_ptr<bw::QElement> info) {
  std::unique_ptr<bw::QElement> torrent = bw::NewDictionary();
  torrent->AppendString("announce", -1);
  torrent->AppendString("http://127.0.0.1:6969/announce", -1);
  torrent->AppendString("creation date", -1, 1700000000);
  torrent->AppendString("info", -1);
  torrent->Append(std::move(info));
  return torrent;
}

std::string PiecesTorrent() {
  std::unique_ptr<bw::QElement> info = bw::NewDictionary();
  info->AppendString("length", -1, 13421772800LL);
  info->AppendString("name", -1);
  info->AppendString("game.cab", -1);
  info->AppendString("piece length", -1, 262144);
  info->AppendString("pieces", -1);
  const std::string pieces(kTarget, '\x5a');
  info->AppendString(pieces.data(), static_cast<int64_t>(pieces.size()));
  return Serialised(*NewTorrent(std::move(info)));
}

std::string FilesTorrent() {
  std::unique_ptr<bw::QElement> files = bw::NewList();
  for (int64_t i = 0, size = 0; size < kTarget; ++i) {
    std::unique_ptr<bw::QElement> entry = bw::NewDictionary();
    entry->AppendString("length", -1, 1000 + i);
    entry->AppendString("path", -1);
    std::unique_ptr<bw::QElement> path = bw::NewList();
    path->AppendString("data", -1);
    path->AppendString(("file" + std::to_string(i) + ".bin").c_str(), -1);
    entry->Append(std::move(path));
    size += entry->EncodedSize();
    files->Append(std::move(entry));
  }
  std::unique_ptr<bw::QElement> info = bw::NewDictionary();
  info->AppendString("files", -1);
  info->Append(std::move(files));
  info->AppendString("name", -1);
  info->AppendString("game", -1);
  info->AppendString("piece length", -1, 262144);
  info->AppendString("pieces", -1);
  info->AppendString(std::string(20 * 64, 'x').c_str(), -1);
  return Serialised(*NewTorrent(std::move(info)));
}

void BM_BencodeParse(benchmark::State& state, std::string (*make)()) {
  const std::string text = make();
  for (auto _ : state) {
    std::unique_ptr<bw::QElement> element =
        bw::ParseElement(text.data(), static_cast<int64_t>(text.size()));
    benchmark::DoNotOptimize(element.get());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

void BM_BencodeSerialise(benchmark::State& state, std::string (*make)()) {
  const std::string text = make();
  const std::unique_ptr<bw::QElement> element =
      bw::ParseElement(text.data(), static_cast<int64_t>(text.size()));
  for (auto _ : state) {
    std::string out;
    element->Serialise(out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}

BENCHMARK_CAPTURE(BM_BencodeParse, pieces, &PiecesTorrent);
BENCHMARK_CAPTURE(BM_BencodeParse, files, &FilesTorrent);
BENCHMARK_CAPTURE(BM_BencodeSerialise, pieces, &PiecesTorrent);
BENCHMARK_CAPTURE(BM_BencodeSerialise, files, &FilesTorrent);

}  // namespace
