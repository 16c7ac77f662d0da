#pragma once
#include <cstdint>
#include <string>

#include "engine/net/CIPFilter.h"

namespace bw {

// The process-wide IP filter and the file it is read from; every task works with a copy.

// Sets the filter file and loads the filter from it now: the number of ranges it holds, -1 when
// the file cannot be read (the filter is then empty).
int32_t LoadProcessIPFilter(const std::string& path);

// What a task takes before it starts its peer work: the process-wide filter, loaded again from
// its file first when it is empty.
CIPFilter ProcessIPFilterCopy();

}  // namespace bw
