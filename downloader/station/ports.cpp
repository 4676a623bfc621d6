// The ports of a production station: the --ports list and the log file names.
#include "ports.h"

#include "ports/ports.h"

#include <cctype>

namespace station {

bool splitPortList(const std::string& text, std::vector<PortSpec>& slots, std::string& error) {
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string item = text.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
        size_t equals = item.find('=');
        PortSpec slot;
        slot.port = equals == std::string::npos ? item : item.substr(equals + 1);
        slot.name = equals == std::string::npos ? item : item.substr(0, equals);
        for (char c : item)
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                error = "a port's name or device may not hold a control character";
                return false;
            }
        if (slot.port.empty() || slot.name.empty()) {
            error = "'" + item + "' in '" + text + "' is no port (NAME=PORT or PORT)";
            return false;
        }
        slots.push_back(slot);
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

std::string logFileName(const std::string& name) {
    return fileSafeName(name) + ".log";
}

std::string logFault(const std::vector<PortSpec>& slots, const std::string& logDir,
                     const std::string& resultsPath) {
    if (logDir.empty()) return "";
    const auto folded = [](const std::string& name) {
        std::string file = logFileName(name);
        for (char& c : file)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return file;
    };
    for (size_t second = 1; second < slots.size(); ++second)
        for (size_t first = 0; first < second; ++first)
            if (folded(slots[first].name) == folded(slots[second].name))
                return "ERROR: Ports " + slots[first].name + " and " + slots[second].name +
                       " would write one log file, " + logFileName(slots[second].name) + ", in '--log-dir'.";
    for (const PortSpec& slot : slots)
        if (!resultsPath.empty() && platformSameDevice(resultsPath, logDir + "/" + logFileName(slot.name)))
            return "ERROR: " + resultsPath + " is both the --results file and the log of port " + slot.name +
                   ".";
    return "";
}

} // namespace station
