// The station's own standard output: what it passes on and shows, written without ever waiting on a console
// that does not read for longer than the caller allows. The platform's part in output_posix.cpp and
// output_win32.cpp.
#pragma once

#include <cstddef>
#include <string>

namespace station {

/// Text for standard output, kept until the console takes it.
class Output {
public:
    void add(const std::string& text) {
        if (!dropped) pending += text;
    }
    /// Writes what is pending, waiting for the console at most timeoutMs in all; true once all is written.
    bool flush(int timeoutMs);
    /// Gives up on the console: what it has not taken is dropped, and so is whatever comes later.
    void drop() {
        dropped = true;
        pending.clear();
    }
    bool empty() const { return pending.empty(); }
    /// The console was given up on (it did not read while the station stopped, or it is closed).
    bool given_up() const { return dropped; }

private:
    std::string pending;
    bool dropped = false;
};

} // namespace station

/// Writes up to size bytes to standard output once it takes them within timeoutMs: the bytes written, 0 when
/// it took none in that time (or a signal came), -1 when it cannot take any more (closed, an error).
long platformWriteSome(const char* data, size_t size, int timeoutMs);
/// Asks the console of standard output to take the table's escape sequences; false where it cannot (a
/// Windows console too old for them), and the station then writes whole lines instead.
bool platformConsoleTakesEscapes();
