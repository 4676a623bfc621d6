// The --json event stream: one JSON object a line on standard output, in place of the console text, for a
// program that calls vq2dl. Every object carries "v" (the stream's version), "event" and "ms" (milliseconds
// since the program started). Within one version fields are only ever added, never renamed or removed, and
// the order of the events stays. One stream per process, as there is one console.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

/// The version of the stream, the "v" of every object.
constexpr int EVENTS_VERSION = 1;

/// One .ini file extracted from an update.
struct IniFile {
    std::string name;
    std::string path;
};
/// What the console reports after a firmware file, with the file's digest.
struct FileReport {
    std::string name;
    std::string sha256;
    bool vq2 = true;
    uint32_t entryPoint = 0;
    uint32_t lowAddress = 0;
    uint32_t highAddress = 0;
    uint64_t endAddress = 0; ///< the image's last byte
    std::string header;      ///< the text of the file's first S0 record; empty for none
    uint64_t records = 0;
    uint64_t dataBytes = 0;
    std::vector<IniFile> iniFiles;
};

class EventStream {
public:
    /// Turns the stream on; startedMs is when the program started, from platformNowMs.
    void begin(int64_t startedMs);
    /// Turns the stream off without a result: --help and --version print their text.
    void stop() { on = false; }
    /// True while the stream is on.
    bool active() const { return on; }

    /// The run begins: the whole command line, the port as the messages name it, the rate, the --tag pairs.
    void start(const std::vector<std::string>& commandLine, const std::string& port, int rate,
               const std::vector<std::pair<std::string, std::string>>& tags);
    /// A firmware file was read.
    void file(const FileReport& report);
    /// The port is open.
    void open(const std::string& name, const std::string& device, int rate, bool lowLatency);
    /// A step begins: "enter", "keep", "erase", "write", "verify", "read", "wake", "wipe" or "signature".
    void step(const char* name);
    /// How far a step has come; at most one event every 100 ms per step, and always the one that reaches
    /// 100 %. Also counts the bytes of the result.
    void progress(const char* step, uint64_t records, uint64_t recordsTotal, uint64_t bytes,
                  uint64_t bytesTotal);
    /// A unit's kept bytes are saved: the file that holds them (written by this run from the unit, or the
    /// --keep-from file), its digest, the kept ranges and their bytes, and where they came from ("unit",
    /// "file").
    void kept(const std::string& file, const std::string& sha256, const std::vector<std::string>& ranges,
              uint64_t bytes, const char* source);
    /// A text the console would show at this level, word for word; advice names what a text that tells a
    /// person what to do is about ("serial"), nullptr for any other text.
    void message(int level, const char* text, const char* advice = nullptr);
    /// The text of the failure that ends the run; the first one given counts. "ERROR: " is left off.
    void failed(const std::string& text);
    /// The signature a VQ-I verification read.
    void signature(const std::string& text);
    /// The outcome the result reports: the step that failed, the kind of failure, what the flash holds, as
    /// outcome::nameOf gives them (nullptr for none).
    void setOutcome(const char* step, const char* kind, const char* flash);
    /// The unit's serial number as the run settled it: the fields of the serial object, as one JSON object.
    void serial(const std::string& fields);
    /// One serial port of --list-ports --json.
    void port(const std::string& name, const std::vector<std::string>& details);
    /// The closing event, with the exit status; written once, and nothing after it.
    void result(int status);

private:
    /// How far one step's progress events have come.
    struct StepProgress {
        int64_t lastMs = 0;
        bool shown = false;    ///< an event of this step was written
        bool complete = false; ///< the event at 100 % was written
    };
    int64_t elapsedMs() const;
    bool on = false;
    int64_t startMs = 0;
    bool failureSet = false;
    std::string failure;
    bool signatureSet = false;
    std::string signatureText;
    const char* outcomeStep = nullptr;
    const char* outcomeKind = nullptr;
    const char* outcomeFlash = "untouched";
    std::map<std::string, StepProgress> steps;
    uint64_t bytesWritten = 0, bytesVerified = 0, bytesRead = 0;
};

/// An error text without its "ERROR: " and its trailing line ends.
std::string withoutErrorPrefix(const std::string& text);
