// The switches of a production station: the --ports list, and the switches it cannot be given with.
#include "downloader.h"
#include "ports/ports.h"

#include <cstdlib>

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
    std::vector<std::string> devices;
    for (size_t i = 0; i < stationPorts.size(); ++i) {
        const station::PortSpec& slot = stationPorts[i];
        int number = 0;
        std::string path;
        const bool digits = slot.port.find_first_not_of("0123456789") == std::string::npos;
        if (!digits && !platformPortName(slot.port, number, path)) {
            refuse("ERROR: Switch '--ports' needs port numbers or device paths, not '%s'.",
                   slot.port.c_str());
        }
        // One adapter under two names (a link and its device, a number and its path) is one port.
        if (digits) number = std::atoi(slot.port.substr(0, 9).c_str());
        devices.push_back(path.empty() ? platformDeviceName(number) : path);
        for (size_t j = 0; j < i; ++j) {
            if (!platformSameDevice(devices[j], devices[i]) && stationPorts[j].name != slot.name) continue;
            refuse("ERROR: Port %s is given twice in '--ports'.",
                   stationPorts[j].name == slot.name ? slot.name.c_str() : slot.port.c_str());
        }
    }
    checkStationLogs();
}

void Downloader::checkStationLogs() {
    if (logDir.empty()) return;
    size_t first = 0, second = 0;
    if (station::sharedLogFile(stationPorts, first, second))
        refuse("ERROR: Ports %s and %s would write one log file, %s, in '--log-dir'.",
               stationPorts[first].name.c_str(), stationPorts[second].name.c_str(),
               station::logFileName(stationPorts[second].name).c_str());
    for (const station::PortSpec& slot : stationPorts) {
        const std::string log = logDir + "/" + station::logFileName(slot.name);
        if (!resultsPath.empty() && platformSameDevice(resultsPath, log))
            refuse("ERROR: %s is both the --results file and the log of port %s.", resultsPath.c_str(),
                   slot.name.c_str());
    }
}
