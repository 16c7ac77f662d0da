#pragma once
#include <atomic>
#include <string>

namespace bw::app {

// Fetches an http or https address into memory. Certificate and host checks stay on for https;
// the trusted authorities are the system's, or the file named by CURL_CA_BUNDLE (tests trust
// their own authority that way). At most 30 s (less when timeoutSeconds asks), 1 MiB of body and
// 5 redirects, which may lead to http or https only. true when the transfer succeeded and the
// status is not 400..599; otherwise errorText says why. Diagnostics go to standard error. A set
// cancel flag ends the transfer within a second.
bool HttpGet(const std::string& url, std::string* content, std::string* errorText, long* status, long timeoutSeconds,
             const std::atomic<bool>* cancel = nullptr);

}  // namespace bw::app
