// Quoting an argument for a POSIX shell, on every system.
#include "platform/shell.h"

#include <cctype>
#include <cstring>

std::string posixShellQuoted(const std::string& arg) {
    bool plain = !arg.empty();
    for (char c : arg)
        if (!std::isalnum(static_cast<unsigned char>(c)) && !std::strchr("-_./:=+,%@", c)) plain = false;
    if (plain) return arg;
    std::string out = "'";
    for (char c : arg)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}
