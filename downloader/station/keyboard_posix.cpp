// The operator's "q" and Enter on POSIX systems: the terminal hands over whole lines.
#include "station/keyboard.h"

#include <poll.h>
#include <unistd.h>

namespace {

/// The most typed text kept without a line end.
constexpr size_t MAX_TYPED = 256;

} // namespace

bool platformQuitTyped(std::string& typed, size_t& echoed) {
    if (!isatty(STDIN_FILENO)) return false;
    pollfd ready = {STDIN_FILENO, POLLIN, 0};
    if (poll(&ready, 1, 0) <= 0 || !(ready.revents & POLLIN)) return false;
    char buffer[64];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return false;
    typed.append(buffer, static_cast<size_t>(n));
    bool quit = false;
    // A terminal in canonical mode ends a line with a line feed; a raw one hands over Enter as a return.
    for (size_t end; (end = typed.find_first_of("\r\n")) != std::string::npos;) {
        std::string line = typed.substr(0, end);
        // A terminal that echoes is one in canonical mode: its lines end in line feeds.
        if (typed[end] == '\n') ++echoed;
        typed.erase(0, end + 1);
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        quit = quit || line == "q" || line == "Q";
    }
    if (typed.size() > MAX_TYPED) typed.clear();
    return quit;
}
