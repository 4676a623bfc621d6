// Every byte that crosses the serial line, with the RX and TX traces of verbosity 4.
#include "downloader.h"
#include "monitor/protocol.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

/// A one-byte read gives up after 250 ms plus 1 ms per byte.
static const int READ_TIMEOUT_MS = 251;
/// A write of n bytes gives up after its line time, rounded up to whole milliseconds a byte, plus 25 ms.
static const unsigned WRITE_TIMEOUT_BASE_MS = 25;
/// The longest sleep while the rest of a block arrives.
static const int64_t SLEEP_STEP_US = 25000;
/// With no port a read fails as on a hung-up line: at once, but not without a pause.
static const int NO_PORT_PAUSE_MS = 20;
/// drainInput gives up on a line that never falls quiet after this long or this many bytes.
static const int64_t DRAIN_LIMIT_MS = 2000;
static const unsigned DRAIN_LIMIT_BYTES = 64 * 1024;
/// Entries on one trace line.
static const unsigned TRACE_WIDTH = 16;

void Downloader::trace(const char* prefix, const uint8_t* bytes, unsigned n) {
    if (!console.shows(4)) return;
    std::string line;
    for (unsigned i = 0; i < n; ++i) {
        if (i % TRACE_WIDTH == 0) {
            if (i > 0) console.emit(4, line.c_str());
            line = prefix;
        }
        char entry[8];
        std::snprintf(entry, sizeof entry, " %02x", bytes[i]);
        line += entry;
    }
    if (!line.empty()) console.emit(4, line.c_str());
}

bool Downloader::readByte(uint8_t* byte) {
    return receive(byte, 1) == 1;
}

unsigned Downloader::receive(uint8_t* buffer, unsigned n) {
    using Clock = std::chrono::steady_clock;
    // Every wait of a run passes here or through pause: a signal ends the run within one read time-out.
    checkStop();
    if (n == 0) return 0;
    if (portHandle == NO_PORT) {
        pause(NO_PORT_PAUSE_MS);
        return 0;
    }
    const auto byteTime =
        std::chrono::microseconds(options.baudRate > 0 ? 10 * 1000000LL / options.baudRate : 0);
    const auto step = std::chrono::microseconds(SLEEP_STEP_US);
    // The time-out of a byte runs from the byte before it; that of the first, from when the command has left
    // the line, since at a slow rate a command may take longer to go out than the time-out lasts.
    Clock::time_point previous = std::max(Clock::now(), lineFreeAt);
    // No byte taken after a sleep can have arrived before this.
    Clock::time_point sleptFrom = lineFreeAt;
    bool slept = false;
    // While the command is still going out, no answer can be there: the answer needs its own line time
    // after it. The sleep stops one byte short, so that the last byte wakes the wait below the moment it
    // arrives.
    if (byteTime.count() > 0 && lineFreeAt > Clock::now()) {
        const Clock::time_point now = Clock::now();
        platformSleepUs(std::chrono::duration_cast<std::chrono::microseconds>(
                            std::min(lineFreeAt + byteTime * (n - 1), now + step) - now)
                            .count());
        slept = true;
    }
    unsigned got = 0;
    while (got < n) {
        // 1. Whatever has arrived is taken at once, in one call.
        size_t taken = platformReadAvailable(portHandle, buffer + got, n - got);
        Clock::time_point arrived = slept ? sleptFrom : Clock::now();
        if (taken == 0) {
            // 2. Nothing there: wait for the next byte; the bytes that came with it are taken with it.
            auto left = std::chrono::ceil<std::chrono::milliseconds>(
                previous + std::chrono::milliseconds(READ_TIMEOUT_MS) - Clock::now());
            int leftMs = static_cast<int>(std::max<int64_t>(0, left.count()));
            const ReadResult result = platformRead(portHandle, buffer + got, leftMs);
            checkStop();
            if (result == ReadResult::Failed) lineLost = true;
            if (result != ReadResult::Byte) break;
            arrived = Clock::now();
            taken = 1;
            if (got + 1 < n) taken += platformReadAvailable(portHandle, buffer + got + 1, n - got - 1);
        }
        got += static_cast<unsigned>(taken);
        previous = Clock::now();
        slept = false;

        // 3. The rest cannot all be there before its line time from the last arrival has passed: sleep until
        // one byte short of that, which keeps a trickling line from waking us per byte. Sleeps are kept
        // short, so that bytes found after one are timed to within a step.
        const unsigned rest = n - got;
        if (rest > 1 && byteTime.count() > 0) {
            Clock::time_point wake = std::min(arrived + byteTime * (rest - 1), previous + step);
            if (wake > previous) {
                sleptFrom = previous;
                slept = true;
                platformSleepUs(
                    std::chrono::duration_cast<std::chrono::microseconds>(wake - previous).count());
            }
        }
    }
    return got;
}

bool Downloader::readBytes(uint8_t* buffer, unsigned n) {
    unsigned got = receive(buffer, n);
    // The trace shows what came; the position of a read that failed has nothing to show.
    trace("RX: ", buffer, got);
    return got == n;
}

bool Downloader::expect(const char* expected, bool fatalOnMismatch) {
    size_t length = std::strlen(expected);
    std::string received;
    // One attempt more than the text is long, whatever each brings: a reply longer than expected is consumed.
    for (size_t attempt = 0; attempt <= length; ++attempt) {
        uint8_t byte;
        if (readByte(&byte)) received += static_cast<char>(byte);
    }
    if (received.size() > length) received.resize(length);
    // A zero byte ends the text, for showing and for comparing alike.
    received.resize(std::strlen(received.c_str()));

    message(2, "%s", received.c_str());
    if (!received.empty()) tracker.answered();
    if (received == expected) return true;
    if (!fatalOnMismatch) return false;
    noteFailure(received.empty() ? outcome::Kind::NoAnswer : outcome::Kind::WrongAnswer);
    fatal(EXIT_PROTOCOL, "Download failed:\n   Expected response \"%s\",\n   but received this \"%s\".\n",
          expected, received.c_str());
}

bool Downloader::writeBytes(const uint8_t* data, unsigned n) {
    trace("TX: ", data, n);
    return sendBytes(data, n);
}

bool Downloader::sendBytes(const uint8_t* data, unsigned n) {
    checkStop();
    if (portHandle == NO_PORT) return false;
    const uint64_t timeout =
        static_cast<uint64_t>(n) * lineMsPerByte(options.baudRate) + WRITE_TIMEOUT_BASE_MS;
    auto start = std::chrono::steady_clock::now();
    bool written = platformWrite(portHandle, data, n, static_cast<int>(std::min<uint64_t>(timeout, INT_MAX)));
    keepPaceWithLine(start, n);
    return written;
}

void Downloader::keepPaceWithLine(std::chrono::steady_clock::time_point start, unsigned n) {
    // A POSIX write returns once the kernel has queued the bytes, while the line may need seconds to send
    // them: record lines sent back to back would run far ahead of the line, and the time-outs of the reply
    // that follows would be spent waiting for the queue. Like a Windows write, which returns once the bytes
    // are sent, a write here returns no more than one block's line time ahead of the line.
    if (options.baudRate <= 0) return;
    auto lineTime = [this](uint64_t bytes) {
        return std::chrono::microseconds(static_cast<int64_t>(bytes * 10 * 1000000 / options.baudRate));
    };
    lineFreeAt = std::max(lineFreeAt, start) + lineTime(n);
    auto ahead = lineFreeAt - lineTime(MAX_BLOCK) - std::chrono::steady_clock::now();
    platformSleepUs(std::chrono::duration_cast<std::chrono::microseconds>(ahead).count());
}

bool Downloader::writeByte(uint8_t byte) {
    return writeBytes(&byte, 1);
}

bool Downloader::writeText(const char* text) {
    return writeBytes(reinterpret_cast<const uint8_t*>(text), static_cast<unsigned>(std::strlen(text)));
}

void Downloader::drainInput() {
    int64_t start = platformNowMs();
    unsigned discarded = 0;
    uint8_t byte;
    while (discarded < DRAIN_LIMIT_BYTES && platformNowMs() - start < DRAIN_LIMIT_MS && readByte(&byte))
        ++discarded;
}
