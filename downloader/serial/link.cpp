// Opening, reopening and closing the serial port.
#include "downloader.h"
#include "events.h"
#include "signals.h"

bool Downloader::openPort() {
    closePort();
    portError.clear();
    if (baudRate <= 0) {
        portError = "rate not supported by the driver";
        return false;
    }
    // No device is numbered below 1; refusing here also keeps a negative number from naming some other file.
    if (portPath.empty() && port < 1) {
        portError = "no such device";
        return false;
    }
    std::string device = portPath.empty() ? platformDeviceName(port) : portPath;
    portHandle = platformOpen(device, baudRate, portError);
    if (portHandle == NO_PORT) {
        // A port given by number names the device it stands for, which the user may not know.
        if (portPath.empty()) portError += " " + device;
        return false;
    }
    openPortForSignals = portHandle;
    lineFreeAt = {};
    // Low latency hands each answer over as soon as it is in. A driver without the mode (a pseudo-terminal,
    // a plain UART) is no fault and is not mentioned: the transcripts of such lines stay as they were.
    LowLatency latency = platformRequestLowLatency(portHandle);
    events::open(portName(), device, baudRate,
                 latency == LowLatency::Set || latency == LowLatency::AlreadySet);
    if (latency == LowLatency::Set)
        message(3, "Low-latency mode set (restored on close).");
    else if (latency == LowLatency::AlreadySet)
        message(3, "Low-latency mode was set already.");
    return true;
}

void Downloader::closePort() {
    if (portHandle == NO_PORT) return;
    // Taken from the signal handler first, so that the port is closed once, here or there.
    PortHandle published = portHandle;
    openPortForSignals.compare_exchange_strong(published, NO_PORT);
    platformClose(portHandle);
    portHandle = NO_PORT;
}

bool Downloader::reopenPort() {
    closePort();
    message(3, "Reopening comm port.");
    return openPort();
}
