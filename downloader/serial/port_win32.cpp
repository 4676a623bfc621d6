// The serial port on Windows: the COM device with its line settings and time-outs set at open, so that every
// ReadFile of one byte and every WriteFile of a block ends by itself; what has arrived is taken by the queue
// count that ClearCommError reports.
#include "platform/system_win32.h"
#include "serial/port.h"

#include <cctype>
#include <windows.h>

/// How long a read or write on a failed line takes at least, so that a caller's retries cannot spin.
static const DWORD FAILURE_PAUSE_MS = 20;
/// A one-byte read gives up after 250 ms plus 1 ms per byte.
static const DWORD READ_TIMEOUT_CONSTANT_MS = 250;
static const DWORD READ_TIMEOUT_MS = READ_TIMEOUT_CONSTANT_MS + 1;

/// The system's text for the error, as the middle of a sentence.
static std::string systemText(DWORD error) {
    std::string text = platformErrorText(error);
    text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

static std::string reasonFor(DWORD error) {
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return "no such device";
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return "in use by another program";
    default:
        return systemText(error);
    }
}

/// 8N1 at baudRate with no XON/XOFF; every other field stays as the port had it.
static bool setLine(HANDLE handle, int baudRate, std::string& reason) {
    DCB dcb = {};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb)) {
        reason = reasonFor(GetLastError());
        return false;
    }
    dcb.BaudRate = static_cast<DWORD>(baudRate);
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.fOutX = FALSE;
    dcb.fInX = FALSE;
    if (!SetCommState(handle, &dcb)) {
        reason = "rate not supported by the driver";
        return false;
    }
    return true;
}

/// The port's time-outs: a read of n bytes gives up after n + readConstant ms, a write of n bytes after its
/// line time at baudRate (whole milliseconds a byte) + 25 ms.
static bool setTimeouts(HANDLE handle, int baudRate, DWORD readConstant, std::string& reason) {
    COMMTIMEOUTS timeouts = {};
    if (!GetCommTimeouts(handle, &timeouts)) {
        reason = reasonFor(GetLastError());
        return false;
    }
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = readConstant;
    timeouts.WriteTotalTimeoutMultiplier = lineMsPerByte(baudRate);
    timeouts.WriteTotalTimeoutConstant = 25;
    if (!SetCommTimeouts(handle, &timeouts)) {
        reason = reasonFor(GetLastError());
        return false;
    }
    return true;
}

PortHandle platformOpen(const std::string& device, int baudRate, std::string& reason) {
    HANDLE handle = CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        reason = reasonFor(GetLastError());
        return NO_PORT;
    }
    if (!setLine(handle, baudRate, reason) ||
        !setTimeouts(handle, baudRate, READ_TIMEOUT_CONSTANT_MS, reason)) {
        CloseHandle(handle);
        return NO_PORT;
    }
    // Bytes left on the line by an earlier run (a late answer, an interrupted download) would be read as the
    // answer to the first command.
    PurgeComm(handle, PURGE_RXCLEAR);
    return handle;
}

LowLatency platformRequestLowLatency(PortHandle) {
    // A USB adapter's latency timer is a setting of its driver (Device Manager), not a request of a program.
    return LowLatency::Unsupported;
}

// A one-byte read waits the port's own time-out, 251 ms. A longer wait (for a command that is still going out
// on a slow line) stretches the time-out for that one read.
ReadResult platformRead(PortHandle handle, uint8_t* into, int timeoutMs) {
    COMMTIMEOUTS usual = {};
    bool longer = timeoutMs > static_cast<int>(READ_TIMEOUT_MS) && GetCommTimeouts(handle, &usual);
    if (longer) {
        COMMTIMEOUTS stretched = usual;
        stretched.ReadTotalTimeoutConstant = static_cast<DWORD>(timeoutMs) - 1;
        longer = SetCommTimeouts(handle, &stretched) != 0;
    }
    DWORD got = 0;
    BOOL ok = ReadFile(handle, into, 1, &got, nullptr);
    if (longer) SetCommTimeouts(handle, &usual);
    if (!ok) {
        Sleep(FAILURE_PAUSE_MS);
        return ReadResult::Failed;
    }
    return got == 1 ? ReadResult::Byte : ReadResult::TimedOut;
}

size_t platformReadAvailable(PortHandle handle, uint8_t* buffer, size_t most) {
    // The driver's queue count says what is there; a read of no more than that returns at once.
    DWORD errors = 0;
    COMSTAT status = {};
    if (!ClearCommError(handle, &errors, &status) || status.cbInQue == 0) return 0;
    DWORD wanted = status.cbInQue < most ? status.cbInQue : static_cast<DWORD>(most);
    DWORD got = 0;
    if (!ReadFile(handle, buffer, wanted, &got, nullptr)) return 0;
    return got;
}

// The deadline of a write is the port's own time-out, set at open: the line time of n bytes + 25 ms.
bool platformWrite(PortHandle handle, const uint8_t* data, size_t n, int) {
    DWORD written = 0;
    if (n > MAXDWORD) return false;
    if (!WriteFile(handle, data, static_cast<DWORD>(n), &written, nullptr)) {
        Sleep(FAILURE_PAUSE_MS);
        return false;
    }
    return written == n;
}

void platformClose(PortHandle handle) {
    CloseHandle(handle);
}

std::string platformDeviceName(int port) {
    return "\\\\.\\COM" + std::to_string(port);
}
