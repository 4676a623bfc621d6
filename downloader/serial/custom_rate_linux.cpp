#include "serial/custom_rate.h"

#include <asm/termbits.h>
#include <cerrno>
#include <cstdlib>
#include <sys/ioctl.h>

// A real UART divides its clock: it runs 2343 bit/s as the nearest rate it can make (2351 on a 16550) and
// reports that rate back. Receivers cope with a couple of percent; a driver that falls back to another rate
// altogether (serial drivers answer an impossible rate with 9600) does not take the rate.
static bool closeEnough(unsigned actual, int wanted) {
    long difference = std::labs(static_cast<long>(actual) - wanted);
    return difference * 50 <= wanted;
}

int setCustomRate(int fd, int baudRate) {
    if (baudRate <= 0) return EINVAL;
    struct termios2 settings;
    if (ioctl(fd, TCGETS2, &settings) != 0) return errno;
    settings.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    settings.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
    settings.c_ispeed = static_cast<speed_t>(baudRate);
    settings.c_ospeed = static_cast<speed_t>(baudRate);
    if (ioctl(fd, TCSETS2, &settings) != 0) return errno;

    struct termios2 check;
    if (ioctl(fd, TCGETS2, &check) != 0) return errno;
    if (!closeEnough(check.c_ospeed, baudRate) || !closeEnough(check.c_ispeed, baudRate)) return EINVAL;
    return 0;
}
