// Fetching a script over HTTP or HTTPS: libcurl on POSIX, WinINet on
// Windows (http_posix.cpp / http_win32.cpp).
#pragma once

#include <cstddef>
#include <string>

// Fetches url with the user agent `agent` into *document: the body exactly
// as sent, NUL bytes included, at most `capacity` bytes, all within
// timeoutS seconds. Returns 0, or 6 with *why saying what failed: the URL
// could not be opened, the server answered with an HTTP error (400 and up),
// the transfer broke off, the document is larger than capacity (never cut
// short), the time ran out, or a stop request (common/stop.h) ended the
// fetch.
int http_get(const char* agent, const char* url, size_t capacity, int timeoutS,
             std::string* document, std::string* why);

// The message for a fetch that ran out of time.
std::string fetch_timeout_text(int timeoutS);

// True when path is a URL that http_get fetches: it begins with "http://"
// or "https://", in any case ("HTTP://x" too).
bool is_script_url(const char* path);
