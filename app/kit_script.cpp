// stoker-kit script PORT BAUD PATH_OR_URL [--send TEXT] [--fetch-timeout S]
#include "app/kit_script.h"

#include <CLI/CLI.hpp>
#include <cstdio>
#include <memory>
#include <string>

#include "app/kit.h"
#include "app/kit_port.h"
#include "app/kit_transfer.h"
#include "common/common.h"
#include "common/console.h"
#include "common/job.h"
#include "serial/serial.h"
#include "toolkit/script/script.h"

namespace {

constexpr const char* kWho = "stoker-kit script";
constexpr size_t kMinShownText = 20;

// "<what> line N of SCRIPT: "TEXT"", the text cut to fit the screen.
std::string at_line(const std::string& what, const ScriptFailure& why) {
  std::string head = what + " line " + std::to_string(why.lineNumber) + " of " + why.source + ": ";
  const size_t used = std::string(kWho).size() + 2 + head.size() + 2;
  size_t room = used < kScreenColumns - kMinShownText ? kScreenColumns - 1 - used : kMinShownText;
  std::string text = why.line;
  if (text.size() > room) text = text.substr(0, room - 3) + "...";
  return head + "\"" + text + "\"";
}

std::string with_reason(std::string text, const ScriptFailure& why) {
  return why.reason.empty() ? text : text + ": " + why.reason;
}

struct ScriptArgs {
  KitTransferArgs transfer;
  int fetchTimeoutS = kScriptFetchTimeoutS;
};

int run_script(const ScriptArgs& script) {
  const KitTransferArgs& args = script.transfer;
  static SerialPort port;
  if (!kit_open_port(&port, args.port, args.baud, args.trace, kWho)) return 1;
  reset_script_options();
  DownloadJob job;
  job.path = args.file.c_str();
  job.port = &port;
  job.send = args.send.empty() ? nullptr : args.send.c_str();
  job.fetchTimeoutS = script.fetchTimeoutS;
  ScriptFailure why;
  // Ctrl-C ends the script as stopped (4), whatever wait it interrupted.
  const int result = transfer_status(tload(&job, report_percent, &why));
  console_print("\ntload %d", result);
  std::fflush(stdout);
  for (const std::string& note : why.notes) std::fprintf(stderr, "\n%s: %s\n", kWho, note.c_str());
  if (result != SCRIPT_OK)
    std::fprintf(stderr, "\n%s: %s\n", kWho,
                 kit_script_failure_text(result, why, args.file).c_str());
  kit_close_port(&port, kWho);
  return result;
}

}  // namespace

std::string kit_script_failure_text(int result, const ScriptFailure& why,
                                    const std::string& script) {
  const std::string source = why.source.empty() ? script : why.source;
  switch (result) {
    case SCRIPT_FILE_UNREADABLE:
      // At a line: an "#include" that names no script. Otherwise the script
      // that could not be opened, an included one too.
      if (why.lineNumber > 0) return with_reason(at_line("cannot include at", why), why);
      return with_reason("cannot open script " + source, why);
    case SCRIPT_NO_ANSWER:
      return at_line("no answer from the target to", why);
    case SCRIPT_REFUSED:
      return at_line("the target refused", why);
    case SCRIPT_STOPPED:
      return kit_stopped_text() + "; the port was closed";
    case SCRIPT_PORT_CLOSED:
      return "the port is not open";
    case SCRIPT_URL_FAILED:
      return with_reason("cannot fetch " + source, why);
    case SCRIPT_NO_MEMORY:
      return with_reason("no memory for script " + source, why);
    case SCRIPT_INCLUDE_NOT_ACKED:
      return at_line("the target did not acknowledge the end of the script included at", why);
    case SCRIPT_TOO_DEEP:
      return at_line("\"#include\" nested more than " + std::to_string(kScriptMaxDepth) +
                         " deep (a script that includes itself?) at",
                     why);
    default:
      return "failed with code " + std::to_string(result);
  }
}

void kit_add_fetch_timeout(CLI::App* sub, int* seconds) {
  sub->add_option("--fetch-timeout", *seconds,
                  "Seconds a script fetched by URL may take in all, 1 to " +
                      std::to_string(kMaxFetchTimeoutS) + " (default " +
                      std::to_string(kScriptFetchTimeoutS) + ")")
      ->type_name("S")
      ->check(CLI::Range(1, kMaxFetchTimeoutS).description(""));
}

void kit_register_script(CLI::App* app, int* status) {
  auto args = std::make_shared<ScriptArgs>();
  CLI::App* sub = app->add_subcommand(
      "script",
      "Send a script file (or an http:// or https:// URL) line by line to a target "
      "that acknowledges each line");
  kit_add_transfer_arguments(sub, &args->transfer, "PATH_OR_URL",
                             "The script: a file, or an http(s):// URL");
  kit_add_fetch_timeout(sub, &args->fetchTimeoutS);
  sub->callback([args, status] { *status = run_script(*args); });
}
