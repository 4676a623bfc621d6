// Kept bytes at a station: for each port that failed after its unit's bytes were saved, the file and the
// command that puts them back.
#include "station.h"

#include "console/log.h"

namespace station {

std::vector<std::string> restoreLines(const std::string& program, const std::vector<PortState>& ports,
                                      const std::vector<std::string>& otherArgs) {
    std::vector<std::string> lines;
    for (const PortState& port : ports) {
        if (port.status == 0 || port.kept.empty()) continue;
        const std::string file = port.kept.front().value("file", "");
        // One port of its own station: its name, so that its log and kept file keep their names.
        const std::string slot =
            port.slot.name == port.slot.port ? port.slot.port : port.slot.name + "=" + port.slot.port;
        std::string command = shellQuoted(program) + " --ports " + shellQuoted(slot);
        for (size_t i = 0; i < otherArgs.size(); ++i) {
            // An earlier --keep-from gives way to this port's own file.
            if (otherArgs[i] == "--keep-from") {
                ++i;
                continue;
            }
            if (otherArgs[i].compare(0, 12, "--keep-from=") != 0) command += " " + shellQuoted(otherArgs[i]);
        }
        command += " --keep-from " + shellQuoted(file);
        lines.push_back("[" + port.slot.name + "] The unit's own bytes are kept in " + file +
                        "; put them back with: " + command);
    }
    return lines;
}

} // namespace station
