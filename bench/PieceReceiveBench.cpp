// Receiving a 1 GiB content in 16 KiB blocks through the piece map to disk (hash and write),
// beside dd writing and sha1sum reading the same amount, in one run. On a virtual machine a
// page never touched before costs far more to write into, so dd's time moves with what ran
// before it: compare over a few runs.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "engine/common/Sha1.h"
#include "engine/storage/QElement.h"
#include "engine/storage/TPieces.h"
#include "tests/storage/QuietPiecesTask.h"

namespace {

constexpr int64_t kTotal = int64_t{1} << 30;
constexpr int64_t kPiece = 1 << 20;
constexpr int32_t kBlock = bw::kBlockSize;

// Block b of the content: a fixed random pattern stamped with b.
void FillBlock(uint8_t* out, int64_t b) {
  static const std::string pattern = [] {
    std::string s(kBlock, '\0');
    uint32_t x = 12345;
    for (char& c : s) c = static_cast<char>((x = x * 1103515245 + 12345) >> 16);
    return s;
  }();
  std::memcpy(out, pattern.data(), kBlock);
  std::memcpy(out, &b, sizeof b);
}

std::string Folder() {
  static const std::string folder = [] {
    std::string pattern = "/tmp/bwreceive.XXXXXX";
    return std::string(mkdtemp(pattern.data())) + "/";
  }();
  return folder;
}

void ResetPeak() { std::ofstream("/proc/self/clear_refs") << "5"; }

double PeakMiB() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmHWM:", 0) == 0) return std::atof(line.c_str() + 6) / 1024.0;
  }
  return 0;
}

double CpuSeconds(int who) {
  rusage ru{};
  getrusage(who, &ru);
  return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// The receiving thread alone: with hashing in the background the rest runs beside it.
double ThreadCpuSeconds() { return CpuSeconds(RUSAGE_THREAD); }

void Report(benchmark::State& state, double seconds, double cpu, double peakMiB) {
  state.counters["MB/s"] = kTotal / 1e6 / seconds;
  state.counters["cpu_s"] = cpu;
  state.counters["peak_MiB"] = peakMiB;
}

void ReceiveToDisk(benchmark::State& state) {
  std::string hashes;
  uint8_t block[kBlock];
  for (int64_t p = 0; p < kTotal / kPiece; ++p) {
    bw::Sha1 sha;
    for (int64_t b = p * kPiece / kBlock; b < (p + 1) * kPiece / kBlock; ++b) {
      FillBlock(block, b);
      sha.Input(block, kBlock);
    }
    uint8_t digest[20];
    sha.Result(digest);
    hashes.append(reinterpret_cast<char*>(digest), 20);
  }
  const std::string info = "d6:lengthi" + std::to_string(kTotal) + "e4:name8:data.bin12:piece lengthi" +
                           std::to_string(kPiece) + "e6:pieces" + std::to_string(hashes.size()) + ":" +
                           hashes + "e";
  for (auto _ : state) {
    bw::test::QuietPiecesTask task;
    bw::TPieces map(task);
    map.HashInBackground(state.range(0) != 0);
    map.SetSaveDirectory(Folder());
    auto root = bw::ParseElement(info.data(), static_cast<int64_t>(info.size()));
    if (!map.LoadInfo(*root)) {
      state.SkipWithError("layout failed");
      return;
    }
    ResetPeak();
    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const double threadCpu0 = ThreadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    bool accepted;
    for (int64_t b = 0; b < kTotal / kBlock; ++b) {
      FillBlock(block, b);
      map.ReceiveBlock(b, kBlock, block, nullptr, &accepted);
      if ((b + 1) % (kPiece / kBlock) == 0) {
        map.WriteVerified();
        map.MaintainCache();
      }
    }
    const double threadCpu = ThreadCpuSeconds() - threadCpu0;
    map.CloseFiles(false, true);  // flushes, syncs and renames
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.counters["thread_cpu_s"] = threadCpu;
    if (!map.IsComplete()) state.SkipWithError("not complete");
    Report(state, seconds, CpuSeconds(RUSAGE_SELF) - cpu0, PeakMiB());
    std::filesystem::remove(Folder() + "data.bin");
  }
}

// Runs a shell command and reports it like the receive run (children's CPU and peak memory).
void Command(benchmark::State& state, const std::string& command) {
  for (auto _ : state) {
    const double cpu0 = CpuSeconds(RUSAGE_CHILDREN);
    const auto t0 = std::chrono::steady_clock::now();
    if (std::system(command.c_str()) != 0) state.SkipWithError("command failed");
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    rusage ru{};
    getrusage(RUSAGE_CHILDREN, &ru);
    Report(state, seconds, CpuSeconds(RUSAGE_CHILDREN) - cpu0, ru.ru_maxrss / 1024.0);
  }
}

void DdWrite(benchmark::State& state) {
  Command(state, "dd if=/dev/zero of=" + Folder() + "dd.bin bs=1M count=1024 conv=fsync status=none");
}

void Sha1sumRead(benchmark::State& state) {
  Command(state, "sha1sum " + Folder() + "dd.bin >/dev/null && rm -rf " + Folder());
}

// One name prefix for the three, so --benchmark_filter=PieceReceive runs them together.
// Argument 1: completed pieces are hashed on the verifier thread.
BENCHMARK(ReceiveToDisk)->Name("PieceReceive/ToDisk")->Arg(0)->Arg(1)->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(DdWrite)->Name("PieceReceive/DdWrite")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();
BENCHMARK(Sha1sumRead)->Name("PieceReceive/Sha1sumRead")->Iterations(1)->Unit(benchmark::kSecond)->UseRealTime();

}  // namespace
