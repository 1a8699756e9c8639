// Pure helpers that turn the communications layer's settings into termios fields and back.
// They change only the struct they are given; Comm.cpp applies the result with one tcsetattr
// and reads it back, so that a setting the driver dropped is noticed.
//
// Index: MakeRaw, SetLineFormat, GetLineFormat, SameLineSettings.
#pragma once

#include <termios.h>

#include "platform/comm/Comm.h"

// Raw mode on top of what the driver reported: every byte is delivered as it arrived (no CR/NL
// translation, no stripping, no case mapping, no XON/XOFF, no break or parity marking), nothing
// is echoed or processed on output, and no byte is a signal or editing character. The receiver
// is on and modem status lines are ignored (CREAD, CLOCAL). VMIN 1 and VTIME 0: on the
// non-blocking descriptor an empty read then says EAGAIN, so a read of 0 only ever means the
// device hung up.
void MakeRaw(termios* t);

// Sets the rate (both directions), data format and flow control that a DCB asks for. false when
// a field holds a value this layer does not offer (see SetCommState); *t is then unusable.
bool SetLineFormat(termios* t, const DCB& dcb);

// The reverse: fills BaudRate, ByteSize, Parity, fParity, StopBits and fOutxCtsFlow from *t,
// leaving fRtsControl as it was.
void GetLineFormat(const termios& t, DCB* dcb);

// true when got holds everything that was asked for in want: the raw-mode flags, the format
// and flow control, VMIN and VTIME, and the speed codes. tcsetattr reports success when only
// some of the changes took, so every apply is followed by a read-back and this check.
bool SameLineSettings(const termios& want, const termios& got);
