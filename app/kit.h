// stoker-kit: the toolkit's front end, one subcommand per operation.
#pragma once

namespace CLI {
class App;
}

// Adds one subcommand to the toolkit's command line. When the user picks it,
// its callback runs the operation, prints the outcome and stores the process
// exit status in *status.
using KitRegister = void (*)(CLI::App* app, int* status);

// hex2bin: Intel HEX file to the flat image of a flash window (kit_hex2bin.cpp).
void kit_register_hex2bin(CLI::App* app, int* status);
// flash: the download with a progress display, a summary and the wire trace,
// for every generation of loader (kit_flash.cpp).
void kit_register_flash(CLI::App* app, int* status);
// xmodem: stoker's download with a silent (generation 1) loader let through to
// XMODEM-1K (kit_xmodem.cpp).
void kit_register_xmodem(CLI::App* app, int* status);
// send-text: a text with backslash escapes sent to the port (kit_send_text.cpp).
void kit_register_send_text(CLI::App* app, int* status);
// script: a script file or URL sent line by line, each line acknowledged
// (kit_script.cpp).
void kit_register_script(CLI::App* app, int* status);
// font-header, font-file, send-font: bitmap fonts (.bff) to a C header, to a
// .bf file, to the target (kit_font.cpp).
void kit_register_font_header(CLI::App* app, int* status);
void kit_register_font_file(CLI::App* app, int* status);
void kit_register_send_font(CLI::App* app, int* status);
// send-file: a file's bytes to the target, unchanged (kit_send_file.cpp).
void kit_register_send_file(CLI::App* app, int* status);
// send-picture: a 24-bit BMP picture to the target (kit_send_picture.cpp).
void kit_register_send_picture(CLI::App* app, int* status);
// terminal: the keyboard terminal on a port (kit_terminal.cpp).
void kit_register_terminal(CLI::App* app, int* status);
// ports: the port numbers that open and the serial devices (kit_ports.cpp).
void kit_register_ports(CLI::App* app, int* status);
// port-settings: every setting of an opened port (kit_port_settings.cpp).
void kit_register_port_settings(CLI::App* app, int* status);
