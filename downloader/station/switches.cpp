// The switches of a production station: the --ports list, and the switches it cannot be given with.
#include "downloader.h"
#include "ports/ports.h"

void Downloader::addStationPorts(const char* text) {
    std::string error;
    if (!station::splitPortList(text, stationPorts, error)) {
        refuse("ERROR: Switch '--ports': %s.", error.c_str());
    }
}

void Downloader::checkStationSwitches() {
    if (stationPorts.empty()) {
        if (logDir.empty()) return;
        refuse("ERROR: Switch '--log-dir' needs '--ports'; one port logs with '--log'.");
    }
    const char* other = portGiven               ? "-c"
                        : showPercent           ? "-p"
                        : !readBackFile.empty() ? "--read"
                        : logPath               ? "--log"
                                                : nullptr;
    if (other) {
        refuse("ERROR: Switch '--ports' cannot be combined with '%s'%s.", other,
               logPath ? " (use '--log-dir')" : "");
    }
    for (size_t i = 0; i < stationPorts.size(); ++i) {
        const station::PortSpec& slot = stationPorts[i];
        int number = 0;
        std::string path;
        const bool digits = slot.port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits && !platformPortName(slot.port, number, path)) {
            refuse("ERROR: Switch '--ports' needs port numbers or device paths, not '%s'.",
                   slot.port.c_str());
        }
        for (size_t j = 0; j < i; ++j) {
            if (!station::samePort(stationPorts[j].port, slot.port) && stationPorts[j].name != slot.name)
                continue;
            refuse("ERROR: Port %s is given twice in '--ports'.",
                   stationPorts[j].name == slot.name ? slot.name.c_str() : slot.port.c_str());
        }
    }
}
