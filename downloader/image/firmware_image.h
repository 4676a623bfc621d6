// Everything read from the firmware files: records, code range, entry point, and the readers.
#pragma once

#include "console/format.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

/// A fault found by the file readers: where, and what.
struct s19Error {
    std::string file;
    int line = 0;
    std::string text;
};

/// One data record: start address and its bytes, and where it was read.
struct SRecord {
    uint32_t address = 0;
    uint32_t length = 0;
    std::vector<uint8_t> data;
    uint32_t file = 0; ///< the file it was read from: its place in FirmwareImage::fileNames
    int line = 0;      ///< the number of its line in that file
};

class LineReader;

/// The .ini files of the updates read, each in a temporary beside its target until they are put in place
/// together; whatever is still held when this goes is removed. Moves, never copies.
class PendingFiles {
public:
    struct File {
        std::string temporary, target;
        std::string source; ///< the update that holds it
        int line = 0;       ///< the number of its tag line there
    };
    PendingFiles() = default;
    ~PendingFiles() { discard(); }
    PendingFiles(PendingFiles&& other) noexcept : files(std::move(other.files)) { other.files.clear(); }
    PendingFiles& operator=(PendingFiles&& other) noexcept;
    PendingFiles(const PendingFiles&) = delete;
    PendingFiles& operator=(const PendingFiles&) = delete;
    /// Removes every temporary held.
    void discard();

    std::vector<File> files; ///< in the order they were read
};

class FirmwareImage {
public:
    using Callback = std::function<void(const char*)>;

    // Store (image/firmware_image.cpp)
    /// Adds a record; a record with the same start address replaces the earlier one.
    void addRecord(SRecord record);
    /// Number of records.
    size_t recordCount() const { return records.size(); }
    /// The runs of controller memory a record's bytes land on.
    using Landing = std::vector<std::pair<uint32_t, uint32_t>> (*)(const SRecord& record);
    /// Finds two records that put different bytes on one byte of the controller, where shows; true with the
    /// one read later in later, the other in earlier. Records without bytes land nowhere.
    bool findOverlap(Landing where, const SRecord*& later, const SRecord*& earlier) const;
    /// The name of the file a record was read from; empty for a record that no file brought.
    std::string fileOf(const SRecord& record) const;

    // S-record reader (image/srecord_reader.cpp)
    /// Parses one line into the image; false for a line beginning with "#"; throws s19Error on a fault.
    bool parseLine(const std::string& line);
    /// Prints when level <= verbosity, and logs up to level 4 when a log is set.
    void message(int level, const char* format, ...) VQ_PRINTF(3, 4);
    /// Where the image's messages go: the console sink at the verbosity, and the log when one is set.
    MessageRoute route() const { return {messageCallback, verbosity, logCallback, levelCallback}; }
    /// Throws s19Error with fileName, lineNumber and the formatted text.
    [[noreturn]] void fail(const char* format, ...) VQ_PRINTF(2, 3);
    /// Cuts off the line end: a final line feed, with the carriage return before it if there is one.
    static void stripLineEnd(std::string& text);
    /// Reads up to count characters at pos as a hexadecimal number (blanks skipped, stops at a non-digit).
    static uint32_t hexValue(const std::string& text, size_t pos, size_t count);
    /// The 8-bit sum of the four bytes of an address.
    static uint8_t addressSum(uint32_t address);

    // File loader and update container (image/file_loader.cpp, image/vqu_reader.cpp)
    /// Reads a plain S-record file or a VQU update file into the image; an update's .ini files wait in
    /// temporaries (pendingIni) until installExtracted.
    void load(const std::string& path);
    /// Puts the .ini files read so far in place, in the order they were read; throws s19Error at the tag line
    /// of one that cannot be, the files after it not put in place.
    void installExtracted();

    std::string fileName;
    int lineNumber = 0;
    std::string installDir;
    /// An update's .ini files are written to installDir; false reads its records alone (a read-back).
    bool extractIni = true;
    std::vector<std::string> extractedFiles; ///< every .ini file's target, in the order read
    PendingFiles pendingIni;                 ///< the .ini files read and not yet in place
    std::vector<std::string> fileNames;      ///< every file load was given, in that order
    std::vector<std::string> headerTexts;    ///< the text of every S0 record read, in the order read
    /// The SHA-256 of each file read whole, in hexadecimal, as the loader read its bytes; empty for one that
    /// could not be read to its end.
    std::vector<std::string> digests;
    size_t recordLines = 0; ///< S-record lines read from all of them, of any type
    uint32_t entryPoint = 0;
    uint32_t lowAddress = 0xFFFFFFFF;
    uint32_t highAddress = 0;
    Callback messageCallback;
    int verbosity = 0;
    Callback logCallback; ///< the support log, which takes every message up to level 4
    /// When set, takes the console's messages with their level in place of messageCallback (--json).
    std::function<void(int, const char*)> levelCallback;
    std::map<uint32_t, SRecord> records;
    /// Called while a file that is a pipe keeps the reader waiting; it may end the reading by throwing.
    std::function<void()> onWait;

private:
    void readLines(LineReader& reader);
    void readContainer(LineReader& reader);
    void extractFile(LineReader& reader, const std::string& path);
};
