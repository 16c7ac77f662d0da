#include "engine/common/TRefObject.h"

namespace bw {

void TRefObject::AddRef() { ++refCount_; }

void TRefObject::Release() {
  if (--refCount_ <= 0) delete this;
}

int32_t TRefObject::RefCount() const { return refCount_; }

}  // namespace bw
