// One controller over one port: the serial link, the VQ-II serial monitor and the VQ-I boot loader, built
// from the parsed options and the console of the run.
#pragma once

#include "basics.h"
#include "console/console.h"
#include "image/firmware_image.h"
#include "monitor/keep.h"
#include "options.h"
#include "platform/system.h"
#include "results/outcome.h"
#include "serial/port.h"
#include "serials/plan.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace monitor {
struct Area;
}
namespace serials {
struct JournalEntry;
}

/// A wrong or missing reply of the controller, which fails the download (exit status 4); the console shows
/// the text after "ERROR: ".
struct ProtocolError {
    std::string text;
    outcome::Kind kind = outcome::Kind::WrongAnswer; ///< a reply missing is no-answer
};

class Downloader {
public:
    /// A controller for the port, pauses and switches of these options, speaking through this console.
    Downloader(const Options& options, Console& console);
    /// A controller with the default options and a console of its own that shows nothing.
    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // The runs (downloader/runs.cpp), each on an image that the checks before any port have passed
    /// Writes and verifies (VQ-II), or writes and reads the signature (VQ-I); -V writes nothing.
    void runDownload(Generation generation);
    /// -w: the main flash erased through the serial monitor.
    void runWipe();
    /// --read: the areas read into the read-back file.
    void runReadBack(const std::vector<monitor::Area>& areas);
    /// After a run failed, tells a person watching what to check when no controller ever answered, and what
    /// the flash now holds when the run left it erased or partly written.
    void adviseAfterFailure(const outcome::Outcome& outcome);
    /// After a signal ended a download, one line to a person watching: what the flash now holds.
    void tellFlashAfterSignal(const outcome::Outcome& outcome);
    /// A step begins: the step event, and the run's outcome follows it.
    void beginStep(const char* eventStep);
    /// Notes the kind of the failure about to end the run, where the failure is found.
    void noteFailure(outcome::Kind kind) { failureKind = kind; }
    /// The outcome of the run that ends with this status.
    outcome::Outcome settleOutcome(int status) const { return tracker.settle(status, failureKind, lineLost); }
    /// Ends the run with Stopped when a signal has come.
    void checkStop() const;
    /// Pauses for so many milliseconds, in short steps, each followed by checkStop.
    void pause(int milliseconds) const;
    /// Prints a printf-style message when level <= verbosity.
    void message(int level, const char* format, ...) VQ_PRINTF(3, 4);
    /// Prints a printf-style message at every verbosity, then throws the exit status.
    [[noreturn]] void fatal(int status, const char* format, ...) VQ_PRINTF(3, 4);
    /// The port as the messages name it: the number, or the device path given with -c.
    std::string portName() const { return options.portName(); }

    // Kept ranges (downloader/monitor/keep_run.cpp)
    /// Reads runs of image addresses (each in one flash area) twice, block by block, before anything is
    /// erased; the bytes of every area, one after another. Readings that differ, or a block that cannot be
    /// read, end the run with status 4, nothing erased. The progress line shows label; without one (a read of
    /// a few bytes) there is no progress and no trace line of its own. The page register is left on page 0.
    std::vector<uint8_t> readBeforeErase(const std::vector<monitor::Area>& areas, const char* label);
    /// After the monitor entry and before the erase: the unit's kept bytes read (or taken from --keep-from),
    /// saved to the kept file and put into the image in place of its own.
    void keepBeforeErase();
    /// -V: true when a controller address lies in a kept range, which the comparison leaves out.
    bool keptAt(uint32_t controllerAddress) const;
    /// After a success: removes the kept file, unless --keep-dir asked for it to stay.
    void dropKeptFile();
    /// After a failure past the erase: says where the kept bytes are and the command that puts them back.
    void adviseKept();
    /// The port's name in the kept file's name: the station's name of it, or the device's base name.
    std::string keptPortName() const;

    // Serial link (downloader/serial/)
    /// Opens and configures the port; on failure portError says why.
    bool openPort();
    /// Closes the port if one is held.
    void closePort();
    /// Closes, reports at level 3 and opens the port again.
    bool reopenPort();
    /// One byte within the read time-out.
    bool readByte(uint8_t* byte);
    /// n bytes, each within the read time-out of the one before, with the RX trace at verbosity 4.
    bool readBytes(uint8_t* buffer, unsigned n);
    /// Up to n bytes as readBytes takes them, without a trace; how many came.
    unsigned receive(uint8_t* buffer, unsigned n);
    /// Reads a text reply of the expected length (one read more) and compares it.
    bool expect(const char* expected, bool fatalOnMismatch);
    /// TX trace at verbosity 4, then one write of all n bytes.
    bool writeBytes(const uint8_t* data, unsigned n);
    /// writeBytes of one byte.
    bool writeByte(uint8_t byte);
    /// writeBytes of a text without its terminator.
    bool writeText(const char* text);
    /// Discards input until the line is quiet for one read time-out (bounded in time and bytes).
    void drainInput();

    // VQ-II serial monitor (downloader/monitor/)
    /// Reads and judges an error, status and prompt reply; ends the run with a ProtocolError when it is wrong
    /// or incomplete.
    void checkReply(uint8_t expectedError, uint8_t expectedStatus);
    /// checkReply of a reply whose first got bytes are in reply already; tries: reads left for the first
    /// byte.
    void finishReply(uint8_t* reply, unsigned got, int tries, uint8_t expectedError, uint8_t expectedStatus);
    /// Reads the rest of a reply as finishReply does, got counting the bytes in reply; the text of what did
    /// not come, or empty.
    std::string receiveReply(uint8_t* reply, unsigned& got, int tries);
    /// Ends the run with a ProtocolError when a whole reply holds an error, a status or a prompt not
    /// expected.
    void judgeReply(const uint8_t* reply, uint8_t expectedError, uint8_t expectedStatus);
    /// Brings the serial monitor up: the drop-in string, then the probe until it is answered.
    void enterMonitor();
    /// Reads the answer to the probe of this entry attempt; while none comes, probes again with one attempt
    /// less (the port reopened after attempt 5), and after attempt 0 ends the run with the time-out.
    void awaitProbeAnswer(int attempt);
    /// Selects the flash page of an address, erasing it on first entry when asked to.
    void setPage(uint32_t address, bool eraseFirst);
    /// Erases the main flash.
    void eraseMainFlash();
    /// Writes one block of at most MAX_BLOCK bytes.
    void writeBlock(uint32_t address, const uint8_t* data, unsigned n);
    /// Writes every record in blocks; with -b, leaves out the blocks of 0xFF where this run erased the flash.
    void writeImage();
    /// True when this run's erase left the flash at a mapped address at 0xFF: the main flash erase for the
    /// unpaged flash, the page's own erase for a page (the page register then selecting it).
    bool erasedInThisRun(uint32_t address) const;
    /// Reads every record back and compares it.
    void verifyImage();
    /// Reads one block of n bytes (at most MAX_BLOCK) into buffer, which holds n + 3, and checks the reply
    /// behind it; once more after a fresh monitor entry if the block does not arrive; false when the second
    /// try fails too.
    bool readBlock(uint32_t address, uint8_t* buffer, unsigned n);

    // Serial numbers (downloader/serials/)
    /// --serial-keep: reads the number's bytes before the erase as kept ranges are read (readBeforeErase).
    void readSerialBeforeErase();
    /// VQ-II, after verification: takes the unit's number, writes it and reads it back.
    void writeSerial();
    /// VQ-I: takes the unit's number and gives its S1 record; false without --serial.
    bool serialLine(SRecord& record);
    /// Runs a step that puts the number into the unit; a failure makes a taken number void, then goes on.
    void guardSerial(const std::function<void()>& step);
    /// After a failure: a number that --serial-keep read and the run never took is settled "unit" or "erased"
    /// (the event and the record name it); one the erase took and the run did not write back is said with the
    /// command that gives it back (unless the kept file holds it).
    void adviseSerial();
    /// True when the run's kept file holds every byte of the unit's number.
    bool serialInKeptFile() const;
    /// True, with the number, when the erase took a number --serial-keep read, the run did not write it back
    /// and no kept file holds it.
    bool serialErased(uint64_t& number) const;
    /// After a failure past the erase: this run's command with the kept file (--keep-from) and the erased
    /// number (--serial-value) in place of what the unit no longer holds.
    std::string wayBackCommand() const;
    /// A taken number becomes written or void: the journal, the level-1 line, the serial event.
    void settleSerial(const char* state, const std::string& reason);

    // VQ-I boot loader (downloader/bootloader/)
    /// Wakes the boot loader up to its prompt, with one retry.
    void wakeUp();
    /// Wipes the flash and starts record reception.
    void eraseFlash();
    /// Sends one S1 line per record and the S9 end line.
    void writeLines();
    /// Asks for the signature and shows it.
    void readSignature();

private:
    std::unique_ptr<Console> ownConsole; ///< the console of a Downloader made without one

public:
    Options options;  ///< the switches of the run
    Console& console; ///< where every message, trace and event goes

    // State of a run
    FirmwareImage image;             ///< the records of every firmware file read
    PortHandle portHandle = NO_PORT; ///< the open serial port; NO_PORT while none is
    std::string portError;           ///< why the last openPort failed
    std::chrono::steady_clock::time_point
        lineFreeAt;                      ///< when the line will have sent what was written so far
    int64_t startedMs = platformNowMs(); ///< when the Downloader was made: the "Done in" line counts from it
    uint64_t bytesMoved = 0;             ///< the bytes a successful run wrote, verified or read
    uint8_t currentPage = 0;             ///< the VQ-II page register as last set
    bool erasedPages[256] = {};          ///< the VQ-II pages erased in this run, so that each is erased once
    outcome::Tracker tracker;            ///< the steps so far, and what the flash holds
    outcome::Kind failureKind = outcome::Kind::None; ///< the kind of the failure found, when noted
    bool downloading = false; ///< a download is between its port's opening and the end of its last step
    bool lineLost = false;    ///< a read found the line hung up: the adapter unplugged or the port closed
    bool mainErased = false;  ///< the VQ-II main flash erase of this run was answered
    unsigned blankBlocks = 0; ///< -b: blocks of 0xFF left out, this run's erase having left them so
    unsigned blankBytes = 0;  ///< -b: the bytes of those blocks
    monitor::Kept kept;       ///< --keep: what the run kept, and where
    serials::Plan serial;     ///< --serial: the unit's number and what became of it

private:
    void finish(int64_t started, const char* what, bool counted, uint64_t bytes);
    std::string readBack(const std::vector<monitor::Area>& areas, unsigned& bytes, unsigned& records);
    void compareSecondReading(uint32_t address, const uint8_t* first, uint8_t* second, unsigned n);
    void openOrFail();
    void runMonitor(int64_t started);
    void runBootLoader(int64_t started);
    uint64_t imageBytes() const;
    void trace(const char* prefix, const uint8_t* bytes, unsigned n);
    /// writeBytes without the trace.
    bool sendBytes(const uint8_t* data, unsigned n);
    void keepPaceWithLine(std::chrono::steady_clock::time_point start, unsigned n);
    void takeSerial();
    serials::JournalEntry journalEntry(const char* state, const std::string& reason) const;
};
