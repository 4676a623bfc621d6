// What a run did to its unit: the step that failed, the kind of failure, and what the flash now holds. The
// names go into the result event and the unit record; the words into what a person reads.
#pragma once

#include <string>

namespace outcome {

/// The step of a run, in the order a run goes through them. A new step is a value here and a row in
/// STEPS (outcome.cpp).
enum class Step { None, Open, Files, Enter, Erase, Write, Verify, Read, Keep, Serial };
/// What went wrong. A new kind is a value here and a row in KINDS.
enum class Kind { None, Port, File, NoAnswer, WrongAnswer, Mismatch, Signal, Internal, Usage };
/// What the run left in the unit's flash, from better to worse for the unit.
enum class Flash { Untouched, Erased, PartlyWritten, Written };

/// The name in the events and records ("no-answer"); nullptr for None, which is written as null.
const char* nameOf(Step step);
const char* nameOf(Kind kind);
const char* nameOf(Flash flash);
/// The value of a name as nameOf gives it; None (Untouched) for a name not known.
Step stepNamed(const std::string& name);
Kind kindNamed(const std::string& name);
Flash flashNamed(const std::string& name);
/// The step of a step event's name: the VQ-I wake-up is the entry, a wipe the erase, the signature the check.
Step stepOfEvent(const std::string& eventStep);
/// The kind that an exit status tells by itself: 1 usage, 2 port, 3 file, 4 no answer, 5 internal, 128 + n a
/// signal; None for 0.
Kind kindOfStatus(int status);

/// The whole of it.
struct Outcome {
    Step step = Step::None;
    Kind kind = Kind::None;
    Flash flash = Flash::Untouched;
};

/// For a person, in words: "no answer while erasing: flash erased"; empty when nothing went wrong.
std::string words(const Outcome& outcome);

/// Follows a run through its steps, the way its own process or the station watching it sees them.
class Tracker {
public:
    /// The port is being opened.
    void opening();
    /// A step event's step begins.
    void begin(const std::string& eventStep);
    /// The controller answered the entry: a controller is on the line.
    void answered() { controllerAnswered = true; }
    /// The outcome of a run that ended with this status: the kind noted where the failure was found (a
    /// signal's own process notes none), else the status's own; a line that hung up makes a failed exchange
    /// a fault of the port.
    Outcome settle(int status, Kind noted = Kind::None, bool lineLost = false) const;
    /// True when no controller ever answered on this run's line.
    bool silentLine() const { return !controllerAnswered; }
    Step step = Step::None;
    Flash flash = Flash::Untouched;

private:
    bool controllerAnswered = false;
};

} // namespace outcome
