#pragma once
#include <cstdint>
#include <string>

namespace bw {

class QSocket;

// A body collected in memory (a small file such as a torrent) may not grow beyond this.
constexpr int64_t kMaxWholeBody = int64_t{8} << 20;

// Moves the bytes the socket holds to the end of the body. False, with the socket closed, when
// the body would outgrow kMaxWholeBody.
bool MoveHeldIntoBody(QSocket& socket, std::string& body);

}  // namespace bw
