#include <gtest/gtest.h>

#include "api/return_codes.h"

namespace {

TEST(MapFailureMessage, CommandLayerMessagesMapOnlyWhenEqual) {
    EXPECT_EQ(MapFailureMessage("Invalid handle"), -1);
    EXPECT_EQ(MapFailureMessage("Invalid head"), -2);
    EXPECT_EQ(MapFailureMessage("Invalid command"), -3);
    EXPECT_EQ(MapFailureMessage("Invalid data"), -4);
    EXPECT_EQ(MapFailureMessage("I2C error"), -5);
    // A prefix or a suffix is no longer the message.
    EXPECT_EQ(MapFailureMessage("Invalid command."), -999);
    EXPECT_EQ(MapFailureMessage("Invalid command: ?X"), -999);
    EXPECT_EQ(MapFailureMessage("invalid command"), -999);
    EXPECT_EQ(MapFailureMessage("I2C errors"), -999);
}

TEST(MapFailureMessage, TransportMessagesMapWhenContained) {
    EXPECT_EQ(MapFailureMessage("SerialPort::WaitInputQueue: timeout waiting for response"), -300);
    EXPECT_EQ(MapFailureMessage("NXP::Read: invalid number of command bytes"), -999);
    EXPECT_EQ(MapFailureMessage("got ASCII error here"), -300);
    EXPECT_EQ(MapFailureMessage("FTCI2C exception"), -102);
    EXPECT_EQ(MapFailureMessage("before FTCI2C exception after"), -102);
    EXPECT_EQ(MapFailureMessage("NXP.Write: invalid number of data bytes"), -999);
}

TEST(MapFailureMessage, FirstRuleThatFiresDecides) {
    EXPECT_EQ(MapFailureMessage("NXP:: then SerialPort::"), -300);  // SerialPort rule comes first
    EXPECT_EQ(MapFailureMessage("ASCII error and NXP::"), -999);    // NXP rule before ASCII
    EXPECT_EQ(MapFailureMessage("FTCI2C exception in SerialPort::Open"), -300);
}

TEST(MapFailureMessage, AnythingElseIsTheGeneralFailure) {
    EXPECT_EQ(MapFailureMessage(""), -999);
    EXPECT_EQ(MapFailureMessage("Unexpected error"), -999);
    EXPECT_EQ(MapFailureMessage("I2C invalid dataNumberOfBytes"), -999);
    EXPECT_EQ(MapFailureMessage(nullptr), -999);
}

}  // namespace
