// http_get through WinINet: InternetOpenA, InternetOpenUrlA, InternetReadFile
// and InternetCloseHandle, plus the status check that tells a document from
// a server's error page.
#include <windows.h>
#include <wininet.h>

#include <algorithm>
#include <string>

#include "common/deadline.h"
#include "common/stop.h"
#include "toolkit/script/http.h"
#include "toolkit/script/script.h"

namespace {

constexpr DWORD kConnectTimeoutMs = 10000;
constexpr DWORD kReceiveTimeoutMs = 30000;
constexpr DWORD kChunkBytes = 4096;

struct Handle {
  HINTERNET h = nullptr;
  ~Handle() {
    if (h != nullptr) InternetCloseHandle(h);
  }
};

// WinINet's text for its error codes, else the system's, else the number.
std::string error_text(DWORD code) {
  char text[512] = "";
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                           GetModuleHandleA("wininet.dll"), code, 0, text, sizeof text, nullptr);
  if (n == 0) {
    n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0,
                       text, sizeof text, nullptr);
  }
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = 0;
  return n > 0 ? std::string(text) + " (error " + std::to_string(code) + ")"
               : "error " + std::to_string(code);
}

int failed(std::string* document, std::string* why, std::string reason) {
  document->clear();
  *why = std::move(reason);
  return SCRIPT_URL_FAILED;
}

}  // namespace

int http_get(const char* agent, const char* url, size_t capacity, int timeoutS,
             std::string* document, std::string* why) {
  document->clear();
  const DWORD wholeMs = static_cast<DWORD>(timeoutS) * 1000;
  const Deadline deadline = deadline_after_ms(static_cast<int>(wholeMs));
  Handle session;
  session.h = InternetOpenA(agent, INTERNET_OPEN_TYPE_PRECONFIG, nullptr, nullptr, 0);
  if (session.h == nullptr) return failed(document, why, error_text(GetLastError()));
  // No single wait outlasts the whole fetch's time.
  DWORD connectMs = std::min(kConnectTimeoutMs, wholeMs);
  DWORD receiveMs = std::min(kReceiveTimeoutMs, wholeMs);
  InternetSetOptionA(session.h, INTERNET_OPTION_CONNECT_TIMEOUT, &connectMs, sizeof connectMs);
  InternetSetOptionA(session.h, INTERNET_OPTION_RECEIVE_TIMEOUT, &receiveMs, sizeof receiveMs);
  // Always the server's current script, never a cached copy.
  Handle request;
  request.h = InternetOpenUrlA(session.h, url, nullptr, 0,
                               INTERNET_FLAG_RELOAD | INTERNET_FLAG_NO_CACHE_WRITE, 0);
  if (request.h == nullptr) return failed(document, why, error_text(GetLastError()));

  DWORD status = 0;
  DWORD statusBytes = sizeof status;
  if (HttpQueryInfoA(request.h, HTTP_QUERY_STATUS_CODE | HTTP_QUERY_FLAG_NUMBER, &status,
                     &statusBytes, nullptr) &&
      status >= 400) {
    return failed(document, why, "The requested URL returned error: " + std::to_string(status));
  }

  char chunk[kChunkBytes];
  for (;;) {
    if (stop_requested()) return failed(document, why, "stopped");
    if (deadline_passed(deadline)) return failed(document, why, fetch_timeout_text(timeoutS));
    // Only what has arrived: a read of a whole chunk would wait for all of
    // it, however slowly the server sends.
    DWORD available = 0;
    if (!InternetQueryDataAvailable(request.h, &available, 0, 0)) {
      return failed(document, why, "the transfer broke off: " + error_text(GetLastError()));
    }
    if (deadline_passed(deadline)) return failed(document, why, fetch_timeout_text(timeoutS));
    DWORD got = 0;
    const DWORD wanted = available == 0 ? 1 : std::min<DWORD>(available, sizeof chunk);
    if (!InternetReadFile(request.h, chunk, wanted, &got)) {
      return failed(document, why, "the transfer broke off: " + error_text(GetLastError()));
    }
    if (got == 0) return 0;
    if (got > capacity - document->size()) {
      return failed(document, why,
                    "the document is larger than " + std::to_string(capacity) + " bytes");
    }
    document->append(chunk, got);
  }
}
