// The outcome of a run: the tables of steps, kinds and flash states, and how a run's steps lead to them.
#include "outcome.h"

namespace outcome {

namespace {

template <typename Value> struct Row {
    Value value;
    const char* name;  ///< in the events and records
    const char* words; ///< for a person
};

const Row<Step> STEPS[] = {
    {Step::None, nullptr, ""},
    {Step::Open, "open", "opening the port"},
    {Step::Files, "files", "reading the files"},
    {Step::Enter, "enter", "reaching the controller"},
    {Step::Erase, "erase", "erasing"},
    {Step::Write, "write", "writing"},
    {Step::Verify, "verify", "verifying"},
    {Step::Read, "read", "reading"},
    {Step::Keep, "keep", "keeping the unit's bytes"},
    {Step::Serial, "serial", "writing the serial number"},
};

const Row<Kind> KINDS[] = {
    {Kind::None, nullptr, ""},
    {Kind::Port, "port", "port lost"},
    {Kind::File, "file", "file error"},
    {Kind::NoAnswer, "no-answer", "no answer"},
    {Kind::WrongAnswer, "wrong-answer", "wrong answer"},
    {Kind::Mismatch, "mismatch", "mismatch"},
    {Kind::Signal, "signal", "stopped"},
    {Kind::Internal, "internal", "internal error"},
    {Kind::Usage, "usage", "refused"},
};

const Row<Flash> FLASH_STATES[] = {
    {Flash::Untouched, "untouched", "flash untouched"},
    {Flash::Erased, "erased", "flash erased"},
    {Flash::PartlyWritten, "partly-written", "flash partly written"},
    {Flash::Written, "written", "flash written"},
};

/// The event step names that stand for another step.
const struct {
    const char* event;
    Step step;
} EVENT_STEPS[] = {{"wake", Step::Enter}, {"wipe", Step::Erase}, {"signature", Step::Verify}};

template <typename Value, size_t N> const Row<Value>& rowOf(const Row<Value> (&table)[N], Value value) {
    for (const Row<Value>& row : table)
        if (row.value == value) return row;
    return table[0];
}

template <typename Value, size_t N> Value named(const Row<Value> (&table)[N], const std::string& name) {
    for (const Row<Value>& row : table)
        if (row.name && name == row.name) return row.value;
    return table[0].value;
}

} // namespace

const char* nameOf(Step step) {
    return rowOf(STEPS, step).name;
}
const char* nameOf(Kind kind) {
    return rowOf(KINDS, kind).name;
}
const char* nameOf(Flash flash) {
    return rowOf(FLASH_STATES, flash).name;
}
Step stepNamed(const std::string& name) {
    return named(STEPS, name);
}
Kind kindNamed(const std::string& name) {
    return named(KINDS, name);
}
Flash flashNamed(const std::string& name) {
    return named(FLASH_STATES, name);
}

Step stepOfEvent(const std::string& eventStep) {
    for (const auto& entry : EVENT_STEPS)
        if (eventStep == entry.event) return entry.step;
    return stepNamed(eventStep);
}

Kind kindOfStatus(int status) {
    if (status >= 128) return Kind::Signal;
    switch (status) {
    case 0:
        return Kind::None;
    case 1:
        return Kind::Usage;
    case 2:
        return Kind::Port;
    case 3:
        return Kind::File;
    case 4:
        return Kind::NoAnswer;
    default:
        return Kind::Internal;
    }
}

std::string words(const Outcome& outcome) {
    if (outcome.kind == Kind::None) return "";
    // A port that never opened lost nothing: it was not there.
    std::string text = outcome.kind == Kind::Port && outcome.step == Step::Open
                           ? std::string("port not opened")
                           : std::string(rowOf(KINDS, outcome.kind).words);
    if (outcome.step != Step::None && outcome.step != Step::Open)
        text += std::string(" while ") + rowOf(STEPS, outcome.step).words;
    return text + ": " + rowOf(FLASH_STATES, outcome.flash).words;
}

void Tracker::opening() {
    step = Step::Open;
}

void Tracker::begin(const std::string& eventStep) {
    step = stepOfEvent(eventStep);
    // The erase may have begun the moment its command went out; the first block written leaves the flash
    // partly written until the last one is; a check after the write finds it written whole.
    if (step == Step::Erase && flash == Flash::Untouched) flash = Flash::Erased;
    if (step == Step::Write) flash = Flash::PartlyWritten;
    if (step == Step::Verify && flash == Flash::PartlyWritten) flash = Flash::Written;
    // The unit's number goes into a verified image: until it is read back, the unit is not whole.
    if (step == Step::Serial && flash == Flash::Written) flash = Flash::PartlyWritten;
}

Outcome Tracker::settle(int status, Kind noted, bool lineLost) const {
    Outcome outcome;
    outcome.flash = flash;
    if (status == 0) {
        if (flash == Flash::PartlyWritten) outcome.flash = Flash::Written;
        return outcome;
    }
    outcome.kind = noted == Kind::None ? kindOfStatus(status) : noted;
    if (lineLost && (outcome.kind == Kind::NoAnswer || outcome.kind == Kind::WrongAnswer))
        outcome.kind = Kind::Port;
    outcome.step = step;
    if (step == Step::None && outcome.kind == Kind::Port) outcome.step = Step::Open;
    if (step == Step::None && outcome.kind == Kind::File) outcome.step = Step::Files;
    return outcome;
}

} // namespace outcome
