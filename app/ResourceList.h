#pragma once
#include <atomic>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace bw::app {

// One extra HTTP mirror of a file: its address and the Host header to send it.
struct Mirror {
  std::string url;
  std::string host;  // "null" when the document names none
};

struct ResourceEntry {
  std::string task;  // the file's built-in HTTP address, compared byte for byte
  std::vector<Mirror> mirrors;
};

// What a resource-list document says. Anything missing, empty or malformed reads as absent:
// not expired, P2P off, no entry; nothing in a hostile document can make the reading fail.
struct ResourceList {
  bool expired = false;  // configs/expire-info/expired is exactly "true", under a root of any name
  std::string expiryMessage;
  std::string expiryUrl;
  bool isResourceList = false;  // root "project" with configs/p2p-switch
  bool p2pOn = false;
  // The "resource" elements up to the first that is not one or has no "id".
  std::vector<ResourceEntry> resources;
};

ResourceList ParseResourceList(const char* data, size_t size);

// Fetches the document (HttpGet) and parses it; empty when the fetch failed.
std::optional<ResourceList> FetchResourceList(const std::string& url, long timeoutSeconds,
                                              const std::atomic<bool>* cancel = nullptr);

}  // namespace bw::app
