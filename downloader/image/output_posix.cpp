// Extracted files on POSIX systems.
#include "output_file.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The temporary files held, for a signal handler: a slot's name is complete whenever it is armed.
struct Pending {
    char name[4096];
    std::atomic<bool> armed{false};
};
Pending pending[MAX_TEMPORARIES];

/// A slot that is not armed; nullptr when all are.
Pending* freeSlot() {
    for (Pending& slot : pending)
        if (!slot.armed) return &slot;
    return nullptr;
}

/// Disarms the slot that holds this name.
void forget(const std::string& name) {
    for (Pending& slot : pending)
        if (slot.armed && name == slot.name) slot.armed = false;
}

/// Blocks the signals that end a run while a temporary file is made and named, so that none is left behind
/// unnamed.
class SignalsHeld {
public:
    SignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGPIPE})
            sigaddset(&held, signalNumber);
        pthread_sigmask(SIG_BLOCK, &held, &previous);
    }
    ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }

private:
    sigset_t previous;
};

/// Gives a new file the permission bits and, where allowed, the owner of the file it is to replace.
void takeAttributes(int fd, const std::string& target) {
    struct stat old;
    if (lstat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
    // Changing the owner needs the right to; the group alone is allowed to a member of it.
    if (fchown(fd, old.st_uid, old.st_gid) != 0 && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {}
    fchmod(fd, old.st_mode & 0777);
}

} // namespace

std::FILE* createTemporaryBeside(const std::string& target, std::string& tempPath) {
    size_t slash = target.rfind('/');
    std::string stem = (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) +
                       "~vq2dl-" + std::to_string(static_cast<long>(getpid()));
    Pending* slot = freeSlot();
    if (!slot) {
        errno = EMFILE;
        return nullptr;
    }
    for (int i = 0; i < 1000; ++i) {
        // A short name of fixed form, so that a target near the longest name the system allows still gets
        // one.
        std::string candidate = i == 0 ? stem + ".tmp" : stem + "-" + std::to_string(i) + ".tmp";
        int fd;
        {
            SignalsHeld held;
            // O_EXCL never opens a file that exists, nor follows a link at the name.
            fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0 && candidate.size() < sizeof slot->name) {
                std::memcpy(slot->name, candidate.c_str(), candidate.size() + 1);
                slot->armed = true;
            }
        }
        if (fd < 0) {
            if (errno == EEXIST) continue;
            return nullptr;
        }
        takeAttributes(fd, target);
        std::FILE* file = fdopen(fd, "wb");
        tempPath = candidate;
        if (!file) {
            close(fd);
            removeTemporary(candidate);
        }
        return file;
    }
    return nullptr;
}

bool canReplace(const std::string& target) {
    // A link is looked at, not followed: renaming over it would put a regular file in its place.
    struct stat st;
    if (lstat(target.c_str(), &st) != 0) return true;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    if (!S_ISREG(st.st_mode)) {
        errno = EPERM;
        return false;
    }
    return access(target.c_str(), W_OK) == 0;
}

const char* specialFileKind(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)) return nullptr;
    if (S_ISLNK(st.st_mode)) return "a symbolic link";
    if (S_ISFIFO(st.st_mode)) return "a FIFO";
    if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return "a device";
    if (S_ISSOCK(st.st_mode)) return "a socket";
    return "a special file";
}

namespace {

/// A file as the system knows it: its device and inode where it exists, else its directory's and its name.
struct Identity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    std::string name;
};

bool identify(const std::string& path, Identity& identity) {
    struct stat st;
    if (stat(path.c_str(), &st) == 0) {
        identity = {true, st.st_dev, st.st_ino, ""};
        return true;
    }
    if (errno != ENOENT) return false;
    const size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (stat(directory.c_str(), &st) != 0) return false;
    identity = {false, st.st_dev, st.st_ino, path.substr(slash == std::string::npos ? 0 : slash + 1)};
    return true;
}

} // namespace

bool sameFileOnDisk(const std::string& a, const std::string& b) {
    Identity first, second;
    if (!identify(a, first) || !identify(b, second)) return false;
    return first.exists == second.exists && first.device == second.device && first.inode == second.inode &&
           first.name == second.name;
}

std::FILE* openForAppend(const std::string& path, int& descriptor) {
    // O_NONBLOCK: a FIFO without a reader fails with ENXIO instead of waiting for one. Cleared once open.
    const int fd =
        open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || fcntl(fd, F_SETFL, O_APPEND) != 0) {
        close(fd);
        errno = EPERM;
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "a");
    if (!file) {
        const int saved = errno;
        close(fd);
        errno = saved;
        return nullptr;
    }
    descriptor = fd;
    return file;
}

void writeOnSignal(int descriptor, const char* text, size_t n) {
    while (n > 0) {
        const ssize_t written = write(descriptor, text, n);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return;
        text += written;
        n -= static_cast<size_t>(written);
    }
}

bool replaceTarget(const std::string& temporary, const std::string& target) {
    if (rename(temporary.c_str(), target.c_str()) != 0) return false;
    forget(temporary);
    return true;
}

void removeTemporary(const std::string& temporary) {
    unlink(temporary.c_str());
    forget(temporary);
}

void removeTemporaryOnSignal() {
    for (const Pending& slot : pending)
        if (slot.armed) unlink(slot.name);
}
