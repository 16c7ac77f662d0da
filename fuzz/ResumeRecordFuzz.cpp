// Any bytes as the saved resume record of a map whose files are on disk: the start-up check
// takes what it can trust and falls back to hashing the files, without crashing or reading past
// any buffer.
#include <filesystem>

#include "fuzz/StorageFuzzFixture.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const std::string record = fuzzfixture::StopHalfWay(fuzzfixture::kDir + "unused.bwinfodf");
  fuzzfixture::WriteSeed("half-way.bits", record);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzfixture::Task task;
  bw::TPieces map(task);
  fuzzfixture::Prepare(map, "");
  map.SetSavedRecord(std::string(reinterpret_cast<const char*>(data), size));
  map.LoadInfo(*fuzzfixture::Info());
  return 0;
}
