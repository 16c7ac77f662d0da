#pragma once
#include <functional>
#include <string>

namespace bw {

// Asked while a transfer runs; true ends it at once.
using CancelCheck = std::function<bool()>;

struct PostOutcome {
  bool answered = false;  // the server sent a response (of any status)
  std::string response;   // its body, at most kMaxResponseBytes
  std::string error;      // why there was no answer
};

constexpr long kPostConnectTimeoutSeconds = 6;
constexpr long kPostTotalTimeoutSeconds = 6;
constexpr size_t kMaxResponseBytes = 64 * 1024;

// POSTs a form body to an http:// or https:// address with libcurl: redirects followed, connect
// and whole-transfer time-outs, no signals.
PostOutcome PostForm(const std::string& url, const std::string& body, const CancelCheck& cancelled);

}  // namespace bw
