// The platform serial layer: the same few free functions on POSIX and on Win32.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#ifdef _WIN32
using PortHandle = void*; ///< a Win32 HANDLE
#define NO_PORT nullptr
#else
using PortHandle = int; ///< a file descriptor
#define NO_PORT (-1)
#endif

/// Result of a one-byte read.
enum class ReadResult { Byte, TimedOut, Failed };

/// What became of the request for the driver's low-latency mode.
enum class LowLatency {
    Set,         ///< the driver took it; closing the port restores its previous setting
    AlreadySet,  ///< the driver had it on already
    Refused,     ///< the driver has no such mode or refused it (a pseudo-terminal, some adapters)
    Unsupported, ///< the system offers no such request (Windows: the adapter's latency timer is a setting)
};

/// Ten bit times in whole milliseconds, rounded up and at least 1: what a write allows each byte.
inline unsigned lineMsPerByte(int baudRate) {
    return baudRate > 0 && baudRate < 10000 ? static_cast<unsigned>((10000 + baudRate - 1) / baudRate) : 1;
}

/// Opens a device for exclusive use with 8 data bits, no parity, one stop bit, raw, no flow control, at
/// baudRate, and discards any input that waited there from before. On failure returns NO_PORT and says why
/// in reason.
PortHandle platformOpen(const std::string& device, int baudRate, std::string& reason);
/// Asks the driver of an open port for low latency (USB adapters then hand over received bytes after 1 ms
/// instead of 16). Costs nothing when refused.
LowLatency platformRequestLowLatency(PortHandle handle);
/// Waits for one byte and reads it, at most timeoutMs (on Windows at least the port's own time-out, 251 ms);
/// meant for after platformReadAvailable found nothing. A failed read (a hung-up line) still takes a short
/// pause.
ReadResult platformRead(PortHandle handle, uint8_t* byte, int timeoutMs);
/// Takes up to most bytes that have already arrived, in one call and without waiting; 0 when none have.
size_t platformReadAvailable(PortHandle handle, uint8_t* buffer, size_t most);
/// Writes n bytes, giving up after timeoutMs (on Windows the port's own time-out, set at open to the same
/// line time plus 25 ms); true only when all n were written.
bool platformWrite(PortHandle handle, const uint8_t* data, size_t n, int timeoutMs);
/// Closes the device, first restoring the driver's latency setting if it was changed. System calls only: a
/// signal handler may call it.
void platformClose(PortHandle handle);
/// The device behind a port number: "/dev/ttyS<n-1>" on POSIX, "\\.\COM<n>" on Windows.
std::string platformDeviceName(int port);
