#pragma once
#include "app/package/Package.h"

namespace bw::app {

// The package compiled into the program, decoded on first use; empty rows if it does not decode.
const Package& BuiltInPackage();

}  // namespace bw::app
