#pragma once

namespace bw::fuzz {

// A broken promise of the code under test is a finding: stop right here.
inline void Check(bool condition) {
  if (!condition) __builtin_trap();
}

}  // namespace bw::fuzz
