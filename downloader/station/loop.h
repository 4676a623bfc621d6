// A fixture loop (--loop): on every port, unit after unit. A port waits for a unit (a probe child
// vq2dl --await-unit there), programs it (a child vq2dl --json, one run and one record per unit), waits for
// it to go (--await-unit gone), and starts over.
#pragma once

#include "station.h"

#include <string>
#include <vector>

namespace station {

/// Where a port of the loop stands.
enum class Phase {
    Insert,      ///< its probe waits for a unit to come
    Programming, ///< a unit's run is under way
    Remove,      ///< its probe waits for the unit that ended to go
    Done,        ///< no more units: the count is reached, the loop was stopped, or a probe failed
};

/// One port of the loop: its probe, the run of its unit, and its counts.
struct LoopSlot {
    PortSpec slot;
    Phase phase = Phase::Insert;
    ChildProcess probe;        ///< the child that waits for a unit to come or go
    bool probeStopped = false; ///< the loop stopped the probe itself
    std::string probeText;     ///< the last line the probe wrote, for a reason
    PortState unit;            ///< the run of the unit being programmed, or of the last one
    int cycle = 0;             ///< units started on this port
    int ok = 0, failed = 0;
    int worst = 0;         ///< the highest status of its units (and of a probe that failed)
    std::string trouble;   ///< why the port stopped before its count: a probe that failed; empty otherwise
    std::string shownText; ///< the operator text last printed by the pipe form
    /// For each failed unit that kept bytes or its serial number: where they are and the command that gives
    /// them back, said after the summary.
    std::vector<std::string> wayBack;
};

/// What the operator must do at a port, or what it does: "insert a unit", "programming 41 %", "remove: ok",
/// "remove: FAILED - flash erased", "done".
std::string operatorText(const LoopSlot& slot);
/// The table's rows for this width: name, port, what to do, unit, ok, failed; none longer than columns - 1.
std::vector<std::string> loopRows(const std::vector<LoopSlot>& slots, int columns);
/// The pipe form: a "[NAME] " line for each port whose text changed since the last call.
std::string loopChanges(std::vector<LoopSlot>& slots);
/// The summary: units ok and failed per port and in all.
std::vector<std::string> loopSummary(const std::vector<LoopSlot>& slots);
/// The loop's exit status: 0 when every unit succeeded, else the highest status of any unit or probe.
int loopStatus(const std::vector<LoopSlot>& slots);

} // namespace station
