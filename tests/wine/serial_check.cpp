// The serial link of the Windows build, driven through a Downloader on a COM port whose other end is
// pty_peer on Linux (scripts/wine-test.sh runs both). Prints a transcript that the script compares.
//   serial_check PORT     the dialogue with pty_peer on PORT, at 38400 bit/s
//   serial_check -m PORT  opening PORT must fail; prints the reason
//   serial_check -r PORT  against vqsim on PORT at 115200 bit/s: write and read-back exchanges per second
#include "program.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool failed(const char* what) {
    std::printf("%s\n", what);
    return false;
}

/// The dialogue, step by step; false at the first step that went wrong (already reported).
bool dialogue(Downloader& d) {
    // 1. Tell the peer the line is set up: it reads the settings from its side and answers E0 00 3E.
    d.writeText("S");
    uint8_t reply[40];
    if (!d.readBytes(reply, 3)) return failed("reply to S: missing");

    // 2. The peer stays silent now: one read gives up after about 251 ms.
    uint8_t byte = 0;
    int64_t start = platformNowMs();
    bool got = d.readByte(&byte);
    int64_t waited = platformNowMs() - start;
    bool inTime = waited >= 200 && waited <= 450;
    std::printf("silent read: %s, %s (%lld ms)\n", got ? "a byte came" : "nothing read",
                inTime ? "timed out as expected" : "WRONG TIME", static_cast<long long>(waited));

    // 3. Bytes both ways: 40 bytes out, 40 other bytes back.
    uint8_t block[40];
    for (unsigned i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(i);
    if (!d.writeBytes(block, sizeof block)) std::printf("write of 40 bytes: failed\n");
    if (!d.readBytes(reply, 40)) return failed("reply of 40 bytes: missing");

    // 4. A text reply.
    std::printf("expect: %s\n", d.expect("\r\nBoot>", false) ? "match" : "MISMATCH");
    return true;
}

/// Writes RATE_RECORDS records of 32 bytes into the controller and reads them back, timing each phase.
int exchangeRates(Downloader& d) {
    const unsigned RATE_RECORDS = 256;
    for (unsigned i = 0; i < RATE_RECORDS; ++i) {
        SRecord record;
        record.address = 0x4000 + 32 * i;
        record.length = 32;
        for (unsigned j = 0; j < 32; ++j)
            record.data.push_back(static_cast<uint8_t>(i + j));
        d.image.addRecord(record);
    }
    try {
        d.enterMonitor();
        d.eraseMainFlash();
        int64_t start = platformNowMs();
        d.writeImage();
        int64_t written = platformNowMs();
        d.verifyImage();
        int64_t verified = platformNowMs();
        // A 32-byte exchange moves 39 bytes either way: 3.4 ms of line at 115200 bit/s.
        auto show = [&](const char* what, int64_t ms) {
            std::printf("%s: %u exchanges in %lld ms, %.0f a second, %.2f ms each (line 3.39 ms)\n", what,
                        RATE_RECORDS, static_cast<long long>(ms), RATE_RECORDS * 1000.0 / (ms > 0 ? ms : 1),
                        static_cast<double>(ms) / RATE_RECORDS);
        };
        show("write", written - start);
        show("read-back", verified - written);
    } catch (...) {
        std::printf("the exchanges with the controller failed\n");
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    bool mustFail = argc == 3 && std::strcmp(argv[1], "-m") == 0;
    bool rates = argc == 3 && std::strcmp(argv[1], "-r") == 0;
    if (argc != 2 && !mustFail && !rates) {
        std::printf("usage: serial_check [-m|-r] PORT\n");
        return 1;
    }
    Downloader d;
    d.console.sink = printLine;
    d.console.verbosity = 4;
    d.options.port = std::atoi(argv[argc - 1]);
    d.options.baudRate = 38400;
    if (!d.openPort()) {
        std::printf("open COM%d: failed (%s)\n", d.options.port, d.portError.c_str());
        return mustFail ? 0 : 1;
    }
    if (rates) {
        d.options.baudRate = 115200;
        d.console.verbosity = 0;
        d.options.wipeDelay = 0;
        if (!d.reopenPort()) return 1;
        return exchangeRates(d);
    }
    std::printf("open COM%d: ok\n", d.options.port);
    if (mustFail) return 1;
    bool ok = dialogue(d);
    d.closePort();
    std::printf("closed\n");
    std::fflush(stdout);
    return ok ? 0 : 1;
}
