#include "engine/sources/HostResolution.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>

#include "engine/common/IntReader.h"
#include "engine/frame/EngineLog.h"
#include "engine/net/NetAddress.h"
#include "platform/Resolver.h"
#include "platform/Socket.h"

namespace bw {
namespace {

constexpr size_t kMaxLookupAddresses = 1024 / 4;
constexpr int kLogInvalidIp = 13;
constexpr int kLogInvalidHost = 29;

struct PendingLookup {
  std::condition_variable done;
  bool success = false;
  LookupResult result;
};

// Pending lookups by key; workers that outlive their caller find their key gone.
struct LookupTable {
  std::mutex lock;
  std::map<uint64_t, PendingLookup*> entries;
  uint64_t nextKey = 1;
};

LookupTable& Table() {
  static auto* table = new LookupTable;  // detached workers may still use it at exit
  return *table;
}

std::atomic<bool> gDnsFailureReported{false};
std::atomic<EventReporter> gReporter{nullptr};

void RunLookup(uint64_t key, const std::string& host) {
  std::vector<uint32_t> found;
  const int error = platform::CurrentResolver().Lookup(host, &found);
  LookupTable& table = Table();
  std::lock_guard<std::mutex> guard(table.lock);
  auto it = table.entries.find(key);
  if (it == table.entries.end()) return;
  PendingLookup& entry = *it->second;
  entry.result.error = error;
  if (error == 0 && !found.empty()) {
    if (found.size() > kMaxLookupAddresses) found.resize(kMaxLookupAddresses);
    entry.result.addresses = std::move(found);
    entry.success = true;
    entry.done.notify_one();
  }
}

void ReportDnsFailure(int error, const std::string& host) {
  const EventReporter reporter = gReporter.load(std::memory_order_acquire);
  if (!reporter) return;
  std::string text = "ErrCode : (" + std::to_string(static_cast<unsigned long>(error)) +
                     ") Host : (" + host + ") ";
  const std::vector<std::string> servers = platform::CurrentResolver().NameServers();
  if (servers.empty() || servers.front().empty()) {
    text += ", no DNS";
  } else {
    text += ", DNS : (" + servers.front() + ")";
    for (size_t i = 1; i < servers.size(); ++i) text += ", 备用 DNS : (" + servers[i] + ")";
  }
  reporter("11500106", text.c_str(), 0);
}

}  // namespace

bool LookupWithTimeout(const std::string& host, int limitMs, LookupResult* result) {
  *result = {};
  if (host.empty() || limitMs <= 0) {
    result->error = kLookupBadArgument;
    return false;
  }
  LookupTable& table = Table();
  PendingLookup entry;
  entry.result.error = platform::kWsaEtimedout;
  std::unique_lock<std::mutex> guard(table.lock);
  const uint64_t key = table.nextKey++;
  table.entries.emplace(key, &entry);
  try {
    std::thread(RunLookup, key, host).detach();
    entry.done.wait_for(guard, std::chrono::milliseconds(limitMs), [&] { return entry.success; });
  } catch (const std::system_error&) {
    entry.result.error = platform::kWsaEnobufs;
  }
  table.entries.erase(key);
  *result = std::move(entry.result);
  return entry.success;
}

int ResolveHostList(const std::string& host, std::vector<uint32_t>& list, int limitMs) {
  if (host.empty()) return 0;
  if (host.find_first_not_of("0123456789.") == std::string::npos) {
    const uint32_t ip = ReadDottedQuad(host);
    if (ip == kNoAddress) {
      LogPrintf(kLogInvalidIp, kLogInvalidIp, "无效 IP: %s", host.c_str());
      return 0;
    }
    list.push_back(ip);
    return 1;
  }
  LookupResult found;
  if (LookupWithTimeout(host, limitMs, &found)) {
    gDnsFailureReported.store(false, std::memory_order_release);
    int added = 0;
    for (uint32_t ip : found.addresses) {
      if (ip != 0 && ip != kNoAddress) {
        list.push_back(ip);
        ++added;
      }
    }
    return added;
  }
  if (found.error == platform::kWsaHostNotFound || found.error == platform::kWsaNoData) {
    AddFailedHost(host);
  }
  if (!gDnsFailureReported.exchange(true, std::memory_order_acq_rel)) {
    ReportDnsFailure(found.error, host);
  }
  LogPrintf(kLogInvalidHost, kLogInvalidHost, "Invalid Host: %s", host.c_str());
  return -1;
}

uint32_t ReadDottedQuad(std::string_view text) {
  uint32_t parts[4] = {};
  size_t pos = 0;
  for (uint32_t& part : parts) {
    size_t used = 0;
    part = static_cast<uint32_t>(ReadInt32(text.substr(pos), 10, &used));
    pos += used;
    if (pos >= text.size() || text[pos] != '.') break;
    ++pos;
  }
  const uint32_t value = parts[0] << 24 | parts[1] << 16 | parts[2] << 8 | parts[3];
  return value == 0 ? kNoAddress : HostToNet32(value);
}

EventReporter SetEventReporter(EventReporter reporter) {
  return gReporter.exchange(reporter, std::memory_order_acq_rel);
}

}  // namespace bw
