// Every byte that crosses the serial line, with the RX and TX traces of verbosity 4.
#include "downloader.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

/// A one-byte read gives up after 250 ms plus 1 ms per byte.
static const int READ_TIMEOUT_MS = 251;
/// A write of n bytes gives up after n + 25 ms.
static const unsigned WRITE_TIMEOUT_BASE_MS = 25;
/// With no port a read fails as on a hung-up line: at once, but not without a pause.
static const int NO_PORT_PAUSE_MS = 20;
/// drainInput gives up on a line that never falls quiet after this long or this many bytes.
static const int64_t DRAIN_LIMIT_MS = 2000;
static const unsigned DRAIN_LIMIT_BYTES = 64 * 1024;
/// Entries on one trace line.
static const unsigned TRACE_WIDTH = 16;

void Downloader::trace(const char* prefix, const uint8_t* bytes, unsigned n) {
    if (!shows(4)) return;
    std::string line;
    for (unsigned i = 0; i < n; ++i) {
        if (i % TRACE_WIDTH == 0) {
            if (i > 0) emit(4, line.c_str());
            line = prefix;
        }
        char entry[8];
        std::snprintf(entry, sizeof entry, " %02x", bytes[i]);
        line += entry;
    }
    if (!line.empty()) emit(4, line.c_str());
}

bool Downloader::readByte(uint8_t* byte) {
    if (portHandle == NO_PORT) {
        sleepMs(NO_PORT_PAUSE_MS);
        return false;
    }
    return platformRead(portHandle, byte, READ_TIMEOUT_MS) == ReadResult::Byte;
}

bool Downloader::readBytes(uint8_t* buffer, unsigned n) {
    unsigned got = 0;
    while (got < n && readByte(&buffer[got])) {
        ++got;
        // The rest of a block follows at the line's pace: let it arrive and take it in one call, rather than
        // waking up for every byte. Only what was asked for is taken; a byte that is late is waited for as
        // any other.
        if (got < n && baudRate > 0) {
            sleepUs(static_cast<int64_t>(n - got) * 10 * 1000000 / baudRate);
            got += static_cast<unsigned>(platformReadAvailable(portHandle, buffer + got, n - got));
        }
    }
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
    if (received == expected) return true;
    if (!fatalOnMismatch) return false;
    fatal(4, "Download failed:\n   Expected response \"%s\",\n   but received this \"%s\".\n", expected,
          received.c_str());
}

bool Downloader::writeBytes(const uint8_t* data, unsigned n) {
    trace("TX: ", data, n);
    if (portHandle == NO_PORT) return false;
    unsigned timeout = n < INT_MAX - WRITE_TIMEOUT_BASE_MS ? n + WRITE_TIMEOUT_BASE_MS : INT_MAX;
    auto start = std::chrono::steady_clock::now();
    bool written = platformWrite(portHandle, data, n, static_cast<int>(timeout));
    keepPaceWithLine(start, n);
    return written;
}

void Downloader::keepPaceWithLine(std::chrono::steady_clock::time_point start, unsigned n) {
    // A POSIX write returns once the kernel has queued the bytes, while the line may need seconds to send
    // them: record lines sent back to back would run far ahead of the line, and the time-outs of the reply
    // that follows would be spent waiting for the queue. Like a Windows write, which returns once the bytes
    // are sent, a write here returns no more than one block's line time ahead of the line.
    if (baudRate <= 0) return;
    auto lineTime = [this](uint64_t bytes) {
        return std::chrono::microseconds(static_cast<int64_t>(bytes * 10 * 1000000 / baudRate));
    };
    lineFreeAt = std::max(lineFreeAt, start) + lineTime(n);
    auto ahead = lineFreeAt - lineTime(MAX_BLOCK) - std::chrono::steady_clock::now();
    sleepUs(std::chrono::duration_cast<std::chrono::microseconds>(ahead).count());
}

bool Downloader::writeByte(uint8_t byte) {
    return writeBytes(&byte, 1);
}

bool Downloader::writeText(const char* text) {
    return writeBytes(reinterpret_cast<const uint8_t*>(text), static_cast<unsigned>(std::strlen(text)));
}

void Downloader::drainInput() {
    int64_t start = nowMs();
    unsigned discarded = 0;
    uint8_t byte;
    while (discarded < DRAIN_LIMIT_BYTES && nowMs() - start < DRAIN_LIMIT_MS && readByte(&byte))
        ++discarded;
}
