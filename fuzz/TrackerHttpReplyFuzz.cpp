// An HTTP tracker's answer as it arrives: framed by its header, read as a bencoded body. An answer
// found complete stays the same as more bytes come, and never yields more peers than asked for,
// an unusable peer or an interval under the floor.
#include <cstddef>
#include <cstdint>

#include "engine/sources/TrackerReply.h"
#include "fuzz/FuzzCheck.h"

using bw::fuzz::Check;

namespace {

void CheckAnswer(const bw::TrackerAnswer& answer) {
  Check(answer.peers.size() <= bw::kMaxTrackerPeers);
  for (const bw::TrackerPeer& peer : answer.peers) Check(bw::IsUsablePeer(peer));
  Check(answer.interval >= bw::kMinTrackerInterval);
  Check(answer.donePeers >= 0 && answer.numCompleted >= 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* text = reinterpret_cast<const char*>(data);
  const auto held = static_cast<int64_t>(size);

  // The same bytes read as a body alone: the bencode path without any header in front.
  bw::TrackerAnswer whole;
  bw::ParseTrackerBody(text, held, &whole);
  CheckAnswer(whole);

  int64_t firstFramed = 0;
  int64_t firstStart = 0;
  int64_t firstLength = 0;
  // Arrivals in steps that grow with the input, so large inputs stay quick.
  const int64_t step = held / 64 + 1;
  for (int64_t prefix = 0; prefix <= held; prefix += step) {
    int64_t start = 0;
    int64_t length = 0;
    const int64_t framed = bw::FrameHttpTrackerReply(text, prefix, false, &start, &length);
    Check(framed >= -1 && framed <= prefix);
    if (framed <= 0) continue;
    Check(start >= 0 && length >= 0 && start + length == framed && length <= bw::kMaxTrackerBody);
    if (firstFramed == 0) {
      firstFramed = framed;
      firstStart = start;
      firstLength = length;
    }
  }
  int64_t start = 0;
  int64_t length = 0;
  const int64_t framed = bw::FrameHttpTrackerReply(text, held, true, &start, &length);
  Check(framed >= -1 && framed <= held);
  if (firstFramed > 0) Check(framed == firstFramed && start == firstStart && length == firstLength);
  if (framed > 0) {
    bw::TrackerAnswer answer;
    bw::ParseTrackerBody(text + start, length, &answer);
    CheckAnswer(answer);
  }
  return 0;
}
