#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace bw {

constexpr int kLookupLimitMs = 3000;
constexpr int kLookupBadArgument = 87;

struct LookupResult {
  std::vector<uint32_t> addresses;  // network order, at most 256
  int error = 0;
};

// A system lookup that gives up at limitMs. It runs on a worker thread; a worker that answers
// too late finds nobody waiting and its answer is dropped. A lookup that fails is only reported
// when the limit has passed.
bool LookupWithTimeout(const std::string& host, int limitMs, LookupResult* result);

// Appends the host's addresses to list: a dotted quad (digits and dots only) directly, a name
// through LookupWithTimeout. Returns the count appended, 0 for an empty host or an invalid dotted
// quad, -1 when the lookup failed.
int ResolveHostList(const std::string& host, std::vector<uint32_t>& list,
                    int limitMs = kLookupLimitMs);

// Up to four numbers separated by "." (the engine integer reader), combined as
// a << 24 | b << 16 | c << 8 | d, in network order; all ones when the result is 0.
uint32_t ReadDottedQuad(std::string_view text);

// Where the first failed lookup after a success is reported (the engine's event report).
using EventReporter = void (*)(const char* code, const char* message, int flag);
EventReporter SetEventReporter(EventReporter reporter);

}  // namespace bw
