// The port and baud arguments of the toolkit's subcommands.
#include "app/kit_port.h"

#include <gtest/gtest.h>

#include <string>

#include "common/job.h"
#include "common/stop.h"

namespace {

TEST(KitParsePort, NumbersComNamesAndDevicePaths) {
  KitPortName name;
  std::string error;
  ASSERT_TRUE(kit_parse_port("3", &name, &error));
  EXPECT_EQ(name.number, 3);
  EXPECT_TRUE(name.device.empty());
  ASSERT_TRUE(kit_parse_port("com27", &name, &error));
  EXPECT_EQ(name.number, 27);
  ASSERT_TRUE(kit_parse_port("/dev/ttyUSB0", &name, &error));
  EXPECT_EQ(name.device, "/dev/ttyUSB0");
  EXPECT_EQ(name.number, 0);
  for (const char* bad : {"", "0", "COM", "COM0", "3x", "-3", "ttyUSB0", "1234567890"}) {
    EXPECT_FALSE(kit_parse_port(bad, &name, &error)) << bad;
    EXPECT_NE(error.find("not a port"), std::string::npos) << bad;
  }
}

TEST(KitSettings, PositiveDecimalBaudOfAtMost45Digits) {
  std::string settings;
  std::string error;
  ASSERT_TRUE(kit_settings("115200", &settings, &error));
  EXPECT_EQ(settings, "115200,8,N,1");
  EXPECT_TRUE(kit_settings(std::string(45, '9'), &settings, &error));
  for (const std::string& bad :
       {std::string(""), std::string("0"), std::string("00"), std::string("9600,7,E,1"),
        std::string("fast"), std::string(46, '9')}) {
    EXPECT_FALSE(kit_settings(bad, &settings, &error)) << bad;
    EXPECT_NE(error.find("not a baud rate"), std::string::npos) << bad;
  }
}

TEST(KitTransferStatus, AnInterruptedFailureIsAnAbort) {
  EXPECT_EQ(transfer_status(RESULT_NO_ACK), RESULT_NO_ACK);
  stop_request();
  EXPECT_EQ(transfer_status(RESULT_NO_ACK), RESULT_ABORTED);
  EXPECT_EQ(transfer_status(RESULT_OK), RESULT_OK);  // finished before the stop
  stop_clear();
}

}  // namespace
