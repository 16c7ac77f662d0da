#include "engine/net/IStreamTransport.h"

#include <atomic>

namespace bw {
namespace {
std::atomic<IStreamTransport*> gTransport{nullptr};
}

IStreamTransport* IStreamTransport::Current() { return gTransport.load(std::memory_order_acquire); }

IStreamTransport* IStreamTransport::Install(IStreamTransport* transport) {
  return gTransport.exchange(transport, std::memory_order_acq_rel);
}

}  // namespace bw
