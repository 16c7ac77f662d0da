#pragma once
#include <optional>
#include <string>

namespace bw::app {

// How the files of a download take their space. With preallocation the whole size is reserved
// when a file is opened; with sparse files space is taken as data arrives, so the controller
// watches the free space while it downloads.
enum class AllocationMode { kPreallocate, kSparse };

// Asks the volume of folder (or of its nearest existing parent) with a scratch file: reserving
// blocks works → preallocation; otherwise a file with a hole → sparse; otherwise preallocation.
// Empty when the volume cannot be asked (no writable folder).
std::optional<AllocationMode> ProbeAllocationMode(const std::string& folder);

}  // namespace bw::app
