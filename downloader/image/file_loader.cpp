// The file loader: plain S-record files and VQU update files alike, read line by line into the image.
#include "firmware_image.h"
#include "line_reader.h"

#include <cstring>
#include <memory>

namespace {

/// Large enough that a read takes a few thousand record lines at a time.
constexpr size_t READ_CHUNK = 64 * 1024;

using FileHandle = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

} // namespace

LineReader::LineReader(std::FILE* file) : file(file), buffer(READ_CHUNK) {
    attach();
}

bool LineReader::fill() {
    bufferStart += static_cast<long>(end);
    begin = 0;
    end = std::fread(buffer.data(), 1, buffer.size(), file);
    if (end > 0) return true;
    if (std::ferror(file)) readError = true;
    return false;
}

bool LineReader::readLine(std::string& line) {
    // The caller's string keeps its capacity from line to line, so long runs of lines allocate nothing.
    line.clear();
    for (;;) {
        if (begin == end && !fill()) return !line.empty();
        const char* start = buffer.data() + begin;
        const void* lineFeed = std::memchr(start, '\n', end - begin);
        if (lineFeed) {
            size_t n = static_cast<size_t>(static_cast<const char*>(lineFeed) - start) + 1;
            line.append(start, n);
            begin += n;
            return true;
        }
        line.append(start, end - begin);
        begin = end;
    }
}

void LineReader::seek(long position) {
    // Going back to a line still in the buffer, as the block readers do, needs no call on the file.
    if (position >= bufferStart && position <= bufferStart + static_cast<long>(end)) {
        begin = static_cast<size_t>(position - bufferStart);
        return;
    }
    if (std::fseek(file, position, SEEK_SET) != 0) readError = true;
    bufferStart = position;
    begin = end = 0;
}

void LineReader::detach() {
    if (std::fseek(file, tell(), SEEK_SET) != 0) readError = true;
}

void LineReader::attach() {
    long position = std::ftell(file);
    if (position < 0) readError = true;
    bufferStart = position < 0 ? 0 : position;
    begin = end = 0;
}

void FirmwareImage::load(const std::string& path) {
    fileName = path;
    lineNumber = 0;
    FileHandle file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) fail("Can't open input file");
    LineReader reader(file.get());
    std::string line;
    if (!reader.readLine(line)) {
        // A directory opens on some systems but cannot be read: it is no input file either.
        if (reader.failed()) fail("Can't open input file");
        return;
    }
    if (line.compare(0, 5, "#!VQU") == 0) {
        readContainer(file.get());
        reader.attach();
    } else {
        lineNumber = 1;
        stripLineEnd(line);
        if (!parseLine(line)) return;
    }
    while (reader.readLine(line)) {
        ++lineNumber;
        stripLineEnd(line);
        if (!parseLine(line)) return;
    }
    if (reader.failed()) fail("Error reading input file");
}
