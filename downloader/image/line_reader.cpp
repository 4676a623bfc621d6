// Lines from a file opened as bytes, taken in pieces of bounded size through the reader's own buffer.
#include "line_reader.h"

#include "output_file.h"

#include <algorithm>
#include <cstring>

namespace {

/// Large enough that a read takes a few thousand record lines at a time.
constexpr size_t READ_CHUNK = 64 * 1024;

} // namespace

LineReader::LineReader(std::FILE* input) : file(input), buffer(READ_CHUNK) {}

bool LineReader::fill() {
    // After a failed seek the file stands somewhere unknown: nothing more is read from it.
    if (readError) return false;
    bufferStart += static_cast<long>(end);
    begin = 0;
    end = 0;
    while (true) {
        const long got = readSome(file, buffer.data(), buffer.size(), WAIT_STEP_MS);
        if (got > 0) {
            end = static_cast<size_t>(got);
            // What is read again after going back is in the digest already.
            const long last = bufferStart + got;
            if (bufferStart > hashedUpTo) hashGap = true;
            if (last > hashedUpTo && bufferStart <= hashedUpTo) {
                digest.update(reinterpret_cast<const uint8_t*>(buffer.data()) + (hashedUpTo - bufferStart),
                              static_cast<size_t>(last - hashedUpTo));
                hashedUpTo = last;
            }
            return true;
        }
        if (got == 0) return false;
        if (got == -1) {
            readError = true;
            return false;
        }
        if (onWait) onWait();
    }
}

bool LineReader::readPiece(std::string& piece, size_t most) {
    // The caller's string keeps its capacity from piece to piece, so long runs of lines allocate nothing.
    piece.clear();
    pieceBegan = lineStart;
    while (piece.size() < most) {
        if (begin == end && !fill()) break;
        const char* start = buffer.data() + begin;
        size_t room = std::min(end - begin, most - piece.size());
        const void* lineFeed = std::memchr(start, '\n', room);
        if (lineFeed) {
            size_t n = static_cast<size_t>(static_cast<const char*>(lineFeed) - start) + 1;
            piece.append(start, n);
            begin += n;
            lineStart = true;
            return true;
        }
        piece.append(start, room);
        begin += room;
    }
    if (piece.empty()) return false;
    // A CR that ends a full piece stays for the next one, where its LF may follow it.
    if (piece.size() == most && most > 1 && piece.back() == '\r') {
        piece.pop_back();
        --begin;
    }
    lineStart = false;
    return true;
}

void LineReader::skipRestOfLine() {
    while (!lineStart) {
        if (begin == end && !fill()) {
            lineStart = true;
            return;
        }
        const char* start = buffer.data() + begin;
        const void* lineFeed = std::memchr(start, '\n', end - begin);
        if (lineFeed) {
            begin += static_cast<size_t>(static_cast<const char*>(lineFeed) - start) + 1;
            lineStart = true;
        } else {
            begin = end;
        }
    }
}

void LineReader::seek(long position) {
    lineStart = true;
    // Going back to a line still in the buffer, as the block readers do, needs no call on the file.
    if (position >= bufferStart && position <= bufferStart + static_cast<long>(end)) {
        begin = static_cast<size_t>(position - bufferStart);
        return;
    }
    if (std::fseek(file, position, SEEK_SET) != 0) readError = true;
    bufferStart = position;
    begin = end = 0;
}

std::string LineReader::finishDigest() {
    // The file names what was sent only when every byte of it was read: the rest after the last line taken
    // (notes after the end line) is read for the digest alone.
    while (!readError && !hashGap) {
        begin = end;
        if (bufferStart + static_cast<long>(end) != hashedUpTo) seek(hashedUpTo);
        if (!fill()) break;
    }
    if (readError || hashGap) return "";
    return digest.hexDigest();
}
