#include "engine/sources/WholeBody.h"

#include "engine/net/QSocket.h"

namespace bw {
namespace {

// Room added beyond what arrived, so that the next small read does not move the body again.
constexpr size_t kBodySlack = 4096;

}  // namespace

bool MoveHeldIntoBody(QSocket& socket, std::string& body) {
  const int64_t held = socket.ReceivedSize();
  if (held <= 0) return true;
  if (static_cast<int64_t>(body.size()) + held > kMaxWholeBody) {
    socket.Close();
    return false;
  }
  if (body.capacity() - body.size() < kBodySlack) body.reserve(body.size() + static_cast<size_t>(held) + kBodySlack);
  body.append(reinterpret_cast<const char*>(socket.ReceivedData()), static_cast<size_t>(held));
  socket.ConsumeReceived(held);
  return true;
}

}  // namespace bw
