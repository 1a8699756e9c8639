/* The floor of what reading a serial line can cost: a loop of blocking 256-byte reads in raw
 * mode (VMIN=0, VTIME=5), keeping nothing, until a Ctrl-Z arrives. Then it waits to be ended,
 * so that whoever started it can read the CPU it used.
 *
 * Usage: bench_floor TTY */
#include <fcntl.h>
#include <string.h>
#include <termios.h>
#include <unistd.h>

int main(int argc, char** argv) {
    struct termios settings;
    char buffer[256];
    const int fd = argc == 2 ? open(argv[1], O_RDONLY | O_NOCTTY) : -1;
    if (fd < 0 || tcgetattr(fd, &settings) != 0) {
        return 1;
    }
    cfmakeraw(&settings);
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 5;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        return 1;
    }
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0) {
            return 1;
        }
        if (n > 0 && memchr(buffer, 0x1A, (size_t)n)) {
            break;
        }
    }
    pause();
    return 0;
}
