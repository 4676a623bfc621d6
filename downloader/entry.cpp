// The whole program: the command line parsed, the run made, and every way it ends turned into an exit status
// that the console, the log, the events and the results file all record.
#include "program.h"

#include "platform/signals.h"
#include "results/results.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

/// The outcome in the closing event.
void reportOutcome(Console& console, const outcome::Outcome& outcome) {
    console.events.setOutcome(outcome::nameOf(outcome.step), outcome::nameOf(outcome.kind),
                              outcome::nameOf(outcome.flash));
}

/// The status of a step, with what each ending shows; an unexpected error goes on to the caller.
int statusOf(Downloader& controller, const std::function<void()>& step) {
    Console& console = controller.console;
    try {
        // A signal ends the run as the signal does, whatever else it made fail on its way (a read of a pipe
        // cut short), and also when it came while the last step finished.
        try {
            step();
        } catch (...) {
            if (const int signalNumber = stopSignal()) throw Stopped{signalNumber};
            throw;
        }
        if (const int signalNumber = stopSignal()) throw Stopped{signalNumber};
        return EXIT_DONE;
    } catch (int status) {
        return status;
    } catch (const s19Error& error) {
        // The reader names the file and line of the fault; the message shows at every verbosity.
        console.announce(readingError(error).c_str());
        return EXIT_FILE;
    } catch (const ProtocolError& error) {
        // The controller answered wrongly or not at all: the download failed, whatever was written so far. A
        // reply error is a level-0 message, not an announcement: -v -1 asks for the percentages alone, and a
        // calling program reads the status.
        console.lastError = error.text;
        controller.noteFailure(error.kind);
        console.events.failed(error.text);
        controller.message(0, "ERROR: %s", error.text.c_str());
        controller.closePort();
        return EXIT_PROTOCOL;
    } catch (const Stopped& stopped) {
        // The shell's prompt goes on a line of its own, not after the progress line; nothing else is shown.
        controller.closePort();
        console.endProgressLine();
        const std::string text = "Ended by signal " + std::to_string(stopped.signal) + ".";
        console.lastError = text;
        console.events.failed(text);
        return 128 + stopped.signal;
    }
}

/// The run of a parsed command line, and the unexpected errors it may end with.
int runParsed(const CommandLine& line, Console& console) {
    const char* failure = nullptr;
    std::string text;
    try {
        const int answered = answerCommandLine(line, console);
        if (answered >= 0) return answered;
        Downloader controller(line.options, console);
        RunRecord record;
        int status = EXIT_INTERNAL;
        try {
            status = runToStatus(controller, [&] { runCommand(line.options, console, controller, record); });
        } catch (...) {
            recordRun(line.options, console, controller, record, EXIT_INTERNAL);
            throw;
        }
        // A single run's unit line for --results, however it ended.
        recordRun(line.options, console, controller, record, status);
        return status;
    } catch (const std::string& error) {
        text = error;
    } catch (const char* error) {
        text = error ? error : "";
    } catch (const std::exception& error) {
        text = error.what();
    } catch (...) {
        failure = "unknown exception";
    }
    // The controller is gone by now, so the port is closed; an unexpected error is never a success.
    const std::string caught = std::string("Exception caught: ") + (failure ? failure : text.c_str());
    console.log.write(caught.c_str());
    if (console.events.active()) {
        console.events.message(0, caught.c_str());
        console.events.failed(caught);
    } else {
        console.clearProgress();
        std::printf("%s\n", caught.c_str());
        std::fflush(stdout);
    }
    return EXIT_INTERNAL;
}

} // namespace

int runToStatus(Downloader& controller, const std::function<void()>& step) {
    int status = EXIT_INTERNAL;
    try {
        status = statusOf(controller, step);
    } catch (...) {
        controller.closePort();
        reportOutcome(controller.console, controller.settleOutcome(EXIT_INTERNAL));
        throw;
    }
    // After the system's own texts, what a person is to do (the last lines of a failed run that kept a unit's
    // bytes or number say where they are); the outcome in the closing event.
    const outcome::Outcome outcome = controller.settleOutcome(status);
    if (status >= 128) controller.tellFlashAfterSignal(outcome);
    if (status != EXIT_DONE && status < 128) controller.adviseAfterFailure(outcome);
    if (status != EXIT_DONE) {
        controller.adviseKept();
        controller.adviseSerial();
    }
    reportOutcome(controller.console, outcome);
    return status;
}

int answerCommandLine(const CommandLine& line, Console& console) {
    switch (line.action) {
    case CommandLine::Action::Run:
        return -1;
    case CommandLine::Action::Help:
        // Asked for, so shown at every verbosity, and a success.
        console.events.stop();
        for (const std::string& text : usageLines(line.options.programName))
            console.print(text.c_str());
        return EXIT_DONE;
    case CommandLine::Action::Version:
        console.events.stop();
        console.print("vq2dl " VQ2DL_VERSION);
        return EXIT_DONE;
    case CommandLine::Action::Refused:
        break;
    }
    // Under --json the error is the result's, and no usage text follows; nothing was touched.
    reportOutcome(console, {outcome::Step::None, outcome::Kind::Usage, outcome::Flash::Untouched});
    console.events.failed(line.error);
    if (console.events.active()) return EXIT_USAGE;
    if (!line.shown.empty()) console.message(0, "%s", line.shown.c_str());
    for (const std::string& text : usageLines(line.options.programName))
        console.message(0, "%s", text.c_str());
    return EXIT_USAGE;
}

int runProgram(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal) {
    const CommandLine line = parseCommandLine(argc, argv);
    // Under --json no progress line is drawn and no summary shown: the events carry both.
    Console console(sink, sinkIsTerminal && !line.options.json);
    console.verbosity = line.options.verbosity;
    console.percent = line.options.showPercent;
    // The stream is on from the start, so that a command line that is refused ends with its result too.
    if (line.options.json) console.events.begin(console.startMs);
    const int status = runParsed(line, console);
    // The support log and the stream end with the status, whichever way the run ended.
    console.log.end(status);
    console.events.result(status);
    return status;
}
