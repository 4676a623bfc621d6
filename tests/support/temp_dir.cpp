#include "temp_dir.h"

#include <cstdlib>
#include <dirent.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fx {

namespace {

/// Removes a file, or a directory with everything in it; a directory that a test made unreadable is opened up
/// first.
void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700);
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* entry = readdir(d)) {
            std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(d);
    }
    for (const std::string& name : names)
        removeTree(path + "/" + name);
    rmdir(path.c_str());
}

} // namespace

TempDir::TempDir(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
    dir = buffer.data();
}

TempDir::~TempDir() {
    removeTree(dir);
}

} // namespace fx
