// The serial counter's lock and flushes of the Windows build, between Windows processes under Wine
// (scripts/wine-test.sh runs it).
//   counter_check take COUNTER N    takes N numbers, one line each; status 0 when every one was taken
//   counter_check hold COUNTER MS   takes the counter's lock, prints "held", keeps it MS milliseconds
//   counter_check try COUNTER MS    waits at most MS milliseconds for the lock; prints what happened
#include "platform/system.h"
#include "serials/serials.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: counter_check take|hold|try COUNTER N\n");
        return 2;
    }
    const std::string counter = argv[2];
    const int n = std::atoi(argv[3]);
    if (std::strcmp(argv[1], "take") == 0) {
        serials::JournalEntry who;
        who.host = "wine";
        who.port = "COM1";
        who.run = "counter_check";
        for (int i = 0; i < n; ++i) {
            uint64_t number = 0;
            serials::Failure failure;
            if (!serials::takeNumber(counter, who, UINT64_MAX, number, failure)) {
                std::printf("failed: %s\n", failure.text.c_str());
                return 1;
            }
            std::printf("%llu\n", static_cast<unsigned long long>(number));
        }
        return 0;
    }
    serials::JournalLock lock;
    std::string reason;
    const bool held =
        lock.acquire(serials::journalPath(counter), std::strcmp(argv[1], "hold") == 0 ? 10000 : n, reason);
    std::printf("%s\n", held ? "held" : ("lock: " + reason).c_str());
    std::fflush(stdout);
    if (held && std::strcmp(argv[1], "hold") == 0) platformSleepMs(n);
    return held ? 0 : 1;
}
