#pragma once
#include <cstdint>
#include <vector>

#include "engine/task/TBaseWork.h"

namespace bw {

class TPeerObject;

// The task's pool of sources and peers: connection limits and the hand-over of source lines.
class TWorkWithPeers : public TBaseWork {
 public:
  void Reset(int full, int flag) override;
  int SetPeerLimits(int maxSourceConnections, int maxPeerConnections) override;

  int32_t MaxSourceConnections();
  int32_t MaxPeerConnections();

 protected:
  // Gives every idle source line to the pool (marks 0 → 16, 1 → 17); the first time, the source
  // list is copied to the used-source list.
  virtual void HandOutSources();
  // Candidate sources parsed from the lines and not yet connected.
  virtual int32_t CandidateCount() { return 0; }
  virtual void PruneCandidates() {}
  virtual void MaintainPeers() {}
  // Makes the task findable by its info hash for incoming connections and LAN discovery.
  virtual void JoinSwarm() {}
  // Connected and connecting peer objects, in creation order.
  virtual std::vector<TPeerObject*>& ActivePeers() { return activePeers; }
  // A peer whose step failed: off the active list, its identity backed off unless it finished
  // or timed out, then released.
  virtual void RetirePeer(TPeerObject*) {}
  // The per-second URL-source and BitTorrent connection passes.
  virtual void RunConnectionPasses() {}
  // The URL sources deliver too little: retire them and take fresh ones.
  virtual void ReplaceUrlSources() {}
  // The per-second source upkeep (the trim of URL connections while the mirror lists changed).
  virtual void UpkeepSources() {}
  // The tasks of the swarm list; called under the registry lock.
  virtual std::vector<TWorkWithPeers*> SwarmTasks() { return {}; }
  // The process-wide listener's upkeep.
  virtual void MaintainListener() {}

  std::vector<TPeerObject*> activePeers;

 private:
  int32_t maxSourceConnections_ = 0;
  int32_t maxPeerConnections_ = 0;
};

}  // namespace bw
