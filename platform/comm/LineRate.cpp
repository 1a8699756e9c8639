#include "platform/comm/LineRate.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool GetLineRate(int fd, DWORD* rate) {
    termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    *rate = t.c_ospeed;
    return true;
}

bool SetCustomLineRate(int fd, DWORD rate) {
    termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    // Input speed bits of 0 mean "the same as output".
    t.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= BOTHER;
    t.c_ospeed = rate;
    t.c_ispeed = rate;
    return ioctl(fd, TCSETS2, &t) == 0;
}
