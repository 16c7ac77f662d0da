#pragma once
#include <cstddef>
#include <string>
#include <string_view>

#include "engine/sources/TPeerId.h"

namespace bw {

constexpr size_t kMaxDecodedAddress = 4096;

// The password sent to FTP servers that take anonymous logins.
inline constexpr const char kAnonymousFtpPassword[] = "bwuser@brightwillow.net";

// HTTP addresses travel percent-encoded: bytes <= 32 and >= 128 become "%xx" (lower case).
std::string PercentEncodeAddress(std::string_view text);
// "%" and two hexadecimal digits (a non-digit counts as 0) become one byte; a "%" near the end,
// or a byte 0, ends the text; at most kMaxDecodedAddress bytes come out.
std::string PercentDecode(std::string_view text);

// Reads a source address into id without looking anything up: normalises it into
// id.addressText, sets the kind, port and the parts in id.UrlInfo(). False for a malformed one.
bool ParseSourceText(const char* text, size_t len, TPeerId& id);

// Parses id.addressText and resolves its host (a "btnode://" address needs no lookup). True when
// the source is usable; on false, id.lookupFailed tells a host that did not resolve apart from a
// malformed address.
bool ParseSourceAddress(TPeerId& id);

}  // namespace bw
