// Extracted files on POSIX systems.
#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

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
    for (int i = 0; i < 1000; ++i) {
        // A short name of fixed form, so that a target near the longest name the system allows still gets
        // one.
        std::string candidate = i == 0 ? stem + ".tmp" : stem + "-" + std::to_string(i) + ".tmp";
        // O_EXCL never opens a file that exists, nor follows a link at the name.
        const int fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
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

const char PATH_SEPARATOR = '/';

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && fsync(fileno(file)) == 0;
}

bool canReplace(const std::string& target) {
    // A link is looked at, not followed: renaming over it would put a regular file in its place.
    struct stat st;
    // Only a name that is not there yet is free; one the system cannot even look up (too long) is not.
    if (lstat(target.c_str(), &st) != 0) return errno == ENOENT;
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

long readSome(std::FILE* file, char* buffer, size_t n, int timeoutMs) {
    // One read(2) of what is there: fread would wait on a pipe until its whole count had come.
    const int fd = fileno(file);
    pollfd ready = {fd, POLLIN, 0};
    const int polled = poll(&ready, 1, timeoutMs);
    if (polled == 0 || (polled < 0 && errno == EINTR)) return -2;
    const ssize_t got = read(fd, buffer, n);
    if (got < 0) return errno == EINTR || errno == EAGAIN ? -2 : -1;
    return static_cast<long>(got);
}

bool replaceTarget(const std::string& temporary, const std::string& target) {
    return rename(temporary.c_str(), target.c_str()) == 0;
}

void removeTemporary(const std::string& temporary) {
    unlink(temporary.c_str());
}
