#include "engine/sources/SourceAddress.h"

#include <algorithm>

#include "engine/common/IntReader.h"
#include "engine/net/NetAddress.h"
#include "engine/sources/HostResolution.h"

namespace bw {
namespace {

constexpr std::string_view kHttp = "http://";
constexpr std::string_view kHttps = "https://";
constexpr int32_t kHttpPort = 80;
constexpr int32_t kHttpsPort = 443;
constexpr std::string_view kFtp = "ftp://";
constexpr std::string_view kTracker = "tracker://";
constexpr std::string_view kBtNode = "btnode://";

bool StartsWithIgnoringCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  return std::equal(prefix.begin(), prefix.end(), text.begin(), [](char p, char t) {
    if (t >= 'A' && t <= 'Z') t = static_cast<char>(t - 'A' + 'a');
    return p == t;
  });
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 0;
}

// A port given in an address must fit: one that does not would wrap into another port.
bool ReadPort(std::string_view text, int32_t* port) {
  const int64_t value = ReadInt64(text, 10);
  if (value < 1 || value > 65535) return false;
  *port = static_cast<int32_t>(value);
  return true;
}

// host[":" port] with a default port; false for an empty host or a bad port.
bool SplitHostPort(std::string_view part, int32_t defaultPort, TUrlInfo& url, int32_t* port) {
  const size_t colon = part.find(':');
  url.host = std::string(part.substr(0, colon));
  if (colon == std::string_view::npos) {
    *port = defaultPort;
  } else if (!ReadPort(part.substr(colon + 1), port)) {
    return false;
  }
  return !url.host.empty();
}

bool ParseHttp(std::string_view rest, bool tls, TPeerId& id) {
  TUrlInfo& url = id.UrlInfo();
  url.tls = tls;
  const size_t slash = rest.find('/');
  url.requestPath = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  return SplitHostPort(rest.substr(0, slash), tls ? kHttpsPort : kHttpPort, url, &id.port);
}

bool ParseFtp(std::string_view rest, TPeerId& id) {
  // Every part ends up in a command line: a decoded CR or LF would start a command of its own.
  if (std::any_of(rest.begin(), rest.end(), [](char c) { return static_cast<uint8_t>(c) < 32 || c == 127; })) {
    return false;
  }
  TUrlInfo& url = id.UrlInfo();
  const size_t at = rest.find('@');
  if (at != std::string_view::npos) {
    const std::string_view userPart = rest.substr(0, at);
    const size_t colon = userPart.find(':');
    url.user = std::string(userPart.substr(0, colon));
    url.password = colon == std::string_view::npos ? "" : std::string(userPart.substr(colon + 1));
    rest = rest.substr(at + 1);
  } else {
    url.user = "anonymous";
    url.password = kAnonymousFtpPassword;
  }
  const size_t slash = rest.find('/');
  url.path = slash == std::string_view::npos ? "/" : std::string(rest.substr(slash));
  return SplitHostPort(rest.substr(0, slash), 21, url, &id.port);
}

bool ParseTracker(std::string_view rest, TPeerId& id) {
  const size_t sep = rest.find("://");
  if (sep == std::string_view::npos) return false;
  const std::string_view scheme = rest.substr(0, sep);
  if (StartsWithIgnoringCase(scheme, "http") || StartsWithIgnoringCase(scheme, "tcp")) {
    id.overTcp = 1;
  } else if (StartsWithIgnoringCase(scheme, "udp")) {
    id.overTcp = 0;
  } else {
    return false;
  }
  TUrlInfo& url = id.UrlInfo();
  url.scheme = std::string(scheme);
  rest = rest.substr(sep + 3);
  const size_t slash = rest.find('/');
  if (slash == std::string_view::npos) {
    url.path.assign(1, '/');  // not = "/": GCC 12 warns falsely there
  } else {
    const std::string_view tail = rest.substr(slash);
    const size_t query = tail.find('?');
    url.path = std::string(tail.substr(0, query));
    if (query != std::string_view::npos) url.query = std::string(tail.substr(query + 1));
  }
  return SplitHostPort(rest.substr(0, slash), 80, url, &id.port);
}

bool ParseBtNode(std::string_view rest, TPeerId& id) {
  const size_t colon = rest.find(':');
  if (colon != std::string_view::npos && !ReadPort(rest.substr(colon + 1), &id.port)) return false;
  // An address that reads as nothing leaves nobody to connect to.
  const uint32_t ip = ReadDottedQuad(rest.substr(0, colon));
  if (ip == kNoAddress) return false;
  id.ip = ip;
  return true;
}

// The text after the last "/", unless that "/" ends the "://".
void TakeFileName(TPeerId& id) {
  const std::string& text = id.addressText;
  const size_t last = text.rfind('/');
  const size_t scheme = text.find("://");
  if (last == std::string::npos || last == scheme + 2) return;
  std::string name = text.substr(last + 1);
  id.UrlInfo().fileName = id.kind == SOURCE_HTTP ? PercentDecode(name) : std::move(name);
}

}  // namespace

std::string PercentEncodeAddress(std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    const auto c = static_cast<uint8_t>(ch);
    if (c <= 32 || c >= 128) {
      out += {'%', kHex[c >> 4], kHex[c & 15]};
    } else {
      out.push_back(ch);
    }
  }
  return out;
}

std::string PercentDecode(std::string_view text) {
  std::string out;
  for (size_t i = 0; i < text.size() && out.size() < kMaxDecodedAddress;) {
    char c = text[i];
    if (c == '%') {
      if (text.size() - i - 1 < 2) break;
      c = static_cast<char>(HexValue(text[i + 1]) << 4 | HexValue(text[i + 2]));
      i += 3;
    } else {
      ++i;
    }
    if (c == 0) break;
    out.push_back(c);
  }
  return out;
}

bool ParseSourceText(const char* text, size_t len, TPeerId& id) {
  std::string address(text, len);
  std::replace(address.begin(), address.end(), '\\', '/');
  // Host names and paths are UTF-8 already, which is the engine's own code page.
  const bool http = StartsWithIgnoringCase(address, kHttp) || StartsWithIgnoringCase(address, kHttps);
  address = http ? PercentEncodeAddress(address) : PercentDecode(address);
  id.addressText = std::move(address);
  const std::string_view view = id.addressText;
  int32_t kind;
  bool ok;
  if (StartsWithIgnoringCase(view, kFtp)) {
    kind = SOURCE_FTP;
    id.UrlInfo() = TUrlInfo{};
    ok = ParseFtp(view.substr(kFtp.size()), id);
  } else if (http) {
    kind = SOURCE_HTTP;
    id.UrlInfo() = TUrlInfo{};
    const bool tls = StartsWithIgnoringCase(view, kHttps);
    ok = ParseHttp(view.substr(tls ? kHttps.size() : kHttp.size()), tls, id);
  } else if (StartsWithIgnoringCase(view, kTracker)) {
    kind = SOURCE_TRACKER;
    id.UrlInfo() = TUrlInfo{};
    ok = ParseTracker(view.substr(kTracker.size()), id);
  } else if (StartsWithIgnoringCase(view, kBtNode)) {
    kind = SOURCE_BTNODE;
    ok = ParseBtNode(view.substr(kBtNode.size()), id);
  } else {
    return false;
  }
  if (!ok) return false;
  id.kind = kind;
  if (kind == SOURCE_HTTP || kind == SOURCE_FTP) TakeFileName(id);
  return true;
}

bool ParseSourceAddress(TPeerId& id) {
  id.lookupFailed = 0;
  const std::string text = id.addressText;
  if (!ParseSourceText(text.data(), text.size(), id)) return false;
  if (id.kind != SOURCE_BTNODE) {
    TUrlInfo& url = id.UrlInfo();
    url.moreAddresses.clear();
    const int found = ResolveHostList(url.host, url.moreAddresses);
    if (found == -1) {
      id.ip = kNoAddress;
      id.lookupFailed = 1;
      return false;
    }
    if (found != 0 && !url.moreAddresses.empty()) {
      id.ip = url.moreAddresses.front();
      url.moreAddresses.erase(url.moreAddresses.begin());
    } else {
      id.ip = kNoAddress;
    }
  }
  id.parsed = 1;
  return true;
}

}  // namespace bw
