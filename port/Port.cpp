#include "port/Port.h"

#include <new>
#include <string>

#include "platform/comm/Comm.h"

// The open port, or INVALID_HANDLE_VALUE while none is.
HANDLE g_hPort = INVALID_HANDLE_VALUE;

// Why the last OpenPort failed, taken at the failing step: closing the port again must not
// change it.
std::string g_strOpenReason;

int OpenPort(LPCSTR path, int baudRate, int byteSize, int parity, int twoStopBits) {
    g_hPort =
        CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (g_hPort == INVALID_HANDLE_VALUE) {
        GetLastError();
        g_strOpenReason = GetLastErrorText();
        return 0;
    }

    DCB dcb = {};
    GetCommState(g_hPort, &dcb);
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = static_cast<BYTE>(byteSize);
    dcb.Parity = static_cast<BYTE>(parity);
    dcb.fParity = parity != 0 ? 1 : 0;
    dcb.StopBits = twoStopBits != 0 ? TWOSTOPBITS : ONESTOPBIT;
    dcb.fOutxCtsFlow = 1;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    if (!SetCommState(g_hPort, &dcb)) {
        GetLastError();
        g_strOpenReason = GetLastErrorText();
        CloseHandle(g_hPort);
        g_hPort = INVALID_HANDLE_VALUE;
        return 0;
    }

    COMMTIMEOUTS timeouts = {};
    GetCommTimeouts(g_hPort, &timeouts);
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 500;
    timeouts.WriteTotalTimeoutMultiplier = 1;
    timeouts.WriteTotalTimeoutConstant = 500;
    if (!SetCommTimeouts(g_hPort, &timeouts)) {
        GetLastError();
        g_strOpenReason = GetLastErrorText();
        CloseHandle(g_hPort);
        g_hPort = INVALID_HANDLE_VALUE;
        return 0;
    }
    return 1;
}

LPCSTR OpenPortReason() {
    return g_strOpenReason.c_str();
}

void DrainPort() {
    for (int round = 0; round < DRAIN_ROUNDS; ++round) {
        DWORD errors = 0;
        COMSTAT stat = {};
        ClearCommError(g_hPort, &errors, &stat);
        if (stat.cbInQue == 0) {
            return;
        }
        BYTE* scratch = new (std::nothrow) BYTE[stat.cbInQue];
        if (!scratch) {
            return;
        }
        DWORD read = 0;
        ReadFile(g_hPort, scratch, stat.cbInQue, &read, nullptr);
        delete[] scratch;
    }
}

int ReadPort(BYTE* buffer, int count) {
    if (count < 0) {
        return -1;
    }
    DWORD read = 0;
    if (!ReadFile(g_hPort, buffer, static_cast<DWORD>(count), &read, nullptr)) {
        return GetLastError() == ERROR_DEVICE_NOT_CONNECTED ? READ_DEVICE_GONE : -1;
    }
    return static_cast<int>(read);
}

void ClosePort() {
    if (g_hPort == INVALID_HANDLE_VALUE) {
        return;
    }
    SetCommMask(g_hPort, 0);
    CloseHandle(g_hPort);
    g_hPort = INVALID_HANDLE_VALUE;
}
