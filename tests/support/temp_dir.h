// A temporary directory for the tests and the benchmarks; plain C++ and POSIX, without GoogleTest, so that
// vqbench links it too.
#pragma once

#include <string>

namespace fx {

/// A fresh directory under $TMPDIR (or /tmp), removed with everything in it at the end of the test or the
/// run. The constructor throws std::runtime_error when no directory can be made.
class TempDir {
public:
    /// The directory's name starts with prefix, followed by a dash and six random characters.
    explicit TempDir(const std::string& prefix = "vqtest");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return dir; }
    /// The path of a name inside the directory.
    std::string file(const std::string& name) const { return dir + "/" + name; }

private:
    std::string dir;
};

} // namespace fx
