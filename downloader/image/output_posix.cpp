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

/// The temporary file being written, for a signal handler: the name is complete whenever armed is set.
char pendingName[4096];
std::atomic<bool> pendingArmed{false};

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
    for (int i = 0; i < 1000; ++i) {
        // A short name of fixed form, so that a target near the longest name the system allows still gets
        // one.
        std::string candidate = i == 0 ? stem + ".tmp" : stem + "-" + std::to_string(i) + ".tmp";
        int fd;
        {
            SignalsHeld held;
            // O_EXCL never opens a file that exists, nor follows a link at the name.
            fd = open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
            if (fd >= 0 && candidate.size() < sizeof pendingName) {
                std::memcpy(pendingName, candidate.c_str(), candidate.size() + 1);
                pendingArmed = true;
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
    struct stat st;
    if (stat(target.c_str(), &st) != 0) return true;
    if (S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return false;
    }
    return access(target.c_str(), W_OK) == 0;
}

bool replaceTarget(const std::string& temporary, const std::string& target) {
    if (rename(temporary.c_str(), target.c_str()) != 0) return false;
    pendingArmed = false;
    return true;
}

void removeTemporary(const std::string& temporary) {
    unlink(temporary.c_str());
    pendingArmed = false;
}

void removeTemporaryOnSignal() {
    if (pendingArmed) unlink(pendingName);
}
