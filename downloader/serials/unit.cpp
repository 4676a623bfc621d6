// A unit's serial number in a run: read before the erase when the unit keeps its own, taken from the counter
// (or the command line) once the image verified, written and read back on a VQ-II controller, or sent as one
// more S1 line to a VQ-I boot loader; then recorded in the journal, the events and the unit record.
#include "command_line.h"
#include "downloader.h"
#include "monitor/blocks.h"
#include "monitor/keep.h"
#include "monitor/read_areas.h"
#include "platform/shell.h"
#include "results/results.h"
#include "serials/serials.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

bool allErased(const std::vector<uint8_t>& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](uint8_t byte) { return byte == 0xFF; });
}

} // namespace

void Downloader::readSerialBeforeErase() {
    if (!options.serial.asked || !options.serial.keep) return;
    // A failure here is the serial number's, with nothing erased yet; no step event, as the download's steps
    // keep their order.
    tracker.begin("serial");
    // With --keep-from the unit's own bytes come from that file, the number's too when a kept range holds it:
    // a unit whose download failed after the erase has its number there, no longer in its flash.
    const uint32_t at = monitor::mapStart(options.serial.address);
    const unsigned width = options.serial.format.width;
    std::vector<uint8_t> fromFile;
    for (unsigned i = 0; i < width && !options.keep.from.empty(); ++i) {
        const auto found = kept.bytes.find(at + i);
        if (found == kept.bytes.end()) break;
        fromFile.push_back(found->second);
    }
    // Else read twice as kept ranges are, with their failures: the monitor's block read carries no checksum,
    // and these bytes are all there will be of the unit's number once the flash is erased.
    serial.keptRead =
        fromFile.size() == width ? fromFile : readBeforeErase({{options.serial.address, width}}, nullptr);
    if (allErased(serial.keptRead)) {
        message(2, "No serial number at 0x%X: the unit gets a new one.", options.serial.address);
        serial.keptRead.clear();
    }
}

bool Downloader::serialInKeptFile() const {
    const uint32_t at = monitor::mapStart(options.serial.address);
    bool inKeptFile = kept.written;
    for (unsigned i = 0; i < options.serial.format.width && inKeptFile; ++i)
        inKeptFile = monitor::inRanges(kept.ranges, at + i);
    return inKeptFile;
}

bool Downloader::serialErased(uint64_t& number) const {
    return !serial.keptRead.empty() && serial.state != "written" &&
           tracker.flash != outcome::Flash::Untouched && !serialInKeptFile() &&
           serials::decode(options.serial.format, serial.keptRead, number);
}

std::string Downloader::wayBackCommand() const {
    // The same command with the kept file in place of the unit's erased bytes, and the number in place of its
    // source: one command gives back both, where each alone would lose the other.
    const bool file = kept.written && kept.erased;
    uint64_t number = 0;
    const bool erasedNumber = serialErased(number);
    std::vector<std::string> leftOut;
    if (file) leftOut.push_back("keep-from");
    if (erasedNumber)
        leftOut.insert(leftOut.end(), std::begin(serials::SOURCE_SWITCHES),
                       std::end(serials::SOURCE_SWITCHES));
    std::string command = platformShellQuoted(options.programName);
    for (const std::string& arg : argumentTexts(options.arguments, leftOut))
        command += " " + platformShellQuoted(arg);
    if (file) command += " --keep-from " + platformShellQuoted(kept.file);
    if (erasedNumber) command += " --serial-value " + std::to_string(number);
    return command;
}

void Downloader::adviseSerial() {
    if (serial.keptRead.empty() || serial.state == "written") return;
    const bool erased = tracker.flash != outcome::Flash::Untouched;
    if (serial.state.empty()) {
        // Read from the unit but never taken: the record and the event still name the unit's number, and
        // whether the unit holds it yet.
        serial.source = "kept";
        serial.bytes = serial.keptRead;
        serial.hasNumber = serials::decode(options.serial.format, serial.bytes, serial.number);
        serial.state = erased ? "erased" : "unit";
        serial.inKeptFile = serialInKeptFile();
        console.events.serial(serials::recordOf(options.serial, serial).dump());
    }
    // A number that the erase took and the run did not write back: said with the way back, or it would be
    // lost (a run of the same command would give the unit a new number). The kept file holds it, and
    // --keep-from gives it back.
    if (!erased || serialInKeptFile()) return;
    uint64_t number = 0;
    std::string text;
    if (!serialErased(number)) {
        char at[16];
        std::snprintf(at, sizeof at, "0x%X", options.serial.address);
        text = std::string("The unit's serial number at ") + at + " (bytes " +
               serials::hexBytes(serial.keptRead) + ") was erased with its flash.";
    } else {
        text = "The unit's serial number " + serials::textOf(options.serial.format, number) +
               " was erased with its flash; give it back with: " + wayBackCommand();
    }
    // Marked in the stream: a station leaves this run's command out and names its own.
    console.advise(text.c_str(), "serial");
}

void Downloader::takeSerial() {
    serial.hasNumber = true;
    if (!serial.keptRead.empty()) {
        serial.source = "kept";
        serial.bytes = serial.keptRead;
        serial.hasNumber = serials::decode(options.serial.format, serial.bytes, serial.number);
        serial.state = "taken";
        return;
    }
    if (options.serial.valueGiven) {
        serial.source = "value";
        serial.number = options.serial.value;
    } else {
        serial.source = "counter";
        // Names this run's lines in the journal.
        std::random_device random;
        char run[24];
        std::snprintf(run, sizeof run, "%08x%08x", random(), random());
        serial.run = run;
        serials::Failure failure;
        if (!serials::takeNumber(options.serial.counterPath, journalEntry("taken", ""),
                                 serials::maxValue(options.serial.format), serial.number, failure))
            fatal(EXIT_FILE, "ERROR: Serial counter %s: %s.", options.serial.counterPath.c_str(),
                  failure.text.c_str());
    }
    serial.bytes = serials::encode(options.serial.format, serial.number);
    serial.state = "taken";
}

serials::JournalEntry Downloader::journalEntry(const char* state, const std::string& reason) const {
    serials::JournalEntry entry;
    entry.serial = serial.number;
    entry.state = state;
    entry.host = platformHostName();
    entry.port = options.recordedPort();
    entry.run = serial.run;
    entry.reason = reason;
    return entry;
}

void Downloader::settleSerial(const char* state, const std::string& reason) {
    if (serial.state != "taken") return;
    serial.state = state;
    serial.inKeptFile = serial.source == "kept" && serialInKeptFile();
    if (serial.source == "counter") {
        serials::Failure failure;
        // The number stays "taken" in the journal, and so is never handed out again; only the account is
        // short.
        if (!serials::appendToJournal(options.serial.counterPath, journalEntry(state, reason), failure))
            message(0, "ERROR: Serial counter %s: %s; the number %llu stays taken.",
                    options.serial.counterPath.c_str(), failure.text.c_str(),
                    static_cast<unsigned long long>(serial.number));
    }
    const std::string text = serial.hasNumber ? serials::textOf(options.serial.format, serial.number)
                                              : serials::hexBytes(serial.bytes);
    if (serial.state == "written")
        message(1, "Serial number %s %s at 0x%X.", text.c_str(), serial.source == "kept" ? "kept" : "written",
                options.serial.address);
    console.events.serial(serials::recordOf(options.serial, serial).dump());
}

void Downloader::guardSerial(const std::function<void()>& step) {
    // A number taken for a unit that did not get it is void: the journal says why, and it is never reused.
    try {
        step();
    } catch (const ProtocolError& error) {
        settleSerial("void", oneLine(error.text));
        throw;
    } catch (const Stopped& stopped) {
        settleSerial("void", "Ended by signal " + std::to_string(stopped.signal) + ".");
        throw;
    } catch (...) {
        settleSerial("void", console.lastError.empty() ? "the run failed" : oneLine(console.lastError));
        throw;
    }
}

void Downloader::writeSerial() {
    if (!options.serial.asked) return;
    beginStep("serial");
    takeSerial();
    guardSerial([this] {
        const unsigned n = options.serial.format.width;
        const uint32_t mapped = monitor::mapStart(options.serial.address);
        writeBlock(mapped, serial.bytes.data(), n);
        uint8_t buffer[MAX_BLOCK + 3];
        if (!readBlock(mapped, buffer, n))
            fatal(EXIT_PROTOCOL, "Could not read the serial number back at 0x%X.", options.serial.address);
        for (unsigned i = 0; i < n; ++i)
            if (buffer[i] != serial.bytes[i]) {
                noteFailure(outcome::Kind::Mismatch);
                fatal(EXIT_PROTOCOL, "Serial number read back wrong: at 0x%X expected 0x%02X, found 0x%02X.",
                      options.serial.address + i, serial.bytes[i], buffer[i]);
            }
    });
    settleSerial("written", "");
}

bool Downloader::serialLine(SRecord& record) {
    if (!options.serial.asked) return false;
    takeSerial();
    record = SRecord();
    record.address = options.serial.address;
    record.length = options.serial.format.width;
    record.data = serial.bytes;
    return true;
}
