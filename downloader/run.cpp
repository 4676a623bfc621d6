// The run driver: read the firmware files, pick the controller generation, open the port, run the steps.
#include "downloader.h"
#include "events.h"
#include "ports/ports.h"
#include "results/results.h"
#include "sha256.h"

#include <cstdio>

Downloader::Downloader() = default;

Downloader::~Downloader() {
    closePort();
    platformCloseResults(resultsHandle);
    if (logging) closeLog();
}

void Downloader::run() {
    // A station's stream is its ports' events and its own closing event; its console stays quiet then.
    if (!stationPorts.empty() && jsonEvents) {
        events::stop();
        setMessageCallback(nullptr);
    }
    if (!listPorts) events::start(commandLine, portName(), baudRate);
    startLog();
    if (listPorts) {
        printPorts(PortRoots());
        return;
    }
    openResults();
    const int64_t started = platformNowMs();
    if (!stationPorts.empty()) {
        try {
            runSteps(started);
        } catch (int status) {
            // Ended before its ports did (a file error, a log folder): still one closing event.
            if (jsonEvents && !stationClosed) writeStationEvent(0, status, oneLine(lastError));
            throw;
        }
        return;
    }
    // A single run records its own unit, however it ends; a station records its ports'.
    if (resultsHandle < 0) {
        runSteps(started);
        return;
    }
    try {
        runSteps(started);
    } catch (int status) {
        recordRun(status, started);
        throw;
    } catch (...) {
        recordRun(EXIT_INTERNAL, started);
        throw;
    }
    recordRun(EXIT_DONE, started);
}

void Downloader::runSteps(int64_t started) {
    message(1, "Velquin Download %d.%02d", 2, 0);
    message(1, "%s", "");
    try {
        if (!stationPorts.empty()) {
            runStation();
            return;
        }
        if (wipeOnly) {
            // A wipe reads no file and always speaks to the serial monitor.
            openOrFail();
            events::step("enter");
            enterMonitor(10);
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
        bool monitor = readFiles();
        // Records that cannot go where the image says are refused before anything is sent; a VQ-I
        // verification sends no record, so it takes any image.
        if (monitor)
            checkMonitorImage();
        else if (!verifyOnly)
            checkBootLoaderImage();
        openOrFail();
        if (monitor)
            runMonitor();
        else
            runBootLoader();
        closePort();
        uint64_t bytes = 0;
        for (const auto& entry : image.records)
            bytes += entry.second.length;
        if (!monitor && verifyOnly)
            finish(started, "signature read", false, 0);
        else
            finish(started,
                   !monitor     ? "written"
                   : verifyOnly ? "verified"
                                : "written and verified",
                   true, bytes);
    } catch (const s19Error& error) {
        fatal(EXIT_FILE, "ERROR: Reading %s line %d: %s.", error.file.c_str(), error.line,
              error.text.c_str());
    } catch (const std::string& text) {
        // The monitor answered wrongly or not at all: the download failed, whatever was written so far.
        lastError = text;
        events::failed(text);
        message(0, "ERROR: %s", text.c_str());
        closePort();
        throw static_cast<int>(EXIT_PROTOCOL);
    }
}

bool Downloader::readFiles() {
    image.verbosity = verbosity;
    image.installDir = installDir;
    image.extractIni = extractIni;
    image.logCallback = logIsOpen() ? writeLog : nullptr;
    image.levelCallback = events::active() ? events::message : nullptr;
    bool monitor = true;
    for (const std::string& name : fileNames) {
        message(1, "Reading %s:", name.c_str());
        const size_t extracted = image.extractedFiles.size();
        image.load(name);
        // The first file decides in practice: the generation only ever turns from VQ-II to VQ-I.
        if (image.lowAddress >= VQ1_THRESHOLD) monitor = false;
        filesRead.push_back({name, monitor ? "VQ-II" : "VQ-I"});
        message(1, "Detected VQ-I%s code.", monitor ? "I (HCS12)" : " (HC908)");
        message(1, "Entry point: 0x%04x", image.entryPoint);
        message(1, "Code range : 0x%04x-0x%04x", image.lowAddress, image.highAddress);
        message(1, "File read successfully.");
        message(1, "%s", "");
        if (events::active()) reportFile(name, monitor, extracted);
    }
    return monitor;
}

void Downloader::reportFile(const std::string& name, bool monitor, size_t firstExtracted) {
    events::FileReport report;
    report.name = name;
    // The loader has just read the file whole; one that cannot be read a second time has no digest.
    sha256OfFile(name, report.sha256);
    report.vq2 = monitor;
    report.entryPoint = image.entryPoint;
    report.lowAddress = image.lowAddress;
    report.highAddress = image.highAddress;
    report.records = image.records.size();
    for (const auto& entry : image.records)
        report.dataBytes += entry.second.length;
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

void Downloader::runMonitor() {
    events::step("enter");
    enterMonitor(10);
    if (!verifyOnly) {
        events::step("erase");
        eraseMainFlash();
        events::step("write");
        writeImage();
    }
    events::step("verify");
    verifyImage();
}

void Downloader::runBootLoader() {
    if (!verifyOnly) {
        events::step("wake");
        wakeUp();
        events::step("wipe");
        eraseFlash();
        events::step("write");
        writeLines();
    }
    events::step("signature");
    readSignature();
}

void Downloader::startLog() {
    if (!logPath) return;
    std::string reason;
    if (!openLog(logPath, commandLine, reason))
        fatal(EXIT_USAGE, "ERROR: Could not open log file %s: %s.", logPath, reason.c_str());
    logging = true;
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
    if (counted)
        std::snprintf(text, sizeof text, "Done in %.1f s: %u bytes %s, %.1f KB/s.", seconds,
                      static_cast<unsigned>(bytes), what,
                      seconds > 0 ? static_cast<double>(bytes) / 1024.0 / seconds : 0.0);
    else
        std::snprintf(text, sizeof text, "Done in %.1f s: %s.", seconds, what);
    writeLog(text);
    if (personWatching()) messageCallback(text);
}
