// The serial-port module: the one open port and the four operations on it.
//
// There is one port at a time, held in g_hPort from OpenPort to ClosePort. OpenPort and
// DrainPort run on the window's thread; ReadPort runs on the capture worker, and so does
// ClosePort at the end of a capture. They never overlap: the worker starts after DrainPort has
// returned, and ClosePort is the worker's last use of the port. Nothing is ever written to the
// line.
#pragma once

#include "platform/WinTypes.h"

// Opens path (such as "\\.\COM3") and configures it: baudRate, byteSize data bits, parity code
// (0 none), two stop bits when twoStopBits is non-zero, CTS output flow control, RTS raised,
// reads bounded by 500 ms + 1 ms a requested byte. 1 when the port is open and configured; 0
// otherwise (missing, busy: held open or locked by another program, refused, not a serial
// device, or settings the driver would not keep), with nothing left open. Returns at once.
// Window's thread, with no port open.
int OpenPort(LPCSTR path, int baudRate, int byteSize, int parity, int twoStopBits);

// Why the last OpenPort returned 0, as one line for the user: no device at that name, no
// permission (and which group to join), busy (and who holds the port), not a serial port, or a
// line setting the driver refused. Window's thread.
LPCSTR OpenPortReason();

// Rounds of DrainPort at most. A round reads only bytes already queued, at most the driver's
// receive buffer (4 kB for a Linux tty), so it returns at once: 64 rounds discard up to about
// 256 kB, more than 12 s of a 230400-baud line, and end within a millisecond even against a
// pty written flat out. Whatever a sender that never pauses sends after the last round stays
// queued for the capture.
constexpr int DRAIN_ROUNDS = 64;

// Discards the input waiting in the receive queue: reads the queued bytes into a scratch
// block, round after round, until the queue is found empty. Bounded: against a sender that
// never pauses it gives up after DRAIN_ROUNDS rounds, so the window's thread is never held
// long. It also stops when the scratch block cannot be allocated or the queue cannot be read
// (the device vanished). Window's thread, with a port open.
void DrainPort();

// ReadPort's result when the device has vanished (an unplugged adapter, a hang-up): the port is
// dead for good, and every later read returns this too, at once. Only a replugged device,
// opened anew, reads again.
constexpr int READ_DEVICE_GONE = -2;

// Reads up to count bytes into buffer: the number that arrived (0 when 500 + count ms passed
// with nothing), READ_DEVICE_GONE when the device has vanished, or -1 when the read failed
// otherwise or count is negative. Any result below 0 is a failed read; the two tell the user
// different things. Returns as soon as count bytes are there, else after 500 + count ms in total
// with what arrived; the time between bytes does not end it. Capture worker.
int ReadPort(BYTE* buffer, int count);

// Closes the open port; with no port open (never opened, failed to open, closed already) it
// closes nothing. The capture worker at the end of a capture, or the window's thread after a
// failed open.
void ClosePort();
