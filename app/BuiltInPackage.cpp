#include "app/BuiltInPackage.h"

#include "app/package/EmbeddedPackage.h"

namespace bw::app {

const Package& BuiltInPackage() {
  static const Package package = [] {
    Package decoded;
    DecodePackage(kEmbeddedPackage, kEmbeddedPackageSize, &decoded);
    return decoded;
  }();
  return package;
}

}  // namespace bw::app
