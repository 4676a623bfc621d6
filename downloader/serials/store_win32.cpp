// The counter's lock and flushes on Windows: LockFileEx on the journal, FlushFileBuffers, and a rename that
// writes through to the disk.
#include "image/output_file.h"
#include "platform/system.h"
#include "platform/system_win32.h"
#include "serials.h"

#include <cstdio>
#include <io.h>
#include <windows.h>

namespace serials {

namespace {

std::string systemReason() {
    return platformErrorText(GetLastError());
}

HANDLE asHandle(intptr_t handle) {
    return reinterpret_cast<HANDLE>(handle);
}

/// The lock covers one byte far beyond any journal's end, so that reads and appends are never blocked by it.
OVERLAPPED lockRange() {
    OVERLAPPED range = {};
    range.OffsetHigh = 0x7FFFFFFF;
    return range;
}

} // namespace

JournalLock::~JournalLock() {
    if (handle == -1) return;
    OVERLAPPED range = lockRange();
    UnlockFileEx(asHandle(handle), 0, 1, 0, &range);
    CloseHandle(asHandle(handle));
}

bool JournalLock::acquire(const std::string& journal, int waitMs, std::string& reason) {
    HANDLE file =
        CreateFileA(journal.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        reason = systemReason();
        return false;
    }
    handle = reinterpret_cast<intptr_t>(file);
    return retryLock(
        waitMs,
        [&] {
            OVERLAPPED range = lockRange();
            if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &range))
                return LockTry::Taken;
            if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING)
                return LockTry::Held;
            reason = systemReason();
            return LockTry::Failed;
        },
        reason);
}

bool JournalLock::readAll(std::string& text, std::string& reason) {
    text.clear();
    LARGE_INTEGER start = {};
    if (!SetFilePointerEx(asHandle(handle), start, nullptr, FILE_BEGIN)) {
        reason = systemReason();
        return false;
    }
    char buffer[65536];
    DWORD n = 0;
    while (true) {
        if (!ReadFile(asHandle(handle), buffer, sizeof buffer, &n, nullptr)) {
            reason = systemReason();
            return false;
        }
        if (n == 0) return true;
        text.append(buffer, n);
    }
}

bool JournalLock::append(const std::string& text, std::string& reason) {
    std::string existing;
    if (!readAll(existing, reason)) return false;
    // A line cut short before (a full disk) is ended first, so that this one stands on its own.
    const std::string out = !existing.empty() && existing.back() != '\n' ? "\n" + text : text;
    LARGE_INTEGER none = {};
    DWORD written = 0;
    if (!SetFilePointerEx(asHandle(handle), none, nullptr, FILE_END) ||
        !WriteFile(asHandle(handle), out.data(), static_cast<DWORD>(out.size()), &written, nullptr) ||
        written != out.size() || !FlushFileBuffers(asHandle(handle))) {
        reason = systemReason();
        return false;
    }
    return true;
}

bool replaceDurably(const std::string& path, const std::string& text, std::string& reason) {
    std::string temporary;
    std::FILE* file = createTemporaryBeside(path, temporary);
    if (!file) {
        reason = "cannot make a temporary file";
        return false;
    }
    const bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size() &&
                         std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
    const bool closed = std::fclose(file) == 0;
    // The rename goes to the disk before the call returns: Windows' flush of the folder. A process that reads
    // the counter without the lock (a station's check before its ports) holds it open for a moment, and
    // Windows refuses the rename meanwhile: tried again for up to a second.
    bool moved = false;
    reason = "the temporary file could not be written";
    for (int attempt = 0; written && closed && !moved && attempt < 50; ++attempt) {
        moved = MoveFileExA(temporary.c_str(), path.c_str(),
                            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0;
        if (moved) break;
        const DWORD error = GetLastError();
        reason = systemReason();
        if (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) break;
        platformSleepMs(20);
    }
    if (!moved) {
        removeTemporary(temporary);
        return false;
    }
    // Nothing is left at the temporary name; this only tells the signal handler so.
    removeTemporary(temporary);
    return true;
}

} // namespace serials
