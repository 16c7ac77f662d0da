#pragma once
#include <cstdint>
#include <vector>

#include "engine/task/TBaseWork.h"

namespace bw {

class TPeerId;
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
  // The connected peers the loop drives.
  virtual std::vector<TPeerObject*>& ActivePeerList() { return activePeers_; }
  // The URL sources of the candidate list that may be given work, in list order.
  virtual std::vector<TPeerId*> UsableUrlSources() { return {}; }
  // Backs the identity off by at least one second per penalty.
  virtual void PenalizeSource(TPeerId&, int32_t) {}
  virtual int32_t ConnectionLimit() { return Settings().maxConnections; }
  virtual bool PeerConnectionsEnabled() { return true; }

 private:
  int32_t maxSourceConnections_ = 0;
  int32_t maxPeerConnections_ = 0;
  std::vector<TPeerObject*> activePeers_;
};

}  // namespace bw
