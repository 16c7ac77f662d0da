// Hashing a 2 GiB set of four files at start-up (no resume record, so every piece is read and
// verified) beside sha1sum and OpenSSL's SHA-1 on one core over the same files, all with the
// files already in the page cache.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <openssl/evp.h>

#include "engine/common/Sha1.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TPieces.h"
#include "tests/storage/QuietPiecesTask.h"

namespace {

constexpr int64_t kFileLength = int64_t{512} << 20;
constexpr int kFiles = 4;
constexpr int64_t kPieceLength = 1 << 20;
constexpr int64_t kSetLength = kFileLength * kFiles;

struct FileSet {
  std::string folder;
  std::string info;
  std::string paths;  // for the shell
};

// Writes the files once, hashing the pieces as they go, and reads them back once so that both
// runs start from the page cache.
const FileSet& Files() {
  static const FileSet set = [] {
    FileSet s;
    std::string pattern = "/tmp/bwrecheck.XXXXXX";
    s.folder = std::string(mkdtemp(pattern.data())) + "/";
    std::filesystem::create_directories(s.folder + "set");
    std::vector<char> piece(kPieceLength);
    std::string hashes, list;
    uint64_t x = 88172645463325252ull;
    for (int f = 0; f < kFiles; ++f) {
      std::string name = std::to_string(f);  // built in steps: GCC 12 warns falsely on "f" + ...
      name.insert(0, 1, 'f');
      name += ".bin";
      std::ofstream out(s.folder + "set/" + name, std::ios::binary);
      for (int64_t at = 0; at < kFileLength; at += kPieceLength) {
        for (size_t i = 0; i < piece.size(); i += 8) {
          x ^= x << 13, x ^= x >> 7, x ^= x << 17;
          std::memcpy(piece.data() + i, &x, 8);
        }
        out.write(piece.data(), kPieceLength);
        uint8_t digest[20];
        bw::Sha1::Hash(piece.data(), piece.size(), digest);
        hashes.append(reinterpret_cast<char*>(digest), 20);
      }
      list += "d6:lengthi" + std::to_string(kFileLength) + "e4:pathl" + std::to_string(name.size()) + ":" + name + "ee";
      s.paths += " " + s.folder + "set/" + name;
    }
    s.info = "d5:filesl" + list + "e4:name3:set12:piece lengthi" + std::to_string(kPieceLength) +
             "e6:pieces" + std::to_string(hashes.size()) + ":" + hashes + "e";
    if (std::system(("cat" + s.paths + " >/dev/null").c_str()) != 0) std::abort();
    return s;
  }();
  return set;
}

void Throughput(benchmark::State& state, double seconds) {
  state.counters["MB/s"] = kSetLength / 1e6 / seconds;
}

void RecheckFiles(benchmark::State& state) {
  const FileSet& set = Files();
  for (auto _ : state) {
    bw::test::QuietPiecesTask task;
    bw::TPieces map(task);
    map.SetSaveDirectory(set.folder);
    auto info = bw::ParseElement(set.info.data(), static_cast<int64_t>(set.info.size()));
    const auto t0 = std::chrono::steady_clock::now();
    const bool loaded = map.LoadInfo(*info);
    Throughput(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
    if (!loaded || !map.IsComplete()) state.SkipWithError("check failed");
  }
}

void Sha1sumFiles(benchmark::State& state) {
  const FileSet& set = Files();
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(("sha1sum" + set.paths + " >/dev/null").c_str()) != 0) state.SkipWithError("sha1sum failed");
    Throughput(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
}

// OpenSSL's SHA-1 on one core over the same files, read in the same-sized steps.
void OpenSslSha1Files(benchmark::State& state) {
  const FileSet& set = Files();
  std::vector<char> chunk(16 << 20);
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int f = 0; f < kFiles; ++f) {
      std::ifstream in(set.folder + "set/f" + std::to_string(f) + ".bin", std::ios::binary);
      EVP_MD_CTX* ctx = EVP_MD_CTX_new();
      EVP_DigestInit_ex(ctx, EVP_sha1(), nullptr);
      while (in.read(chunk.data(), static_cast<std::streamsize>(chunk.size())) || in.gcount() > 0) {
        EVP_DigestUpdate(ctx, chunk.data(), static_cast<size_t>(in.gcount()));
      }
      unsigned char digest[EVP_MAX_MD_SIZE];
      EVP_DigestFinal_ex(ctx, digest, nullptr);
      EVP_MD_CTX_free(ctx);
    }
    Throughput(state, std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count());
  }
}

void RemoveFiles(benchmark::State& state) {
  for (auto _ : state) std::filesystem::remove_all(Files().folder);
}

BENCHMARK(RecheckFiles)->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Sha1sumFiles)->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(OpenSslSha1Files)->Iterations(2)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(RemoveFiles)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
