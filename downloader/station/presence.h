// Whether a unit is in the fixture: a probe of the port every half second, and the rule that decides from
// the probes that a unit has come or gone. The probe uses the port functions alone.
#pragma once

#include "serial/port.h"

#include <functional>
#include <string>
#include <utility>

namespace presence {

/// How often a port is probed, and how long each probe waits for its answer.
constexpr int PROBE_MS = 500;
constexpr int ANSWER_MS = 300;
/// Unanswered probes in a row that make a unit gone.
constexpr int SILENT_PROBES = 3;

/// What one probe found.
enum class Seen {
    NoDevice, ///< the port could not be opened: the device is not there
    Silent,   ///< the port opened, nothing answered
    Answered, ///< a unit answered the first step of the entry
};

/// What is awaited.
enum class Awaited { There, Gone };

/// The rule over the probes in turn: a unit is there when it answers, or when its device appears after it
/// was missing; it is gone after SILENT_PROBES unanswered probes in a row, or when its device disappears.
class Tracker {
public:
    explicit Tracker(Awaited what) : awaited(what) {}
    /// Takes one probe's finding; true once the awaited state has come.
    bool take(Seen seen);

private:
    Awaited awaited;
    int silentInRow = 0;
    bool deviceMissed = false;
};

/// A port being probed: the device and its rate, the generation's entry, and the handle held between probes.
class Prober {
public:
    Prober(std::string path, int rate, bool monitorEntry)
        : device(std::move(path)), baudRate(rate), monitor(monitorEntry) {}
    ~Prober() { close(); }
    Prober(const Prober&) = delete;
    Prober& operator=(const Prober&) = delete;
    /// One probe: the VQ-II drop-in string, or the VQ-I wake-up (a carriage return, then "!!"), and a look at
    /// the answer for at most ANSWER_MS.
    Seen probe();
    void close();

private:
    std::string device;
    int baudRate;
    bool monitor;
    PortHandle handle = NO_PORT;
};

/// Probes every PROBE_MS until the awaited state comes (true) or stopped() says so (false). Never busy: it
/// sleeps between probes in short steps that stopped() can end.
bool awaitUnit(Prober& prober, Awaited awaited, const std::function<bool()>& stopped);

} // namespace presence
