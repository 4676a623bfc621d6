// The whole program around one Downloader: construct, parse, run, and turn every ending into an exit status.
#include "downloader.h"
#include "events.h"

#include <cstdio>
#include <exception>

namespace {

int runDownloader(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal) {
    const char* failure = nullptr;
    std::string text;
    try {
        Downloader downloader;
        downloader.setMessageCallback(sink);
        // Under --json no progress line is drawn and no summary shown: the events carry both.
        downloader.consoleIsTerminal = sinkIsTerminal && !events::active();
        downloader.parseArgs(argc, argv);
        downloader.run();
        return EXIT_DONE;
    } catch (int status) {
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
    // The Downloader is gone by now, so the port is closed; an unexpected error is never a success.
    const std::string caught = std::string("Exception caught: ") + (failure ? failure : text.c_str());
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

int runProgram(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal) {
    // The stream is on from the start, so that a command line that is refused ends with its result too.
    if (events::asked(argc, argv)) events::begin(platformNowMs());
    const int status = runDownloader(argc, argv, sink, sinkIsTerminal);
    events::result(status);
    return status;
}
