// The packer's file operations on Linux.
#include "packer.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

/// The temporary file for a signal handler: the name is complete whenever armed is set.
static char pendingName[4096];
static std::atomic<bool> pendingArmed{false};

static const int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE};

static void onSignal(int signalNumber) {
    // Only system calls here: the signal may have come in the middle of anything.
    if (pendingArmed) unlink(pendingName);
    _exit(128 + signalNumber);
}

void prepareProcess() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // The lowest free descriptor is taken: this one, the ones below being open already.
        const int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened > 2) close(opened);
    }
    signal(SIGXFSZ, SIG_IGN);
}

void endOnSignals() {
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigfillset(&action.sa_mask);
    for (int signalNumber : ENDING_SIGNALS) {
        struct sigaction previous;
        if (sigaction(signalNumber, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN) continue;
        sigaction(signalNumber, &action, nullptr);
    }
}

std::string workingDirectory() {
    std::vector<char> buffer(1024);
    while (!getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE) return "";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

bool pathExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

/// The full path of a name whose last component need not exist: the resolved directory and the last
/// component.
static std::string fullPath(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    std::string last = slash == std::string::npos ? path : path.substr(slash + 1);
    if (last.empty() || last == "." || last == "..") {
        dir = path;
        last.clear();
    }
    char* resolved = realpath(dir.c_str(), nullptr);
    if (!resolved) return path;
    std::string full = resolved;
    std::free(resolved);
    return last.empty() ? full : full + "/" + last;
}

bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    struct stat sa, sb;
    if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    }
    return fullPath(a) == fullPath(b);
}

std::FILE* openInput(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return nullptr;
    struct stat st;
    if (fstat(fileno(file), &st) != 0 || S_ISDIR(st.st_mode)) {
        std::fclose(file);
        errno = EISDIR;
        return nullptr;
    }
    return file;
}

bool isPlainFile(std::FILE* file) {
    struct stat st;
    return fstat(fileno(file), &st) == 0 && S_ISREG(st.st_mode);
}

std::FILE* createTemporary(const std::string& output, std::string& tempPath) {
    size_t slash = output.rfind('/');
    std::string pattern = (slash == std::string::npos ? "" : output.substr(0, slash + 1)) + ".vqu-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // The file is made and named for the signal handler with the signals held, so none comes in between.
    sigset_t held, previous;
    sigemptyset(&held);
    for (int signalNumber : ENDING_SIGNALS)
        sigaddset(&held, signalNumber);
    sigprocmask(SIG_BLOCK, &held, &previous);
    int fd = mkstemp(name.data());
    if (fd >= 0 && name.size() <= sizeof pendingName) {
        std::memcpy(pendingName, name.data(), name.size());
        pendingArmed = true;
    }
    sigprocmask(SIG_SETMASK, &previous, nullptr);
    if (fd < 0) return nullptr;
    tempPath = name.data();
    // mkstemp makes the file private; the update file gets the rights any new file would get.
    mode_t mask = umask(0);
    umask(mask);
    fchmod(fd, 0666 & ~mask);
    std::FILE* file = fdopen(fd, "wb");
    if (!file) {
        int error = errno;
        close(fd);
        removeFile(tempPath);
        tempPath.clear();
        errno = error;
    }
    return file;
}

bool syncFile(std::FILE* file) {
    return fsync(fileno(file)) == 0 || errno == EINVAL;
}

int moveNoReplace(const std::string& from, const std::string& to) {
    // A hard link never replaces an existing name; the temporary name is dropped afterwards.
    if (link(from.c_str(), to.c_str()) == 0) {
        removeFile(from);
        return 0;
    }
    int error = errno;
    if (error == EPERM || error == EOPNOTSUPP || error == ENOSYS || error == EMLINK) {
        // File systems without hard links (FAT on a memory stick): a rename that refuses to replace.
        if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
            pendingArmed = false;
            return 0;
        }
        error = errno;
    }
    return error;
}

void removeFile(const std::string& path) {
    unlink(path.c_str());
    pendingArmed = false;
}
