#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace bw {

// One reply on an FTP control connection: its code and the text of its first line.
struct FtpReply {
  int32_t code = 0;
  std::string text;  // the first line after the code and the character that follows it
};

// A reply that has not ended within this many bytes fails the connection: a server that never
// sends the closing line cannot make the engine hold its text without end.
constexpr int64_t kMaxFtpReplySize = 16384;
constexpr int64_t kFtpReplyIncomplete = 0;
constexpr int64_t kFtpReplyMalformed = -1;

// Reads the first reply of the received bytes: a single line "NNN text", or a multi-line reply
// from "NNN-text" to the first line that starts with the same code and a space. Returns the
// reply's length (only that much is to be consumed: the next reply may already follow),
// kFtpReplyIncomplete while its last line is not held, or kFtpReplyMalformed for bytes that are
// no reply or a reply longer than kMaxFtpReplySize.
int64_t ParseFtpReply(const char* data, int64_t len, FtpReply* out);

// The six numbers of a 227 answer, "(h1,h2,h3,h4,p1,p2)" (the parentheses may be missing): the
// address in network order and the port. False unless all six are there, each 0..255, and the
// port is not 0.
bool ParsePasvReply(std::string_view text, uint32_t* ip, int32_t* port);
// The port of a 229 answer, "(|||port|)" with any printable delimiter in place of "|".
bool ParseEpsvReply(std::string_view text, int32_t* port);
// The size a 213 answer names, -1 when it names none.
int64_t ParseSizeReply(std::string_view text);

}  // namespace bw
