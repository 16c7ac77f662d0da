#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bw {

// The parts of a source address, kept with the source's identity.
struct TUrlInfo {
  std::string host;
  std::string user;
  std::string password;
  std::string scheme;       // trackers: the text before "://"
  std::string path;         // FTP and trackers, from the first "/" (trackers: without the query)
  std::string query;        // trackers: after "?"
  std::string requestPath;  // HTTP: from the first "/" after the host, query included
  std::string fileName;     // HTTP and FTP: after the last "/"
  std::vector<uint32_t> moreAddresses;  // further IPv4 addresses of the host, network order
};

}  // namespace bw
