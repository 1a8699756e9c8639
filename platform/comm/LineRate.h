// The line rate as a plain number of bits per second, through the kernel's termios2 calls.
//
// Kept in a file of its own: <asm/termbits.h>, which declares termios2, also declares a struct
// termios of its own that clashes with the one of <termios.h>. Standard rates are set through
// cfsetospeed in LineSettings; this file sets the others (BOTHER) and reads any rate back.
#pragma once

#include "platform/WinTypes.h"

// The output rate the driver holds for the tty open on fd, standard or custom. false with errno
// set when the driver does not answer.
bool GetLineRate(int fd, DWORD* rate);

// Sets a custom rate for both directions (input follows output). The driver may refuse it or
// round it: read it back with GetLineRate. false with errno set when the call failed.
bool SetCustomLineRate(int fd, DWORD rate);
