// The ports of a production station: the --ports list and the log file names.
#include "ports.h"

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

std::string fileSafeName(const std::string& name) {
    std::string file = name;
    for (char& c : file)
        if (c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
            c == '|' || static_cast<unsigned char>(c) < 0x20)
            c = '_';
    return file;
}

} // namespace station
