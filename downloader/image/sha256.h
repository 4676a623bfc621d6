// SHA-256 of a byte stream, for the file event of --json: which exact file went into the controller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

class Sha256 {
public:
    Sha256();
    /// Adds n bytes to the message.
    void update(const uint8_t* data, size_t n);
    /// The digest of everything added; the object is spent afterwards.
    std::array<uint8_t, 32> finish();
    /// The digest as 64 lowercase hexadecimal digits.
    std::string hexDigest();

private:
    void compress(const uint8_t* block);
    uint32_t state[8];
    uint8_t pending[64];
    size_t pendingBytes = 0;
    uint64_t totalBytes = 0;
};

/// The digest of a file's bytes in lowercase hexadecimal; false when the file cannot be read.
bool sha256OfFile(const std::string& path, std::string& hex);
