// stoker-kit: the toolkit's operations behind one command, one subcommand
// each. A new operation is a file kit_<name>.cpp with its registration
// function, declared in kit.h and listed in kSubcommands below.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include "app/kit.h"
#include "app/kit_port.h"
#include "common/stop.h"
#include "common/version.h"

namespace {

constexpr KitRegister kSubcommands[] = {
    kit_register_hex2bin,
    kit_register_flash,
    kit_register_xmodem,
    kit_register_send_text,
    kit_register_script,
    // Bitmap fonts.
    kit_register_font_header,
    kit_register_font_file,
    kit_register_send_font,
    // One-way transfers.
    kit_register_send_file,
    kit_register_send_picture,
    // The terminal and the port diagnostics.
    kit_register_terminal,
    kit_register_ports,
    kit_register_port_settings,
};

int run(int argc, char** argv) {
  CLI::App app{"stoker-kit: serial toolkit for PIC32 boot loaders", "stoker-kit"};
  app.require_subcommand(1);
  // A path like /dir/image.bin is an argument, not a Windows-style option.
  app.allow_windows_style_options(false);
  kit_add_scan_root_options(&app);
  app.set_version_flag("--version", stoker_version_line());
  int status = 0;
  for (KitRegister add : kSubcommands) add(&app, &status);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // Ctrl-C ends a transfer as an abort, and the port is closed normally.
  stop_watch_signals();
  try {
    return run(argc, argv);
  } catch (const CLI::Error& error) {
    std::fprintf(stderr, "stoker-kit: %s\n", error.what());
    return error.get_exit_code();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "stoker-kit: %s\n", error.what());
    return 1;
  }
}
