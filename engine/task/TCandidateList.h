#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/common/TRef.h"
#include "engine/sources/TPeerId.h"

namespace bw {

// The identities a task may connect to, best first. The list holds one reference on each.
class TCandidateList {
 public:
  // Trackers keep handing out peers; beyond this many identities the weakest make room.
  static constexpr size_t kMaxCandidates = 4096;
  // Between two announces to one tracker until a tracker names its own interval.
  static constexpr uint64_t kTrackerInterval = 600;

  TCandidateList() = default;
  TCandidateList(const TCandidateList&) = delete;
  TCandidateList& operator=(const TCandidateList&) = delete;
  ~TCandidateList() { Clear(); }

  // Higher priority, then higher rankB, fewer failures, fewer attempts, smaller waitTicks.
  static bool RanksBefore(const TPeerId& a, const TPeerId& b);
  // Whether a connection may be started now; counts the back-off down as a side effect. A retired
  // identity is not ready until its time is up, and then starts afresh.
  // hasWork: an HTTP or FTP source with one connection has more to hand out.
  static bool IsReady(TPeerId& id, bool dataFlowing, bool hasWork, uint64_t now,
                      uint64_t trackerInterval = kTrackerInterval);

  // When the list is full the lowest-ranked identity makes room, unless id ranks no better; then
  // id is not taken and false returned.
  bool Add(TRef<TPeerId> id, bool atFront);
  // Adds among the identities of the same priority at the place pick % (their count + 1).
  bool AddAmongEqual(TRef<TPeerId> id, uint32_t pick);
  // Removes and releases id; false when it is not in the list.
  bool Remove(TPeerId* id);
  // Removes and releases identities that no longer parse; returns how many failed their lookup.
  int32_t Prune();
  void Clear();
  void Sort();

  TPeerId* Find(uint32_t ip, int32_t port, int32_t kind) const;
  TPeerId* FindText(const std::string& addressText) const;
  size_t Size() const { return items_.size(); }
  bool Empty() const { return items_.empty(); }
  TPeerId* operator[](size_t i) const { return items_[i].get(); }
  // A copy is a walk that stays valid while the list changes underneath.
  const std::vector<TRef<TPeerId>>& Items() const { return items_; }

 private:
  // Frees room for id; false when id itself is the one to go.
  bool MakeRoom(const TPeerId& id);
  bool Admit(const TRef<TPeerId>& id) { return id && MakeRoom(*id); }
  static void ReleaseGuarded(TRef<TPeerId> id);

  std::vector<TRef<TPeerId>> items_;
};

}  // namespace bw
