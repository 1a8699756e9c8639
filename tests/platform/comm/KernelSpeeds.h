// The line rates as the kernel holds them for a tty, read apart from the C library's view of
// termios (which cannot see an input speed of its own).
#pragma once

// The input and output rates in bits per second of the tty open on fd (for a pty master, those
// of its slave). false when the kernel does not answer.
bool KernelSpeeds(int fd, unsigned* input, unsigned* output);
