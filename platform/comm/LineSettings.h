// Pure helpers that turn the communications layer's settings into termios fields and back.
// They change only the struct they are given; Comm.cpp applies the result with one tcsetattr
// and reads it back, so that a setting the driver dropped is noticed.
//
// Index: MakeRaw, SetLineFormat, IsRaw, CapturesAsAsked.
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

// Sets the rate, for input and output alike, the data format and the flow control that a DCB
// asks for. false when a field holds a value this layer does not offer (see SetCommState); *t is
// then unusable.
bool SetLineFormat(termios* t, const DCB& dcb);

// true when got delivers every byte as it arrives: the flags MakeRaw clears are clear, the
// receiver is on, and VMIN and VTIME are as MakeRaw sets them (the reads count on both).
bool IsRaw(const termios& got);

// true when a capture on a line as got holds it receives what a sender at want's settings sends:
// got is raw, has 8 data bits and no parity, and want's rate in both directions. tcsetattr
// reports success when only some of the changes took, so every apply is followed by a read-back
// and this check. Stop bits and flow control are not compared: see the definition.
bool CapturesAsAsked(const termios& want, const termios& got);
