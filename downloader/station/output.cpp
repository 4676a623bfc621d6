// The station's own standard output, written in pieces that never wait longer than asked.
#include "output.h"

#include "platform/system.h"

namespace station {

bool Output::flush(int timeoutMs) {
    const int64_t deadline = platformNowMs() + timeoutMs;
    while (!pending.empty()) {
        const int64_t left = deadline - platformNowMs();
        const long n =
            platformWriteSome(pending.data(), pending.size(), left > 0 ? static_cast<int>(left) : 0);
        if (n < 0) {
            drop();
            return false;
        }
        pending.erase(0, static_cast<size_t>(n));
        if (n == 0 && left <= 0) return false;
    }
    return true;
}

} // namespace station
