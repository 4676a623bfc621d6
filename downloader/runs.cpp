// The runs of one controller: a download (VQ-II or VQ-I), a wipe, and what a person is told at the end.
#include "downloader.h"

#include "platform/signals.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <system_error>

Downloader::Downloader(const Options& given, Console& shared) : options(given), console(shared) {}

Downloader::Downloader() : ownConsole(std::make_unique<Console>()), console(*ownConsole) {}

Downloader::~Downloader() {
    closePort();
}

void Downloader::checkStop() const {
    if (const int signalNumber = stopSignal()) throw Stopped{signalNumber};
}

void Downloader::pause(int milliseconds) const {
    // Short steps, so that a long -dw pause still ends soon after a signal.
    constexpr int STEP_MS = 50;
    for (int left = std::max(milliseconds, 0);; left -= STEP_MS) {
        platformSleepMs(std::min(left, STEP_MS));
        checkStop();
        if (left <= STEP_MS) return;
    }
}

void Downloader::message(int level, const char* format, ...) {
    if (!console.shows(level)) return;
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    console.emit(level, text.c_str());
}

void Downloader::fatal(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    console.announce(text.c_str());
    throw status;
}

void Downloader::runWipe() {
    // A wipe reads no file and always speaks to the serial monitor.
    openOrFail();
    beginStep("enter");
    enterMonitor();
    beginStep("wipe");
    eraseMainFlash();
    closePort();
    finish(startedMs, "flash erased", false, 0);
}

void Downloader::runDownload(Generation generation) {
    switch (generation) {
    case Generation::VQ2:
        runMonitor(startedMs);
        break;
    case Generation::VQ1:
        runBootLoader(startedMs);
        break;
    }
}

void Downloader::beginStep(const char* eventStep) {
    tracker.begin(eventStep);
    console.events.step(eventStep);
}

void Downloader::adviseAfterFailure(const outcome::Outcome& outcome) {
    // Only a person is told: scripts and the log see the error as they always did.
    if (!console.personWatching()) return;
    if (outcome.kind == outcome::Kind::NoAnswer && tracker.silentLine()) {
        const std::string text = "No controller answered on " + portName() +
                                 ": check the cable, that this is the controller's port, and that the "
                                 "controller is powered.";
        console.print(text.c_str());
    }
    if (outcome.flash != outcome::Flash::Erased && outcome.flash != outcome::Flash::PartlyWritten) return;
    // A hung-up line shows in a read; a device path that is gone shows an adapter pulled while writing.
    const std::string& path = options.portPath;
    std::error_code error;
    const bool gone = outcome.kind == outcome::Kind::Port ||
                      (!path.empty() && path[0] == '/' && !std::filesystem::exists(path, error) && !error);
    std::string text = gone ? "The port went away: the adapter was unplugged or the port closed. " : "";
    text += outcome.flash == outcome::Flash::Erased
                ? "The controller's flash may be erased: run the download again."
                : "The controller's flash may be erased or partly written: run the download again.";
    console.print(text.c_str());
}

void Downloader::tellFlashAfterSignal(const outcome::Outcome& outcome) {
    // Only a person is told: scripts and the log see a signal's end as they always did.
    if (!downloading || !console.personWatching()) return;
    static const char* const NOTES[] = {
        "The controller's flash was not touched.",
        "The controller's flash is now erased: run the download again.",
        "The controller's flash is now partly written: run the download again.",
        "The controller's flash holds the new firmware, but it was not verified.",
    };
    console.print(NOTES[static_cast<int>(outcome.flash)]);
}

void Downloader::openOrFail() {
    // The second line says what the system found, so the user knows what to fix.
    tracker.opening();
    if (!openPort())
        fatal(EXIT_PORT, "Download failed:\r\n   Could not open comm port %s.\n   Reason: %s.",
              portName().c_str(), portError.empty() ? "unknown" : portError.c_str());
    message(1, "Opened comm port %s at %d.", portName().c_str(), options.baudRate);
}

void Downloader::runMonitor(int64_t started) {
    openOrFail();
    downloading = true;
    beginStep("enter");
    enterMonitor();
    if (!options.verifyOnly) {
        keepBeforeErase();
        readSerialBeforeErase();
        beginStep("erase");
        eraseMainFlash();
        beginStep("write");
        writeImage();
    }
    beginStep("verify");
    verifyImage();
    // The unit's number goes in only once the image is known to be right.
    writeSerial();
    downloading = false;
    closePort();
    dropKeptFile();
    finish(started, options.verifyOnly ? "verified" : "written and verified", true, imageBytes());
}

void Downloader::runBootLoader(int64_t started) {
    openOrFail();
    downloading = true;
    if (!options.verifyOnly) {
        beginStep("wake");
        wakeUp();
        beginStep("wipe");
        eraseFlash();
        beginStep("write");
        // No read-back exists: the number counts as written once the boot loader confirms the end line.
        guardSerial([this] { writeLines(); });
        settleSerial("written", "");
    }
    beginStep("signature");
    readSignature();
    downloading = false;
    closePort();
    if (options.verifyOnly)
        finish(started, "signature read", false, 0);
    else
        // The serial number went as one of the lines, and counts with them, as the write step's progress did.
        finish(started, "written", true, imageBytes() + serial.bytes.size());
}

uint64_t Downloader::imageBytes() const {
    uint64_t bytes = 0;
    for (const auto& entry : image.records)
        bytes += entry.second.length;
    return bytes;
}

void Downloader::finish(int64_t started, const char* what, bool counted, uint64_t bytes) {
    bytesMoved = bytes;
    // One line for the person watching, and for the log; a script's output stays as it always was.
    if (!console.personWatching() && !console.log.isOpen()) return;
    const double seconds = static_cast<double>(platformNowMs() - started) / 1000.0;
    const double rate = seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0;
    char text[160];
    if (counted && blankBytes > 0)
        std::snprintf(text, sizeof text, "Done in %.1f s: %u bytes %s, %.1f KB/s, %u bytes of 0xFF not sent.",
                      seconds, static_cast<unsigned>(bytes), what, rate, blankBytes);
    else if (counted)
        std::snprintf(text, sizeof text, "Done in %.1f s: %u bytes %s, %.1f KB/s.", seconds,
                      static_cast<unsigned>(bytes), what, rate);
    else
        std::snprintf(text, sizeof text, "Done in %.1f s: %s.", seconds, what);
    console.log.write(text);
    if (console.personWatching()) console.print(text);
}
