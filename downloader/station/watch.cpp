// The watch of a station's children: their output taken and passed on, the table or the pipe lines, a child
// that hangs stopped, the station's signal passed on to each, and the console never waited on once stopping.
#include "json_line.h"
#include "platform/signals.h"
#include "platform/system.h"
#include "results/results.h"
#include "station.h"

#include <algorithm>
#include <cstdlib>

namespace {

using station::PortState;
using Json = nlohmann::ordered_json;

/// How long, once stopping, the station waits for a console that does not read before it drops its output.
constexpr int CONSOLE_GRACE_MS = 500;
/// How often the station asks after its children when their pipes are still open.
constexpr int64_t SETTLE_MS = 200;

using station::DRAIN_MS, station::KILL_GRACE_MS, station::MAX_LINE, station::STOP_GRACE_MS;

/// Takes the whole lines a child has written; under --json each event goes on with its port, on the station's
/// clock.
void takeOutput(PortState& port, int64_t now, int64_t startMs, bool json, station::Output& output) {
    if (port.child.received.size() > MAX_LINE && port.child.received.find('\n') == std::string::npos)
        port.child.received += '\n';
    size_t start = 0, end;
    while ((end = port.child.received.find('\n', start)) != std::string::npos) {
        Json event;
        if (station::takeLine(port, port.child.received.substr(start, end - start), now, event) && json)
            output.add(jsonLine(station::onStationClock(std::move(event), now, startMs)));
        start = end + 1;
    }
    port.child.received.erase(0, start);
}

/// The stop of every child: the station's signal passed on first, SIGKILL when the grace is over.
struct Stopping {
    int64_t since = -1; ///< when the stop began; -1 while none has
    bool killed = false;
};

void stopChildren(std::vector<PortState>& ports, Stopping& stopping, int signalNumber, int64_t now) {
    if (stopping.since < 0) {
        stopping.since = now;
        for (PortState& port : ports) {
            if (port.finished) continue;
            port.stopSignal = signalNumber;
            platformStopChild(port.child, signalNumber, false);
        }
    } else if (!stopping.killed && now - stopping.since > STOP_GRACE_MS) {
        stopping.killed = true;
        for (const PortState& port : ports)
            platformStopChild(port.child, signalNumber, true);
    }
}

/// What an ended child left without a line end: its last words when its pipe closed, unless they are the
/// start of an event; a pipe that was still open gives only a fragment, which is no reason.
void takeLeftover(PortState& port) {
    std::string& rest = port.child.received;
    if (port.child.output < 0 && !rest.empty() && rest[0] != '{') {
        Json ignored;
        station::takeLine(port, rest, port.lastHeardMs, ignored);
    }
    rest.clear();
}

/// Ends the ports whose children have ended and whose pipes are drained; stops a child that hung.
bool settlePorts(std::vector<PortState>& ports, int64_t now, int64_t silenceMs) {
    bool running = false;
    for (PortState& port : ports) {
        if (port.child.process < 0 || (port.child.exited && port.child.output < 0 && port.finished)) continue;
        const bool ended = platformChildEnded(port.child);
        if (ended && port.endedMs < 0 && !port.finished) port.endedMs = now;
        if (ended && (port.child.output < 0 || now - port.endedMs > DRAIN_MS)) {
            takeLeftover(port);
            platformReleaseChild(port.child);
            station::settleEnded(port, now);
            continue;
        }
        running = true;
        if (!ended && now - port.lastHeardMs > silenceMs && port.stopReason.empty() && !port.stopSignal) {
            port.stopReason =
                "stopped after " + std::to_string((silenceMs + 999) / 1000) + " s without a word";
            platformStopChild(port.child, 0, true);
        }
    }
    return running;
}

/// Hands what is pending to the console: as long as it takes while the ports run (a signal ends the wait),
/// for a short grace once the station stops, after which a console that does not read is given up on.
void passOn(station::Output& output, const Stopping& stopping, int64_t now) {
    if (stopping.since < 0) {
        while (!output.flush(100) && !stopSignal() && !output.given_up()) {}
        if (output.empty()) return;
    }
    const int64_t since = stopping.since < 0 ? now : stopping.since;
    if (!output.flush(0) && now - since >= CONSOLE_GRACE_MS) output.drop();
}

} // namespace

int64_t station::silenceLimitMs() {
    const char* text = std::getenv("VQ2DL_STATION_SILENCE_MS");
    const long long limit = text ? std::atoll(text) : 0;
    return limit > 0 ? limit : station::SILENCE_MS;
}

namespace station {

Json onStationClock(Json event, int64_t now, int64_t startMs) {
    if (event.contains("ms")) event["port_ms"] = event["ms"];
    event["ms"] = now - startMs;
    // The station's units are one run.
    if (event["event"] == "start") event["run"] = runId();
    return event;
}

void watchPorts(std::vector<PortState>& ports, Display& display, bool json, int64_t startMs,
                const std::function<void(PortState&)>& ended) {
    Stopping stopping;
    const int64_t silenceMs = station::silenceLimitMs();
    std::vector<ChildProcess*> children;
    for (PortState& port : ports)
        children.push_back(&port.child);
    int64_t settledAt = 0;
    while (true) {
        platformReadChildren(children, 100);
        const int64_t now = platformNowMs();
        for (PortState& port : ports)
            takeOutput(port, now, startMs, json, display.output);
        // Children are looked after a few times a second, and at once when a pipe has closed: sixteen
        // ports write about 160 events a second, and each wake-up need not ask after every process.
        const bool closed = std::any_of(ports.begin(), ports.end(), [](const PortState& port) {
            return port.child.output < 0 && !port.finished;
        });
        if (closed || stopping.since >= 0 || now - settledAt >= SETTLE_MS) {
            settledAt = now;
            if (!settlePorts(ports, now, silenceMs)) break;
        }
        for (PortState& port : ports)
            if (port.finished && !port.recorded) ended(port);
        if (stopSignal()) stopChildren(ports, stopping, stopSignal(), now);
        if (stopping.killed && now - stopping.since > STOP_GRACE_MS + KILL_GRACE_MS) break;
        // A terminal that does not say its width is taken for the usual 80 columns.
        if (display.terminal)
            display.columns = platformTerminalColumns() > 0 ? platformTerminalColumns() : 80;
        if (!json) station::showPorts(display, ports, now, false);
        passOn(display.output, stopping, now);
    }
    // A child that even SIGKILL did not end within its grace is given up on: a failed port.
    for (PortState& port : ports)
        if (!port.finished) {
            port.stopReason = "did not end when it was stopped";
            station::settleEnded(port, platformNowMs());
        }
}

/// Writes the last of the station's output: as long as the console takes it, but once the station was
/// stopped, or a signal comes now, never longer than a short grace.
void writeLast(Output& output, bool stopped) {
    if (!stopped)
        while (!output.flush(100) && !stopSignal() && !output.given_up()) {}
    if (!output.flush(CONSOLE_GRACE_MS)) output.drop();
}

} // namespace station
