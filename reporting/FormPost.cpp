#include "reporting/FormPost.h"

#include <curl/curl.h>

#include <memory>
#include <mutex>

namespace bw {
namespace {

size_t Collect(char* data, size_t size, size_t count, void* out) {
  auto* response = static_cast<std::string*>(out);
  const size_t bytes = size * count;
  if (response->size() + bytes > kMaxResponseBytes) return 0;  // ends the transfer
  response->append(data, bytes);
  return bytes;
}

int CheckCancel(void* check, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto& cancelled = *static_cast<const CancelCheck*>(check);
  return cancelled && cancelled() ? 1 : 0;
}

}  // namespace

PostOutcome PostForm(const std::string& url, const std::string& body, const CancelCheck& cancelled) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
  PostOutcome outcome;
  const std::unique_ptr<CURL, void (*)(CURL*)> curl(curl_easy_init(), curl_easy_cleanup);
  if (!curl) {
    outcome.error = "no curl handle";
    return outcome;
  }
  char error[CURL_ERROR_SIZE] = "";
  CURL* handle = curl.get();
  curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(handle, CURLOPT_URL, url.c_str());
  curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(handle, CURLOPT_MAXREDIRS, 5L);
  curl_easy_setopt(handle, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(handle, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
  curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, Collect);
  curl_easy_setopt(handle, CURLOPT_WRITEDATA, &outcome.response);
  curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(handle, CURLOPT_CONNECTTIMEOUT, kPostConnectTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_TIMEOUT, kPostTotalTimeoutSeconds);
  curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, CheckCancel);
  curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &cancelled);
  const CURLcode result = curl_easy_perform(handle);
  outcome.answered = result == CURLE_OK;
  if (!outcome.answered) outcome.error = error[0] ? error : curl_easy_strerror(result);
  return outcome;
}

}  // namespace bw
