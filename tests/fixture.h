// Shared test helpers: temporary directories, files, S-record lines, running the programs, captured messages,
// and the rig of a simulated controller on a pseudo-terminal with a Downloader on its line.
#pragma once

#include "monitor/protocol.h"
#include "program.h"
#include "simulator.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace fx {

using Bytes = std::vector<uint8_t>;
using Texts = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

void writeFile(const std::string& path, const std::string& content);
std::string readFile(const std::string& path);
bool fileExists(const std::string& path);
/// The lines of a text, without their ends.
std::vector<std::string> linesOf(const std::string& text);
/// Names in a directory, sorted, without "." and "..".
std::vector<std::string> listDir(const std::string& path);

/// One S-record line without line end: type 0-3 or 7-9, the address and the data, with a correct checksum.
std::string srec(int type, uint32_t address, const std::vector<uint8_t>& data = {});
/// n bytes counting up from first.
std::vector<uint8_t> bytes(size_t n, uint8_t first = 0);

struct RunResult {
    int status = -1;    ///< exit status, or -1 when killed by a signal or the time limit
    std::string out;    ///< standard output
    std::string err;    ///< standard error
    double seconds = 0; ///< wall time
    long maxRssKb = 0;  ///< the program's peak resident memory
};
/// Runs a program with arguments (argv[0] is program) in cwd (empty: the current one), with no standard
/// input, killing it after timeoutMs.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
              int timeoutMs = 60000);

/// Runs a program as run() does, but with standard output and error on a raw pseudo-terminal, the way a
/// person watching sees it; out holds what the terminal received. A window of this many columns, or of
/// unknown size with 0. With a typed text, standard input is the terminal too, and the text is typed once
/// the output holds typeAfter.
RunResult runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd = "", int timeoutMs = 60000, unsigned short columns = 0,
                        const std::string& typeAfter = "", const std::string& typed = "");

/// A program running in the background with its standard output on a pipe (errors go where the test's go);
/// killed on the way out if it still runs. With pipeBytes the pipe holds only that much (a page at least),
/// so that a test that does not read it soon has the program wait on its output.
class Background {
public:
    Background(const std::string& program, const std::vector<std::string>& args, const std::string& cwd = "",
               int pipeBytes = 0);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;
    /// Everything written up to the next newline (or the end), waiting at most timeoutMs.
    std::string line(int timeoutMs = 10000);
    /// Reads until the output so far holds text or timeoutMs passed; the output so far.
    std::string until(const std::string& text, int timeoutMs = 20000);
    /// Sends the signal (none for 0), reads the rest of the output into rest and returns the exit status
    /// (-1 when a signal ended the program).
    int finish(int signal, std::string& rest);
    /// Waits at most timeoutMs for the program to end without reading its output; its exit status, -1 when
    /// a signal ended it, -2 when it still runs.
    int wait(int timeoutMs);
    pid_t pid = -1;
    std::string seen; ///< what until() has read

private:
    int fd = -1;
    int status = -2;
};

/// Messages of an in-process Downloader, laid out as the console would show them.
extern std::string captured;
void captureSink(const char* text);

// ---- Bytes, texts, records and thrown results ----

/// a followed by b.
inline Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
/// The bytes of a text, and the text of bytes.
inline Bytes toBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}
inline std::string toText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}
/// Bytes [from, to) of data.
inline Bytes slice(const Bytes& data, size_t from, size_t to) {
    return Bytes(data.begin() + static_cast<long>(from), data.begin() + static_cast<long>(to));
}
::testing::AssertionResult endsWith(const std::string& text, const std::string& tail);
inline double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}
inline double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}
/// An image record of the data at an address.
SRecord record(uint32_t address, Bytes data);
/// An S-record file: S1 lines below 0x10000, S2 lines above, then S9 with the entry point.
std::string s19(const std::vector<std::pair<uint32_t, Bytes>>& records, uint32_t entry = 0);
/// Runs a step of a Downloader; returns the exit status it threw, or 0 when it ran through.
int exitStatus(const std::function<void()>& step);
/// Runs a step of a Downloader; returns the protocol error text it threw, or "(none)".
std::string protocolError(const std::function<void()>& step);

/// The first lines of every vq2dl run at the default verbosity.
inline const std::string BANNER = "Velquin Download 2.00\n\n";

// ---- The simulated controller ----

/// A VQ-II controller with these faults, running its program or already in the monitor.
vqsim::Options monitorOptions(Texts faults = {}, bool inMonitor = false);
/// A VQ-I controller with these faults and this signature.
vqsim::Options bootLoaderOptions(Texts faults = {},
                                 const std::string& signature = vqsim::Options().signature);
/// A controller serving its pseudo-terminal. One that cannot start fails the test and serves no line.
std::unique_ptr<vqsim::Simulator> startController(vqsim::Options options = {});
/// Runs vq2dl on a controller that stays silent, with the arguments, and ends it with a signal once it
/// holds the port; the exit status, or -1 when it did not exit.
int killedWhileWaiting(Texts args, int signalNumber);

/// Checks that the controller holds data from a controller address on.
void expectMemory(const vqsim::Simulator& sim, uint32_t address, const Bytes& data);
void pokeMemory(vqsim::Simulator& sim, uint32_t address, const Bytes& data);
/// VQ-II commands as a downloader sends them, and the monitor's answers.
inline Bytes writeBlock(uint16_t address, const Bytes& data) {
    return Bytes{0xA8, uint8_t(address >> 8), uint8_t(address), uint8_t(data.size() - 1)} + data;
}
inline Bytes readBlock(uint16_t address, size_t n) {
    return {0xA7, uint8_t(address >> 8), uint8_t(address), uint8_t(n - 1)};
}
inline Bytes setPage(uint8_t page) {
    return {0xA2, 0x00, 0x30, page};
}
inline const Bytes DROP_IN = toBytes("!!!KeepOutHere");
inline const Bytes DONE = {0xE0, 0x00, 0x3E};
inline const Bytes COLD_RESET = {0xE0, 0x08, 0x3E};
inline const Bytes NOT_RECOGNIZED = {0xE1, 0x00, 0x3E};
/// n bytes of the controller's flash from an address on.
Bytes peekRange(const vqsim::Simulator& sim, uint32_t address, size_t n);
/// n bytes from an address on in an S-record dump of vqsim (--dump, or "dump N FILE" on its control FIFO),
/// 0xFF where it holds none.
Bytes dumped(const std::string& path, uint32_t address, size_t n);
/// The VQ-II commands in the bytes a downloader sent, one readable text each: "A8 C000 16" is a block write
/// of 16 bytes at 0xC000, "A7 ..." a block read, "A2 0030 3C" a byte write; the one-byte commands by name.
Texts commands(const Bytes& tx);
/// The VQ-I "Download failed" text of a reply that differs, as the console shows it.
inline std::string failed(const std::string& expected, const std::string& received) {
    return "Download failed:\n   Expected response \"" + expected + "\",\n   but received this \"" +
           received + "\".\n\n";
}
/// What a whole successful VQ-I run prints from the wake-up on, at verbosity 1.
inline std::string transcript(const std::string& writing,
                              const std::string& signature = vqsim::Options().signature) {
    return "Wake up attempted:\nWakeup successful.\n\nErasing:\nErased.\n\n" + writing +
           "Verifying:\nSignature: " + signature + "\nVerify complete.\n";
}

/// A simulated controller on a pseudo-terminal, a Downloader for its line and a scratch directory. open()
/// starts the controller and opens the Downloader's port on it; start() alone serves runs of the vq2dl
/// program. The Downloader goes first on the way out, so the port is closed before the controller stops.
class Rig {
public:
    explicit Rig(vqsim::Options options = {});
    /// Starts the controller, preloaded from an S-record file when one is given.
    ::testing::AssertionResult start(const std::string& preload = "");
    /// Starts the controller and opens the port with messages to captured at this verbosity, no wipe delay.
    ::testing::AssertionResult open(int verbosity = 1);
    /// Closes the port, puts a fresh controller on a new line and opens the port on it.
    ::testing::AssertionResult reopen(vqsim::Options options, int verbosity = 1);
    /// Adds a record to the Downloader's image.
    void add(uint32_t address, const Bytes& data) { dl.image.addRecord(record(address, data)); }
    /// Adds a record to the image and puts its bytes in the controller's flash at the same address.
    void addInFlash(uint32_t address, const Bytes& data) {
        add(address, data);
        pokeMemory(*sim, address, data);
    }
    /// VQ-II monitor entry; then the messages and bytes so far are forgotten.
    void enter() {
        dl.enterMonitor();
        mark();
    }
    /// VQ-II monitor entry and the main flash erase; then the messages and bytes so far are forgotten.
    void prepare() {
        dl.enterMonitor();
        dl.eraseMainFlash();
        mark();
    }
    /// Forgets the messages and the bytes sent so far.
    void mark();
    Bytes txSinceMark() const;
    /// Runs vq2dl with -c on this line, the arguments and then the file when one is given.
    RunResult run(Texts args, const std::string& file = "", int timeoutMs = 60000) const;

    std::unique_ptr<vqsim::Simulator> sim;
    Downloader dl;
    TempDir dir;

private:
    size_t txMark = 0;
};

/// One image written and verified with -p by two rigs, without -b (rigs[0]) and with it (rigs[1]): the
/// console text and the commands of the write ([join][0]) and of the verification ([join][1]).
struct BothWays {
    Rig rigs[2];
    std::string text[2][2];
    Texts sent[2][2];
};
/// Runs the write and the verification of the image on both rigs of ways; beforeWrite, when given, runs on
/// each rig after its erase. Fails the test when a controller does not start.
void writeAndVerifyBothWays(BothWays& ways, const std::vector<std::pair<uint32_t, Bytes>>& image,
                            const std::function<void(Rig&)>& beforeWrite = nullptr);

/// The downloader's end of a line opened by hand, exclusively as vq2dl opens it, for the tests that speak
/// to the controller byte by byte.
class Peer {
public:
    explicit Peer(const std::string& path);
    ~Peer() { close(); }
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    bool isOpen() const { return fd >= 0; }
    void close();
    void send(const Bytes& bytes);
    /// Reads until n bytes came, the line hung up, or the time ran out.
    Bytes read(size_t n, int timeoutMs = 2000);
    Bytes exchange(const Bytes& command, size_t n, int timeoutMs = 2000);
    bool hungUp = false;

private:
    int fd = -1;
};

} // namespace fx
