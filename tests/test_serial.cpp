// The serial link over real pseudo-terminals: the test holds the master side and plays the controller.
#include "fixture.h"

#include "downloader.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string>
#include <sys/ioctl.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

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

/// A pseudo-terminal: the Downloader opens the slave, the test reads and writes the master.
class Pty {
public:
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) throw std::runtime_error("no pty");
        slave = ptsname(master);
    }
    ~Pty() { hangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    void send(const std::string& bytes) {
        size_t done = 0;
        while (done < bytes.size()) {
            ssize_t n = write(master, bytes.data() + done, bytes.size() - done);
            ASSERT_GT(n, 0) << std::strerror(errno);
            done += static_cast<size_t>(n);
        }
    }
    /// What arrives within timeoutMs, up to n bytes.
    std::string receive(size_t n, int timeoutMs = 1000) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd pfd = {master, POLLIN, 0};
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) break;
            char buffer[4096];
            ssize_t r = read(master, buffer, std::min(sizeof buffer, n - got.size()));
            if (r <= 0) break;
            got.append(buffer, static_cast<size_t>(r));
        }
        return got;
    }
    /// True when the slave has written something the master has not read yet.
    bool pending() const {
        pollfd pfd = {master, POLLIN, 0};
        return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLIN);
    }
    termios settings() const {
        termios t{};
        EXPECT_EQ(tcgetattr(master, &t), 0) << std::strerror(errno);
        return t;
    }
    void hangUp() {
        if (master >= 0) close(master);
        master = -1;
    }

    int master = -1;
    std::string slave;
};

using Clock = std::chrono::steady_clock;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

void attach(Downloader& d, int verbosity = 1) {
    fx::captured.clear();
    d.setMessageCallback(fx::captureSink);
    d.verbosity = verbosity;
}

/// Opens the Downloader on the pty's slave.
void openOn(Downloader& d, const Pty& pty, int baudRate = 115200) {
    d.portPath = pty.slave;
    d.baudRate = baudRate;
    ASSERT_TRUE(d.openPort()) << pty.slave << ": " << d.portError;
}

std::string text(const std::vector<uint8_t>& v) {
    return std::string(v.begin(), v.end());
}

size_t openDescriptors() {
    return fx::listDir("/proc/self/fd").size();
}

/// Writes blocks that the peer never reads until the output buffer is full. The kernel moves written bytes on
/// to the master side in the background, so the buffer counts as full only when a block is refused after a
/// pause.
void fillOutput(Downloader& d) {
    std::vector<uint8_t> block(256, 0x55);
    int refusedInARow = 0;
    for (int i = 0; i < 2000 && refusedInARow < 2; ++i) {
        if (d.writeBytes(block.data(), static_cast<unsigned>(block.size()))) {
            refusedInARow = 0;
        } else {
            ++refusedInARow;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
    }
    ASSERT_EQ(refusedInARow, 2) << "the output buffer never filled";
}

/// Literal trace lines of the bytes 0, 1, 2, ... for 3, 17 and 40 bytes.
const char* const TRACE_3 = " 00 01 02\n";
const char* const TRACE_17 = " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
                             "@:  10\n";
const char* const TRACE_40 = " 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\n"
                             "@:  10 11 12 13 14 15 16 17 18 19 1a 1b 1c 1d 1e 1f\n"
                             "@:  20 21 22 23 24 25 26 27\n";

/// The trace text with its prefix ("RX" or "TX") filled in.
std::string traceOf(const char* kind, const char* lines) {
    std::string result = std::string(kind) + ": " + lines;
    for (size_t at = result.find('@'); at != std::string::npos; at = result.find('@', at))
        result.replace(at, 1, kind);
    return result;
}

} // namespace

// ---- Opening

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
    d.portPath = pty.slave;
    d.baudRate = 0;
    EXPECT_FALSE(d.openPort());
    EXPECT_EQ(d.portError, "rate not supported by the driver");
}

TEST(SerialOpen, HeldExclusively) {
    Pty pty;
    Downloader first, second;
    openOn(first, pty);
    second.portPath = pty.slave;
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
    d.portPath = dir.file("no-such-port");
    EXPECT_FALSE(d.openPort());
    EXPECT_EQ(d.portError, "no such device");
    EXPECT_EQ(d.portHandle, NO_PORT);

    // Port numbers below 1 name no device at all; they are refused before anything is opened.
    d.portPath.clear();
    for (int number : {0, -5, INT_MIN}) {
        d.port = number;
        EXPECT_FALSE(d.openPort()) << number;
        EXPECT_EQ(d.portError, "no such device");
    }
    EXPECT_EQ(platformDeviceName(1), "/dev/ttyS0");
    EXPECT_EQ(platformDeviceName(12), "/dev/ttyS11");

    // Something that is not a terminal: the system's reason, in lower case and without a period.
    fx::writeFile(dir.file("plain"), "not a port");
    d.portPath = dir.file("plain");
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

// ---- Reading and writing

TEST(SerialRead, OneByteOrATimeOut) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_FALSE(d.readByte(&byte));
    double waited = msSince(start);
    EXPECT_GE(waited, 245.0);
    EXPECT_LE(waited, 400.0);

    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.send("\xA7");
    });
    start = Clock::now();
    EXPECT_TRUE(d.readByte(&byte));
    waited = msSince(start);
    peer.join();
    EXPECT_EQ(byte, 0xA7);
    EXPECT_GE(waited, 90.0);
    EXPECT_LE(waited, 200.0);
}

TEST(SerialRead, TracesOf3And17And40Bytes) {
    Pty pty;
    Downloader d;
    attach(d, 4);
    openOn(d, pty);
    uint8_t buffer[64];

    pty.send(std::string("\xE0\x00\x3E", 3));
    EXPECT_TRUE(d.readBytes(buffer, 3));
    EXPECT_EQ(fx::captured, "RX:  e0 00 3e\n");

    const std::pair<unsigned, const char*> cases[] = {{3, TRACE_3}, {17, TRACE_17}, {40, TRACE_40}};
    for (const auto& c : cases) {
        fx::captured.clear();
        pty.send(text(fx::bytes(c.first)));
        EXPECT_TRUE(d.readBytes(buffer, c.first));
        EXPECT_EQ(fx::captured, traceOf("RX", c.second)) << c.first;
        EXPECT_EQ(std::memcmp(buffer, fx::bytes(c.first).data(), c.first), 0);
    }

    // At verbosity 3 the bytes come as before, without a trace.
    attach(d, 3);
    pty.send(text(fx::bytes(17)));
    EXPECT_TRUE(d.readBytes(buffer, 17));
    EXPECT_EQ(fx::captured, "");
}

TEST(SerialRead, ReplyThatStopsShort) {
    Pty pty;
    Downloader d;
    attach(d, 4);
    openOn(d, pty);
    uint8_t buffer[3];
    pty.send(std::string("\xE0\x00", 2));
    auto start = Clock::now();
    EXPECT_FALSE(d.readBytes(buffer, 3));
    EXPECT_GE(msSince(start), 245.0);
    EXPECT_EQ(buffer[0], 0xE0);
    EXPECT_EQ(buffer[1], 0x00);
    // The position of the failed read shows nothing.
    EXPECT_EQ(fx::captured, "RX:  e0 00\n");

    fx::captured.clear();
    EXPECT_FALSE(d.readBytes(buffer, 3));
    EXPECT_EQ(fx::captured, "") << "nothing came, so there is no trace line";
}

namespace {
Pty* watchedPeer = nullptr;
bool sentBeforeTrace = false;
/// The console sink for the TX test: a trace line must be shown before any byte of its block is on the line.
void watchingSink(const char* line) {
    if (watchedPeer && watchedPeer->pending()) sentBeforeTrace = true;
    fx::captureSink(line);
}
} // namespace

TEST(SerialWrite, TracesOf3And17And40BytesComeFirst) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    d.verbosity = 4;
    d.setMessageCallback(watchingSink);
    watchedPeer = &pty;
    sentBeforeTrace = false;

    const std::pair<unsigned, const char*> cases[] = {{3, TRACE_3}, {17, TRACE_17}, {40, TRACE_40}};
    for (const auto& c : cases) {
        fx::captured.clear();
        std::vector<uint8_t> block = fx::bytes(c.first);
        EXPECT_TRUE(d.writeBytes(block.data(), c.first));
        EXPECT_EQ(fx::captured, traceOf("TX", c.second)) << c.first;
        EXPECT_EQ(pty.receive(c.first), text(block));
        EXPECT_FALSE(sentBeforeTrace) << c.first;
    }
    watchedPeer = nullptr;

    // writeByte and writeText: the same trace, the text without its terminator.
    fx::captured.clear();
    EXPECT_TRUE(d.writeByte(0xB4));
    EXPECT_TRUE(d.writeText("\r!!"));
    EXPECT_EQ(fx::captured, "TX:  b4\nTX:  0d 21 21\n");
    EXPECT_EQ(pty.receive(4), "\xB4\r!!");
    EXPECT_EQ(pty.receive(1, 50), "");

    attach(d, 3);
    EXPECT_TRUE(d.writeText("w"));
    EXPECT_EQ(fx::captured, "");
    EXPECT_EQ(pty.receive(1), "w");
}

// ---- expect

TEST(SerialExpect, ExactLongerAndShorterReplies) {
    Pty pty;
    Downloader d;
    attach(d, 2);
    openOn(d, pty);

    // Exact: the eighth attempt times out, so the reply takes one read time-out longer.
    pty.send("\r\nBoot>");
    auto start = Clock::now();
    EXPECT_TRUE(d.expect("\r\nBoot>", true));
    EXPECT_GE(msSince(start), 245.0);
    EXPECT_EQ(fx::captured, "\r\nBoot>\n");

    // Longer: the first 7 are compared, the eighth is consumed and dropped.
    fx::captured.clear();
    pty.send("\r\nBoot>XY");
    start = Clock::now();
    EXPECT_TRUE(d.expect("\r\nBoot>", false));
    EXPECT_LE(msSince(start), 200.0) << "no attempt had to time out";
    EXPECT_EQ(fx::captured, "\r\nBoot>\n");
    uint8_t byte = 0;
    EXPECT_TRUE(d.readByte(&byte));
    EXPECT_EQ(byte, 'Y');

    // Shorter, and a zero byte that ends the text.
    fx::captured.clear();
    pty.send("\r\nBoot");
    EXPECT_FALSE(d.expect("\r\nBoot>", false));
    pty.send(std::string("\r\nBo\0t>", 7));
    EXPECT_FALSE(d.expect("\r\nBoot>", false));
    EXPECT_EQ(fx::captured, "\r\nBoot\n\r\nBo\n");

    // At verbosity 1 the received text is not shown.
    attach(d, 1);
    pty.send("u\r\n");
    EXPECT_TRUE(d.expect("u\r\n", true));
    EXPECT_EQ(fx::captured, "");
}

TEST(SerialExpect, FatalMismatchEndsTheRunWithStatus4) {
    Pty pty;
    Downloader d;
    attach(d, -1); // fatal texts show at every verbosity
    openOn(d, pty);
    pty.send("Boat>");
    int status = -1;
    try {
        d.expect("Boot>", true);
    } catch (int thrown) {
        status = thrown;
    }
    EXPECT_EQ(status, 4);
    EXPECT_EQ(fx::captured,
              "Download failed:\n   Expected response \"Boot>\",\n   but received this \"Boat>\".\n\n");
}

TEST(SerialExpect, SilentLine) {
    Pty pty;
    Downloader d;
    attach(d, 2);
    openOn(d, pty);
    int status = -1;
    auto start = Clock::now();
    try {
        d.expect("\r\nBoot>", true);
    } catch (int thrown) {
        status = thrown;
    }
    double waited = msSince(start);
    EXPECT_EQ(status, 4);
    // Eight attempts of 251 ms each.
    EXPECT_GE(waited, 8 * 245.0);
    EXPECT_LE(waited, 8 * 251.0 + 600.0);
    EXPECT_EQ(fx::captured,
              "\n"
              "Download failed:\n   Expected response \"\r\nBoot>\",\n   but received this \"\".\n\n");
}

// ---- drainInput

TEST(SerialDrain, StopsWhenTheLineFallsQuiet) {
    Pty pty;
    Downloader d;
    attach(d, 4);
    openOn(d, pty);
    pty.send(std::string(300, '\x55'));
    auto start = Clock::now();
    d.drainInput();
    double waited = msSince(start);
    EXPECT_GE(waited, 245.0);
    EXPECT_LE(waited, 1000.0);
    EXPECT_EQ(fx::captured, "") << "draining is not traced";
    pty.send("\x3E");
    uint8_t byte = 0;
    EXPECT_TRUE(d.readByte(&byte));
    EXPECT_EQ(byte, 0x3E);
}

TEST(SerialDrain, ChatterThatNeverStopsEndsAfterTwoSeconds) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (!stop) {
            pty.send("#");
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    auto start = Clock::now();
    d.drainInput();
    double waited = msSince(start);
    stop = true;
    peer.join();
    EXPECT_GE(waited, 1990.0);
    EXPECT_LE(waited, 2600.0);
}

TEST(SerialDrain, FloodEndsAfter64KiB) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    int flags = fcntl(pty.master, F_GETFL);
    fcntl(pty.master, F_SETFL, flags | O_NONBLOCK);
    std::atomic<bool> stop{false};
    std::atomic<size_t> sent{0};
    std::thread peer([&] {
        char chunk[512];
        std::memset(chunk, '~', sizeof chunk);
        while (!stop) {
            ssize_t n = write(pty.master, chunk, sizeof chunk);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else
                std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    auto start = Clock::now();
    d.drainInput();
    double waited = msSince(start);
    stop = true;
    peer.join();
    // Whatever the peer sent that the drain did not take is still there to read.
    size_t left = 0;
    uint8_t byte;
    while (d.readByte(&byte))
        ++left;
    size_t drained = sent - left;
    EXPECT_LE(drained, 65536u);
    EXPECT_LE(waited, 2600.0);
    // Either bound may end it on a busy machine, but one of them must have.
    if (drained < 65536u) {
        EXPECT_GE(waited, 1990.0) << drained;
    }
}

// ---- A line that hangs up

TEST(SerialHangUp, DuringARead) {
    Pty pty;
    Downloader d;
    attach(d, 2);
    openOn(d, pty);
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        pty.hangUp();
    });
    uint8_t byte = 0;
    auto start = Clock::now();
    EXPECT_FALSE(d.readByte(&byte));
    double waited = msSince(start);
    peer.join();
    EXPECT_GE(waited, 55.0);
    EXPECT_LE(waited, 200.0) << "the read must end with the line, not with its time-out";

    // Every later read fails at once, but not without a pause: retries cannot spin.
    for (int i = 0; i < 3; ++i) {
        start = Clock::now();
        EXPECT_FALSE(d.readByte(&byte));
        waited = msSince(start);
        EXPECT_GE(waited, 15.0);
        EXPECT_LE(waited, 120.0);
    }
    start = Clock::now();
    EXPECT_FALSE(d.expect("\r\nBoot>", false));
    waited = msSince(start);
    EXPECT_GE(waited, 8 * 15.0);
    EXPECT_LE(waited, 8 * 120.0);
}

TEST(SerialHangUp, PeerThatStopsReadingThenHangsUp) {
    Pty pty;
    Downloader d;
    openOn(d, pty);
    // A peer that never reads: once the buffer is full, a write of 4 bytes gives up after 4 + 25 ms.
    fillOutput(d);
    auto start = Clock::now();
    EXPECT_FALSE(d.writeText("abcd"));
    double waited = msSince(start);
    EXPECT_GE(waited, 25.0);
    EXPECT_LE(waited, 150.0);

    std::vector<uint8_t> block(4000, 0xAA); // would wait up to 4025 ms on a live line
    std::thread peer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.hangUp();
    });
    start = Clock::now();
    EXPECT_FALSE(d.writeBytes(block.data(), static_cast<unsigned>(block.size())));
    waited = msSince(start);
    peer.join();
    EXPECT_GE(waited, 90.0);
    EXPECT_LE(waited, 1000.0);

    start = Clock::now();
    EXPECT_FALSE(d.writeText("u"));
    waited = msSince(start);
    EXPECT_GE(waited, 15.0);
    EXPECT_LE(waited, 120.0);
}
