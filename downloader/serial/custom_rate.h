// Rates that termios has no constant for (2343 bit/s, 56000 bit/s) go through the Linux termios2 interface,
// whose <asm/termbits.h> cannot share a source file with <termios.h>.
#pragma once

/// Sets any positive rate on an open terminal in both directions and reads it back. Returns 0 when the driver
/// runs the line within 2% of baudRate, EINVAL when it does not take the rate, or the errno of a failed call.
int setCustomRate(int fd, int baudRate);
