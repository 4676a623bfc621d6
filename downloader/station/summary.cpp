// The end of a station run: the summary table, the count, and the command that reruns the failed ports.
#include "station.h"

#include "console/log.h"

#include <algorithm>
#include <cstdio>

namespace station {

namespace {

using Json = nlohmann::ordered_json;

} // namespace

std::string padded(std::string text, size_t width) {
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text;
}

uint64_t resultBytes(const PortState& port) {
    if (port.result.is_null()) return 0;
    const Json& bytes = port.result.value("bytes", Json::object());
    uint64_t most = 0;
    for (const char* field : {"written", "verified", "read"})
        most = std::max(most, bytes.value(field, uint64_t(0)));
    return most;
}

void writeOut(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

std::string serialText(const PortState& port) {
    if (port.serial.is_null()) return "";
    const std::string state = port.serial.value("state", "");
    const std::string source = port.serial.value("source", "");
    return port.serial.value("text", "") + (state == "void"     ? " void"
                                            : state == "erased" ? " erased"
                                            : source == "kept"  ? " kept"
                                                                : "");
}

size_t serialWidth(const std::vector<PortState>& ports) {
    size_t width = 0;
    for (const PortState& port : ports)
        width = std::max(width, serialText(port).size());
    return width ? std::max(width, std::string("SERIAL").size()) : 0;
}

std::string fitted(const std::string& text, int columns) {
    if (columns <= 0) return text;
    const size_t room = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    // Characters, not bytes: a UTF-8 character's continuation bytes take no column.
    size_t characters = 0, cut = std::string::npos;
    for (size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) == 0x80) continue;
        if (characters == room - 1) cut = i;
        ++characters;
    }
    if (characters <= room) return text;
    std::string line = text.substr(0, cut);
    while (!line.empty() && line.back() == ' ')
        line.pop_back();
    return line + "\u2026";
}

std::vector<std::string> summaryLines(const std::vector<PortState>& ports, int columns) {
    size_t nameWidth = 4, portWidth = 4;
    for (const PortState& port : ports) {
        nameWidth = std::max(nameWidth, port.slot.name.size());
        portWidth = std::max(portWidth, port.slot.port.size());
    }
    std::vector<std::string> lines;
    char numbers[96];
    std::snprintf(numbers, sizeof numbers, "%-6s  %6s  %8s  %8s  %7s", "RESULT", "STATUS", "SECONDS", "BYTES",
                  "KB/S");
    // A column for the units' numbers only when a port has one: the summary stays as it was without them.
    const size_t serialColumn = serialWidth(ports);
    const std::string serialHeading = serialColumn ? padded("SERIAL", serialColumn) + "  " : "";
    lines.push_back(fitted(padded("NAME", nameWidth) + "  " + padded("PORT", portWidth) + "  " + numbers +
                               "  " + serialHeading + "REASON",
                           columns));
    size_t succeeded = 0;
    for (const PortState& port : ports) {
        const double seconds = static_cast<double>(port.endedMs - port.startedMs) / 1000.0;
        const uint64_t bytes = resultBytes(port);
        const bool ok = port.status == 0;
        succeeded += ok;
        std::snprintf(numbers, sizeof numbers, "%-6s  %6d  %8.1f  %8llu  %7.1f", ok ? "ok" : "FAILED",
                      port.status, seconds, static_cast<unsigned long long>(bytes),
                      seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0);
        std::string line = padded(port.slot.name, nameWidth) + "  " + padded(port.slot.port, portWidth) +
                           "  " + numbers + "  " +
                           (serialColumn ? padded(serialText(port), serialColumn) + "  " : "") + port.reason;
        while (!line.empty() && line.back() == ' ')
            line.pop_back();
        lines.push_back(fitted(line, columns));
    }
    lines.push_back("");
    lines.push_back(std::to_string(succeeded) + " of " + std::to_string(ports.size()) + " succeeded.");
    return lines;
}

std::string retryCommand(const std::string& program, const std::vector<PortState>& ports,
                         const std::vector<std::string>& otherArgs) {
    std::string list;
    for (const PortState& port : ports) {
        // A port whose unit's bytes or number were kept has a line of its own (restoreLines): run as before,
        // it would keep the erased bytes, or give the unit a new number.
        if (port.status == 0 || givenBack(port)) continue;
        if (!list.empty()) list += ",";
        list += port.slot.name == port.slot.port ? port.slot.port : port.slot.name + "=" + port.slot.port;
    }
    std::string command = shellQuoted(program) + " --ports " + shellQuoted(list);
    for (const std::string& arg : otherArgs)
        command += " " + shellQuoted(arg);
    return command;
}

} // namespace station
