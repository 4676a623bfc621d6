// What the fuzz targets share: a loud stop when a property fails, and a few file helpers.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

/// Prints the broken property and aborts, so that libFuzzer keeps the input that caused it.
[[noreturn]] inline void fuzzFault(const std::string& what) {
    std::fprintf(stderr, "FUZZ FAULT: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

/// Stops the run when a property does not hold.
inline void fuzzCheck(bool holds, const std::string& what) {
    if (!holds) fuzzFault(what);
}

/// Writes bytes to a new file; a scratch file that cannot be written is a fault of the machine, not the
/// input.
inline void fuzzWriteFile(const std::string& path, const std::string& content) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    fuzzCheck(file != nullptr, "cannot create scratch file " + path);
    bool written = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    fuzzCheck(std::fclose(file) == 0 && written, "cannot write scratch file " + path);
}

/// The whole content of a file; empty when it cannot be read.
inline std::string fuzzReadFile(const std::string& path) {
    std::string content;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return content;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        content.append(buffer, n);
    std::fclose(file);
    return content;
}

/// Text with its control bytes and bytes above 0x7E written as \xNN, for fault reports.
inline std::string fuzzShow(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7F && c != '\\') {
            shown += static_cast<char>(c);
        } else {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        }
    }
    return shown;
}
