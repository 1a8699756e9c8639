// A serial line's settings as the driver holds them, read from a descriptor of the device
// without changing anything: what the driver kept of what it was asked.
#pragma once

#include <string>

// stty's words for the settings a capture depends on, in this order: the input and output
// rates ("115200/115200"), cs5..cs8, [-]cstopb, [-]parenb, [-]crtscts, [-]clocal, [-]ixon,
// [-]icrnl, [-]istrip, [-]echo, [-]icanon, [-]opost, and [-]rts for the RTS line (left out when
// the device has no modem lines). "" when fd is no tty.
std::string LineState(int fd);
