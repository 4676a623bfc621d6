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
    console.events.step("enter");
    enterMonitor();
    console.events.step("wipe");
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

void Downloader::adviseAfterFailure() {
    // Only a person is told: scripts and the log see the error as they always did.
    if (!flashTouched || !console.personWatching()) return;
    // A hung-up line shows in a read; a device path that is gone shows an adapter pulled while writing.
    const std::string& path = options.portPath;
    std::error_code error;
    const bool gone =
        lineLost || (!path.empty() && path[0] == '/' && !std::filesystem::exists(path, error) && !error);
    console.print(gone ? "The port went away: the adapter was unplugged or the port closed. The "
                         "controller's flash may be erased or partly written: run the download again."
                       : "The controller's flash may be erased or partly written: run the download "
                         "again.");
}

void Downloader::openOrFail() {
    // The second line says what the system found, so the user knows what to fix.
    if (!openPort())
        fatal(EXIT_PORT, "Download failed:\r\n   Could not open comm port %s.\n   Reason: %s.",
              portName().c_str(), portError.empty() ? "unknown" : portError.c_str());
    message(1, "Opened comm port %s at %d.", portName().c_str(), options.baudRate);
}

void Downloader::runMonitor(int64_t started) {
    openOrFail();
    console.events.step("enter");
    enterMonitor();
    if (!options.verifyOnly) {
        keepBeforeErase();
        flashTouched = true;
        console.events.step("erase");
        eraseMainFlash();
        console.events.step("write");
        writeImage();
        flashTouched = false;
    }
    console.events.step("verify");
    verifyImage();
    closePort();
    dropKeptFile();
    finish(started, options.verifyOnly ? "verified" : "written and verified", true, imageBytes());
}

void Downloader::runBootLoader(int64_t started) {
    openOrFail();
    if (!options.verifyOnly) {
        console.events.step("wake");
        wakeUp();
        flashTouched = true;
        console.events.step("wipe");
        eraseFlash();
        console.events.step("write");
        writeLines();
        flashTouched = false;
    }
    console.events.step("signature");
    readSignature();
    closePort();
    if (options.verifyOnly)
        finish(started, "signature read", false, 0);
    else
        finish(started, "written", true, imageBytes());
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
