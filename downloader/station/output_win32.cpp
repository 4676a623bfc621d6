// The station's own standard output on Windows: the C runtime's; a console asked for its escape-sequence
// mode.
#include "output.h"
#include "platform/shell.h"
#include "station.h"

#include <cstdio>
#include <windows.h>

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

long platformWriteSome(const char* data, size_t size, int timeoutMs) {
    (void)timeoutMs; // a console or a pipe here takes what it is given
    // Through the C runtime, as every other line: its text mode ends each line as Windows programs expect.
    const size_t n = std::fwrite(data, 1, size, stdout);
    if (std::fflush(stdout) != 0 || n == 0) return size == 0 ? 0 : -1;
    return static_cast<long>(n);
}

bool platformConsoleTakesEscapes() {
    HANDLE console = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(console, &mode)) return false;
    if (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) return true;
    // A classic console before Windows 10 refuses the mode: the station then writes whole lines.
    return SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
}

namespace station {

std::string shellQuoted(const std::string& arg) {
    return platformShellQuoted(arg);
}

} // namespace station
