#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct ssl_st;

namespace bw {

// The client side of one TLS connection (1.2 or 1.3) over bytes that its owner moves: the
// certificate chain must reach an authority of the system's store (or the added CA file) and name
// the host that was dialled.
class TlsSession {
 public:
  // Raw byte movers of the connection underneath: bytes moved, 0 on an orderly close (receive
  // only), or -1 with platform::LastSocketError() telling a would-block apart from a failure.
  using RawSend = std::function<int64_t(const uint8_t*, int64_t)>;
  using RawRecv = std::function<int64_t(uint8_t*, int64_t)>;

  // What Handshake, Read and Write return besides a count of bytes.
  static constexpr int64_t kAgain = 0;
  static constexpr int64_t kFailed = -1;
  static constexpr int64_t kClosed = -2;

  // An authority file trusted besides the system's store, for every session started after
  // (empty: the system's store alone). False when the file holds no certificate.
  static bool SetExtraAuthorities(const std::string& pemFile);

  // nullptr when OpenSSL cannot make a session; `hostName` may be a dotted IPv4 address.
  static std::unique_ptr<TlsSession> Start(const std::string& hostName, RawSend send, RawRecv recv);
  ~TlsSession();
  TlsSession(const TlsSession&) = delete;
  TlsSession& operator=(const TlsSession&) = delete;

  // 1 once established, kAgain while it waits for the network, kFailed when refused.
  int64_t Handshake();
  bool Established() const { return established_; }
  // Plain bytes taken or given (> 0), kAgain, kFailed, or kClosed (Read: the peer closed).
  int64_t Write(const uint8_t* data, int64_t len);
  int64_t Read(uint8_t* out, int64_t len);
  // Records wait inside the session (read from the network in large pieces, or decrypted and not
  // taken yet), so the socket alone no longer tells readiness.
  bool HasBuffered() const;
  // Ciphertext the network has not taken yet.
  bool HasBacklog() const { return !backlog_.empty(); }
  // Why the session failed, for the log and the user; empty while it has not.
  const std::string& FailureText() const { return failure_; }
  // The peer's certificate was refused (untrusted, expired, or for another name).
  bool CertificateRefused() const { return certificateRefused_; }

 private:
  TlsSession(ssl_st* ssl, RawSend send, RawRecv recv);
  int64_t Outcome(int rc, const char* during);
  // False when the connection failed; true also when the network takes no more for now.
  bool FlushBacklog();

  ssl_st* ssl_;
  RawSend send_;
  RawRecv recv_;
  std::string backlog_;
  bool established_ = false;
  // The last read stopped for want of ciphertext.
  bool partialOnly_ = false;
  bool certificateRefused_ = false;
  std::string failure_;

  friend struct TlsBio;
};

}  // namespace bw
