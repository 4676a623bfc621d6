// What a station's failed units kept: for each port that failed after its unit's bytes were saved, or after
// the erase took the number it kept, where they are and the command that gives them back.
#include "station.h"

#include "command_line.h"
#include "console/log.h"

#include <cstdio>
#include <iterator>

namespace station {

bool numberErased(const PortState& port) {
    const nlohmann::ordered_json& serial = port.serial;
    if (port.status == 0 || !serial.is_object() || serial.value("source", "") != "kept") return false;
    const std::string state = serial.value("state", "");
    const auto inFile = serial.find("kept_file");
    return (state == "erased" || state == "void") && inFile != serial.end() && inFile->is_boolean() &&
           !inFile->get<bool>();
}

bool givenBack(const PortState& port) {
    // Bytes that hold no number of the format are said, but give no command: the rerun line keeps the port.
    const bool number =
        numberErased(port) && port.serial.contains("value") && port.serial["value"].is_number_unsigned();
    return port.status != 0 && (!port.kept.empty() || number);
}

std::vector<std::string> restoreLines(const std::string& program, const PortState& port,
                                      const std::vector<Argument>& rerun) {
    std::vector<std::string> lines;
    if (!givenBack(port) && !numberErased(port)) return lines;
    const std::string file = port.kept.empty() ? "" : port.kept.front().value("file", "");
    const auto value = port.serial.is_object() ? port.serial.find("value") : port.serial.end();
    const bool number = numberErased(port) && value != port.serial.end() && value->is_number_unsigned();
    // One port of its own station: its name, so that its log and kept file keep their names. Its own
    // file in place of an earlier --keep-from, the number in place of its source.
    const std::string slot =
        port.slot.name == port.slot.port ? port.slot.port : port.slot.name + "=" + port.slot.port;
    std::vector<std::string> leftOut;
    if (!file.empty()) leftOut.push_back("keep-from");
    if (number)
        leftOut.insert(leftOut.end(), std::begin(serials::SOURCE_SWITCHES),
                       std::end(serials::SOURCE_SWITCHES));
    std::string command = shellQuoted(program) + " --ports " + shellQuoted(slot);
    for (const std::string& arg : argumentTexts(rerun, leftOut))
        command += " " + shellQuoted(arg);
    if (!file.empty()) command += " --keep-from " + shellQuoted(file);
    if (number) command += " --serial-value " + std::to_string(value->get<uint64_t>());
    const std::string name = "[" + port.slot.name + "] ";
    if (!file.empty())
        lines.push_back(name + "The unit's own bytes are kept in " + file +
                        "; put them back with: " + command);
    if (number)
        lines.push_back(name + "The unit's serial number " + port.serial.value("text", "") +
                        " was erased with its flash; give it back with: " + command);
    else if (numberErased(port)) {
        char at[16];
        std::snprintf(at, sizeof at, "0x%X", port.serial.value("address", 0u));
        lines.push_back(name + "The unit's serial number at " + at + " (bytes " +
                        port.serial.value("bytes", "") + ") was erased with its flash.");
    }
    return lines;
}

} // namespace station
