// The counter's lock and flushes on POSIX systems: flock on the journal, fsync of the files and the folder.
#include "image/output_file.h"
#include "serials.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace serials {

namespace {

std::string systemReason() {
    return std::strerror(errno);
}

/// Flushes a folder's entries (a rename in it) to the disk.
bool flushFolder(const std::string& path) {
    const size_t slash = path.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool flushed = fsync(fd) == 0;
    close(fd);
    return flushed;
}

} // namespace

JournalLock::~JournalLock() {
    // Closing the descriptor releases the lock.
    if (handle >= 0) close(static_cast<int>(handle));
}

bool JournalLock::acquire(const std::string& journal, int waitMs, std::string& reason) {
    const int fd = open(journal.c_str(), O_RDWR | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        reason = systemReason();
        return false;
    }
    handle = fd;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        reason = "not a regular file";
        return false;
    }
    return retryLock(
        waitMs,
        [&] {
            if (flock(fd, LOCK_EX | LOCK_NB) == 0) return LockTry::Taken;
            if (errno == EWOULDBLOCK || errno == EINTR) return LockTry::Held;
            reason = systemReason();
            return LockTry::Failed;
        },
        reason);
}

bool JournalLock::readAll(std::string& text, std::string& reason) {
    text.clear();
    char buffer[65536];
    for (off_t at = 0;;) {
        const ssize_t n = pread(static_cast<int>(handle), buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            reason = systemReason();
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

bool JournalLock::append(const std::string& text, std::string& reason) {
    const int fd = static_cast<int>(handle);
    // A line cut short before (a full disk) is ended first, so that this one stands on its own.
    std::string out = text;
    struct stat st;
    char last = '\n';
    if (fstat(fd, &st) == 0 && st.st_size > 0 && pread(fd, &last, 1, st.st_size - 1) == 1 && last != '\n')
        out.insert(out.begin(), '\n');
    for (size_t done = 0; done < out.size();) {
        const ssize_t n = write(fd, out.data() + done, out.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            reason = n < 0 ? systemReason() : "nothing written";
            return false;
        }
        done += static_cast<size_t>(n);
    }
    if (fsync(fd) != 0) {
        reason = systemReason();
        return false;
    }
    return true;
}

bool replaceDurably(const std::string& path, const std::string& text, std::string& reason) {
    reason.clear();
    std::string temporary;
    std::FILE* file = createTemporaryBeside(path, temporary);
    if (!file) {
        reason = systemReason();
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0 && fsync(fileno(file)) == 0;
    if (!written) reason = systemReason();
    if (std::fclose(file) != 0 && written) reason = systemReason();
    if (!written || !reason.empty() || !replaceTarget(temporary, path)) {
        if (reason.empty()) reason = systemReason();
        removeTemporary(temporary);
        return false;
    }
    if (!flushFolder(path)) {
        reason = "the folder could not be flushed: " + systemReason();
        return false;
    }
    return true;
}

} // namespace serials
