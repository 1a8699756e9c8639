// In a file of its own: <asm/termbits.h>, which declares termios2, also declares a struct
// termios that clashes with the one of <termios.h>.
#include "tests/platform/comm/KernelSpeeds.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

bool KernelSpeeds(int fd, unsigned* input, unsigned* output) {
    termios2 t;
    if (ioctl(fd, TCGETS2, &t) != 0) {
        return false;
    }
    *input = t.c_ispeed;
    *output = t.c_ospeed;
    return true;
}
