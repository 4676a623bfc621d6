// The serial port on Linux: termios for the line, poll() for the deadlines; the custom rates and the
// low-latency mode, which need Linux's own ioctls, have files of their own.
#include "platform/system.h"
#include "serial/custom_rate.h"
#include "serial/low_latency.h"
#include "serial/port.h"

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

/// How long a read or write on a failed line takes at least, so that a caller's retries cannot spin.
static const int FAILURE_PAUSE_MS = 20;

static std::string reasonFor(int error) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return "no such device";
    case EACCES:
    case EPERM:
        return "permission denied";
    case EBUSY:
        return "in use by another program";
    default:
        break;
    }
    std::string text = std::strerror(error);
    if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    while (!text.empty() && text.back() == '.')
        text.pop_back();
    return text;
}

static speed_t standardSpeed(int baudRate) {
    static const struct {
        int rate;
        speed_t speed;
    } speeds[] = {{50, B50},         {75, B75},         {110, B110},       {134, B134},
                  {150, B150},       {200, B200},       {300, B300},       {600, B600},
                  {1200, B1200},     {1800, B1800},     {2400, B2400},     {4800, B4800},
                  {9600, B9600},     {19200, B19200},   {38400, B38400},   {57600, B57600},
                  {115200, B115200}, {230400, B230400}, {460800, B460800}, {921600, B921600}};
    for (const auto& entry : speeds) {
        if (entry.rate == baudRate) return entry.speed;
    }
    return B0;
}

/// Raw 8N1 with the receiver on and the modem lines ignored, no flow control, reads that never block.
static void makeRaw(termios& settings) {
    settings.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK);
    settings.c_oflag &= ~OPOST;
    settings.c_lflag &= ~(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    settings.c_cflag &= ~(CSIZE | PARENB | CSTOPB | CRTSCTS);
    settings.c_cflag |= CS8 | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 0;
    settings.c_cc[VTIME] = 0;
}

/// Applies the line settings and the rate; 0 or the errno of the step that failed.
static int configure(int fd, int baudRate) {
    termios settings;
    if (tcgetattr(fd, &settings) != 0) return errno;
    makeRaw(settings);
    speed_t speed = standardSpeed(baudRate);
    if (speed != B0 && (cfsetispeed(&settings, speed) != 0 || cfsetospeed(&settings, speed) != 0))
        return EINVAL;
    if (tcsetattr(fd, TCSANOW, &settings) != 0) return errno;
    if (speed == B0) return setCustomRate(fd, baudRate);

    // tcsetattr succeeds when any part of the change took, so the rate is read back.
    termios check;
    if (tcgetattr(fd, &check) != 0) return errno;
    if (cfgetospeed(&check) != speed) return EINVAL;
    return 0;
}

PortHandle platformOpen(const std::string& device, int baudRate, std::string& reason) {
    int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        reason = reasonFor(errno);
        return NO_PORT;
    }
    // TIOCEXCL keeps other programs out but not root; the lock keeps out every program that locks as we do.
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) {
        reason = reasonFor(errno);
        close(fd);
        return NO_PORT;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        reason = reasonFor(errno == EWOULDBLOCK ? EBUSY : errno);
        close(fd);
        return NO_PORT;
    }
    int error = configure(fd, baudRate);
    if (error != 0) {
        reason = error == EINVAL ? "rate not supported by the driver" : reasonFor(error);
        close(fd);
        return NO_PORT;
    }
    // Bytes left on the line by an earlier run (a late answer, an interrupted download) would be read as the
    // answer to the first command.
    tcflush(fd, TCIFLUSH);
    return fd;
}

static int remainingMs(int64_t deadline) {
    int64_t left = deadline - platformNowMs();
    return left > 0 ? static_cast<int>(left) : 0;
}

static ReadResult failedRead() {
    platformSleepMs(FAILURE_PAUSE_MS);
    return ReadResult::Failed;
}

ReadResult platformRead(PortHandle handle, uint8_t* byte, int timeoutMs) {
    // The caller has just taken what was there, so this goes straight to poll. With no minimum count a read
    // returns 0 when nothing has arrived, so only poll can tell a quiet line from one that hung up.
    int64_t deadline = platformNowMs() + timeoutMs;
    for (;;) {
        pollfd pfd = {handle, POLLIN, 0};
        int ready = poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return failedRead();
        }
        if (ready == 0) return ReadResult::TimedOut;
        if (pfd.revents & POLLIN) {
            ssize_t got = read(handle, byte, 1);
            if (got == 1) return ReadResult::Byte;
            // Readable but nothing to read: the other end has hung up.
            if (got == 0) return failedRead();
            if (errno == EINTR || errno == EAGAIN) continue;
            return failedRead();
        }
        return failedRead(); // POLLHUP, POLLERR or POLLNVAL without data
    }
}

size_t platformReadAvailable(PortHandle handle, uint8_t* buffer, size_t most) {
    ssize_t got = read(handle, buffer, most);
    return got > 0 ? static_cast<size_t>(got) : 0;
}

bool platformWrite(PortHandle handle, const uint8_t* data, size_t n, int timeoutMs) {
    int64_t deadline = platformNowMs() + timeoutMs;
    size_t written = 0;
    while (written < n) {
        ssize_t put = write(handle, data + written, n - written);
        if (put > 0) {
            written += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) continue;
        if (put < 0 && errno != EAGAIN) {
            platformSleepMs(FAILURE_PAUSE_MS);
            return false;
        }
        // The output buffer is full: wait until it takes more, or the deadline passes.
        pollfd pfd = {handle, POLLOUT, 0};
        int ready = poll(&pfd, 1, remainingMs(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) return false;
        if (ready < 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            platformSleepMs(FAILURE_PAUSE_MS);
            return false;
        }
    }
    return true;
}

void platformClose(PortHandle handle) {
    restoreLowLatency(handle);
    ioctl(handle, TIOCNXCL);
    close(handle);
}

std::string platformDeviceName(int port) {
    return "/dev/ttyS" + std::to_string(static_cast<long long>(port) - 1);
}
