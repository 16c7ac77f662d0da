#pragma once
#include <cstdint>
#include <string>

namespace bw {

// The source that supplied a piece's data, as the piece map sees it. Reference counted: the
// map holds a reference while a piece names the source.
class IPieceSource {
 public:
  enum Kind : int32_t { kBitTorrent = 1, kHttp = 2, kFtp = 4 };

  virtual void AddRef() = 0;
  virtual void Release() = 0;
  virtual int32_t Kind() const = 0;
  // IPv4 address with the first octet in the most significant byte.
  virtual uint32_t Ipv4() const = 0;
  virtual uint16_t Port() const = 0;
  virtual std::string AddressText() const = 0;
  // Alike for every connection to one source: what they made together came from one source.
  virtual const void* Source() const { return this; }
  // A piece it supplied failed its hash / passed it.
  virtual void CountFailure() = 0;
  virtual void ResetFailures() = 0;

 protected:
  ~IPieceSource() = default;
};

}  // namespace bw
