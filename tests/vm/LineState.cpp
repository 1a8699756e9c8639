// The kernel's termios2 (TCGETS2) holds both rates as numbers, whatever the driver rounded them
// to; glibc's termios cannot be included beside it.
#include "tests/vm/LineState.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace {

std::string Flag(bool on, const char* name) {
    return std::string(" ") + (on ? "" : "-") + name;
}

}  // namespace

std::string LineState(int fd) {
    termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return "";
    }
    static const char* const kSizes[] = {"cs5", "cs6", "cs7", "cs8"};
    std::string state = std::to_string(t.c_ispeed) + "/" + std::to_string(t.c_ospeed) + " " +
                        kSizes[(t.c_cflag & CSIZE) / CS6];
    state += Flag(t.c_cflag & CSTOPB, "cstopb") + Flag(t.c_cflag & PARENB, "parenb") +
             Flag(t.c_cflag & CRTSCTS, "crtscts") + Flag(t.c_cflag & CLOCAL, "clocal");
    state += Flag(t.c_iflag & IXON, "ixon") + Flag(t.c_iflag & ICRNL, "icrnl") +
             Flag(t.c_iflag & ISTRIP, "istrip");
    state += Flag(t.c_lflag & ECHO, "echo") + Flag(t.c_lflag & ICANON, "icanon") +
             Flag(t.c_oflag & OPOST, "opost");
    int lines = 0;
    if (ioctl(fd, TIOCMGET, &lines) == 0) {
        state += Flag(lines & TIOCM_RTS, "rts");
    }
    return state;
}
