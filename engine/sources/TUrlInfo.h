#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace bw {

// The parts of a source address, kept with the source's identity.
struct TUrlInfo {
  std::string host;
  std::string hostHeader;   // HTTP: sent as Host instead of `host` (a mirror given by address)
  std::string user;
  std::string password;
  std::string scheme;       // trackers: the text before "://"
  std::string path;         // FTP and trackers, from the first "/" (trackers: without the query)
  std::string query;        // trackers: after "?"
  std::string requestPath;  // HTTP: from the first "/" after the host, query included
  std::string fileName;     // HTTP and FTP: after the last "/"
  std::vector<uint32_t> moreAddresses;  // further IPv4 addresses of the host, network order
  bool tls = false;          // HTTP over TLS ("https://")

  // What an HTTP or FTP source learns and keeps between its connections.
  int64_t fileSize = 0;  // 0: not learned yet
  std::string referer;
  int32_t redirectCount = 0;
  int32_t redirectRepeats = 0;
  std::string lastRedirect;
  bool redirected = false;
  bool rangesIgnored = false;  // the server answered a ranged request with the whole file
  int32_t reconnects = 0;
  int32_t rangeMismatches = 0;  // answers whose range started elsewhere than asked
  bool epsvRefused = false;  // FTP: the server knows no EPSV, PASV is asked instead
  // Whole-body mode: the response is collected here instead of going to the piece map.
  bool wholeBody = false;
  int32_t sourceClass = 0;
  std::string body;
  bool downloadComplete = false;
};

}  // namespace bw
