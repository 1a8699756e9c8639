// The serial-port module on real ptys: the test holds the master and plays the instrument.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <string>

#include "port/Port.h"
#include "tests/support/Process.h"
#include "tools/Pty.h"

namespace {

// The capture's own call: 8 data bits, no parity, two stop bits.
int OpenCapturePort(const std::string& path, int rate) {
    return OpenPort(path.c_str(), rate, 8, 0, 1);
}

struct ListRate {
    int rate;
    speed_t speed;
};

class PortRates : public ::testing::TestWithParam<ListRate> {};

TEST_P(PortRates, ConfiguresTheLineAsTheOtherSideSeesIt) {
    Pty pty;
    ASSERT_EQ(OpenCapturePort(pty.Slave(), GetParam().rate), 1);
    termios t;
    ASSERT_EQ(tcgetattr(pty.Master(), &t), 0);  // a pty master reports its slave's settings
    EXPECT_EQ(cfgetospeed(&t), GetParam().speed);
    EXPECT_EQ(cfgetispeed(&t), GetParam().speed);
    EXPECT_EQ(t.c_cflag & CSIZE, tcflag_t{CS8});
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB | CRTSCTS | CLOCAL | CREAD),
              tcflag_t{CSTOPB | CRTSCTS | CLOCAL | CREAD});
    EXPECT_EQ(t.c_iflag &
                  (ICRNL | INLCR | IGNCR | ISTRIP | IXON | IXOFF | IXANY | PARMRK | BRKINT | INPCK),
              0u);
    EXPECT_EQ(t.c_oflag & OPOST, 0u);
    EXPECT_EQ(t.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), 0u);
    ClosePort();
}

INSTANTIATE_TEST_SUITE_P(EveryListRate, PortRates,
                         ::testing::Values(ListRate{9600, B9600}, ListRate{19200, B19200},
                                           ListRate{38400, B38400}, ListRate{57600, B57600},
                                           ListRate{115200, B115200}, ListRate{230400, B230400}));

TEST(Port, FailedOpenLeavesNothingOpenAndClosePortClosesNothing) {
    Pty pty;
    const int before = OpenDescriptorCount();
    EXPECT_EQ(OpenCapturePort("/dev/kavosen-no-such-port", 115200), 0);
    ClosePort();
    // Opened, then refused at the settings: the descriptor it had is closed again.
    EXPECT_EQ(OpenPort(pty.Slave().c_str(), 115200, 7, 0, 1), 0);
    EXPECT_EQ(OpenDescriptorCount(), before);

    // A descriptor obtained since, most likely under the number the refused port had.
    const int file = open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(file, 0);
    ClosePort();
    ClosePort();
    EXPECT_NE(fcntl(file, F_GETFD), -1) << "an unrelated descriptor was closed";
    close(file);

    // The refused port was released: it opens now.
    ASSERT_EQ(OpenCapturePort(pty.Slave(), 115200), 1);
    ClosePort();
    ClosePort();
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(Port, OpenCloseCyclesLeaveNoDescriptor) {
    Pty pty;
    const int before = OpenDescriptorCount();
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(OpenCapturePort(pty.Slave(), 115200), 1) << "cycle " << i;
        ClosePort();
    }
    EXPECT_EQ(OpenDescriptorCount(), before);
}

TEST(Port, ReadTimesOutAfterFiveHundredMsAndAMsAByte) {
    Pty pty;
    ASSERT_EQ(OpenCapturePort(pty.Slave(), 115200), 1);
    BYTE buffer[256];
    Stopwatch watch;
    EXPECT_EQ(ReadPort(buffer, 256), 0);
    EXPECT_GE(watch.Ms(), 750);
    Stopwatch shortRead;
    EXPECT_EQ(ReadPort(buffer, 16), 0);
    EXPECT_GE(shortRead.Ms(), 510);
    ClosePort();
}

TEST(Port, DrainDiscardsWhatIsQueued) {
    Pty pty;
    ASSERT_EQ(OpenCapturePort(pty.Slave(), 115200), 1);
    pty.Send(std::string(3000, 'o'));
    SleepMs(100);  // the pty hands the bytes on in the background
    DrainPort();
    pty.Send("new");
    BYTE buffer[256];
    const int n = ReadPort(buffer, 256);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), n < 0 ? 0 : n), "new");
    ClosePort();
}

TEST(Port, ReadFailsFromTheMomentTheDeviceVanishes) {
    Pty pty;
    ASSERT_EQ(OpenCapturePort(pty.Slave(), 115200), 1);
    pty.Send("ab");
    BYTE buffer[256];
    EXPECT_EQ(ReadPort(buffer, 2), 2);
    pty.Hangup();
    EXPECT_EQ(ReadPort(buffer, 256), READ_DEVICE_GONE);
    EXPECT_EQ(ReadPort(buffer, 256), READ_DEVICE_GONE);
    DrainPort();  // must return, with nothing to read
    ClosePort();
}

}  // namespace
