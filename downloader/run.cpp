// The run driver: read the firmware files, pick the controller generation, open the port, run the steps.
#include "downloader.h"
#include "ports/ports.h"

#include <cstdio>

namespace {

/// Lowest image address that marks VQ-I (HC908) code.
constexpr uint32_t VQ1_THRESHOLD = 0x8080;

} // namespace

Downloader::Downloader() = default;

Downloader::~Downloader() {
    // The support log stays open for its last line, the exit status (runProgram ends it).
    closePort();
}

void Downloader::run() {
    // Nothing is written, not even the log's header, before the outputs are known to be safe to write.
    checkOutputs();
    startLog();
    if (listPorts) {
        printPorts(PortRoots());
        return;
    }
    const int64_t started = platformNowMs();
    message(1, "Velquin Download %d.%02d", 2, 0);
    message(1, "%s", "");
    if (wipeOnly) {
        // A wipe reads no file and always speaks to the serial monitor.
        openOrFail();
        enterMonitor();
        eraseMainFlash();
        closePort();
        finish(started, "flash erased", false, 0);
        return;
    }
    if (!readBackFile.empty()) {
        runReadBack();
        return;
    }
    switch (readFiles()) {
    case Generation::VQ2:
        runMonitor(started);
        break;
    case Generation::VQ1:
        runBootLoader(started);
        break;
    }
}

const char* generationName(Generation generation) {
    return generation == Generation::VQ1 ? "VQ-I" : "VQ-II";
}

Generation generationOf(const FirmwareImage& image) {
    return image.lowAddress >= VQ1_THRESHOLD ? Generation::VQ1 : Generation::VQ2;
}

Generation Downloader::readFiles() {
    image.verbosity = verbosity;
    image.installDir = installDir;
    // A read-back is the backup taken before an update: the installed configuration stays as it is.
    image.extractIni = readBackFile.empty();
    image.logCallback = logIsOpen() ? writeLog : nullptr;
    // Without a file (a read-back of the unpaged flash) the serial monitor is spoken to.
    Generation generation = Generation::VQ2;
    for (const std::string& name : fileNames) {
        message(1, "Reading %s:", name.c_str());
        image.load(name);
        // The first file decides: the code range only grows, so VQ-I code never turns into VQ-II.
        if (&name == &fileNames.front()) generation = generationOf(image);
        message(1, "Detected %s (%s) code.", generationName(generation),
                generation == Generation::VQ1 ? "HC908" : "HCS12");
        message(1, "Entry point: 0x%04x", image.entryPoint);
        message(1, "Code range : 0x%04x-0x%04x", image.lowAddress, image.highAddress);
        message(1, "File read successfully.");
        message(1, "%s", "");
    }
    return generation;
}

void Downloader::openOrFail() {
    // The second line says what the system found, so the user knows what to fix.
    if (!openPort())
        fatal(EXIT_PORT, "Download failed:\r\n   Could not open comm port %s.\n   Reason: %s.",
              portName().c_str(), portError.empty() ? "unknown" : portError.c_str());
    message(1, "Opened comm port %s at %d.", portName().c_str(), baudRate);
}

void Downloader::runMonitor(int64_t startedMs) {
    // Records that cannot go where the image says are refused before anything is sent.
    checkMonitorImage();
    openOrFail();
    enterMonitor();
    if (!verifyOnly) {
        eraseMainFlash();
        writeImage();
    }
    verifyImage();
    closePort();
    finish(startedMs, verifyOnly ? "verified" : "written and verified", true, imageBytes());
}

void Downloader::runBootLoader(int64_t startedMs) {
    // A verification sends no record, so it takes any image.
    if (!verifyOnly) checkBootLoaderImage();
    openOrFail();
    if (!verifyOnly) {
        wakeUp();
        eraseFlash();
        writeLines();
    }
    readSignature();
    closePort();
    if (verifyOnly)
        finish(startedMs, "signature read", false, 0);
    else
        finish(startedMs, "written", true, imageBytes());
}

uint64_t Downloader::imageBytes() const {
    uint64_t bytes = 0;
    for (const auto& entry : image.records)
        bytes += entry.second.length;
    return bytes;
}

void Downloader::startLog() {
    if (!logPath) return;
    std::string reason;
    if (!openLog(logPath, commandLine, reason))
        fatal(EXIT_USAGE, "ERROR: Could not open log file %s: %s.", logPath, reason.c_str());
}

void Downloader::printPorts(const PortRoots& roots) {
    // Asked for, so shown at every verbosity.
    std::vector<std::string> lines = portListingLines(platformListPorts(roots));
    if (lines.empty()) lines.push_back("No serial ports found.");
    for (const std::string& line : lines) {
        writeLog(line.c_str());
        if (messageCallback) messageCallback(line.c_str());
    }
}

void Downloader::finish(int64_t startedMs, const char* what, bool counted, uint64_t bytes) {
    // One line for the person watching, and for the log; a script's output stays as it always was.
    if (!personWatching() && !logIsOpen()) return;
    const double seconds = static_cast<double>(platformNowMs() - startedMs) / 1000.0;
    char text[160];
    if (counted)
        std::snprintf(text, sizeof text, "Done in %.1f s: %u bytes %s, %.1f KB/s.", seconds,
                      static_cast<unsigned>(bytes), what,
                      seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0);
    else
        std::snprintf(text, sizeof text, "Done in %.1f s: %s.", seconds, what);
    writeLog(text);
    if (personWatching()) messageCallback(text);
}
