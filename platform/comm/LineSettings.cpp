#include "platform/comm/LineSettings.h"

namespace {

// The flags that raw mode clears, by field. ECHONL, ECHOE, ECHOK and XCASE only act with
// ICANON or ECHO, but are cleared too so that nothing depends on that.
constexpr tcflag_t kRawClearedInput =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF;
constexpr tcflag_t kRawClearedOutput = OPOST;
constexpr tcflag_t kRawClearedLocal =
    ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | XCASE;

// The input speed's bits in c_cflag: 0 means "as the output speed". The C library's
// cfsetispeed and cfgetispeed do not look at them, so a leftover input speed would survive its
// cfsetispeed unseen.
constexpr int kInputSpeedShift = 16;
static_assert(CIBAUD == CBAUD << kInputSpeedShift, "CIBAUD is CBAUD shifted");

speed_t InputSpeed(const termios& t) {
    const speed_t input = (t.c_cflag & CIBAUD) >> kInputSpeedShift;
    return input != B0 ? input : cfgetospeed(&t);
}

struct RateSpeed {
    DWORD rate;
    speed_t speed;
};

// The rates the window offers.
constexpr RateSpeed kRates[] = {{9600, B9600},   {19200, B19200},   {38400, B38400},
                                {57600, B57600}, {115200, B115200}, {230400, B230400}};

}  // namespace

void MakeRaw(termios* t) {
    t->c_iflag &= ~kRawClearedInput;
    t->c_oflag &= ~kRawClearedOutput;
    t->c_lflag &= ~kRawClearedLocal;
    t->c_cflag |= CLOCAL | CREAD;
    t->c_cc[VMIN] = 1;
    t->c_cc[VTIME] = 0;
}

bool SetLineFormat(termios* t, const DCB& dcb) {
    const RateSpeed* entry = nullptr;
    for (const RateSpeed& candidate : kRates) {
        if (candidate.rate == dcb.BaudRate) {
            entry = &candidate;
        }
    }
    if (!entry || dcb.ByteSize != 8 || dcb.Parity != NOPARITY || dcb.fParity ||
        (dcb.StopBits != ONESTOPBIT && dcb.StopBits != TWOSTOPBITS) || !dcb.fOutxCtsFlow ||
        dcb.fRtsControl != RTS_CONTROL_ENABLE) {
        return false;
    }
    cfsetospeed(t, entry->speed);
    t->c_cflag &= ~CIBAUD;  // input as output
    t->c_cflag = (t->c_cflag & ~(CSIZE | PARENB | PARODD)) | CS8;
    t->c_cflag = dcb.StopBits == TWOSTOPBITS ? (t->c_cflag | CSTOPB) : (t->c_cflag & ~CSTOPB);
    // Linux has one flag for both directions: with CRTSCTS the driver holds output while CTS is
    // low and keeps RTS raised while it has room for input.
    t->c_cflag |= CRTSCTS;
    return true;
}

bool IsRaw(const termios& got) {
    return (got.c_iflag & kRawClearedInput) == 0 && (got.c_oflag & kRawClearedOutput) == 0 &&
           (got.c_lflag & kRawClearedLocal) == 0 && (got.c_cflag & CREAD) != 0 &&
           got.c_cc[VMIN] == 1 && got.c_cc[VTIME] == 0;
}

// Only what makes a capture wrong counts. A driver may keep the rest its own way, and two of
// those settings do not touch reception:
// - Two stop bits (CSTOPB): a receiver samples one stop bit and then waits for the next start
//   bit, so a port set for either takes the sender's frames with one or two; only what the port
//   sends changes, and it sends nothing.
// - Hardware flow control (CRTSCTS): on Linux it holds output while CTS is low (nothing is ever
//   written) and lowers RTS when the driver's buffer fills. Without it RTS stays raised, as
//   SetCommState raised it, so a sender that waits for CTS still sends; the capture reads the
//   port steadily and does not need the driver to pause the sender.
// The rate is compared by the speed codes, in both directions: a driver that sets another rate
// than asked tells the kernel which, and the kernel reports it as the standard code only within
// 2% (else as a custom rate, BOTHER), a difference that a UART receiver tolerates.
bool CapturesAsAsked(const termios& want, const termios& got) {
    return IsRaw(got) && (got.c_cflag & CSIZE) == CS8 && (got.c_cflag & PARENB) == 0 &&
           cfgetospeed(&got) == cfgetospeed(&want) && InputSpeed(got) == cfgetospeed(&want);
}
