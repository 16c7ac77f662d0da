#include "engine/net/ProxyProtocol.h"

#include <algorithm>
#include <cstring>

#include "engine/common/IntReader.h"

namespace bw {
namespace {

constexpr size_t kMaxStatusWord = 50;
constexpr size_t kMaxProxyName = 255;

// Position of needle in [data, data + len), or len.
size_t Find(const uint8_t* data, size_t len, std::string_view needle, bool ignoreCase = false) {
  if (needle.size() > len) return len;
  for (size_t i = 0; i + needle.size() <= len; ++i) {
    size_t k = 0;
    for (; k < needle.size(); ++k) {
      char c = static_cast<char>(data[i + k]);
      char n = needle[k];
      if (ignoreCase) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        if (n >= 'A' && n <= 'Z') n = static_cast<char>(n - 'A' + 'a');
      }
      if (c != n) break;
    }
    if (k == needle.size()) return i;
  }
  return len;
}

bool IsBlank(uint8_t c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

int64_t ParseHttpReply(const uint8_t* data, size_t len) {
  size_t header = Find(data, len, "\r\n\r\n");
  if (header < len) {
    header += 4;
  } else if ((header = Find(data, len, "\n\n")) < len) {
    header += 2;
  } else {
    return kProxyReplyIncomplete;
  }
  // The second word of the status line is the status code.
  size_t i = 0;
  while (i < header && !IsBlank(data[i])) ++i;
  while (i < header && (data[i] == ' ' || data[i] == '\t')) ++i;
  const size_t code = i;
  while (i < header && !IsBlank(data[i]) && i - code < kMaxStatusWord) ++i;
  if (i - code < 2 || data[code] != '2' || data[code + 1] != '0') return kProxyReplyRefused;

  int64_t body = 0;
  size_t at = Find(data, header, "\nContent-Length:", true);
  if (at < header) {
    while (at < header && !(data[at] >= '0' && data[at] <= '9')) ++at;
    if (at < header) {
      body = ReadInt64(std::string_view(reinterpret_cast<const char*>(data + at), header - at), 12);
    }
  }
  const int64_t total = static_cast<int64_t>(header) + body;
  return total <= static_cast<int64_t>(len) ? total : kProxyReplyIncomplete;
}

int64_t ParseSocks4Reply(const uint8_t* data, size_t len) {
  if (len >= 1 && data[0] != 0) return kProxyReplyRefused;
  if (len < 8) return kProxyReplyIncomplete;
  return data[1] == 90 ? 8 : kProxyReplyRefused;
}

int64_t ParseSocks5Reply(const uint8_t* data, size_t len) {
  if (len >= 2 && data[1] != 0) return kProxyReplyRefused;
  if (len <= 4) return kProxyReplyIncomplete;
  int64_t need;
  if (data[3] == 3) {
    need = 7 + data[4];
  } else if (data[3] == 1) {
    need = 10;
  } else {
    return kProxyReplyRefused;
  }
  return static_cast<int64_t>(len) < need ? kProxyReplyIncomplete : need;
}

void AppendPort(std::string& out, uint16_t port) {
  out.push_back(static_cast<char>(port >> 8));
  out.push_back(static_cast<char>(port & 0xFF));
}

void AppendNetAddress(std::string& out, uint32_t ip) {
  char bytes[4];
  std::memcpy(bytes, &ip, 4);  // already in network order
  out.append(bytes, 4);
}

}  // namespace

int64_t ParseProxyReply(uint32_t type, const uint8_t* data, size_t len) {
  switch (type) {
    case PROXY_HTTP: return ParseHttpReply(data, len);
    case PROXY_SOCKS4:
    case PROXY_SOCKS4A: return ParseSocks4Reply(data, len);
    case PROXY_SOCKS5: return ParseSocks5Reply(data, len);
    default: return kProxyReplyRefused;
  }
}

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 | static_cast<uint8_t>(bytes[i + 1]) << 8 |
                       static_cast<uint8_t>(bytes[i + 2]);
    out += {kAlphabet[v >> 18], kAlphabet[v >> 12 & 63], kAlphabet[v >> 6 & 63], kAlphabet[v & 63]};
  }
  if (const size_t rest = bytes.size() - i) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out += {kAlphabet[v >> 18], kAlphabet[v >> 12 & 63], rest == 2 ? kAlphabet[v >> 6 & 63] : '=', '='};
  }
  return out;
}

std::string HttpTunnelRequest(const QProxyInfo& proxy) {
  std::string out = proxy.verb.empty() ? "CONNECT" : proxy.verb;
  out += " ";
  out += proxy.target;
  if (!proxy.user.empty()) {
    out += "Proxy-Authorization: Basic " + Base64Encode(proxy.user + ":" + proxy.password) + "\r\n";
  }
  if (!proxy.domain.empty()) out += "Domain: " + proxy.domain + "\r\n";
  out += "\r\n";
  return out;
}

std::string Socks4Request(uint32_t ip, uint16_t port, std::string_view host) {
  std::string out{4, 1};
  AppendPort(out, port);
  if (host.empty()) {
    AppendNetAddress(out, ip);
    out.push_back(0);
  } else {
    out += std::string{0, 0, 0, 1, 0};
    out.append(host.substr(0, kMaxProxyName));
    out.push_back(0);
  }
  return out;
}

std::string Socks5AuthRequest(std::string_view user, std::string_view password) {
  user = user.substr(0, kMaxProxyName);
  password = password.substr(0, kMaxProxyName);
  std::string out{1, static_cast<char>(user.size())};
  out.append(user);
  out.push_back(static_cast<char>(password.size()));
  out.append(password);
  return out;
}

std::string Socks5ConnectRequest(uint32_t ip, uint16_t port, std::string_view host) {
  std::string out{5, 1, 0};
  if (host.empty()) {
    out.push_back(1);
    AppendNetAddress(out, ip);
  } else {
    host = host.substr(0, kMaxProxyName);
    out.push_back(3);
    out.push_back(static_cast<char>(host.size()));
    out.append(host);
  }
  AppendPort(out, port);
  return out;
}

}  // namespace bw
