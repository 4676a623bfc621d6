// Opening, reopening and closing the serial port.
#include "downloader.h"

bool Downloader::openPort() {
    closePort();
    portError.clear();
    if (options.baudRate <= 0) {
        portError = "rate not supported by the driver";
        return false;
    }
    // No device is numbered below 1; refusing here also keeps a negative number from naming some other file.
    if (options.portPath.empty() && options.port < 1) {
        portError = "no such device";
        return false;
    }
    std::string device = options.portPath.empty() ? platformDeviceName(options.port) : options.portPath;
    portHandle = platformOpen(device, options.baudRate, portError);
    if (portHandle == NO_PORT) {
        // A port given by number names the device it stands for, which the user may not know.
        if (options.portPath.empty()) portError += " " + device;
        return false;
    }
    lineFreeAt = {};
    // Low latency hands each answer over as soon as it is in. A driver without the mode (a pseudo-terminal,
    // a plain UART) is no fault and is not mentioned: the transcripts of such lines stay as they were.
    LowLatency latency = platformRequestLowLatency(portHandle);
    console.events.open(portName(), device, options.baudRate,
                        latency == LowLatency::Set || latency == LowLatency::AlreadySet);
    if (latency == LowLatency::Set)
        message(3, "Low-latency mode set (restored on close).");
    else if (latency == LowLatency::AlreadySet)
        message(3, "Low-latency mode was set already.");
    return true;
}

void Downloader::closePort() {
    if (portHandle == NO_PORT) return;
    platformClose(portHandle);
    portHandle = NO_PORT;
}

bool Downloader::reopenPort() {
    closePort();
    message(3, "Reopening comm port.");
    return openPort();
}
