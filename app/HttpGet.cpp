#include "app/HttpGet.h"

#include <cstdio>
#include <cstdlib>
#include <curl/curl.h>
#include <memory>
#include <mutex>
#include <string>

namespace bw::app {
namespace {

constexpr long kMaxSeconds = 30;
constexpr size_t kMaxBodyBytes = 1 << 20;
constexpr long kMaxRedirects = 5;

struct Sink {
  std::string* content;
};

size_t Append(char* data, size_t size, size_t count, void* target) {
  auto* sink = static_cast<Sink*>(target);
  const size_t bytes = size * count;
  // Returning less than was given makes the transfer fail.
  if (sink->content->size() + bytes > kMaxBodyBytes) return 0;
  sink->content->append(data, bytes);
  return bytes;
}

void InitialiseOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_ALL); });
}

int CheckCancel(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* flag = static_cast<const std::atomic<bool>*>(cancel);
  return flag && flag->load() ? 1 : 0;
}

}  // namespace

bool HttpGet(const std::string& url, std::string* content, std::string* errorText, long* status, long timeoutSeconds,
             const std::atomic<bool>* cancel) {
  InitialiseOnce();
  const std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), &curl_easy_cleanup);
  if (!curl) {
    std::fprintf(stderr, "Failed to create CURL connection\n");
    *errorText = "Failed to create CURL connection";
    return false;
  }
  CURL* c = curl.get();
  char error[CURL_ERROR_SIZE] = "";
  Sink sink{content};
  const long seconds = timeoutSeconds > 0 && timeoutSeconds < kMaxSeconds ? timeoutSeconds : kMaxSeconds;
  const char* caBundle = std::getenv("CURL_CA_BUNDLE");
  const bool set = curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_URL, url.c_str()) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_MAXREDIRS, kMaxRedirects) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, &Append) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_WRITEDATA, &sink) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_TIMEOUT, seconds) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, &CheckCancel) == CURLE_OK &&
                   curl_easy_setopt(c, CURLOPT_XFERINFODATA, cancel) == CURLE_OK &&
                   (!caBundle || !*caBundle || curl_easy_setopt(c, CURLOPT_CAINFO, caBundle) == CURLE_OK);
  if (!set) {
    std::fprintf(stderr, "Connection initializion failed\n");
    *errorText = "Connection initializion failed";
    return false;
  }
  const CURLcode result = curl_easy_perform(c);
  long code = 0;
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &code);
  *status = code;
  if (result == CURLE_OK && (code < 400 || code > 599)) return true;
  const std::string reason = error[0]             ? error
                             : result != CURLE_OK ? curl_easy_strerror(result)
                                                  : "HTTP " + std::to_string(code);
  std::fprintf(stderr, "Failed to get '%s' [%s]\n", url.c_str(), reason.c_str());
  *errorText += "Failed to get " + url;
  return false;
}

}  // namespace bw::app
