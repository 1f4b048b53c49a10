// http_get through libcurl's easy interface: one handle per fetch.
#include <curl/curl.h>

#include <algorithm>
#include <memory>
#include <string>

#include "common/stop.h"
#include "toolkit/script/http.h"
#include "toolkit/script/script.h"

namespace {

constexpr long kConnectTimeoutS = 10;
// A transfer that stalls (under one byte per second this long) is broken.
constexpr long kStallTimeoutS = 30;
constexpr long kMaxRedirects = 5;

// The body so far, and whether the server sent more than it may hold.
struct Sink {
  std::string* document;
  size_t capacity;
  bool tooLarge = false;
};

size_t append(char* data, size_t size, size_t count, void* user) {
  Sink* sink = static_cast<Sink*>(user);
  const size_t bytes = size * count;
  if (bytes > sink->capacity - sink->document->size()) {
    sink->tooLarge = true;
    return 0;  // ends the transfer with CURLE_WRITE_ERROR
  }
  sink->document->append(data, bytes);
  return bytes;
}

// Ctrl-C ends a fetch that is waiting for a slow server.
int progress(void*, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  return stop_requested() ? 1 : 0;
}

bool global_init(std::string* why) {
  static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
  if (initialized == CURLE_OK) return true;
  *why = std::string("cannot start libcurl: ") + curl_easy_strerror(initialized);
  return false;
}

// True when a timed-out transfer took the whole time it was given (rather
// than failing to connect, or stalling, sooner).
bool ran_out_of_time(CURL* handle, int timeoutS) {
  double seconds = 0;
  return curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME, &seconds) == CURLE_OK &&
         seconds >= timeoutS - 0.5;
}

struct EasyCloser {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

}  // namespace

int http_get(const char* agent, const char* url, size_t capacity, int timeoutS,
             std::string* document, std::string* why) {
  document->clear();
  if (!global_init(why)) return SCRIPT_URL_FAILED;
  std::unique_ptr<CURL, EasyCloser> easy(curl_easy_init());
  if (!easy) {
    *why = "cannot start a libcurl transfer";
    return SCRIPT_URL_FAILED;
  }
  CURL* h = easy.get();
  Sink sink{document, capacity};
  char error[CURL_ERROR_SIZE] = "";
  curl_easy_setopt(h, CURLOPT_URL, url);
  curl_easy_setopt(h, CURLOPT_USERAGENT, agent);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, append);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, &sink);
  curl_easy_setopt(h, CURLOPT_FAILONERROR, 1L);
  curl_easy_setopt(h, CURLOPT_CONNECTTIMEOUT, std::min<long>(kConnectTimeoutS, timeoutS));
  // The whole fetch, however the server trickles it.
  curl_easy_setopt(h, CURLOPT_TIMEOUT, static_cast<long>(timeoutS));
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, kStallTimeoutS);
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(h, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, progress);
#if LIBCURL_VERSION_NUM >= 0x075500
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
#endif
  const CURLcode result = curl_easy_perform(h);
  if (result == CURLE_OK) return 0;
  if (sink.tooLarge) {
    *why = "the document is larger than " + std::to_string(capacity) + " bytes";
  } else if (result == CURLE_ABORTED_BY_CALLBACK) {
    *why = "stopped";
  } else if (result == CURLE_OPERATION_TIMEDOUT && ran_out_of_time(h, timeoutS)) {
    *why = fetch_timeout_text(timeoutS);
  } else {
    *why = error[0] != '\0' ? error : curl_easy_strerror(result);
  }
  document->clear();
  return SCRIPT_URL_FAILED;
}
