#include "engine/storage/DataFileSize.h"

#include <string>

#include "platform/DiskSpace.h"

namespace bw {

int64_t DataFileSizeOnDisk(const char* path) {
  if (!path) return -1;
  uint64_t bytes = 0;
  platform::SizeQuery query = platform::AllocatedSize(path, &bytes);
  if (query == platform::SizeQuery::kNotFound || query == platform::SizeQuery::kOpenFailed) {
    // The data may still lie in the in-progress file.
    query = platform::AllocatedSize((std::string(path) + ".bwtmp").c_str(), &bytes);
  }
  switch (query) {
    case platform::SizeQuery::kOk: return static_cast<int64_t>(bytes);
    case platform::SizeQuery::kNotFound: return 0;
    case platform::SizeQuery::kOpenFailed: return -1;
    case platform::SizeQuery::kQueryFailed: return -2;
  }
  return -1;
}

}  // namespace bw
