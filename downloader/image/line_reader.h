// Lines from a file opened as bytes, taken in pieces of bounded size, with positions for reading a part
// again.
#pragma once

#include "sha256.h"

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

/// Reads a file line by line through its own buffer, so that a pipe reads as well as a file as long as no
/// part is read again. No line is ever held whole: a caller takes it in pieces of the size it chooses.
class LineReader {
public:
    /// Starts reading a file just opened.
    explicit LineReader(std::FILE* file);
    /// Takes the next piece of the current line: up to and including its line feed, but at most most
    /// characters (a CR LF pair is never split while most allows); false at the end or on an error.
    bool readPiece(std::string& piece, size_t most);
    /// True when the piece last taken began its line.
    bool pieceBeganLine() const { return pieceBegan; }
    /// True when the next piece begins a line.
    bool atLineStart() const { return lineStart; }
    /// Reads past the rest of the current line without keeping it.
    void skipRestOfLine();
    /// The position of the next piece in the file.
    long tell() const { return bufferStart + static_cast<long>(begin); }
    /// Goes to a position returned by tell at the start of a line.
    void seek(long position);
    /// True when reading stopped on a read error rather than at the end of the file.
    bool failed() const { return readError; }
    /// The SHA-256 of the whole file in hexadecimal: the bytes as they were read, and the rest read to the
    /// end for it; empty when the file could not be read to the end. Call once, when done with the lines.
    std::string finishDigest();
    /// Called while a pipe keeps the reader waiting, every WAIT_STEP_MS; it may end the reading by throwing.
    std::function<void()> onWait;
    static constexpr int WAIT_STEP_MS = 100;

private:
    bool fill();

    std::FILE* file;
    std::vector<char> buffer;
    long bufferStart = 0; ///< file position of buffer[0]
    size_t begin = 0;     ///< next unread character
    size_t end = 0;       ///< characters held
    bool lineStart = true;
    bool pieceBegan = true;
    bool readError = false;
    Sha256 digest;        ///< of the bytes read so far, each byte once
    long hashedUpTo = 0;  ///< the file position up to which digest has taken the bytes
    bool hashGap = false; ///< bytes were skipped: the digest cannot name the file
};
