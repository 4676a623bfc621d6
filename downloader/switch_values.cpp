// The values of long switches that can be refused: each setter returns the text of its refusal, or empty.
#include "command_line.h"

#include "monitor/read_areas.h"

/// The text of a --read, --range or --ports value that cannot be taken; empty when it was.
std::string setReadBack(Options& o, const char* file) {
    if (*file == '\0') return "ERROR: Switch '--read' needs a file name, not an empty one.";
    o.readBackFile = file;
    return "";
}

std::string setLogDir(Options& o, const char* folder) {
    // An empty name would put the logs in the root folder, or nowhere.
    if (*folder == '\0') return "ERROR: Switch '--log-dir' needs a folder name, not an empty one.";
    o.logDir = folder;
    return "";
}

std::string addReadRange(Options& o, const char* text) {
    uint32_t first = 0, last = 0;
    if (!monitor::parseRange(text, first, last)) return std::string("ERROR: Invalid range '") + text + "'.";
    o.readRanges.push_back({first, last});
    return "";
}

std::string addStationPorts(Options& o, const char* text) {
    std::string error;
    if (!station::splitPortList(text, o.stationPorts, error))
        return "ERROR: Switch '--ports': " + error + ".";
    return "";
}
