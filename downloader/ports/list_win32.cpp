// The serial ports of a Windows system, from the registry list that the serial drivers keep: one value per
// port, named after the driver's device object, holding the COM name.
#include "ports/ports.h"

#include <algorithm>
#include <cctype>
#include <windows.h>

namespace {

/// "COM" in any case followed by digits only, and nothing else; the number, or -1.
int comNumber(const std::string& text, size_t at) {
    if (text.size() <= at + 3) return -1;
    for (size_t i = 0; i < 3; ++i)
        if (std::toupper(static_cast<unsigned char>(text[at + i])) != "COM"[i]) return -1;
    long number = 0;
    for (size_t i = at + 3; i < text.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i])) || number > 99999) return -1;
        number = number * 10 + (text[i] - '0');
    }
    return static_cast<int>(number);
}

} // namespace

std::vector<PortListing> platformListPorts(const PortRoots&) {
    std::vector<PortListing> ports;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS)
        return ports;
    for (DWORD index = 0;; ++index) {
        char device[256];
        BYTE data[256];
        DWORD deviceSize = sizeof device, dataSize = sizeof data - 1, type = 0;
        LONG result = RegEnumValueA(key, index, device, &deviceSize, nullptr, &type, data, &dataSize);
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        std::string name(reinterpret_cast<const char*>(data));
        while (!name.empty() && name.back() == '\0')
            name.pop_back();
        if (name.empty()) continue;
        ports.push_back({name, {"device " + std::string(device, deviceSize)}});
    }
    RegCloseKey(key);
    std::sort(ports.begin(), ports.end(),
              [](const PortListing& a, const PortListing& b) { return portNameBefore(a.name, b.name); });
    return ports;
}

bool platformPortName(const std::string& text, int& number, std::string& path) {
    if (!text.empty() && text[0] == '/') {
        path = text;
        return true;
    }
    // "\\.\COM12" is the device path itself; "COM12" is what the system calls port 12.
    if (text.compare(0, 4, "\\\\.\\") == 0 && comNumber(text, 4) >= 0) {
        path = text;
        return true;
    }
    int n = comNumber(text, 0);
    if (n < 0) return false;
    number = n;
    return true;
}

bool platformSameDevice(const std::string& a, const std::string& b) {
    const auto number = [](const std::string& name) {
        return comNumber(name, name.compare(0, 4, "\\\\.\\") == 0 ? 4 : 0);
    };
    if (number(a) >= 0 || number(b) >= 0) return number(a) == number(b);
    return CompareStringA(LOCALE_INVARIANT, NORM_IGNORECASE, a.c_str(), -1, b.c_str(), -1) == CSTR_EQUAL;
}
