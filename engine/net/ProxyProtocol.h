#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "engine/net/QProxyInfo.h"

namespace bw {

// Results of ParseProxyReply besides a reply length.
constexpr int64_t kProxyReplyRefused = -1;
constexpr int64_t kProxyReplyIncomplete = -2;

// Reads a proxy's answer to the tunnel request from the bytes received so far: the length of the
// reply, kProxyReplyIncomplete when more must arrive, kProxyReplyRefused when the proxy refused
// or answered nonsense. An HTTP reply with a body counts as complete only with its whole body.
int64_t ParseProxyReply(uint32_t type, const uint8_t* data, size_t len);

std::string Base64Encode(std::string_view bytes);

// The tunnel request to an HTTP proxy; proxy.target already ends in " HTTP/1.1\r\n".
std::string HttpTunnelRequest(const QProxyInfo& proxy);
// A SOCKS4 connect request; with a host name it takes the SOCKS4a form.
std::string Socks4Request(uint32_t ip, uint16_t port, std::string_view host);
// The SOCKS5 user/password sub-negotiation (RFC 1929).
std::string Socks5AuthRequest(std::string_view user, std::string_view password);
// A SOCKS5 connect request, by domain name when host is not empty, else by IPv4 address.
std::string Socks5ConnectRequest(uint32_t ip, uint16_t port, std::string_view host);

}  // namespace bw
