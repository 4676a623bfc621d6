// Two names of one port: the same text, or two paths to one device.
#include "ports/ports.h"

#include <filesystem>
#include <system_error>

bool samePort(const std::string& a, const std::string& b) {
    if (a == b) return true;
    // /dev/serial/by-id/... and /dev/ttyUSB0 are one adapter.
    std::error_code error;
    return std::filesystem::equivalent(a, b, error) && !error;
}
