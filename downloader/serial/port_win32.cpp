// The serial port on Windows: the COM device with its line settings and time-outs set at open, so that every
// ReadFile of one byte and every WriteFile of a block ends by itself.
#include "serial/port.h"

#include <cctype>
#include <windows.h>

/// How long a read or write on a failed line takes at least, so that a caller's retries cannot spin.
static const DWORD FAILURE_PAUSE_MS = 20;

static std::string systemText(DWORD error) {
    char buffer[256];
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0,
                             buffer, sizeof buffer, nullptr);
    std::string text(buffer, n);
    while (!text.empty() &&
           (text.back() == '\r' || text.back() == '\n' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    if (text.empty()) return "system error " + std::to_string(error);
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

/// A read of n bytes gives up after n + 250 ms, a write of n bytes after n + 25 ms.
static bool setTimeouts(HANDLE handle, std::string& reason) {
    COMMTIMEOUTS timeouts = {};
    if (!GetCommTimeouts(handle, &timeouts)) {
        reason = reasonFor(GetLastError());
        return false;
    }
    timeouts.ReadIntervalTimeout = 0;
    timeouts.ReadTotalTimeoutMultiplier = 1;
    timeouts.ReadTotalTimeoutConstant = 250;
    timeouts.WriteTotalTimeoutMultiplier = 1;
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
    if (!setLine(handle, baudRate, reason) || !setTimeouts(handle, reason)) {
        CloseHandle(handle);
        return NO_PORT;
    }
    return handle;
}

// The deadline of a one-byte read is the port's own time-out, set at open: 251 ms.
ReadResult platformRead(PortHandle handle, uint8_t* byte, int) {
    DWORD got = 0;
    if (!ReadFile(handle, byte, 1, &got, nullptr)) {
        Sleep(FAILURE_PAUSE_MS);
        return ReadResult::Failed;
    }
    return got == 1 ? ReadResult::Byte : ReadResult::TimedOut;
}

// The deadline of a write is the port's own time-out, set at open: n + 25 ms.
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

void sleepMs(int milliseconds) {
    Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

void sleepUs(int64_t microseconds) {
    if (microseconds > 0) Sleep(static_cast<DWORD>((microseconds + 999) / 1000));
}

int64_t nowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<int64_t>(counter.QuadPart / (frequency.QuadPart / 1000));
}

size_t platformReadAvailable(PortHandle, uint8_t*, size_t) {
    // A Windows read waits in the driver, byte by byte, at no cost worth saving: every byte comes through
    // platformRead.
    return 0;
}

bool platformOutputIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}
