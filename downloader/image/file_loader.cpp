// The file loader: plain S-record files and VQU update files alike, read line by line into the image.
#include "firmware_image.h"
#include "line_reader.h"

#include <memory>

namespace {

/// The longest S-record line without its line end: a count of 0xFF.
constexpr size_t MAX_RECORD_TEXT = 2 * 0xFF + 4;

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

} // namespace

/// Takes the next S-record line. One longer than the longest record is cut short of its rest, which is never
/// read: the parser refuses it, as it would the whole line, from the part it keeps.
static bool readRecordLine(LineReader& reader, std::string& line) {
    if (!reader.readPiece(line, MAX_RECORD_TEXT + 2)) return false;
    if (line.back() != '\n' && line.size() > MAX_RECORD_TEXT) line.resize(MAX_RECORD_TEXT + 1);
    return true;
}

void FirmwareImage::load(const std::string& path) {
    fileName = path;
    fileNames.push_back(path);
    lineNumber = 0;
    FileHandle file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) fail("Can't open input file");
    LineReader reader(file.get());
    reader.onWait = onWait;
    readLines(reader);
    digests.push_back(reader.finishDigest());
}

void FirmwareImage::readLines(LineReader& reader) {
    std::string line;
    if (!readRecordLine(reader, line)) {
        // A directory opens on some systems but cannot be read: it is no input file either.
        if (reader.failed()) fail("Can't open input file");
        return;
    }
    if (line.compare(0, 5, "#!VQU") == 0) {
        readContainer(reader);
    } else {
        lineNumber = 1;
        stripLineEnd(line);
        if (!parseLine(line)) return;
    }
    while (readRecordLine(reader, line)) {
        ++lineNumber;
        stripLineEnd(line);
        if (!parseLine(line)) return;
    }
    if (reader.failed()) fail("Error reading input file");
}
