#pragma once
#include "tests/net/FakeResolver.h"

namespace bw::test {

// One resolver for the whole program: lookup workers that answer after their caller gave up
// still use it, so it must never go away.
inline FakeResolver& TestResolver() {
  static auto* resolver = new FakeResolver;
  return *resolver;
}

}  // namespace bw::test
