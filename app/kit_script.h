// The script and send-text operations of stoker-kit.
#pragma once

#include <cstddef>
#include <string>

struct ScriptFailure;

// Columns a message line may take on the user's screen.
constexpr size_t kScreenColumns = 80;

// The one line on standard error (without "stoker-kit script: " and the
// newline) for a nonzero result of tload on `script`: what failed, the line
// number and the line's text (cut so the whole message fits kScreenColumns),
// or the file or URL and why it could not be had.
std::string kit_script_failure_text(int result, const ScriptFailure& why,
                                    const std::string& script);

// The longest fetch --fetch-timeout allows: a day.
constexpr int kMaxFetchTimeoutS = 86400;

namespace CLI {
class App;
}

// Adds --fetch-timeout S (1 to kMaxFetchTimeoutS) to a subcommand that runs
// scripts, storing the seconds in *seconds.
void kit_add_fetch_timeout(CLI::App* sub, int* seconds);

// Bytes an echo of send_text can take for `text`, its NUL included: no escape
// echoes more than twice its own length.
size_t kit_echo_capacity(const std::string& text);
