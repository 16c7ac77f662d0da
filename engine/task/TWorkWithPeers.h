#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "engine/common/TRef.h"
#include "engine/net/CIPFilter.h"
#include "engine/task/TBaseWork.h"
#include "engine/task/TCandidateList.h"
#include "engine/task/UrlConnectionTarget.h"

namespace bw {

class QSocket;
class TPeerId;
class TPeerObject;

// The task's pool of sources and peers: candidate identities, connection limits, the connected
// peer objects and the swarm entry that routes incoming connections to the task.
class TWorkWithPeers : public TBaseWork {
 public:
  static constexpr int32_t kDefaultSourceConnections = 49;
  static constexpr int32_t kConfiguredPriority = 29;
  static constexpr int32_t kPeerPriority = 19;
  // Peers found on the local network rank above every other source.
  static constexpr int32_t kLanPriority = 35;
  // Below this many bytes a second a URL source counts as slow.
  static constexpr int64_t kSlowSourceRate = 1024;
  // A connection has this many seconds before it can count as slow.
  static constexpr uint64_t kSlowSourceGrace = 15;
  static constexpr uint64_t kRetiredWait = 600;
  static constexpr size_t kTrackerReportLines = 32;

  TWorkWithPeers();
  ~TWorkWithPeers() override;

  void Reset(int full, int flag) override;
  int SetPeerLimits(int maxSourceConnections, int maxPeerConnections) override;

  int32_t MaxSourceConnections();
  int32_t MaxPeerConnections();

  // Finds the identity with this address, port and kind or adds a new one; null when the list
  // is full of better ones.
  TPeerId* AddCandidate(uint32_t ip, int32_t port, int32_t kind, bool atFront, int32_t priority);
  // Takes a copy of an identity a peer object found; false when it is refused.
  bool AddSource(const TPeerId& identity);
  // The tracker report: the last kTrackerReportLines lines, oldest first.
  void AppendTrackerText(const std::string& text);
  std::string TrackerText();
  // A tracker answered: the interval before any tracker is asked again, and its report line.
  void NoteTrackerAnswer(int64_t interval, const std::string& report);
  uint64_t TrackerInterval() const { return trackerInterval_; }

  // Whether this task may talk to the address (network order): the listener asks before it
  // hands an accepted connection over, the pool before it dials.
  bool AcceptsAddress(uint32_t ip) const { return !ipFilter.IsBlocked(ip); }

  // A BitTorrent handshake of at least 48 bytes naming this task's info hash.
  bool IsOwnHandshake(const uint8_t* data, size_t len);
  bool AcceptsIncoming(const uint8_t* data, size_t len);
  // The swarm task whose info hash the handshake names, or null. Hold the registry lock while
  // using the result.
  static TWorkWithPeers* FindSwarmTask(const uint8_t* data, size_t len);
  // Whether a task of the swarm list has this 20-byte info hash.
  static bool IsSwarmHash(const uint8_t* hash);

  // An accepted connection whose handshake names this task: it becomes a BitTorrent peer when the
  // task has room for it, and is closed otherwise.
  bool AdoptIncoming(std::unique_ptr<QSocket> socket);
  // The identity of a peer that dialled the task and named itself: the candidate with its address
  // and peer id, else the one for its address and port, found or added; null when the same peer
  // is already greeted on another connection from that address.
  TPeerId* IdentifyIncoming(uint32_t ip, int32_t port, const uint8_t* peerId);
  // The listener's address as this task last saw it ("Service Disabled!" while nothing listens).
  std::string ListenAddressText();
  int32_t ListenPort();

 protected:
  // Turns idle source lines (marks 0 → 16, 1 → 17) and new mirror addresses into candidates;
  // the first time, the source list is copied to the used-source list.
  virtual void HandOutSources();
  // Candidates that are not retired.
  virtual int32_t CandidateCount();
  // Drops identities that no longer parse.
  virtual void PruneCandidates();
  // Takes the task's copy of the process-wide IP filter; before the peer work starts.
  void CopyIPFilter();
  // Retires exhausted sources and runs the connection passes.
  virtual void MaintainPeers();
  // Makes the task findable by its info hash for incoming connections and LAN discovery.
  virtual void JoinSwarm();
  void LeaveSwarm();

  // A new peer object of the kind, none for a kind this build has no peer class for.
  virtual TRef<TPeerObject> NewPeerObject(int32_t kind);
  // Whether an HTTP or FTP source that already has a connection has more work for another.
  virtual bool SourceHasWork(TPeerId&) { return false; }
  // Whether the source's work lies in ranges that another connection can take over.
  virtual bool SourceWorksInRanges(const TPeerId&) { return false; }
  // The 68-byte handshake prefix (info hash at 28, own peer id at 48); null until it is built.
  virtual const uint8_t* SwarmHandshake() const { return nullptr; }

  // A peer object of the kind: a spare one when there is one.
  TRef<TPeerObject> CreatePeer(int32_t kind);
  // Connections started; *noWork tells that a peer declined because nothing is left for it.
  int32_t StartConnections(TPeerId& id, int32_t started, int32_t wanted, uint64_t now, bool* noWork = nullptr);
  bool IsReady(TPeerId& id, bool dataFlowing, uint64_t now);
  // How many connections the identity may have now (UrlConnectionTarget for a URL source).
  int32_t ConnectionTarget(const TPeerId& id);
  // Every connection of the source brought nothing for TPieceScheduler::kStallSeconds.
  bool ConnectionsStalled(const TPeerId& id) const;
  // What the URL source's connections show now.
  UrlConnectionFacts ConnectionFacts(const TPeerId& id);
  // Milliseconds of the system tick count.
  virtual uint32_t TickMs();
  // The URL and BitTorrent passes and the trim of URL connections; once per clock second.
  void ConnectionPasses(uint64_t now);
  static constexpr uint32_t kStepCheckMs = 100;
  // Between the passes, every kStepCheckMs: a URL source whose last step has shown its rate opens
  // the next one at once, so that a mirror holding each connection to a rate is filled within
  // about a second instead of one step per pass.
  void StepUpUrlSources();
  // Backs the identity off; repeated failures lengthen the wait.
  void Penalize(TPeerId& id, int32_t seconds);
  // A source that failed for good: one of the task's own lines waits kRetiredWait and comes back
  // (a short outage must not lose it for a long download); any other leaves the pool.
  void RetireSource(TPeerId& id, uint64_t now);
  // A peer whose step failed: off the active list, its identity backed off unless it finished,
  // then kept as a spare or released.
  virtual void RetirePeer(TPeerObject* peer);
  // Resets the peer and keeps it as a spare, or releases it when enough are kept.
  void KeepAsSpare(TRef<TPeerObject> peer);
  // Connected and connecting peer objects, in creation order.
  virtual std::vector<TRef<TPeerObject>>& ActivePeers() { return activePeers; }
  // The per-second URL-source and BitTorrent connection passes.
  virtual void RunConnectionPasses();
  // The URL sources deliver too little: their slow connections make way for fresh sources.
  virtual void ReplaceUrlSources();
  // The per-second source upkeep.
  virtual void UpkeepSources() {}
  // The tasks of the swarm list; called under the registry lock.
  virtual std::vector<TWorkWithPeers*> SwarmTasks() { return {}; }
  // The process-wide listener's round for this task: joins the LAN group, takes the task's
  // incoming connections; every 400 ms.
  virtual void MaintainListener();
  // Every 10 seconds: announces the task on the LAN once and takes the peers found there.
  void DiscoverLanPeers();
  // The tracker addresses of the task's torrent; none without one.
  virtual std::vector<std::string> TorrentTrackers() { return {}; }
  // HTTP and FTP sources a URL peer may move to.
  virtual std::vector<TPeerId*> UsableUrlSources() { return {}; }
  virtual void PenalizeSource(TPeerId& id, int32_t seconds) { Penalize(id, seconds); }
  virtual int32_t ConnectionLimit() { return Settings().maxConnections; }
  virtual bool PeerConnectionsEnabled() { return true; }
  // Status 20216, published at once.
  void SetHostUnresolved();
  bool ContentComplete() const { return working.totalBytes > 0 && working.doneBytes >= working.totalBytes; }

  TCandidateList candidates;
  CIPFilter ipFilter;
  std::vector<TRef<TPeerObject>> activePeers;
  std::vector<TRef<TPeerObject>> sparePeers;

 private:
  static constexpr size_t kMaxSparePeers = 8;
  static constexpr int32_t kExhaustedFailures = 32;

  int32_t UrlPass(uint64_t now);
  void PeerPass(uint64_t now);
  void TrimUrlConnections(uint64_t now);
  int32_t StartOnReady(bool urlSources, int32_t wanted, uint64_t now);
  void RetireExhausted(uint64_t now);
  void HandOutMirrors();
  // The torrent's trackers join the candidates once.
  void HandOutTrackers();
  // Parses text into an identity and adds it, or finds the identity it repeats; null when it
  // does not parse or the list has no room.
  TPeerId* AddParsed(const std::string& text, bool* lookupFailed);
  bool DuplicatesConnected(const TPeerId& id) const;
  int32_t ConnectsInProgress() const;
  int32_t CountConnected(bool urlSources) const;
  void DropPeer(bool urlSources);

  std::string listenText_ = "Service Disabled!";  // task lock
  int32_t listenPort_ = 0;                        // task lock
  bool lanAnnounced_ = false;
  int32_t maxSourceConnections_ = kDefaultSourceConnections;
  int32_t maxPeerConnections_ = 0;
  std::string trackerText_;
  uint64_t trackerInterval_ = TCandidateList::kTrackerInterval;
  bool trackersHandedOut_ = false;
  // Mirror addresses handed out, with the address text their identity was given.
  std::vector<std::pair<std::string, std::string>> handedMirrors_;
  std::vector<TPeerId*> unservable_;
  int32_t idleSeconds_ = 0;
  uint64_t lastPass_ = 0;
  uint32_t lastStepCheckMs_ = 0;
  uint64_t lastTrim_ = 0;
  int32_t lastTrimCount_ = -1;
  std::minstd_rand random_;
};

}  // namespace bw
