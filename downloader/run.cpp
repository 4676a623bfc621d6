// The run driver: read the firmware files, pick the controller generation, open the port, run the steps.
#include "downloader.h"
#include "events.h"
#include "ports/ports.h"
#include "results/results.h"
#include "sha256.h"
#include "signals.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

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
    // A station's stream is its ports' events and its own closing event; its console stays quiet then.
    if (!stationPorts.empty() && jsonEvents) {
        events::stop();
        setMessageCallback(nullptr);
    }
    if (!listPorts) events::start(commandLine, portName(), baudRate);
    // Nothing is written, not even the log's header, before the outputs are known to be safe to write.
    guardStation([this] { checkOutputs(); });
    startLog();
    if (listPorts) {
        printPorts(PortRoots());
        return;
    }
    guardStation([this] { openResults(); });
    const int64_t started = platformNowMs();
    message(1, "Velquin Download %d.%02d", VQ2DL_VERSION_MAJOR, VQ2DL_VERSION_MINOR);
    message(1, "%s", "");
    if (!stationPorts.empty()) {
        runStation();
        return;
    }
    if (wipeOnly) {
        // A wipe reads no file and always speaks to the serial monitor.
        openOrFail();
        events::step("enter");
        enterMonitor();
        events::step("wipe");
        eraseMainFlash();
        closePort();
        finish(started, "flash erased", false, 0);
        return;
    }
    if (!readBackFile.empty()) {
        runReadBack();
        return;
    }
    const Generation generation = readFiles();
    if (!verifyOnly) refuseEmptyDownload();
    switch (generation) {
    case Generation::VQ2:
        runMonitor(started);
        break;
    case Generation::VQ1:
        runBootLoader(started);
        break;
    }
}

void Downloader::adviseAfterFailure() {
    // Only a person is told: scripts and the log see the error as they always did.
    if (!flashTouched || !personWatching()) return;
    // A hung-up line shows in a read; a device path that is gone shows an adapter pulled while writing.
    std::error_code error;
    const bool gone = lineLost || (!portPath.empty() && portPath[0] == '/' &&
                                   !std::filesystem::exists(portPath, error) && !error);
    messageCallback(gone ? "The port went away: the adapter was unplugged or the port closed. The "
                           "controller's flash may be erased or partly written: run the download again."
                         : "The controller's flash may be erased or partly written: run the download "
                           "again.");
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
    // A read-back is the backup taken before an update: the installed configuration stays as it is; a station
    // has extracted an update's files once for all its ports (--no-extract).
    image.extractIni = readBackFile.empty() && extractIni;
    image.logCallback = logIsOpen() ? writeLog : nullptr;
    image.levelCallback = events::active() ? events::message : nullptr;
    // Without a file (a read-back of the unpaged flash) the serial monitor is spoken to.
    Generation generation = Generation::VQ2;
    for (const std::string& name : fileNames) {
        message(1, "Reading %s:", name.c_str());
        const size_t extracted = image.extractedFiles.size();
        image.load(name);
        // The first file decides: the code range only grows, so VQ-I code never turns into VQ-II.
        if (&name == &fileNames.front()) generation = generationOf(image);
        filesRead.push_back({name, generationName(generation)});
        message(1, "Detected %s (%s) code.", generationName(generation),
                generation == Generation::VQ1 ? "HC908" : "HCS12");
        message(1, "Entry point: 0x%04x", image.entryPoint);
        message(1, "Code range : 0x%04x-0x%04x", image.lowAddress, image.highAddress);
        message(1, "File read successfully.");
        message(1, "%s", "");
        if (events::active()) reportFile(name, generation, extracted);
    }
    return generation;
}

void Downloader::reportFile(const std::string& name, Generation generation, size_t firstExtracted) {
    events::FileReport report;
    report.name = name;
    // The loader has just read the file whole; one that cannot be read a second time has no digest.
    sha256OfFile(name, report.sha256);
    report.vq2 = generation == Generation::VQ2;
    report.entryPoint = image.entryPoint;
    report.lowAddress = image.lowAddress;
    report.highAddress = image.highAddress;
    report.records = image.records.size();
    report.dataBytes = imageBytes();
    for (size_t i = firstExtracted; i < image.extractedFiles.size(); ++i) {
        const std::string& path = image.extractedFiles[i];
        const size_t slash = path.find_last_of("/\\");
        report.iniFiles.push_back({slash == std::string::npos ? path : path.substr(slash + 1), path});
    }
    events::file(report);
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
    noteFlashOnSignal(FLASH_UNTOUCHED);
    events::step("enter");
    enterMonitor();
    if (!verifyOnly) {
        flashTouched = true;
        noteFlashOnSignal(FLASH_ERASED);
        events::step("erase");
        eraseMainFlash();
        noteFlashOnSignal(FLASH_PARTLY_WRITTEN);
        events::step("write");
        writeImage();
        noteFlashOnSignal(FLASH_WRITTEN);
        flashTouched = false;
    }
    events::step("verify");
    verifyImage();
    flashNoteOnSignal = false;
    closePort();
    finish(startedMs, verifyOnly ? "verified" : "written and verified", true, imageBytes());
}

void Downloader::runBootLoader(int64_t startedMs) {
    // A verification sends no record, so it takes any image.
    if (!verifyOnly) checkBootLoaderImage();
    openOrFail();
    noteFlashOnSignal(FLASH_UNTOUCHED);
    if (!verifyOnly) {
        events::step("wake");
        wakeUp();
        flashTouched = true;
        noteFlashOnSignal(FLASH_ERASED);
        events::step("wipe");
        eraseFlash();
        noteFlashOnSignal(FLASH_PARTLY_WRITTEN);
        events::step("write");
        writeLines();
        noteFlashOnSignal(FLASH_WRITTEN);
        flashTouched = false;
    }
    events::step("signature");
    readSignature();
    flashNoteOnSignal = false;
    closePort();
    if (verifyOnly)
        finish(startedMs, "signature read", false, 0);
    else
        finish(startedMs, "written", true, imageBytes());
}

void Downloader::noteFlashOnSignal(int state) {
    // Only a person is told: scripts and the log see a signal's end as they always did.
    flashStateForSignals = state;
    flashNoteOnSignal = personWatching();
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
    // Asked for, so shown at every verbosity; under --json one event per port.
    const std::vector<PortListing> ports = platformListPorts(roots);
    for (const PortListing& listed : ports)
        events::port(listed.name, listed.details);
    std::vector<std::string> lines = portListingLines(ports);
    if (lines.empty()) lines.push_back("No serial ports found.");
    for (const std::string& line : lines) {
        writeLog(line.c_str());
        if (messageCallback && !events::active()) messageCallback(line.c_str());
    }
}

void Downloader::finish(int64_t startedMs, const char* what, bool counted, uint64_t bytes) {
    bytesMoved = bytes;
    // One line for the person watching, and for the log; a script's output stays as it always was.
    if (!personWatching() && !logIsOpen()) return;
    const double seconds = static_cast<double>(platformNowMs() - startedMs) / 1000.0;
    char text[160];
    if (counted && blankBytes > 0)
        std::snprintf(text, sizeof text, "Done in %.1f s: %u bytes %s, %.1f KB/s, %u bytes of 0xFF not sent.",
                      seconds, static_cast<unsigned>(bytes), what,
                      seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0, blankBytes);
    else if (counted)
        std::snprintf(text, sizeof text, "Done in %.1f s: %u bytes %s, %.1f KB/s.", seconds,
                      static_cast<unsigned>(bytes), what,
                      seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0);
    else
        std::snprintf(text, sizeof text, "Done in %.1f s: %s.", seconds, what);
    writeLog(text);
    if (personWatching()) messageCallback(text);
}
