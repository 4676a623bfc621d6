// The clock, the sleeps and the terminal test on Windows; the system's error texts and the runtime's
// quoting for the other Windows files.
#include "platform/system_win32.h"
#include "platform/shell.h"
#include "platform/system.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

/// CREATE_WAITABLE_TIMER_HIGH_RESOLUTION (Windows 10 1803 and later), which older headers lack.
static const DWORD HIGH_RESOLUTION_TIMER = 0x00000002;

void platformSleepMs(int milliseconds) {
    Sleep(milliseconds > 0 ? static_cast<DWORD>(milliseconds) : 0);
}

void platformSleepUs(int64_t microseconds) {
    if (microseconds <= 0) return;
    // Sleep counts whole milliseconds, and a stock Windows stretches them to its 15.6 ms tick; a
    // high-resolution timer keeps to the tenth of a millisecond.
    static HANDLE timer = CreateWaitableTimerExW(nullptr, nullptr, HIGH_RESOLUTION_TIMER, TIMER_ALL_ACCESS);
    LARGE_INTEGER due;
    due.QuadPart = -microseconds * 10; // relative, in units of 100 ns
    if (timer && SetWaitableTimer(timer, &due, 0, nullptr, nullptr, FALSE) &&
        WaitForSingleObject(timer, INFINITE) == WAIT_OBJECT_0)
        return;
    // Without such a timer (before Windows 10 1803) no sleep at all: the read that follows waits in the
    // driver.
}

int64_t platformNowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<int64_t>(counter.QuadPart / (frequency.QuadPart / 1000));
}

bool platformOutputIsTerminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

int platformTerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

void platformPrepareProcess() {
    // Windows has no file size signal; a closed standard descriptor is opened on NUL.
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1) continue;
        const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened >= 0 && opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
}

std::string platformErrorText(unsigned long error) {
    char text[256] = "";
    const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error,
                                   0, text, sizeof text, nullptr);
    std::string reason(text, n);
    while (!reason.empty() &&
           (reason.back() == '\r' || reason.back() == '\n' || reason.back() == ' ' || reason.back() == '.'))
        reason.pop_back();
    if (reason.empty()) return "system error " + std::to_string(error);
    return reason;
}

std::string platformQuotedArgument(const std::string& arg) {
    std::string out = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, '\\');
    return out + "\"";
}

std::string platformShellQuoted(const std::string& arg) {
    // cmd.exe hands the line to the program as it stands; the program's C runtime splits it at blanks
    // outside double quotes and reads \" as a quote. Characters cmd.exe itself acts on are safe in quotes.
    bool plain = !arg.empty();
    for (char c : arg)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_./:\\=+,@", c)) plain = false;
    return plain ? arg : platformQuotedArgument(arg);
}
