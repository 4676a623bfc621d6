// The ports of a production station as --ports names them.
#pragma once

#include <string>
#include <vector>

namespace station {

/// One port of --ports: the fixture's name for it and the port as -c takes it.
struct PortSpec {
    std::string name; ///< NAME of NAME=PORT; the port as messages name it when no name is given
    std::string port; ///< the port as -c takes it: a number, a device path, COMn
};

/// Splits one --ports value ("A=/dev/ttyUSB0,B=2,/dev/ttyUSB3") into slots; false with the fault otherwise
/// (an empty name or port, a control character, which no log line or table could show).
bool splitPortList(const std::string& text, std::vector<PortSpec>& slots, std::string& error);
/// The file of a port's log in --log-dir: NAME.log, the name made safe as fileSafeName does.
std::string logFileName(const std::string& name);
/// The refusal of logs that cannot all be kept: two ports whose log files in the folder would be one file
/// (the same name once the characters a file name may not hold are replaced, compared without regard to case
/// as on Windows and on a USB stick's FAT), or a results file that is one of the logs; empty when none.
std::string logFault(const std::vector<PortSpec>& slots, const std::string& logDir,
                     const std::string& resultsPath);

} // namespace station
