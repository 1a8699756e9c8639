// What the read-back after tcsetattr refuses, on termios values of the test's making: a pty keeps
// every setting it is given, so it cannot show a driver that drops one.
#include <gtest/gtest.h>
#include <termios.h>

#include "platform/comm/LineSettings.h"

namespace {

struct Change {
    const char* what;
    void (*apply)(termios*);
};

TEST(LineSettings, TheReadBackRefusesOnlyWhatMakesACaptureWrong) {
    termios want = {};
    MakeRaw(&want);
    DCB dcb = {};
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    ASSERT_TRUE(SetLineFormat(&want, dcb));
    EXPECT_TRUE(CapturesAsAsked(want, want));

    const Change harmless[] = {
        {"one stop bit", [](termios* t) { t->c_cflag &= ~CSTOPB; }},
        {"no hardware flow control", [](termios* t) { t->c_cflag &= ~CRTSCTS; }},
        {"the input speed given as the output speed",
         [](termios* t) { t->c_cflag |= B115200 << 16; }},
    };
    for (const Change& c : harmless) {
        termios got = want;
        c.apply(&got);
        EXPECT_TRUE(CapturesAsAsked(want, got)) << c.what;
    }

    const Change wrong[] = {
        {"7 data bits", [](termios* t) { t->c_cflag = (t->c_cflag & ~CSIZE) | CS7; }},
        {"parity", [](termios* t) { t->c_cflag |= PARENB; }},
        {"receiver off", [](termios* t) { t->c_cflag &= ~CREAD; }},
        {"CR turned into LF", [](termios* t) { t->c_iflag |= ICRNL; }},
        {"XON/XOFF taken out", [](termios* t) { t->c_iflag |= IXON; }},
        {"the eighth bit stripped", [](termios* t) { t->c_iflag |= ISTRIP; }},
        {"errors marked", [](termios* t) { t->c_iflag |= PARMRK; }},
        {"echo", [](termios* t) { t->c_lflag |= ECHO; }},
        {"lines", [](termios* t) { t->c_lflag |= ICANON; }},
        {"signal characters", [](termios* t) { t->c_lflag |= ISIG; }},
        {"output processing", [](termios* t) { t->c_oflag |= OPOST; }},
        {"reads that return empty", [](termios* t) { t->c_cc[VMIN] = 0; }},
        {"another rate", [](termios* t) { cfsetospeed(t, B57600); }},
        {"another input rate (left over)", [](termios* t) { t->c_cflag |= B9600 << 16; }},
    };
    for (const Change& c : wrong) {
        termios got = want;
        c.apply(&got);
        EXPECT_FALSE(CapturesAsAsked(want, got)) << c.what;
    }
}

}  // namespace
