// S-record output: single lines, and a file that takes the place of its name only once it is complete.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

/// One S-record line of type 0-3 or 7-9 with the address width of its type, upper-case hexadecimal, the
/// one's-complement checksum and CR LF.
std::string formatSRecord(int type, uint32_t address, const uint8_t* data, size_t n);

/// A file written under a temporary name beside its own and renamed into place by commit(). Until then an
/// older file of that name stays as it was; a file never committed is removed with its temporary name.
class ReplacingFile {
public:
    explicit ReplacingFile(std::string target) : path(std::move(target)) {}
    ~ReplacingFile();
    ReplacingFile(const ReplacingFile&) = delete;
    ReplacingFile& operator=(const ReplacingFile&) = delete;

    /// Creates the temporary file; false with the reason in error() when it or the target cannot be written.
    bool open();
    /// Writes the whole content and renames the file into place; false with the reason in error(). With
    /// toDisk the content is flushed to the disk before the rename.
    bool commit(const std::string& content, bool toDisk = false);
    const std::string& error() const { return reason; }
    /// The temporary name while one exists; empty otherwise.
    const std::string& temporary() const { return temporaryPath; }

private:
    void discard();

    std::string path;
    std::string temporaryPath;
    std::FILE* file = nullptr;
    std::string reason;
};
