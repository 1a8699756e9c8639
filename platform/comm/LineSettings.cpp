#include "platform/comm/LineSettings.h"

namespace {

// The flags that raw mode clears, by field. ECHONL, ECHOE, ECHOK and XCASE only act with
// ICANON or ECHO, but are cleared too so that nothing depends on that.
constexpr tcflag_t kRawClearedInput =
    IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IUCLC | IXON | IXANY | IXOFF;
constexpr tcflag_t kRawClearedOutput = OPOST;
constexpr tcflag_t kRawClearedLocal =
    ECHO | ECHOE | ECHOK | ECHONL | ICANON | ISIG | IEXTEN | XCASE;

// The control flags this layer sets, compared on read-back.
constexpr tcflag_t kControlFlags = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | CLOCAL | CREAD;

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
    cfsetispeed(t, entry->speed);
    cfsetospeed(t, entry->speed);
    t->c_cflag = (t->c_cflag & ~(CSIZE | PARENB | PARODD)) | CS8;
    t->c_cflag = dcb.StopBits == TWOSTOPBITS ? (t->c_cflag | CSTOPB) : (t->c_cflag & ~CSTOPB);
    // Linux has one flag for both directions: with CRTSCTS the driver holds output while CTS is
    // low and keeps RTS raised while it has room for input.
    t->c_cflag |= CRTSCTS;
    return true;
}

void GetLineFormat(const termios& t, DCB* dcb) {
    dcb->BaudRate = 0;
    for (const RateSpeed& entry : kRates) {
        if (entry.speed == cfgetospeed(&t)) {
            dcb->BaudRate = entry.rate;
        }
    }
    constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    for (BYTE i = 0; i < 4; ++i) {
        if ((t.c_cflag & CSIZE) == kSizes[i]) {
            dcb->ByteSize = 5 + i;
        }
    }
    dcb->Parity = !(t.c_cflag & PARENB) ? NOPARITY : (t.c_cflag & PARODD) ? 1 : 2;
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
}

bool SameLineSettings(const termios& want, const termios& got) {
    return (want.c_iflag & kRawClearedInput) == (got.c_iflag & kRawClearedInput) &&
           (want.c_oflag & kRawClearedOutput) == (got.c_oflag & kRawClearedOutput) &&
           (want.c_lflag & kRawClearedLocal) == (got.c_lflag & kRawClearedLocal) &&
           (want.c_cflag & kControlFlags) == (got.c_cflag & kControlFlags) &&
           want.c_cc[VMIN] == got.c_cc[VMIN] && want.c_cc[VTIME] == got.c_cc[VTIME] &&
           cfgetospeed(&want) == cfgetospeed(&got) && cfgetispeed(&want) == cfgetispeed(&got);
}
