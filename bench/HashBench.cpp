// The engine's own hashes against OpenSSL's on the same buffers.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <cstdint>
#include <random>
#include <vector>

#include "engine/common/Adler32.h"
#include "engine/common/Md5.h"
#include "engine/common/Sha1.h"

namespace {

constexpr int64_t kLargest = 1 << 20;

// Every run hashes the start of the same random buffer.
const uint8_t* Data() {
  static const std::vector<uint8_t> data = [] {
    std::vector<uint8_t> v(kLargest);
    std::mt19937 rng(42);
    for (auto& b : v) b = uint8_t(rng());
    return v;
  }();
  return data.data();
}

void Sha1Bench(benchmark::State& state, bw::Sha1::Engine engine) {
  if (engine == bw::Sha1::Engine::kShaNi && !bw::Sha1::HasShaExtensions()) {
    state.SkipWithError("CPU without SHA extensions");
    return;
  }
  const size_t size = size_t(state.range(0));
  const uint8_t* data = Data();
  uint8_t digest[bw::Sha1::kDigestSize];
  for (auto _ : state) {
    bw::Sha1 sha(engine);
    sha.Input(data, size);
    sha.Result(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void Md5Bench(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  const uint8_t* data = Data();
  uint8_t digest[bw::Md5::kDigestSize];
  for (auto _ : state) {
    bw::Md5::Hash(data, size, digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void Adler32Bench(benchmark::State& state) {
  const size_t size = size_t(state.range(0));
  const uint8_t* data = Data();
  for (auto _ : state) benchmark::DoNotOptimize(bw::Adler32(1, data, size));
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

// OpenSSL through EVP with the digest fetched once and the context reused, its fastest use.
void OpenSslBench(benchmark::State& state, const char* name) {
  const size_t size = size_t(state.range(0));
  const uint8_t* data = Data();
  EVP_MD* md = EVP_MD_fetch(nullptr, name, nullptr);
  EVP_MD_CTX* ctx = EVP_MD_CTX_new();
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  for (auto _ : state) {
    EVP_DigestInit_ex(ctx, md, nullptr);
    EVP_DigestUpdate(ctx, data, size);
    EVP_DigestFinal_ex(ctx, digest, &length);
    benchmark::DoNotOptimize(digest);
  }
  EVP_MD_CTX_free(ctx);
  EVP_MD_free(md);
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(size));
}

void Sizes(benchmark::internal::Benchmark* b) { b->Arg(16 << 10)->Arg(kLargest); }

BENCHMARK_CAPTURE(Sha1Bench, ShaNi, bw::Sha1::Engine::kShaNi)->Apply(Sizes);
BENCHMARK_CAPTURE(Sha1Bench, Portable, bw::Sha1::Engine::kPortable)->Apply(Sizes);
BENCHMARK_CAPTURE(OpenSslBench, Sha1, "SHA1")->Apply(Sizes);
BENCHMARK(Md5Bench)->Apply(Sizes);
BENCHMARK_CAPTURE(OpenSslBench, Md5, "MD5")->Apply(Sizes);
BENCHMARK(Adler32Bench)->Apply(Sizes);

}  // namespace
