// A port name as part of a file name, and two names of one port: the same device once a port number is made
// its device's name and links are followed
// (/dev/serial/by-id/... and /dev/ttyUSB0, 1 and /dev/ttyS0; COM3 and \\.\COM3 on Windows).
#include "ports/ports.h"

#include "serial/port.h"

#include <cstdlib>

namespace {

/// The device a -c value names: a number's device, a path as it is.
std::string deviceOf(const std::string& name) {
    int number = 0;
    std::string path;
    const bool digits = !name.empty() && name.find_first_not_of("0123456789") == std::string::npos;
    if (digits)
        number = std::atoi(name.substr(0, 9).c_str());
    else if (!platformPortName(name, number, path))
        return name;
    return path.empty() ? platformDeviceName(number) : path;
}

} // namespace

std::string fileSafeName(const std::string& name) {
    std::string file = name;
    for (char& c : file)
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
            c == '|' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    return file;
}

bool samePort(const std::string& a, const std::string& b) {
    return a == b || platformSameDevice(deviceOf(a), deviceOf(b));
}
