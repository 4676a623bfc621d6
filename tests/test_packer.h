// What the packer tests share: running vqu in a temporary directory, and the header and the end line it
// writes.
#pragma once

#include "fixture.h"

#include <cstdlib>
#include <string>
#include <vector>

namespace packer_test {

inline const std::string HYPHENS(75, '-');

inline fx::RunResult vqu(const fx::TempDir& dir, const std::vector<std::string>& args) {
    return fx::run(VQU_PROGRAM, args, dir.path(), 20000);
}

/// The directory as vqu's getcwd sees it (the temporary directory may lie behind a symbolic link).
inline std::string realDir(const fx::TempDir& dir) {
    char* resolved = realpath(dir.path().c_str(), nullptr);
    std::string full = resolved ? resolved : dir.path();
    std::free(resolved);
    return full;
}

/// The header vqu writes for these inputs, run in dir.
inline std::string header(const fx::TempDir& dir, const std::vector<std::string>& inputs) {
    std::string text = "#!VQU-OUT\r\n" + HYPHENS + "\r\n" +
                       "This Velquin Update file was constructed from the following input files:\r\n";
    for (const auto& input : inputs)
        text += "   " + realDir(dir) + "/" + input + "\r\n";
    return text + HYPHENS + "\r\n";
}

inline const char END[] = "#!VQU-END\r\n";

} // namespace packer_test
