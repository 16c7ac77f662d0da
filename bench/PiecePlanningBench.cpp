// A BitTorrent peer planning a step of requests over a torrent of many pieces, beside 30 other
// peers with 250 requests each: the pieces it asked for and those other sources hold are looked
// at once for the step, however many pieces it chooses. Beside it, the same choices made one
// call at a time, each looking at the whole torrent and every other peer's requests again (as
// every choice did before).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "engine/sources/TBTPeer.h"
#include "tests/sources/FakePeerTask.h"

namespace {

constexpr int64_t kPieceLength = 16384;  // one block a piece: a step of 250 requests chooses 250 pieces
constexpr int kOtherPeers = 30;
constexpr int64_t kOtherRequests = 250;

class PlanningPeer : public bw::TBTPeer {
 public:
  using TBTPeer::TBTPeer;
  void Forget() { requests_.clear(); }
  void Ask(int64_t block) { QueueRequest(block, bw::kBlockSize); }
};

struct Swarm {
  explicit Swarm(int64_t pieces)
      : task(pieces * kPieceLength, kPieceLength, std::string(static_cast<size_t>(pieces * 20), '\x5a')),
        peer(bw::MakeRef<PlanningPeer>(&task)) {
    peer->linkState = bw::TPeerObject::kGreeted;
    peer->peerChoking = false;
    peer->remoteHave.assign(static_cast<size_t>((pieces + 7) / 8), 0xff);
    peer->triedPieces.assign(peer->remoteHave.size(), 0);
    peer->haveCount = static_cast<int32_t>(pieces);
    peer->counters.downloadRate = 200 * bw::kBlockSize;  // deep enough for 250 requests
    // The others fetch the last pieces, out of this peer's way.
    int64_t block = pieces - 1;
    for (int i = 0; i < kOtherPeers; ++i) {
      others.push_back(bw::MakeRef<bw::test::TestPeer>(1, &task));
      for (int64_t r = 0; r < kOtherRequests; ++r) others.back()->Ask(block--, bw::kBlockSize);
      task.active.push_back(bw::TRef<bw::TPeerObject>::Share(others.back().get()));
    }
  }
  ~Swarm() {
    task.active.clear();
    for (auto& other : others) other->Reset();
    peer->Reset();
  }
  void Clear() {
    peer->Forget();
    peer->lastPlanTime = 0;
    task.wanted.clear();
  }

  bw::test::FakePeerTask task;
  bw::TRef<PlanningPeer> peer;
  std::vector<bw::TRef<bw::test::TestPeer>> others;
};

void PlanningStep(benchmark::State& state) {
  Swarm swarm(state.range(0));
  for (auto _ : state) {
    swarm.peer->PlanRequests();
    benchmark::DoNotOptimize(swarm.peer->Requests().size());
    swarm.Clear();
  }
  state.counters["pieces/step"] = static_cast<double>(swarm.peer->RequestDepth());
}

void ChoiceByChoice(benchmark::State& state) {
  Swarm swarm(state.range(0));
  const int64_t depth = swarm.peer->RequestDepth();
  for (auto _ : state) {
    for (int64_t i = 0; i < depth; ++i) {
      const int32_t piece = swarm.peer->NextPiece();
      if (piece < 0) break;
      swarm.peer->Ask(piece);
    }
    benchmark::DoNotOptimize(swarm.peer->Requests().size());
    swarm.Clear();
  }
  state.counters["pieces/step"] = static_cast<double>(depth);
}

BENCHMARK(PlanningStep)->Arg(16384)->Arg(262144)->Unit(benchmark::kMicrosecond);
BENCHMARK(ChoiceByChoice)->Arg(16384)->Arg(262144)->Unit(benchmark::kMicrosecond);

}  // namespace
