// Opening the serial link over a real pseudo-terminal: the line settings the peer sees, rates, exclusive use,
// devices that do not open, closing and reopening.
#include "test_serial.h"

#include <climits>
#include <string>
#include <sys/ioctl.h>
#include <vector>

using namespace serial_test;

namespace {

/// The kernel's termios2, read from the master side to see a rate that termios has no constant for.
struct KernelTermios2 {
    tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
    cc_t c_line;
    cc_t c_cc[19];
    speed_t c_ispeed, c_ospeed;
};
const unsigned long GET_TERMIOS2 = _IOR('T', 0x2A, KernelTermios2);
const tcflag_t KERNEL_CBAUD = 0010017;
const tcflag_t KERNEL_BOTHER = 0010000;

size_t openDescriptors() {
    return fx::listDir("/proc/self/fd").size();
}

} // namespace

TEST(SerialOpen, LineSettingsAsThePeerSeesThem) {
    Pty pty;
    // Start from a cooked line with every setting we must undo.
    termios t = pty.settings();
    t.c_iflag |= IXON | IXOFF | ICRNL | ISTRIP;
    t.c_oflag |= OPOST;
    t.c_lflag |= ICANON | ECHO | ISIG;
    t.c_cflag |= CSTOPB | CRTSCTS;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 5;
    cfsetspeed(&t, B9600);
    ASSERT_EQ(tcsetattr(pty.master, TCSANOW, &t), 0);

    for (auto rate :
         {std::make_pair(38400, B38400), std::make_pair(115200, B115200), std::make_pair(9600, B9600)}) {
        Downloader d;
        openOn(d, pty, rate.first);
        termios seen = pty.settings();
        EXPECT_EQ(cfgetospeed(&seen), rate.second) << rate.first;
        EXPECT_EQ(cfgetispeed(&seen), rate.second) << rate.first;
        EXPECT_EQ(seen.c_cflag & CSTOPB, 0u);
        EXPECT_EQ(seen.c_cflag & CRTSCTS, 0u);
        EXPECT_EQ(seen.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
        EXPECT_EQ(seen.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP), 0u);
        EXPECT_EQ(seen.c_oflag & OPOST, 0u);
        EXPECT_EQ(seen.c_lflag & (ICANON | ECHO | ISIG), 0u);
        EXPECT_EQ(seen.c_cc[VMIN], 0);
        EXPECT_EQ(seen.c_cc[VTIME], 0);
    }

    // Raw both ways: a carriage return and XON/XOFF bytes pass untouched.
    Downloader d;
    openOn(d, pty);
    const uint8_t out[] = {'\r', '\n', 0x11, 0x13, 0x03, 0x7F};
    EXPECT_TRUE(d.writeBytes(out, sizeof out));
    EXPECT_EQ(pty.receive(sizeof out), std::string(reinterpret_cast<const char*>(out), sizeof out));
    pty.send(std::string(reinterpret_cast<const char*>(out), sizeof out));
    uint8_t in[sizeof out];
    EXPECT_TRUE(d.readBytes(in, sizeof in));
    EXPECT_EQ(std::memcmp(in, out, sizeof out), 0);
}

TEST(SerialOpen, RatesWithoutATermiosConstant) {
    Pty pty;
    for (int rate : {2343, 56000}) {
        Downloader d;
        openOn(d, pty, rate);
        KernelTermios2 seen{};
        ASSERT_EQ(ioctl(pty.master, GET_TERMIOS2, &seen), 0) << std::strerror(errno);
        EXPECT_EQ(seen.c_cflag & KERNEL_CBAUD, KERNEL_BOTHER) << rate;
        EXPECT_EQ(seen.c_ospeed, static_cast<speed_t>(rate));
        EXPECT_EQ(seen.c_ispeed, static_cast<speed_t>(rate));
        EXPECT_EQ(seen.c_cflag & CSTOPB, 0u);
    }
    // A rate of zero or below never reaches the driver.
    Downloader d;
    d.options.portPath = pty.slave;
    d.options.baudRate = 0;
    EXPECT_FALSE(d.openPort());
    EXPECT_EQ(d.portError, "rate not supported by the driver");
}

TEST(SerialOpen, HeldExclusively) {
    Pty pty;
    Downloader first, second;
    openOn(first, pty);
    second.options.portPath = pty.slave;
    EXPECT_FALSE(second.openPort());
    EXPECT_EQ(second.portError, "in use by another program");
    EXPECT_EQ(second.portHandle, NO_PORT);

    // A second vq2dl on the same port stops with status 2 instead of sharing the line.
    fx::RunResult r = fx::run(VQ2DL_PROGRAM, {"-w", "-c", pty.slave}, "", 10000);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("Could not open comm port " + pty.slave + "."), std::string::npos) << r.out;
    EXPECT_EQ(pty.receive(1, 50), "") << "the second program must not send anything";

    first.closePort();
    EXPECT_TRUE(second.openPort()) << second.portError;
}

TEST(SerialOpen, DevicesThatDoNotOpen) {
    fx::TempDir dir;
    size_t descriptors = openDescriptors();
    Downloader d;
    d.options.portPath = dir.file("no-such-port");
    EXPECT_FALSE(d.openPort());
    EXPECT_EQ(d.portError, "no such device");
    EXPECT_EQ(d.portHandle, NO_PORT);

    // Port numbers below 1 name no device at all; they are refused before anything is opened.
    d.options.portPath.clear();
    for (int number : {0, -5, INT_MIN}) {
        d.options.port = number;
        EXPECT_FALSE(d.openPort()) << number;
        EXPECT_EQ(d.portError, "no such device");
    }
    EXPECT_EQ(platformDeviceName(1), "/dev/ttyS0");
    EXPECT_EQ(platformDeviceName(12), "/dev/ttyS11");

    // Something that is not a terminal: the system's reason, in lower case and without a period.
    fx::writeFile(dir.file("plain"), "not a port");
    d.options.portPath = dir.file("plain");
    EXPECT_FALSE(d.openPort());
    EXPECT_EQ(d.portError, "inappropriate ioctl for device");
    EXPECT_EQ(d.portHandle, NO_PORT);
    EXPECT_EQ(openDescriptors(), descriptors) << "a failed open must not keep a descriptor";

    fx::RunResult r = fx::run(VQ2DL_PROGRAM, {"-w", "-c", dir.file("no-such-port")}, "", 10000);
    EXPECT_EQ(r.status, 2) << r.out;
}

TEST(SerialOpen, CloseTwiceAndReopen) {
    Pty pty;
    Downloader d;
    attach(d, 3);
    openOn(d, pty);
    d.closePort();
    d.closePort();
    EXPECT_EQ(d.portHandle, NO_PORT);

    // Nothing moves without a port, and a failed read still takes its short pause.
    uint8_t byte = 0x41;
    auto start = Clock::now();
    EXPECT_FALSE(d.readByte(&byte));
    EXPECT_GE(msSince(start), 15.0);
    EXPECT_FALSE(d.writeByte(byte));

    EXPECT_TRUE(d.reopenPort()) << d.portError;
    EXPECT_EQ(fx::captured, "Reopening comm port.\n");
    pty.send("Z");
    EXPECT_TRUE(d.readByte(&byte));
    EXPECT_EQ(byte, 'Z');

    attach(d, 2);
    EXPECT_TRUE(d.reopenPort());
    EXPECT_EQ(fx::captured, "");
}
