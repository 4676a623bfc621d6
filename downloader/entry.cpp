// The whole program around one Downloader: construct, parse, run, and turn every ending into an exit status.
#include "downloader.h"
#include "events.h"

#include <cstdio>
#include <exception>
#include <string>

namespace {

int statusOf(Downloader& downloader, const std::function<void()>& step) {
    try {
        step();
        return EXIT_DONE;
    } catch (int status) {
        if (status == EXIT_PROTOCOL) downloader.adviseAfterFailure();
        return status;
    } catch (const s19Error& error) {
        // The reader names the file and line of the fault; the message shows at every verbosity.
        downloader.announce(readingError(error).c_str());
        return EXIT_FILE;
    } catch (const ProtocolError& error) {
        // The controller answered wrongly or not at all: the download failed, whatever was written so far.
        downloader.lastError = error.text;
        events::failed(error.text);
        downloader.message(0, "ERROR: %s", error.text.c_str());
        downloader.closePort();
        downloader.adviseAfterFailure();
        return EXIT_PROTOCOL;
    } catch (...) {
        downloader.recordRun(EXIT_INTERNAL);
        throw;
    }
}

int runDownloader(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal) {
    const char* failure = nullptr;
    std::string text;
    try {
        Downloader downloader;
        downloader.setMessageCallback(sink);
        // Under --json no progress line is drawn and no summary shown: the events carry both.
        downloader.consoleIsTerminal = sinkIsTerminal && !events::active();
        return runToStatus(downloader, [&] {
            downloader.parseArgs(argc, argv);
            downloader.run();
        });
    } catch (const std::string& error) {
        text = error;
    } catch (const char* error) {
        text = error ? error : "";
    } catch (const std::exception& error) {
        text = error.what();
    } catch (...) {
        failure = "unknown exception";
    }
    // The Downloader is gone by now, so the port is closed; an unexpected error is never a success.
    const std::string caught = std::string("Exception caught: ") + (failure ? failure : text.c_str());
    writeLog(caught.c_str());
    if (events::active()) {
        events::message(0, caught.c_str());
        events::failed(caught);
    } else {
        clearProgress();
        std::printf("%s\n", caught.c_str());
        std::fflush(stdout);
    }
    return EXIT_INTERNAL;
}

} // namespace

std::string readingError(const s19Error& error) {
    return "ERROR: Reading " + error.file + " line " + std::to_string(error.line) + ": " + error.text + ".";
}

int runToStatus(Downloader& downloader, const std::function<void()>& step) {
    const int status = statusOf(downloader, step);
    // The last lines of a failed run that kept a unit's bytes say where they are.
    if (status != EXIT_DONE) downloader.adviseKept();
    // A single-port run's unit line for --results, however it ended.
    downloader.recordRun(status);
    return status;
}

int runProgram(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal) {
    // The stream is on from the start, so that a command line that is refused ends with its result too. The
    // support log belongs to the process and ends with the status, whichever way the run ended.
    if (events::asked(argc, argv)) events::begin(platformNowMs());
    const int status = runDownloader(argc, argv, sink, sinkIsTerminal);
    endLog(status);
    events::result(status);
    return status;
}
