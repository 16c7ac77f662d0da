#include "engine/net/ProcessIPFilter.h"

#include "engine/net/NetworkLock.h"

namespace bw {
namespace {

// Guarded by the network lock.
CIPFilter& Filter() {
  static auto* filter = new CIPFilter;  // outlives every task
  return *filter;
}

std::string& FilterPath() {
  static auto* path = new std::string;
  return *path;
}

int32_t Reload() {
  Filter().Clear();
  if (FilterPath().empty()) return 0;
  return Filter().LoadRanges(FilterPath());
}

}  // namespace

int32_t LoadProcessIPFilter(const std::string& path) {
  QScopedLock guard(NetworkLock());
  FilterPath() = path;
  return Reload();
}

CIPFilter ProcessIPFilterCopy() {
  QScopedLock guard(NetworkLock());
  if (Filter().IsEmpty()) Reload();
  return Filter();
}

}  // namespace bw
