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

/// Splits one --ports value ("A=/dev/ttyUSB0,B=2,/dev/ttyUSB3") into slots; false with the fault otherwise.
bool splitPortList(const std::string& text, std::vector<PortSpec>& slots, std::string& error);
/// A port's name as part of a file name: every character a file name may not hold as '_'.
std::string fileSafeName(const std::string& name);
/// The file of a port's log in --log-dir: NAME.log, the name made safe as fileSafeName does.
std::string logFileName(const std::string& name);

} // namespace station
