// The verification's whole-file MD5 against OpenSSL's MD5 reading the same file the same way
// (4096-byte blocks through stdio), so that the figures differ by the hash alone.
#include <atomic>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <openssl/evp.h>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include "app/FileDigest.h"
#include "platform/File.h"

namespace {

constexpr size_t kFileBytes = size_t{64} << 20;

// One file of random bytes for the whole run, in the page cache after its first read.
const std::string& File() {
  static const std::string path = [] {
    std::string name = platform::PrivateTempFolder() + "/file-md5-bench.bin";
    std::vector<uint8_t> data(kFileBytes);
    std::mt19937 rng(7);
    for (auto& b : data) b = uint8_t(rng());
    platform::WriteNewFile(name, data.data(), data.size());
    std::atexit([] { ::unlink(File().c_str()); });
    return name;
  }();
  return path;
}

void ComputeFileMd5Bench(benchmark::State& state) {
  const std::string& path = File();  // written before the timing
  std::atomic<int> progress{0};
  for (auto _ : state) benchmark::DoNotOptimize(bw::app::ComputeFileMd5(path, progress));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileBytes));
}

void OpenSslFileMd5Bench(benchmark::State& state) {
  EVP_MD* md = EVP_MD_fetch(nullptr, "MD5", nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  unsigned char block[4096];
  const std::string& path = File();
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "rb");
    EVP_DigestInit_ex(ctx, md, nullptr);
    for (size_t got; (got = std::fread(block, 1, sizeof block, file)) > 0;) EVP_DigestUpdate(ctx, block, got);
    EVP_DigestFinal_ex(ctx, digest, &length);
    std::fclose(file);
    benchmark::DoNotOptimize(digest);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileBytes));
}

}  // namespace

BENCHMARK(ComputeFileMd5Bench)->Unit(benchmark::kMillisecond);
BENCHMARK(OpenSslFileMd5Bench)->Unit(benchmark::kMillisecond);
