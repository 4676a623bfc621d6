// The run driver: read the firmware files, pick the controller generation, open the port, run the steps.
#include "downloader.h"

Downloader::Downloader() = default;

Downloader::~Downloader() {
    closePort();
}

void Downloader::run() {
    message(1, "Velquin Download %d.%02d", 2, 0);
    message(1, "%s", "");
    try {
        if (wipeOnly) {
            // A wipe reads no file and always speaks to the serial monitor.
            openOrFail();
            enterMonitor(10);
            eraseMainFlash();
            closePort();
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
    } catch (const s19Error& error) {
        fatal(EXIT_FILE, "ERROR: Reading %s line %d: %s.", error.file.c_str(), error.line,
              error.text.c_str());
    } catch (const std::string& text) {
        // The monitor answered wrongly or not at all: the download failed, whatever was written so far.
        message(0, "ERROR: %s", text.c_str());
        closePort();
        throw static_cast<int>(EXIT_PROTOCOL);
    }
}

bool Downloader::readFiles() {
    image.verbosity = verbosity;
    image.installDir = installDir;
    bool monitor = true;
    for (const std::string& name : fileNames) {
        message(1, "Reading %s:", name.c_str());
        image.load(name);
        // The first file decides in practice: the generation only ever turns from VQ-II to VQ-I.
        if (image.lowAddress >= VQ1_THRESHOLD) monitor = false;
        message(1, "Detected VQ-I%s code.", monitor ? "I (HCS12)" : " (HC908)");
        message(1, "Entry point: 0x%04x", image.entryPoint);
        message(1, "Code range : 0x%04x-0x%04x", image.lowAddress, image.highAddress);
        message(1, "File read successfully.");
        message(1, "%s", "");
    }
    return monitor;
}

void Downloader::openOrFail() {
    // The second line says what the system found, so the user knows what to fix.
    if (!openPort())
        fatal(EXIT_PORT, "Download failed:\r\n   Could not open comm port %s.\n   Reason: %s.",
              portName().c_str(), portError.empty() ? "unknown" : portError.c_str());
    message(1, "Opened comm port %s at %d.", portName().c_str(), baudRate);
}

void Downloader::runMonitor() {
    enterMonitor(10);
    if (!verifyOnly) {
        eraseMainFlash();
        writeImage();
    }
    verifyImage();
}

void Downloader::runBootLoader() {
    if (!verifyOnly) {
        wakeUp();
        eraseFlash();
        writeLines();
    }
    readSignature();
}
