#include "app/package/Package.h"

#include <cstring>
#include <string_view>

#include "app/package/Base64.h"

namespace bw::app {
namespace {

constexpr std::string_view kMagic = "BWPACKAGE1\n";
constexpr size_t kDigestChars = 32;
constexpr size_t kMaxTorrentBytes = 64 << 20;

bool IsDigest(std::string_view text) {
  if (text.size() != kDigestChars) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

bool PutSlot(std::string& out, std::string_view text) {
  const std::string stored = EncodeBase64(text);
  if (stored.size() >= kSlotBytes) return false;
  out += stored;
  out.append(kSlotBytes - stored.size(), '\0');
  return true;
}

void PutNumber(std::string& out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>(value >> (8 * i));
}

void PutBlob(std::string& out, std::string_view blob) {
  PutNumber(out, blob.size(), 4);
  out += blob;
}

// Reads the stored form front to back, never past its end.
class Reader {
 public:
  explicit Reader(std::string_view data) : rest_(data) {}

  bool Take(size_t n, std::string_view* out) {
    if (rest_.size() < n) return false;
    *out = rest_.substr(0, n);
    rest_.remove_prefix(n);
    return true;
  }

  bool Slot(std::string* out) {
    std::string_view slot;
    if (!Take(kSlotBytes, &slot)) return false;
    const size_t end = slot.find('\0');
    if (end == std::string_view::npos) return false;
    *out = DecodeBase64(slot.substr(0, end), kSlotBytes - 1);
    return true;
  }

  bool Number(int bytes, uint64_t* out) {
    std::string_view raw;
    if (!Take(bytes, &raw)) return false;
    *out = 0;
    for (int i = bytes - 1; i >= 0; --i) *out = (*out << 8) | static_cast<uint8_t>(raw[i]);
    return true;
  }

  bool Blob(size_t limit, std::string* out) {
    uint64_t length = 0;
    std::string_view bytes;
    if (!Number(4, &length) || length > limit || !Take(length, &bytes)) return false;
    out->assign(bytes);
    return true;
  }

  bool AtEnd() const { return rest_.empty(); }

 private:
  std::string_view rest_;
};

}  // namespace

std::string EncodePackage(const Package& package) {
  std::string out(kMagic);
  for (const PackageRow& row : package.rows) {
    if (!IsDigest(row.digest) || !PutSlot(out, row.name) || !PutSlot(out, row.url)) return {};
    PutNumber(out, row.size, 8);
    out += row.digest;
  }
  if (!PutSlot(out, package.resourceListUrl) || package.statisticsConfigBase64.size() >= kSlotBytes) return {};
  for (const PackageRow& row : package.rows) PutBlob(out, row.torrent);
  PutBlob(out, package.statisticsConfigBase64);
  return out;
}

bool DecodePackage(const void* data, size_t size, Package* out) {
  if (!data || !out) return false;
  Reader in(std::string_view(static_cast<const char*>(data), size));
  std::string_view magic;
  if (!in.Take(kMagic.size(), &magic) || magic != kMagic) return false;
  Package package;
  for (PackageRow& row : package.rows) {
    std::string_view digest;
    if (!in.Slot(&row.name) || !in.Slot(&row.url) || !in.Number(8, &row.size) || !in.Take(kDigestChars, &digest) ||
        !IsDigest(digest)) {
      return false;
    }
    row.digest.assign(digest);
  }
  if (!in.Slot(&package.resourceListUrl)) return false;
  for (PackageRow& row : package.rows) {
    if (!in.Blob(kMaxTorrentBytes, &row.torrent)) return false;
  }
  if (!in.Blob(kSlotBytes - 1, &package.statisticsConfigBase64) || !in.AtEnd()) return false;
  *out = std::move(package);
  return true;
}

}  // namespace bw::app
