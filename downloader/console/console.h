// The console of one vq2dl process: levelled messages, the progress line, the support log and the --json
// event stream, in one object that the program makes and every room is handed.
#pragma once

#include "console/events.h"
#include "console/format.h"
#include "console/log.h"

#include <cstddef>
#include <cstdint>
#include <string>

class Console {
public:
    /// The console sink: one finished text per call.
    using Sink = void (*)(const char* text);

    /// A console that hands its texts to sink (nullptr shows nothing); terminal says that the sink prints to
    /// a terminal, where a progress line can be redrawn.
    explicit Console(Sink sink = nullptr, bool terminal = false);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    Sink sink = nullptr;   ///< the console sink; nullptr shows nothing
    bool terminal = false; ///< the sink prints to a terminal
    int verbosity = 1;     ///< -v: the highest message level shown
    bool percent = false;  ///< -p: a calling program reads percentages, so no progress line is drawn
    SupportLog log;        ///< --log
    EventStream events;    ///< --json
    std::string lastError; ///< the text of the error that ended the run, for the results file
    int64_t startMs;       ///< when the console was made: the clock of the events and the unit records

    /// Milliseconds since the console was made.
    int64_t elapsedMs() const;
    /// Where a message goes: the sink at the verbosity (the events under --json), and the support log.
    MessageRoute route();
    /// True when a message of this level goes anywhere: to the console or to the support log.
    bool shows(int level) const;
    /// Hands a finished text of this level to the support log and, when the level allows, to the console.
    void emit(int level, const char* text);
    /// A level-0 text that tells a person what to do next; under --json its message event names what it is
    /// about ("advice"), so that a calling program can tell it from the rest.
    void advise(const char* text, const char* about);
    /// Prints a printf-style message when level <= verbosity.
    void message(int level, const char* format, ...) VQ_PRINTF(3, 4);
    /// Hands a finished text to the support log and to the console at every verbosity; it is the error that
    /// ended the run.
    void announce(const char* text);
    /// Prints a printf-style message at every verbosity (announce), then throws the exit status.
    [[noreturn]] void fatal(int status, const char* format, ...) VQ_PRINTF(3, 4);
    /// A text asked for (the usage text, the version, the port list): to the sink at every verbosity, never
    /// to the events.
    void print(const char* text);

    /// True when a person watches the console: a terminal sink at the default verbosity, without -p.
    bool personWatching() const;
    /// For a person watching, redraws one progress line in place; under --json a progress event.
    void showProgress(const char* label, size_t records, size_t totalRecords, uint64_t bytes,
                      uint64_t totalBytes);
    /// For a person watching, says in the progress line that the controller has not answered yet.
    void showWaiting(int attempt, int attempts);
    /// Removes the progress line from the terminal, if one is shown.
    void clearProgress();
    /// Leaves the progress line as it stands, with the cursor on the next line: the end of a stopped run.
    void endProgressLine();

private:
    void drawOver(std::string line);
    size_t progressWidth = 0; ///< the width of the progress line now on the terminal; 0 when none is
};

/// Writes a text to standard output, with a newline unless it ends in a carriage return: the sink of the
/// program.
void printLine(const char* text);
