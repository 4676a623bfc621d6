// The serial ports of this system: the names that -c takes, and the listing of --list-ports.
#pragma once

#include <string>
#include <vector>

/// One serial port: the name to give to -c, and what the system knows about it.
struct PortListing {
    std::string name;
    std::vector<std::string>
        details; ///< "USB 0403:6001 (FTDI FT232R USB UART)", "serial A1", "driver ftdi_sio"
};

/// Where the Linux listing looks; a test points both at a made-up tree. Windows reads the registry instead.
struct PortRoots {
    std::string sys = "/sys";
    std::string dev = "/dev";
};

/// The serial ports the system knows, in name order (ttyS2 before ttyS10).
std::vector<PortListing> platformListPorts(const PortRoots& roots);

/// Reads a -c value that is not a number: true when it names a port here. A device path ("/dev/ttyUSB0", on
/// Windows also "\\.\COM3") goes to path; on Windows "COM3" is port number 3.
bool platformPortName(const std::string& text, int& number, std::string& path);

/// The lines --list-ports prints: the name, then the details after two blanks, separated by commas.
std::vector<std::string> portListingLines(const std::vector<PortListing>& ports);

/// True when a sorts before b: names compared with their trailing numbers as numbers.
bool portNameBefore(const std::string& a, const std::string& b);

/// A port's name as part of a file name (a station's logs, a kept file): every character a file name may not
/// hold as '_'.
std::string fileSafeName(const std::string& name);

/// True when two -c values name one device: the same text, or the same device once a number is made its
/// device's name (see platformSameDevice).
bool samePort(const std::string& a, const std::string& b);
/// True when two device names are one device: on Linux the same character device after links are followed
/// (/dev/serial/by-id/... and /dev/ttyUSB0), or the same file, or one path written two ways; on Windows the
/// same COM number (COM3 and \\.\com3).
bool platformSameDevice(const std::string& a, const std::string& b);
