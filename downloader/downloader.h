// The one object of a vq2dl run: options, the serial port, the firmware image and every protocol step.
#pragma once

#include "format.h"
#include "image/firmware_image.h"
#include "results/results_file.h"
#include "serial/port.h"
#include "station/ports.h"
#include "system.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

class Downloader;
struct PortRoots;
struct UnitFacts;
namespace monitor {
struct Area;
}
namespace station {
struct PortState;
struct Display;
} // namespace station

/// The console sink: one finished text per call.
using MessageCallback = void (*)(const char* text);

/// The program: one Downloader with the given console sink, from the command line to the exit status. A sink
/// that prints to a terminal (printLine on one) gets the progress line and the closing summary.
int runProgram(int argc, char** argv, MessageCallback sink, bool sinkIsTerminal = false);

/// Runs a step of the program's Downloader and turns each way it ends into the exit status, with the message
/// that goes with it: a thrown int is the status itself, a file error 3, a protocol error 4. Anything else is
/// unexpected and goes on to the caller.
int runToStatus(Downloader& downloader, const std::function<void()>& step);
/// The console's text of a file error: "ERROR: Reading FILE line N: TEXT.".
std::string readingError(const s19Error& error);

/// Writes a text to standard output, with a newline unless it ends in a carriage return.
void printLine(const char* text);

/// Removes a progress line from the terminal, if one is shown.
void clearProgress();

/// Opens the support log for appending and writes its header; false with the system's reason otherwise.
bool openLog(const char* path, const std::vector<std::string>& commandLine, std::string& reason);
/// Appends a text to the support log, each of its lines stamped with the milliseconds since the log opened.
void writeLog(const char* text);
/// True while the support log is open.
bool logIsOpen();
/// Closes the support log.
void closeLog();
/// Ends the support log with the line "Exit status N." and closes it; nothing when no log is open.
void endLog(int status);
/// endLog for a signal handler: the same last line, written with system calls alone.
void endLogOnSignal(int status);

/// The controller generations, each with its own dialogue: the VQ-II serial monitor, the VQ-I boot loader.
enum class Generation { VQ2, VQ1 };
/// The generation's name: "VQ-II" or "VQ-I".
const char* generationName(Generation generation);
/// The generation that an image's code is for: VQ-I (HC908) when its lowest address is 0x8080 or above.
Generation generationOf(const FirmwareImage& image);
/// Most firmware files on one command line.
constexpr size_t MAX_FILES = 20;
/// The names of the write and verification steps, in the console messages, the -p markers ("$Writing") and
/// the progress line, for both controller generations.
constexpr const char* WRITE_LABEL = "Writing";
constexpr const char* VERIFY_LABEL = "Verifying";

/// A wrong or missing reply of the controller, which fails the download (exit status 4); the console shows
/// the text after "ERROR: ".
struct ProtocolError {
    std::string text;
};

/// Exit statuses of vq2dl.
enum ExitStatus {
    EXIT_DONE = 0,
    EXIT_USAGE = 1,
    EXIT_PORT = 2,
    EXIT_FILE = 3,
    EXIT_PROTOCOL = 4,
    EXIT_INTERNAL = 5,
};

class Downloader {
public:
    Downloader();
    ~Downloader();
    Downloader(const Downloader&) = delete;
    Downloader& operator=(const Downloader&) = delete;

    // Front end and run driver (downloader/)
    /// Reads the whole command line into the fields below; ends the run through usage() on a fault.
    void parseArgs(int argc, char** argv);
    /// Stores the -c value: a port number or a device name; anything else ends the run through usage().
    void setPort(const char* text);
    /// Appends a firmware file name; a 21st name ends the run through usage().
    void addFile(const char* name);
    /// Stores the -r value; a negative value is a non-standard rate taken without a test.
    void setBaudRate(int value);
    /// Stores the --read FILE; an empty name ends the run through usage().
    void setReadBack(const char* file);
    /// Adds a --range FIRST-LAST; one that is no range of one flash area ends the run through usage().
    void addReadRange(const char* text);
    /// Adds the ports of a --ports list; a malformed one ends the run through usage().
    void addStationPorts(const char* text);
    /// A file the run writes, and what it is to the run ("the --read file").
    struct NamedFile {
        const char* role;
        std::string path;
    };
    /// Every file the run writes besides extracted .ini files, one row each.
    std::vector<NamedFile> outputFiles() const;
    /// Ends the run with status 1 when an output file is no regular file (nor a new name), or is one of the
    /// firmware files or another output file.
    void checkOutputs();
    /// The lines of the usage text.
    std::vector<std::string> usageText() const;
    /// Prints the usage text at level 0 and throws exit status 1; under --json only the status is thrown.
    [[noreturn]] void usage();
    /// A refused command line: prints the printf-style error at level 0, then the usage text (status 1).
    [[noreturn]] void refuse(const char* format, ...) VQ_PRINTF(2, 3);
    /// --help: prints the usage text at every verbosity and throws exit status 0.
    [[noreturn]] void help();
    /// --version: prints "vq2dl" and the version and throws exit status 0.
    [[noreturn]] void version();
    /// Prints a printf-style message when level <= verbosity.
    void message(int level, const char* format, ...) VQ_PRINTF(3, 4);
    /// Prints a printf-style message at every verbosity, then throws the exit status.
    [[noreturn]] void fatal(int status, const char* format, ...) VQ_PRINTF(3, 4);
    /// Hands a finished text to the support log and to the console at every verbosity.
    void announce(const char* text);
    /// Installs the console sink here and in the image.
    void setMessageCallback(MessageCallback callback);
    /// One whole run; ends early by throwing an int exit status, an s19Error or a ProtocolError.
    void run();
    /// Milliseconds since the Downloader was made, the clock of the events.
    int64_t eventMs() const { return platformNowMs() - programStartMs; }
    /// Appends the unit line of these facts to the --results file, when one is open.
    void recordUnit(const UnitFacts& facts);
    /// Appends the unit line of a single-port run that ended with this status, when --results asks for one.
    void recordRun(int status);
    /// The port as the messages name it: the number, or the device path given with -c.
    std::string portName() const;
    /// --list-ports: one line per serial port under these roots, or "No serial ports found.".
    void printPorts(const PortRoots& roots);
    /// Ends the run with status 3 when not one S-record line was read from the firmware files.
    void refuseEmptyDownload();
    /// Ends the run with status 3 when two records put different bytes on one byte of the controller, where
    /// shows.
    void refuseOverlaps(FirmwareImage::Landing where);
    /// After a download failed, tells a person watching what state the flash is in and what to do.
    void adviseAfterFailure();
    /// True when a person watches the console: a terminal sink at the default verbosity, without -p.
    bool personWatching() const;
    /// Where a message goes: the console sink at the verbosity, and the support log while it is open.
    MessageRoute route() const;
    /// True when a message of this level goes anywhere: to the console or to the support log.
    bool shows(int level) const;
    /// Hands a finished text of this level to the support log and, when the level allows, to the console.
    void emit(int level, const char* text);
    /// On a terminal at the default verbosity, redraws one progress line in place; elsewhere does nothing.
    void showProgress(const char* label, size_t records, size_t totalRecords, uint64_t bytes,
                      uint64_t totalBytes);
    /// On a terminal at the default verbosity, says in the progress line that the controller has not answered
    /// yet and which attempt this is; elsewhere does nothing.
    void showWaiting(int attempt, int attempts);

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
    /// Reads the rest of a reply as finishReply does; the text of what did not come, or empty.
    std::string receiveReply(uint8_t* reply, unsigned got, int tries);
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
    /// Ends the run with status 3 when a record cannot be written where the image says.
    void checkMonitorImage();
    /// Reads one block of n bytes (at most MAX_BLOCK) into buffer, which holds n + 3, and checks the reply
    /// behind it; once more after a fresh monitor entry if the block does not arrive; false when the second
    /// try fails too.
    bool readBlock(uint32_t address, uint8_t* buffer, unsigned n);
    /// A whole read-back run: the areas chosen, the monitor entered, the memory read into readBackFile.
    void runReadBack();

    // VQ-I boot loader (downloader/bootloader/)
    /// Wakes the boot loader up to its prompt, with one retry.
    void wakeUp();
    /// Wipes the flash and starts record reception.
    void eraseFlash();
    /// Sends one S1 line per record and the S9 end line.
    void writeLines();
    /// Asks for the signature and shows it.
    void readSignature();
    /// Ends the run with status 3 when a record does not fit an S1 line.
    void checkBootLoaderImage();

    // Options, as parseArgs sets them
    const char* programName = "vq2dl"; ///< the name the usage text shows: argv[0]
    int port = 1;                      ///< -c: the COM port number
    std::string portPath;  ///< a device path given with -c (begins with "/"); empty for a port number
    int baudRate = 115200; ///< -r: the line rate in bit/s (a non-standard -r -N as N)
    std::vector<std::string> fileNames; ///< the firmware files, in command-line order
    bool wipeOnly = false;              ///< -w: erase the main flash and nothing else
    bool verifyOnly = false;            ///< -V: compare (VQ-II) or show the signature (VQ-I), write nothing
    bool joinBlocks = false;  ///< -b: VQ-II records that follow each other without a gap share full blocks
    int recordDelay = 0;      ///< -d: milliseconds of pause after each record written or verified
    int dcDelay = 0;          ///< -dc: accepted and stored; no step uses it
    int wipeDelay = 250;      ///< -dw: milliseconds of pause after each erase command
    int verbosity = 1;        ///< -v: the highest message level shown on the console
    bool showPercent = false; ///< -p: percentage lines for a calling program
    const char* installDir = ".";         ///< -i: where the .ini files of an update are extracted
    const char* logPath = nullptr;        ///< --log: the support log, appended to
    bool listPorts = false;               ///< --list-ports: list the serial ports instead of a download
    bool jsonEvents = false;              ///< --json: events on standard output in place of the console text
    std::vector<std::string> commandLine; ///< the whole command line, for the log's header
    std::string readBackFile; ///< --read FILE: the S-record file a read-back writes; empty for a download
    /// --range FIRST-LAST, image addresses with both ends included, in command-line order.
    std::vector<std::pair<uint32_t, uint32_t>> readRanges;
    std::vector<station::PortSpec> stationPorts; ///< --ports: a station's ports, one child vq2dl each
    std::string logDir;                          ///< --log-dir: a station's folder of logs, NAME.log per port
    std::string resultsPath;            ///< --results: the file that gets one unit line per port and run
    bool extractIni = true;             ///< false (--no-extract): an update's .ini files are not written
    bool portGiven = false;             ///< -c was given
    std::vector<std::string> childArgs; ///< the arguments each station child gets: all but the station's own
    std::vector<std::string> retryArgs; ///< the arguments a rerun of failed ports keeps: all but --ports
    bool readTwice = false; ///< --twice: every block of a read-back read twice, and a difference ends the run

    // The console, set by the program around the Downloader
    MessageCallback messageCallback = nullptr; ///< the console sink; nullptr shows nothing
    bool consoleIsTerminal = false; ///< the sink prints to a terminal, where a progress line can be redrawn

    // State of a run
    FirmwareImage image;             ///< the records of every firmware file read
    PortHandle portHandle = NO_PORT; ///< the open serial port; NO_PORT while none is
    std::string portError;           ///< why the last openPort failed
    std::chrono::steady_clock::time_point
        lineFreeAt;                           ///< when the line will have sent what was written so far
    ResultsFile results;                      ///< the open --results file, when one is
    int64_t programStartMs = platformNowMs(); ///< when the Downloader was made
    std::string lastError; ///< the text of the error that ended the run, for the results file
    std::vector<std::pair<std::string, std::string>>
        filesRead;              ///< each firmware file read and the generation
    uint64_t bytesMoved = 0;    ///< the bytes a successful run wrote, verified or read
    uint8_t currentPage = 0;    ///< the VQ-II page register as last set
    bool erasedPages[256] = {}; ///< the VQ-II pages erased in this run, so that each is erased once
    bool flashTouched = false;  ///< a download has begun to erase the flash and has not written it all yet
    bool lineLost = false;      ///< a read found the line hung up: the adapter unplugged or the port closed
    bool mainErased = false;    ///< the VQ-II main flash erase of this run was answered
    unsigned blankBlocks = 0;   ///< -b: blocks of 0xFF left out, this run's erase having left them so
    unsigned blankBytes = 0;    ///< -b: the bytes of those blocks

private:
    void startLog();
    void finish(int64_t startedMs, const char* what, bool counted, uint64_t bytes);
    void checkReadBackSwitches();
    void checkStationSwitches();
    void checkStationLogs();
    /// What the flash holds from now on, for the line a signal leaves a person watching.
    void noteFlashOnSignal(int state);
    void openResults();
    /// A station run: the files read once, a child per port, the table, the summary; throws the status.
    void runStation();
    void prepareStation();
    std::vector<std::string> childCommand(const station::PortSpec& slot) const;
    void finishStation(std::vector<station::PortState>& ports, station::Display& display);
    /// Under --json, the station's closing event: the counts, the status and why it ended before its ports.
    void writeStationEvent(size_t succeeded, int status, const std::string& error);
    /// Runs a step before a station's ports start; under --json a refusal still ends with the station event.
    void guardStation(const std::function<void()>& step);
    std::string readBack(const std::vector<monitor::Area>& areas, unsigned& bytes, unsigned& records);
    void compareSecondReading(uint32_t address, const uint8_t* first, uint8_t* second, unsigned n);
    Generation readFiles();
    void reportFile(const std::string& name, Generation generation, size_t firstExtracted);
    void openOrFail();
    void runMonitor(int64_t startedMs);
    void runBootLoader(int64_t startedMs);
    uint64_t imageBytes() const;
    void trace(const char* prefix, const uint8_t* bytes, unsigned n);
    /// writeBytes without the trace.
    bool sendBytes(const uint8_t* data, unsigned n);
    void keepPaceWithLine(std::chrono::steady_clock::time_point start, unsigned n);
};
