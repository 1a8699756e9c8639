// The serial communications layer: the calls the serial-port module is written against,
// carried out on POSIX termios.
//
// Principles of operation:
// - A HANDLE names one open device in a table of the layer; a handle that was closed stays
//   invalid for ever (it is never handed out again), so closing or using a stale handle fails
//   with ERROR_INVALID_HANDLE and touches nothing else.
// - CreateFileA maps "\\.\COMn" to a Linux device (see PortNames.h); any other path is opened as
//   it is. The device is opened exclusively (flock and TIOCEXCL, cleared again on close), must
//   be a tty, and is put in raw mode at once: no byte is translated, swallowed or echoed, and
//   nothing is ever written to the line.
// - The DCB and COMMTIMEOUTS read back what the driver really holds; SetCommState applies the
//   changed fields in one tcsetattr and reads them back, failing when the driver did not take
//   all of them.
// - Each handle has a receive queue of its own (16 KiB), as a driver has: a read takes from the
//   device as much as the queue holds, returns what was asked for and keeps the rest, in order,
//   for the next read, which is served from it first.
// - ReadFile waits at most ReadTotalTimeoutMultiplier * n + ReadTotalTimeoutConstant ms in all
//   (monotonic clock, signals survived), and returns early when n bytes are there.
//   ReadIntervalTimeout 0 switches the inter-byte time-out off, as the layer reports it.
// - A device that vanishes (hang-up, unplugged adapter) fails every read at once from then on,
//   once the bytes it sent before are read.
// - Every failure sets the calling thread's last error at the point it happens.
// - Any thread may call; the table of handles is locked inside. A handle must not be closed
//   while another thread is still inside a call on it, and has one reading thread at a time
//   (the serial-port module keeps to both).
#pragma once

#include "platform/WinTypes.h"

using HANDLE = void*;
inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1));

constexpr DWORD GENERIC_READ = 0x80000000;
constexpr DWORD GENERIC_WRITE = 0x40000000;
constexpr DWORD OPEN_EXISTING = 3;

constexpr BYTE NOPARITY = 0;
constexpr BYTE ODDPARITY = 1;
constexpr BYTE EVENPARITY = 2;
constexpr BYTE ONESTOPBIT = 0;
constexpr BYTE TWOSTOPBITS = 2;
constexpr DWORD RTS_CONTROL_DISABLE = 0;
constexpr DWORD RTS_CONTROL_ENABLE = 1;
constexpr DWORD DTR_CONTROL_DISABLE = 0;
constexpr DWORD DTR_CONTROL_ENABLE = 1;

// Last-error values.
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_TOO_MANY_OPEN_FILES = 4;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_BAD_UNIT = 20;  // not a serial device
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_DEVICE_NOT_CONNECTED = 1167;

struct DCB {
    DWORD DCBlength;
    DWORD BaudRate;
    DWORD fBinary : 1;
    DWORD fParity : 1;
    DWORD fOutxCtsFlow : 1;
    DWORD fOutxDsrFlow : 1;
    DWORD fDtrControl : 2;
    DWORD fDsrSensitivity : 1;
    DWORD fTXContinueOnXoff : 1;
    DWORD fOutX : 1;
    DWORD fInX : 1;
    DWORD fErrorChar : 1;
    DWORD fNull : 1;
    DWORD fRtsControl : 2;
    DWORD fAbortOnError : 1;
    DWORD fDummy2 : 17;
    WORD wReserved;
    WORD XonLim;
    WORD XoffLim;
    BYTE ByteSize;
    BYTE Parity;
    BYTE StopBits;
    char XonChar;
    char XoffChar;
    char ErrorChar;
    char EofChar;
    char EvtChar;
    WORD wReserved1;
};

struct COMMTIMEOUTS {
    DWORD ReadIntervalTimeout;
    DWORD ReadTotalTimeoutMultiplier;
    DWORD ReadTotalTimeoutConstant;
    DWORD WriteTotalTimeoutMultiplier;
    DWORD WriteTotalTimeoutConstant;
};

struct COMSTAT {
    DWORD cbInQue;   // bytes waiting in the receive queue
    DWORD cbOutQue;  // bytes waiting to be sent
};

// GENERIC_READ | GENERIC_WRITE, share mode 0 and OPEN_EXISTING are what a serial port takes;
// security attributes, flags and the template must be null or 0 (else ERROR_INVALID_PARAMETER).
// Returns at once. INVALID_HANDLE_VALUE when the device is missing (ERROR_FILE_NOT_FOUND), busy
// (ERROR_SHARING_VIOLATION), refused (ERROR_ACCESS_DENIED), not a tty (ERROR_BAD_UNIT) or will
// not take raw mode (ERROR_INVALID_PARAMETER); nothing stays open then. The time-outs of a new
// handle are all 0: a read waits until it has all its bytes.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

// The line as the driver holds it: rate, format, flow control, and the RTS and DTR lines
// (reported as enabled on a device without modem lines, such as a pty).
BOOL GetCommState(HANDLE hFile, DCB* lpDCB);
// Applies BaudRate (any rate the driver takes: standard rates directly, others as a custom
// rate, which must read back within 2%), ByteSize 5..8, Parity (none, odd, even), fParity
// (input parity checking), StopBits (one or two), fOutxCtsFlow (CRTSCTS), fRtsControl (RTS
// raised or lowered where the device has modem lines; skipped on a device without them) and
// fOutX/fInX; the other fields are ignored. FALSE (ERROR_INVALID_PARAMETER) when a field holds
// a value this layer does not offer or the driver refuses or does not keep a setting; raw mode
// stays as it was either way.
BOOL SetCommState(HANDLE hFile, DCB* lpDCB);
// The time-outs are kept by the layer for each handle; the write time-outs are kept but never
// used, since nothing is written.
BOOL GetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts);
BOOL SetCommTimeouts(HANDLE hFile, COMMTIMEOUTS* lpCommTimeouts);
// The receive queue's byte count in lpStat->cbInQue: the layer's queue and the driver's
// together, so that reading that many returns at once; line errors are not kept by this layer, so
// *lpErrors is 0. Either may be null. FALSE (ERROR_DEVICE_NOT_CONNECTED) once the device
// vanished.
BOOL ClearCommError(HANDLE hFile, DWORD* lpErrors, COMSTAT* lpStat);
// Reads up to nNumberOfBytesToRead bytes within the time-outs, blocking the calling thread; TRUE
// with the count (0 when the time ran out with nothing), FALSE when the device failed or
// vanished. lpOverlapped must be null. Returns as soon as all the bytes are there, else when
// ReadTotalTimeoutMultiplier * n + ReadTotalTimeoutConstant ms have passed since the call (no limit
// when both are 0); a non-zero ReadIntervalTimeout also ends a read that has bytes once that many
// ms pass without another. Bytes beyond n that the device had ready stay queued for the next
// call. Bytes that arrived before the device vanished are returned (by this call and, from the
// queue, the calls after it); the next call that finds none fails (ERROR_DEVICE_NOT_CONNECTED),
// and so does every call after it. CloseHandle discards what is queued.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, DWORD* lpNumberOfBytesRead,
              void* lpOverlapped);
// Event monitoring is not kept by this layer; a mask of 0 (stop monitoring) always succeeds on
// a valid handle, any other mask fails (ERROR_INVALID_PARAMETER).
BOOL SetCommMask(HANDLE hFile, DWORD dwEvtMask);
BOOL CloseHandle(HANDLE hObject);
DWORD GetLastError();
