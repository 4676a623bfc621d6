// The simulated controller: a VQ-II serial monitor or a VQ-I boot loader on the master side of a
// pseudo-terminal. vqsim wraps it in a program; the tests run it in-process.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace vqsim {

/// How answer bytes that have crossed the line reach the host.
enum class Delivery {
    Byte, ///< each byte as it arrives (an ideal line)
    Fifo, ///< a 16550 UART's receive FIFO: 14 bytes at a time, the rest after 4 idle character times
    Usb,  ///< a USB adapter: packets of 62 bytes, a shorter one once its latency timer runs out
};

/// How the simulated controller is set up. Faults use one small syntax, KIND@COMMAND[#N[-M]][=VALUE]:
///   COMMAND (VQ-II): dropin reset probe writebyte erasepage erasemain writeblock readblock any
///   COMMAND (VQ-I):  wake (the "!!") cr w u s9 x S any
///   #N or #N-M picks the occurrences of that command (counted from 1); none means every occurrence.
///   KIND: silent        no answer at all
///         error=0xNN    VQ-II: answer with this error byte
///         status=0xNN   VQ-II: answer with this status byte
///         prompt=0xNN   VQ-II: answer with this prompt byte
///         short=K       send only the first K bytes of the answer (read-back data included)
///         corrupt=K     flip (xor 0xFF) byte K of the answer, counted from 1 (read-back data included)
///         chatter=TEXT  send TEXT before the answer (\r \n \xNN escapes)
///         extra=0xNN    send one more byte after the answer
///         slow=MS       wait MS milliseconds before each byte of the answer
///         reply=TEXT    VQ-I: answer with TEXT instead
///         hangup        close the line instead of answering
///   Two faults stand for a whole line: "hangup-after=N" (close the line after N bytes were received)
///   and "stream=MS" (send one byte of chatter every MS milliseconds while a program holds the line open).
struct Options {
    int generation = 2;     ///< 2: VQ-II serial monitor; 1: VQ-I boot loader
    bool inMonitor = false; ///< VQ-II: the monitor is already active (E1 00 3E to the drop-in string)
    int baud = 0;           ///< pace both directions at 10 bit times per byte; 0 answers at once
    Delivery delivery = Delivery::Byte;
    int latencyMs = 16; ///< Usb: milliseconds from a packet's first byte until it goes short
    std::string signature = "VQ-I boot loader 1.3 (simulated)\r\n"; ///< VQ-I: answer to "S"
    std::vector<std::string> faults;                                ///< as described above
};

/// Resolves the escapes \r \n \t \\ and \xNN of a text (faults, --signature); false on a malformed escape.
bool unescape(const std::string& text, std::vector<uint8_t>& bytes);

/// What the controller has done, for summaries and tests.
struct Counters {
    uint64_t bytesIn = 0;       ///< bytes received from the downloader
    uint64_t bytesOut = 0;      ///< bytes sent to the downloader
    uint64_t bytesWritten = 0;  ///< flash bytes written (blocks or S1 lines)
    uint64_t blocksWritten = 0; ///< VQ-II write-block commands
    uint64_t blocksRead = 0;    ///< VQ-II read-block commands (verification reads)
    uint64_t pageSets = 0;      ///< VQ-II page register writes
    uint64_t pagesErased = 0;   ///< VQ-II page erases
    uint64_t mainErases = 0;    ///< VQ-II main flash erases, VQ-I wipes
    uint64_t resets = 0;        ///< VQ-II monitor resets
    uint64_t probes = 0;        ///< VQ-II probe bytes
    uint64_t linesReceived = 0; ///< VQ-I S1 and S9 lines
    uint64_t badLines = 0;      ///< VQ-I lines with a bad checksum or form
    uint64_t answers = 0; ///< answers given or withheld, one per command (drop-in string and probes too)
    uint64_t heldMicros =
        0; ///< how long answers' last bytes waited for the FIFO's or the adapter's timer, in all
};

/// The inside of the simulated controller (engine.h).
struct Engine;

class Simulator {
public:
    explicit Simulator(Options options);
    ~Simulator(); ///< stops serving and closes the pseudo-terminal
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    /// Checks the options (faults included), opens a pseudo-terminal and serves it on a thread.
    bool start(std::string& error);
    /// Stops serving; the state stays readable.
    void stop();
    /// The slave device that vq2dl -c opens.
    std::string devicePath() const;
    /// True once the line was hung up by a fault.
    bool hungUp() const;
    /// Takes the unit off the line, as an adapter left without a board: it hears and says nothing, and the
    /// line stays open. An answer under way stops.
    void detach();
    /// Puts a fresh unit on the line: erased flash (or what preload filled), the page register at 0, its
    /// program running and the monitor not active. The fault occurrences count on from the unit before.
    void attach();
    /// False while detached.
    bool attached() const;
    /// True once the downloader has opened and closed the line and left it closed for quietMs, or after a
    /// hang-up.
    bool idleAfterSession(int quietMs) const;

    /// Flash contents. VQ-II: an image address after the downloader's mapping (the page in bits 16-23,
    /// window 0x8000-0xBFFF; below 0x10000 the unpaged space). VQ-I: a 16-bit address. Erased reads 0xFF.
    uint8_t peek(uint32_t address) const;
    /// Sets flash contents directly (to prepare a verify-only run).
    void poke(uint32_t address, uint8_t value);
    /// Fills the flash from an S-record file, addresses as peek takes them (and as dump writes them). Nothing
    /// is changed unless the whole file is good; false with the reason (file, line and fault) otherwise.
    bool preload(const std::string& path, std::string& error);
    /// The VQ-II page register.
    uint8_t pageRegister() const;
    /// Every byte the downloader sent, in order.
    std::vector<uint8_t> received() const;
    /// Every byte the controller sent, in order.
    std::vector<uint8_t> sent() const;
    /// VQ-I: the S-record lines received, byte for byte with their line ends.
    std::vector<std::string> lines() const;
    Counters counters() const;
    /// The host's turnaround, once per answer: microseconds from the moment the answer's last byte reached
    /// the host until the next bytes from the host arrived. Answers to erase commands, after which the
    /// downloader waits its after-erase delay, are left out.
    std::vector<double> turnarounds() const;
    /// A one-line summary: bytes written, pages erased, verification reads.
    std::string summary() const;
    /// Writes the flash that is not erased as S-records (S2/S3 as the addresses need), or raw bytes.
    bool dump(const std::string& path, bool binary, std::string& error) const;
    /// Writes the log of every byte in and out with time stamps.
    bool writeLog(const std::string& path, std::string& error) const;

private:
    std::unique_ptr<Engine> engine;
};

} // namespace vqsim
