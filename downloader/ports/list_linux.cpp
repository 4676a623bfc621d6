// The serial ports of a Linux system, from sysfs: every tty with a device behind it, with what the kernel
// knows of that device (the USB ids and serial number, the driver) and its stable name under
// /dev/serial/by-id.
#include "ports/ports.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace {

/// The names in a directory, without "." and ".."; none when it cannot be read.
std::vector<std::string> entries(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string name = e->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    return names;
}

/// The first line of a small sysfs file, without trailing blanks; empty when there is none.
std::string firstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return "";
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back())))
        line.pop_back();
    return line;
}

bool exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

/// The last component of where a symbolic link points; empty for anything else.
std::string linkName(const std::string& path) {
    char target[PATH_MAX];
    ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) return "";
    std::string text(target, static_cast<size_t>(n));
    return text.substr(text.rfind('/') + 1);
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) ? std::string(resolved) : std::string();
}

/// The USB device a tty belongs to: the nearest directory above its device that holds idVendor, within the
/// sysfs tree; empty for a port that is not on USB.
std::string usbDevice(const std::string& device, const std::string& sysRoot) {
    std::string top = realPath(sysRoot);
    std::string dir = realPath(device);
    while (!top.empty() && dir.size() > top.size() && dir.compare(0, top.size(), top) == 0) {
        if (exists(dir + "/idVendor")) return dir;
        dir.erase(dir.rfind('/'));
    }
    return "";
}

/// The driver of a tty's device. Since Linux 6.3 an on-board UART's tty hangs below a port and a controller
/// device of the serial core's own bus, whose drivers are called "port" and "ctrl": the driver that names the
/// hardware is that of the first device above them.
std::string driverName(const std::string& device, const std::string& sysRoot) {
    std::string top = realPath(sysRoot);
    std::string dir = realPath(device);
    while (!top.empty() && dir.size() > top.size() && dir.compare(0, top.size(), top) == 0 &&
           linkName(dir + "/subsystem") == "serial-base")
        dir.erase(dir.rfind('/'));
    return linkName((dir.empty() ? device : dir) + "/driver");
}

/// What the system knows of one tty: its USB device, its driver, its stable name.
std::vector<std::string> details(const std::string& tty, const std::string& device, const PortRoots& roots,
                                 const std::map<std::string, std::string>& stableNames) {
    std::vector<std::string> out;
    std::string usb = usbDevice(device, roots.sys);
    if (!usb.empty()) {
        std::string ids = "USB " + firstLine(usb + "/idVendor") + ":" + firstLine(usb + "/idProduct");
        std::string maker = firstLine(usb + "/manufacturer");
        std::string product = firstLine(usb + "/product");
        std::string what = maker.empty() || product.empty() ? maker + product : maker + " " + product;
        out.push_back(what.empty() ? ids : ids + " (" + what + ")");
        std::string serial = firstLine(usb + "/serial");
        if (!serial.empty()) out.push_back("serial " + serial);
    }
    std::string driver = driverName(device, roots.sys);
    if (!driver.empty()) out.push_back("driver " + driver);
    auto stable = stableNames.find(tty);
    if (stable != stableNames.end()) out.push_back(stable->second);
    return out;
}

} // namespace

std::vector<PortListing> platformListPorts(const PortRoots& roots) {
    // The stable names point at the tty they stand for.
    std::map<std::string, std::string> stableNames;
    const std::string byId = roots.dev + "/serial/by-id";
    for (const std::string& name : entries(byId)) {
        std::string tty = linkName(byId + "/" + name);
        if (!tty.empty()) stableNames.emplace(tty, byId + "/" + name);
    }
    std::vector<PortListing> ports;
    const std::string classDir = roots.sys + "/class/tty";
    for (const std::string& tty : entries(classDir)) {
        // Consoles and pseudo-terminals have no device; a serial port the kernel reserved without a UART
        // behind it has type 0.
        const std::string device = classDir + "/" + tty + "/device";
        if (!exists(device)) continue;
        if (firstLine(classDir + "/" + tty + "/type") == "0") continue;
        ports.push_back({roots.dev + "/" + tty, details(tty, device, roots, stableNames)});
    }
    std::sort(ports.begin(), ports.end(),
              [](const PortListing& a, const PortListing& b) { return portNameBefore(a.name, b.name); });
    return ports;
}

bool platformPortName(const std::string& text, int&, std::string& path) {
    if (text.empty() || text[0] != '/') return false;
    path = text;
    return true;
}

bool platformSameDevice(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat first, second;
    if (stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0) {
        // A serial adapter is a character device: its links and its other names share the device number.
        if (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode)) return first.st_rdev == second.st_rdev;
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }
    // Names of nothing yet: the same path written two ways (./x and x).
    std::error_code error;
    const std::filesystem::path one = std::filesystem::absolute(a, error).lexically_normal();
    const std::filesystem::path two = std::filesystem::absolute(b, error).lexically_normal();
    return !error && one == two;
}
