// The port list of flash on several boards: which arguments ask for it, and
// the boards a list names, a port named twice refused however it is named.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "app/kit_flash.h"

namespace fs = std::filesystem;

namespace {

TEST(KitGangPorts, WhichArgumentsAskForSeveralBoards) {
  struct Case {
    const char* port;
    bool gang;
  };
  const Case cases[] = {
      {"/dev/ttyUSB0", false}, {"3", false},
      {"usb:A50285BI", false}, {"usb:0403:6001#2", false},
      {"usb:", false},         {"usb:0403:6001", true},  // every board with the ids
      {"USB:0403:6001", true}, {"/dev/ttyUSB0,/dev/ttyUSB1", true},
      {"usb:A1,usb:B2", true}, {"3,", true},  // refused later: an empty entry
  };
  for (const Case& c : cases) EXPECT_EQ(kit_gang_form(c.port), c.gang) << c.port;
}

TEST(KitGangPorts, TheBoardsOfAListEachPortOnce) {
  const std::string dir = testing::TempDir() + "kit_gang_ports";
  fs::remove_all(dir);
  fs::create_directories(dir + "/sub");
  for (const char* name : {"/a", "/b"}) std::ofstream(dir + name) << "x";
  fs::create_symlink(dir + "/a", dir + "/link");
  const std::string a = dir + "/a", b = dir + "/b", link = dir + "/link";
  // An empty scan: no USB boards.
  KitScanRoots roots;
  roots.dev = dir + "/sub";
  roots.sys = dir + "/sub";
  struct Case {
    std::string list;
    std::vector<std::string> devices;  // the boards' devices, in order
    std::string error;                 // the start of the message; "" when accepted
  };
  const Case cases[] = {
      {a + "," + b, {a, b}, ""},
      {" " + a + " , " + b + " ", {a, b}, ""},
      {"3,4", {"/dev/ttyS2", "/dev/ttyS3"}, ""},
      {a + "," + a, {}, "the port " + a + " is listed twice"},
      {a + "," + link, {}, a + " and " + link + " are the same port (" + a + ")"},
      {b + "," + dir + "/sub/../a," + link, {}, dir + "/sub/../a and " + link + " are the same"},
      {"3,/dev/ttyS2", {}, "3 and /dev/ttyS2 are the same port"},
      {"3,COM3", {}, "3 and COM3 are the same port"},
      {a + ",," + b, {}, "the port list '" + a + ",," + b + "' has an empty entry"},
      {a + ",", {}, "the port list '" + a + ",' has an empty entry"},
      {a + ",x", {}, "not a port: 'x'"},
      {a + ",usb:0403:6001", {}, "no USB serial board matches usb:0403:6001; no USB serial"},
  };
  for (const Case& c : cases) {
    std::vector<GangBoard> boards;
    std::string error;
    const bool ok = kit_gang_boards(c.list, roots, &boards, &error);
    if (c.error.empty()) {
      EXPECT_TRUE(ok) << c.list << ": " << error;
      std::vector<std::string> devices;
      for (const GangBoard& board : boards) devices.push_back(board.device);
      EXPECT_EQ(devices, c.devices) << c.list;
    } else {
      EXPECT_FALSE(ok) << c.list;
      EXPECT_EQ(error.rfind(c.error, 0), 0u) << c.list << ": " << error;
    }
  }
  fs::remove_all(dir);
}

}  // namespace
