// Any bytes as the pending-block file beside a valid resume record: records are taken only
// while they are sound, and no block lands outside its piece.
#include <filesystem>

#include "fuzz/StorageFuzzFixture.h"

namespace {

const std::string kPending = fuzzfixture::kDir + "task.bwinfodf";
std::string record;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  record = fuzzfixture::StopHalfWay(kPending);
  std::ifstream in(kPending, std::ios::binary);
  fuzzfixture::WriteSeed("half-way.bwinfodf", std::string(std::istreambuf_iterator<char>(in), {}));
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::ofstream(kPending, std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  fuzzfixture::Task task;
  bw::TPieces map(task);
  fuzzfixture::Prepare(map, kPending);
  map.SetSavedRecord(record);
  map.LoadInfo(*fuzzfixture::Info());
  return 0;
}
