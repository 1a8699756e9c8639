// The termios helpers on their own: the formats a pty cannot hold (it keeps 8 data bits and no
// parity whatever it is told), so they never reach a pty test.
#include <gtest/gtest.h>
#include <termios.h>

#include "platform/comm/LineSettings.h"

namespace {

TEST(LineSettings, EveryFormatSurvivesTheWayThroughTermios) {
    for (BYTE size = 5; size <= 8; ++size) {
        for (BYTE parity : {NOPARITY, ODDPARITY, EVENPARITY}) {
            for (BYTE stop : {ONESTOPBIT, TWOSTOPBITS}) {
                for (DWORD flow = 0; flow <= 1; ++flow) {
                    DCB want = {};
                    want.ByteSize = size;
                    want.Parity = parity;
                    want.fParity = parity != NOPARITY;
                    want.StopBits = stop;
                    want.fOutxCtsFlow = flow;
                    want.fInX = flow;
                    termios t = {};
                    t.c_cflag = CS7 | PARENB | PARODD | CSTOPB | CRTSCTS;  // to be overwritten
                    t.c_iflag = IXON | INPCK;
                    ASSERT_TRUE(SetLineFormat(&t, want));
                    DCB got = {};
                    GetLineFormat(t, &got);
                    EXPECT_EQ(got.ByteSize, size);
                    EXPECT_EQ(got.Parity, parity);
                    EXPECT_EQ(got.fParity, want.fParity);
                    EXPECT_EQ(got.StopBits, stop);
                    EXPECT_EQ(got.fOutxCtsFlow, flow);
                    EXPECT_EQ(got.fOutX, 0u);
                    EXPECT_EQ(got.fInX, flow);
                }
            }
        }
    }
}

TEST(LineSettings, RefusesWhatTermiosCannotCarry) {
    DCB dcb = {};
    dcb.ByteSize = 8;
    termios t = {};
    for (BYTE size : {0, 4, 9}) {
        dcb.ByteSize = size;
        EXPECT_FALSE(SetLineFormat(&t, dcb)) << "byte size " << int{size};
    }
    dcb.ByteSize = 8;
    dcb.Parity = 3;  // mark
    EXPECT_FALSE(SetLineFormat(&t, dcb));
    dcb.Parity = NOPARITY;
    dcb.StopBits = 1;  // one and a half
    EXPECT_FALSE(SetLineFormat(&t, dcb));
    EXPECT_EQ(StandardSpeed(250000), speed_t{B0});
    EXPECT_EQ(StandardSpeed(230400), speed_t{B230400});
}

}  // namespace
