// The serial communications layer: the calls the serial-port module is written against,
// carried out on POSIX termios, with the values that module passes.
//
// Principles of operation:
// - One port is open at a time, and its HANDLE names it while it is open; with no port open,
//   every handle fails with ERROR_INVALID_HANDLE. A handle kept past its close may name a later
//   port: the serial-port module forgets its handle as it closes it.
// - CreateFileA maps "\\.\COMn" to a Linux device (see PortNames.h); any other path is opened as
//   it is. The device must be a tty, and is put in raw mode at once: no byte is translated,
//   swallowed or echoed, and nothing is ever written to the line.
// - The port is this opener's alone, as a port opened with no sharing is. A port that another
//   process has open (see PortLock.h), has locked (flock), has in exclusive mode (TIOCEXCL) or
//   has locked with a UUCP lock file is busy. While open, the port holds all of these itself:
//   flock, TIOCEXCL and its own lock file, dropped again on close.
// - SetCommState applies the line settings in one tcsetattr and reads them back, failing when
//   the driver did not keep what a capture needs. The layer offers 8 data bits, no parity, one or
//   two stop bits, CTS output flow control with RTS raised, and the rates 9600, 19200, 38400,
//   57600, 115200 and 230400; any other value fails with ERROR_INVALID_PARAMETER.
// - CloseHandle leaves the port with the settings the open found, echo aside: the next program
//   to open it works as it would have without this one.
// - ReadFile reads the device itself: it waits at most ReadTotalTimeoutMultiplier * n +
//   ReadTotalTimeoutConstant ms in all (monotonic clock, signals survived), and returns as soon
//   as n bytes are there.
// - A device that vanishes (hang-up, unplugged adapter) fails every read at once from then on.
// - Every failure sets the calling thread's last error at the point it happens; a device that
//   does not open or configure also leaves a line that tells the user why (GetLastErrorText).
// - The calls never overlap: the caller keeps to one call at a time (the serial-port module
//   does: the worker starts reading after the last call of the window's thread, and the port is
//   closed after its last read).
#pragma once

#include "platform/WinTypes.h"

using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;

// Last-error values: one for each reason a user is told apart, and the vanished device, which
// the serial-port module tells from other failed reads.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;      // no device at that name
constexpr DWORD ERROR_ACCESS_DENIED = 5;       // this user may not open the device
constexpr DWORD ERROR_INVALID_HANDLE = 6;      // no port open under that handle
constexpr DWORD ERROR_BAD_UNIT = 20;           // not a serial device
constexpr DWORD ERROR_GEN_FAILURE = 31;        // any other failure of the system
constexpr DWORD ERROR_SHARING_VIOLATION = 32;  // busy: another program has the port
constexpr DWORD ERROR_INVALID_PARAMETER = 87;  // a value not offered, or a setting not kept
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

// The line settings, in the fields the serial-port module sets.
struct DCB {
    DWORD BaudRate;
    DWORD fParity : 1;       // input parity checking
    DWORD fOutxCtsFlow : 1;  // output held while CTS is low
    DWORD fRtsControl : 2;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD cbInQue;  // bytes waiting in the driver's receive queue
};

// Opens the device for reading and writing with no sharing: GENERIC_READ | GENERIC_WRITE, 0,
// null, OPEN_EXISTING, 0, null, else ERROR_INVALID_PARAMETER. Returns at once.
// INVALID_HANDLE_VALUE when the device is missing (ERROR_FILE_NOT_FOUND), busy
// (ERROR_SHARING_VIOLATION, see above; also when a port is open already), refused
// (ERROR_ACCESS_DENIED), not a tty (ERROR_BAD_UNIT) or will not take raw mode
// (ERROR_INVALID_PARAMETER); nothing stays open then. The time-outs of a new port are all 0.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// A DCB to change and give to SetCommState. The DCB holds only the fields the serial-port module
// sets, and it sets every one of them, so nothing of the driver's line is read: they are all 0.
BOOL GetCommState(HANDLE hFile, DCB* lpDCB);
// Applies the settings of the DCB, which must hold offered values: an offered BaudRate (for input
// and output), ByteSize 8, Parity NOPARITY with fParity 0, StopBits ONESTOPBIT or TWOSTOPBITS,
// fOutxCtsFlow 1 and fRtsControl RTS_CONTROL_ENABLE (RTS is raised where the device has modem
// lines). FALSE (ERROR_INVALID_PARAMETER) for any other value, or when the driver does not keep
// what a capture needs (raw mode, 8 data bits, no parity, the rate within 2% both ways); a
// driver that drops the stop bits or the flow control is accepted (see LineSettings.cpp). Raw
// mode stays as it was either way.
BOOL SetCommState(HANDLE hFile, DCB* lpDCB);
// The time-outs are kept by the layer for the port. ReadIntervalTimeout must be 0 (off); the
// write time-outs are kept but never used, since nothing is written.
BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts);
// The driver's receive queue's byte count (FIONREAD) in lpStat->cbInQue; line errors are not
// kept by this layer, so *lpErrors is 0. FALSE (ERROR_DEVICE_NOT_CONNECTED) once the device
// vanished.
BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat);
// Reads up to nNumberOfBytesToRead bytes, blocking the calling thread; TRUE with the count (0
// when the time ran out with nothing), FALSE when the device failed or vanished
// (ERROR_DEVICE_NOT_CONNECTED: every later call fails too, at once). lpOverlapped must be null.
// Returns as soon as all the bytes are there, else when ReadTotalTimeoutMultiplier * n +
// ReadTotalTimeoutConstant ms have passed since the call, with what arrived. Bytes in hand when
// the device vanishes are returned; the next call fails.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped);
// Event monitoring is not kept by this layer; a mask of 0 (stop monitoring) succeeds on the open
// port, any other mask fails (ERROR_INVALID_PARAMETER).
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
// Puts back the line settings the open found, except that echo (ECHO, ECHONL) and input flow
// control (IXOFF) stay off, since either would send bytes to the instrument before the close;
// then drops the lock file, exclusive mode and flock and closes the device. Returns at once, also
// when the device has vanished (which has nothing to restore), so that a replugged device can
// take its name again.
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError();
// Why the calling thread's last failed call failed, as one line for the user: for a device that
// did not open or configure, what stands in the way and what to do, with what was found as it
// failed (the device node's group, the program holding the port and its process id, the lock
// file). Valid until the thread's next failure.
LPCSTR GetLastErrorText();
