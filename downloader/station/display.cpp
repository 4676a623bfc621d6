// What a person sees of a station while it runs: a table redrawn in place on a terminal, whole lines that
// begin with the port's name in a pipe or a file.
#include "station.h"

#include <algorithm>
#include <cstdio>

namespace station {

namespace {

/// How often the table is redrawn at most.
constexpr int64_t REDRAW_MS = 200;
constexpr int BAR = 10;

/// The widest of a column's texts, at least its heading's.
size_t widest(const std::vector<PortState>& ports, std::string PortSpec::*field, size_t heading) {
    size_t width = heading;
    for (const PortState& port : ports)
        width = std::max(width, (port.slot.*field).size());
    return width;
}

double secondsOf(const PortState& port, int64_t nowMs) {
    return static_cast<double>((port.endedMs < 0 ? nowMs : port.endedMs) - port.startedMs) / 1000.0;
}

/// The bytes a port has moved: the result's when it has one, the step's while it runs.
uint64_t bytesOf(const PortState& port) {
    return port.result.is_null() ? port.bytes : resultBytes(port);
}

std::string bar(const PortState& port) {
    int filled = static_cast<int>(port.percent * BAR / 100.0);
    char text[40];
    std::snprintf(text, sizeof text, "[%.*s%.*s] %3d%%", filled, "##########", BAR - filled, "----------",
                  static_cast<int>(port.percent));
    return text;
}

/// One row: name, port (when it fits), step, bar (when it fits), bytes, seconds, the serial number (when a
/// port has one), reason; cut to the width.
std::string row(const PortState* port, size_t nameWidth, size_t portWidth, bool withPort, bool withBar,
                size_t serialColumn, int columns, int64_t nowMs) {
    std::string text = padded(port ? port->slot.name : "NAME", nameWidth) + "  ";
    if (withPort) text += padded(port ? port->slot.port : "PORT", portWidth) + "  ";
    text += padded(port ? port->step : "STEP", 22) + "  ";
    if (withBar) text += padded(port ? bar(*port) : "PROGRESS", 17) + "  ";
    char numbers[48];
    if (port)
        std::snprintf(numbers, sizeof numbers, "%8llu  %6.1f s",
                      static_cast<unsigned long long>(bytesOf(*port)), secondsOf(*port, nowMs));
    else
        std::snprintf(numbers, sizeof numbers, "%8s  %8s", "BYTES", "TIME");
    text += numbers;
    if (serialColumn) text += "  " + padded(port ? serialText(*port) : "SERIAL", serialColumn);
    if (!port || !port->reason.empty()) text += "  " + (port ? port->reason : std::string("REASON"));
    // Never as wide as the terminal: a full line would wrap on some terminals and spoil the redraw.
    const size_t limit = columns > 1 ? static_cast<size_t>(columns - 1) : 1;
    if (text.size() > limit) text.resize(limit);
    while (!text.empty() && text.back() == ' ')
        text.pop_back();
    return text;
}

/// The pipe form's line of a step: "opening", "done in 4.2 s, 2304 bytes", "FAILED (status 4) after ...".
std::string stepLine(const PortState& port, const std::string& step, int64_t nowMs) {
    char text[96];
    if (step == "done") {
        std::snprintf(text, sizeof text, "done in %.1f s, %llu bytes", secondsOf(port, nowMs),
                      static_cast<unsigned long long>(bytesOf(port)));
        return port.serial.is_null() ? text : text + (", serial " + serialText(port));
    }
    if (step != "FAILED") return step;
    std::snprintf(text, sizeof text, "FAILED (status %d) after %.1f s: ", port.status,
                  secondsOf(port, nowMs));
    return text + port.reason;
}

/// The pipe form: a line per step change and one per result, each whole and prefixed.
void printChanges(Output& output, std::vector<PortState>& ports, int64_t nowMs) {
    std::string out;
    for (PortState& port : ports) {
        for (const std::string& step : port.newSteps)
            out += "[" + port.slot.name + "] " + stepLine(port, step, nowMs) + "\n";
        port.newSteps.clear();
    }
    // One piece for all, so that nothing else comes between the parts of a line.
    output.add(out);
}

} // namespace

std::vector<std::string> tableRows(const std::vector<PortState>& ports, int columns, int64_t nowMs) {
    const size_t nameWidth = widest(ports, &PortSpec::name, 4);
    const size_t portWidth = widest(ports, &PortSpec::port, 4);
    // The port and then the bar give way first when the terminal is narrow.
    const size_t base = nameWidth + 2 + 22 + 2 + 18;
    const bool withBar = base + 19 < static_cast<size_t>(columns);
    const bool withPort = withBar && base + 19 + portWidth + 2 < static_cast<size_t>(columns);
    const size_t serialColumn = serialWidth(ports);
    std::vector<std::string> rows{
        row(nullptr, nameWidth, portWidth, withPort, withBar, serialColumn, columns, nowMs)};
    for (const PortState& port : ports)
        rows.push_back(row(&port, nameWidth, portWidth, withPort, withBar, serialColumn, columns, nowMs));
    return rows;
}

void showPorts(Display& display, std::vector<PortState>& ports, int64_t nowMs, bool force) {
    if (!display.terminal) {
        printChanges(display.output, ports, nowMs);
        return;
    }
    for (PortState& port : ports)
        port.newSteps.clear();
    if (!force && display.drawnAt >= 0 && nowMs - display.drawnAt < REDRAW_MS) return;
    display.drawnAt = nowMs;
    std::vector<std::string> rows = tableRows(ports, display.columns, nowMs);
    // One write per frame: up to the table's first row, then each row over the old one.
    std::string frame = display.rowsDrawn ? "\r\x1b[" + std::to_string(display.rowsDrawn) + "A" : "\x1b[?25l";
    for (const std::string& text : rows)
        frame += "\x1b[2K" + text + "\n";
    display.rowsDrawn = rows.size();
    display.output.add(frame);
}

void closeDisplay(Display& display) {
    if (display.terminal && display.rowsDrawn) display.output.add("\x1b[?25h");
    display.rowsDrawn = 0;
}

} // namespace station
