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
// The input flags compared on read-back: the ones raw mode clears and the ones a DCB may set.
constexpr tcflag_t kInputFlags = kRawClearedInput | INPCK;

struct RateSpeed {
    DWORD rate;
    speed_t speed;
};

constexpr RateSpeed kStandardRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

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
    tcflag_t size = 0;
    switch (dcb.ByteSize) {
        case 5:
            size = CS5;
            break;
        case 6:
            size = CS6;
            break;
        case 7:
            size = CS7;
            break;
        case 8:
            size = CS8;
            break;
        default:
            return false;
    }
    t->c_cflag = (t->c_cflag & ~CSIZE) | size;

    switch (dcb.Parity) {
        case NOPARITY:
            t->c_cflag &= ~(PARENB | PARODD);
            break;
        case ODDPARITY:
            t->c_cflag |= PARENB | PARODD;
            break;
        case EVENPARITY:
            t->c_cflag = (t->c_cflag & ~PARODD) | PARENB;
            break;
        default:
            return false;
    }
    if (dcb.fParity) {
        t->c_iflag |= INPCK;
    } else {
        t->c_iflag &= ~INPCK;
    }

    switch (dcb.StopBits) {
        case ONESTOPBIT:
            t->c_cflag &= ~CSTOPB;
            break;
        case TWOSTOPBITS:
            t->c_cflag |= CSTOPB;
            break;
        default:
            return false;
    }

    // Linux has one flag for both directions: with CRTSCTS the driver holds output while CTS is
    // low and keeps RTS raised while it has room for input.
    if (dcb.fOutxCtsFlow) {
        t->c_cflag |= CRTSCTS;
    } else {
        t->c_cflag &= ~CRTSCTS;
    }
    t->c_iflag = dcb.fOutX ? (t->c_iflag | IXON) : (t->c_iflag & ~IXON);
    t->c_iflag = dcb.fInX ? (t->c_iflag | IXOFF) : (t->c_iflag & ~IXOFF);
    return true;
}

void GetLineFormat(const termios& t, DCB* dcb) {
    switch (t.c_cflag & CSIZE) {
        case CS5:
            dcb->ByteSize = 5;
            break;
        case CS6:
            dcb->ByteSize = 6;
            break;
        case CS7:
            dcb->ByteSize = 7;
            break;
        default:
            dcb->ByteSize = 8;
            break;
    }
    if (!(t.c_cflag & PARENB)) {
        dcb->Parity = NOPARITY;
    } else {
        dcb->Parity = (t.c_cflag & PARODD) ? ODDPARITY : EVENPARITY;
    }
    dcb->fParity = (t.c_iflag & INPCK) ? 1 : 0;
    dcb->StopBits = (t.c_cflag & CSTOPB) ? TWOSTOPBITS : ONESTOPBIT;
    dcb->fOutxCtsFlow = (t.c_cflag & CRTSCTS) ? 1 : 0;
    dcb->fOutX = (t.c_iflag & IXON) ? 1 : 0;
    dcb->fInX = (t.c_iflag & IXOFF) ? 1 : 0;
    dcb->XonChar = static_cast<char>(t.c_cc[VSTART]);
    dcb->XoffChar = static_cast<char>(t.c_cc[VSTOP]);
}

speed_t StandardSpeed(DWORD rate) {
    for (const RateSpeed& entry : kStandardRates) {
        if (entry.rate == rate) {
            return entry.speed;
        }
    }
    return B0;
}

bool SameLineSettings(const termios& want, const termios& got) {
    return (want.c_iflag & kInputFlags) == (got.c_iflag & kInputFlags) &&
           (want.c_oflag & kRawClearedOutput) == (got.c_oflag & kRawClearedOutput) &&
           (want.c_lflag & kRawClearedLocal) == (got.c_lflag & kRawClearedLocal) &&
           (want.c_cflag & kControlFlags) == (got.c_cflag & kControlFlags) &&
           want.c_cc[VMIN] == got.c_cc[VMIN] && want.c_cc[VTIME] == got.c_cc[VTIME] &&
           cfgetospeed(&want) == cfgetospeed(&got) && cfgetispeed(&want) == cfgetispeed(&got);
}
