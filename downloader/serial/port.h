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

/// Opens a device for exclusive use with 8 data bits, no parity, one stop bit, raw, no flow control, at
/// baudRate. On failure returns NO_PORT and says why in reason.
PortHandle platformOpen(const std::string& device, int baudRate, std::string& reason);
/// Reads one byte, waiting at most timeoutMs (on Windows the port's own time-out, 251 ms, set at open). A
/// failed read (a hung-up line) still takes a short pause.
ReadResult platformRead(PortHandle handle, uint8_t* byte, int timeoutMs);
/// Takes up to most bytes that have already arrived, without waiting; 0 when none have (or never on Windows).
size_t platformReadAvailable(PortHandle handle, uint8_t* buffer, size_t most);
/// Writes n bytes, giving up after timeoutMs (on Windows the port's own time-out, n + 25 ms, set at open);
/// true only when all n were written.
bool platformWrite(PortHandle handle, const uint8_t* data, size_t n, int timeoutMs);
/// Closes the device.
void platformClose(PortHandle handle);
/// The device behind a port number: "/dev/ttyS<n-1>" on POSIX, "\\.\COM<n>" on Windows.
std::string platformDeviceName(int port);
/// Pauses the thread; a negative time waits as 0, and 0 still yields.
void sleepMs(int milliseconds);
/// True when standard output is a terminal (a person watching, not a script).
bool platformOutputIsTerminal();
/// Pauses the thread for a line's time; nothing for 0 or less.
void sleepUs(int64_t microseconds);
/// Milliseconds from a steady clock.
int64_t nowMs();
