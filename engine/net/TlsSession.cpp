#include "engine/net/TlsSession.h"

#include <arpa/inet.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <mutex>

#include "platform/Socket.h"

namespace bw {
namespace {

// A plain write is cut into parts of this size, so the ciphertext waiting for the network stays
// small whatever the caller hands over.
constexpr int64_t kMaxPlainWrite = 65536;
// Ciphertext is taken from the network this much at a time, many records in one read: a read for
// each record would cost two system calls (header, then body) for every 16 KiB. OpenSSL's own
// read-ahead is not used: it moves the unread rest of its buffer to the front before each record.
constexpr long kReadBufferBytes = 256 * 1024;

struct Authorities {
  std::mutex mutex;
  SSL_CTX* context = nullptr;
  std::string extraFile;
};

Authorities& SharedAuthorities() {
  static auto* shared = new Authorities;  // outlives every session, even static ones
  return *shared;
}

SSL_CTX* NewContext(const std::string& extraFile) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_default_verify_paths(ctx);
  if (!extraFile.empty() && SSL_CTX_load_verify_locations(ctx, extraFile.c_str(), nullptr) != 1) {
    SSL_CTX_free(ctx);
    ERR_clear_error();
    return nullptr;
  }
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  // A close without the closing alert ends the stream as a plain TCP close does: the HTTP
  // framing and the piece hashes tell whether anything is missing.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  return ctx;
}

bool IsIpLiteral(const std::string& host) {
  in_addr v4;
  in6_addr v6;
  return inet_pton(AF_INET, host.c_str(), &v4) == 1 || inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

}  // namespace

// The session's bytes go through its owner's raw movers; ciphertext the network does not take at
// once waits here, so OpenSSL never has to retry a write with the same buffer.
struct TlsBio {
  static BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
      BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "bw socket");
      BIO_meth_set_write(m, Write);
      BIO_meth_set_read(m, Read);
      BIO_meth_set_ctrl(m, Ctrl);
      BIO_meth_set_create(m, [](BIO* b) {
        BIO_set_init(b, 1);
        return 1;
      });
      return m;
    }();
    return method;
  }

  static TlsSession& Of(BIO* b) { return *static_cast<TlsSession*>(BIO_get_data(b)); }

  static int Write(BIO* b, const char* data, int len) {
    TlsSession& s = Of(b);
    s.backlog_.append(data, static_cast<size_t>(len));
    return len;
  }

  static int Read(BIO* b, char* out, int len) {
    BIO_clear_retry_flags(b);
    TlsSession& s = Of(b);
    s.FlushBacklog();
    const int64_t n = s.recv_(reinterpret_cast<uint8_t*>(out), len);
    if (n < 0 && platform::LastSocketError() == platform::kWsaEwouldblock) {
      BIO_set_retry_read(b);
      return -1;
    }
    return static_cast<int>(n);
  }

  static long Ctrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }
};

bool TlsSession::SetExtraAuthorities(const std::string& pemFile) {
  SSL_CTX* ctx = NewContext(pemFile);
  if (!ctx) return false;
  Authorities& shared = SharedAuthorities();
  std::lock_guard<std::mutex> guard(shared.mutex);
  // Sessions already running hold their own reference to the old context.
  SSL_CTX_free(shared.context);
  shared.context = ctx;
  shared.extraFile = pemFile;
  return true;
}

std::unique_ptr<TlsSession> TlsSession::Start(const std::string& hostName, RawSend send, RawRecv recv) {
  SSL* ssl = nullptr;
  {
    Authorities& shared = SharedAuthorities();
    std::lock_guard<std::mutex> guard(shared.mutex);
    if (!shared.context) shared.context = NewContext(shared.extraFile);
    if (!shared.context) return nullptr;
    ssl = SSL_new(shared.context);
  }
  if (!ssl) return nullptr;
  bool named;
  if (IsIpLiteral(hostName)) {
    named = X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), hostName.c_str()) == 1;
  } else {
    named = SSL_set1_host(ssl, hostName.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, hostName.c_str()) == 1;
  }
  BIO* bio = named ? BIO_new(TlsBio::Method()) : nullptr;
  BIO* buffered = bio ? BIO_new(BIO_f_buffer()) : nullptr;
  if (!buffered || BIO_set_read_buffer_size(buffered, kReadBufferBytes) != 1) {
    BIO_free(buffered);
    BIO_free(bio);
    SSL_free(ssl);
    ERR_clear_error();
    return nullptr;
  }
  std::unique_ptr<TlsSession> session(new TlsSession(ssl, std::move(send), std::move(recv)));
  BIO_set_data(bio, session.get());
  // Writes go straight to the network; reads come through the buffer, which holds the socket's
  // BIO too (one reference each).
  BIO_up_ref(bio);
  BIO_push(buffered, bio);
  SSL_set_bio(ssl, buffered, bio);
  SSL_set_connect_state(ssl);
  return session;
}

TlsSession::TlsSession(SSL* ssl, RawSend send, RawRecv recv)
    : ssl_(ssl), send_(std::move(send)), recv_(std::move(recv)) {}

TlsSession::~TlsSession() { SSL_free(ssl_); }

bool TlsSession::FlushBacklog() {
  while (!backlog_.empty()) {
    const int64_t n = send_(reinterpret_cast<const uint8_t*>(backlog_.data()), static_cast<int64_t>(backlog_.size()));
    if (n <= 0) return n == 0 || platform::LastSocketError() == platform::kWsaEwouldblock;
    backlog_.erase(0, static_cast<size_t>(n));
  }
  return true;
}

int64_t TlsSession::Outcome(int rc, const char* during) {
  const int err = SSL_get_error(ssl_, rc);
  if (!FlushBacklog()) {
    failure_ = std::string("connection lost during ") + during;
    return kFailed;
  }
  switch (err) {
    case SSL_ERROR_WANT_READ:
    case SSL_ERROR_WANT_WRITE:
      return kAgain;
    case SSL_ERROR_ZERO_RETURN:
      return kClosed;
    case SSL_ERROR_SYSCALL:
      // The connection ended or broke under an established session: the stream ends there.
      if (ERR_peek_error() == 0 && established_) return kClosed;
      break;
    default:
      break;
  }
  const long verify = SSL_get_verify_result(ssl_);
  const unsigned long error = ERR_peek_last_error();
  if (verify != X509_V_OK) {
    certificateRefused_ = true;
    failure_ = std::string("certificate refused: ") + X509_verify_cert_error_string(verify);
  } else if (error != 0) {
    char text[256];
    ERR_error_string_n(error, text, sizeof text);
    failure_ = std::string("TLS failed during ") + during + ": " + text;
  } else {
    failure_ = std::string("the peer ended the connection during ") + during;
  }
  ERR_clear_error();
  return kFailed;
}

int64_t TlsSession::Handshake() {
  if (established_) return 1;
  ERR_clear_error();
  const int rc = SSL_do_handshake(ssl_);
  if (rc == 1) {
    established_ = true;
    return FlushBacklog() ? 1 : kFailed;
  }
  return Outcome(rc, "the handshake");
}

int64_t TlsSession::Write(const uint8_t* data, int64_t len) {
  if (!FlushBacklog()) return kFailed;
  // The network has not taken the last records yet: no more until it has.
  if (!backlog_.empty()) return kAgain;
  ERR_clear_error();
  const int rc = SSL_write(ssl_, data, static_cast<int>(std::min(len, kMaxPlainWrite)));
  if (rc > 0) {
    if (!FlushBacklog()) return kFailed;
    return rc;
  }
  return Outcome(rc, "a write");
}

int64_t TlsSession::Read(uint8_t* out, int64_t len) {
  ERR_clear_error();
  size_t got = 0;
  const int rc = SSL_read_ex(ssl_, out, static_cast<size_t>(len), &got);
  partialOnly_ = rc != 1;
  if (rc == 1) return static_cast<int64_t>(got);
  return Outcome(rc, "a read");
}

bool TlsSession::HasBuffered() const {
  if (SSL_pending(ssl_) > 0) return true;
  // After a read that wanted more from the network, what is held is the start of a record: only
  // the network can complete it.
  return !partialOnly_ && (SSL_has_pending(ssl_) == 1 || BIO_pending(SSL_get_rbio(ssl_)) > 0);
}

}  // namespace bw
