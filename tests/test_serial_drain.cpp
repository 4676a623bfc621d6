// Draining the input of the serial link, and a line that hangs up, with the test playing the controller on
// the master side of a pseudo-terminal.
#include "test_serial.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace serial_test;

namespace {

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

} // namespace

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
