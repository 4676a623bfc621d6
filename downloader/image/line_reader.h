// Whole lines from a file opened as bytes, at any length, with positions for reading a part again.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

/// Reads a file line by line through its own buffer; the file's position is brought up to date only by
/// detach.
class LineReader {
public:
    /// Starts reading at the file's current position.
    explicit LineReader(std::FILE* file);
    /// Takes the next line with its line feed (none on a last line without one); false at the end or on an
    /// error.
    bool readLine(std::string& line);
    /// The position of the next line in the file.
    long tell() const { return bufferStart + static_cast<long>(begin); }
    /// Goes to a position returned by tell.
    void seek(long position);
    /// Sets the file's own position to that of the next line, for another reader or the caller.
    void detach();
    /// Starts again from the file's current position, after someone else has read it.
    void attach();
    /// True when reading stopped on a read error rather than at the end of the file.
    bool failed() const { return readError; }

private:
    bool fill();

    std::FILE* file;
    std::vector<char> buffer;
    long bufferStart = 0; ///< file position of buffer[0]
    size_t begin = 0;     ///< next unread character
    size_t end = 0;       ///< characters held
    bool readError = false;
};
