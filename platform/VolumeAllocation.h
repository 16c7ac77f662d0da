#pragma once
#include <optional>
#include <string>

namespace platform {

// How files on a volume can take their space: reserved whole in advance (fallocate), grown with
// holes (sparse files), or neither (written out in full).
enum class VolumeAllocation { kReserves, kSparse, kNeither };

// Asks the volume of folder, or of its nearest existing parent, with a scratch file. Empty when
// there is no folder to ask or it cannot be written.
std::optional<VolumeAllocation> ProbeVolumeAllocation(const std::string& folder);

}  // namespace platform
