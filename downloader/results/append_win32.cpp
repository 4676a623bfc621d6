// The --results file on Windows: appended under a lock, one WriteFile per line.
#include "results.h"

#include <windows.h>

bool platformOpenResults(const std::string& path, intptr_t& handle, std::string& reason) {
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        reason = error == ERROR_ACCESS_DENIED    ? "permission denied"
                 : error == ERROR_PATH_NOT_FOUND ? "no such directory"
                                                 : "system error " + std::to_string(error);
        return false;
    }
    handle = reinterpret_cast<intptr_t>(file);
    return true;
}

bool platformAppendResult(intptr_t handle, const std::string& line, const std::string& header) {
    HANDLE file = reinterpret_cast<HANDLE>(handle);
    // Appends are not whole on every Windows file system: other writers wait at the lock, which also keeps a
    // second process from finding the file empty and writing the header twice.
    // Other runs hold it for one write; one held longer (another program's) fails the line after a while.
    OVERLAPPED whole = {};
    for (int waited = 0;; waited += 10) {
        if (LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD,
                       &whole))
            break;
        if (GetLastError() != ERROR_LOCK_VIOLATION || waited >= RESULTS_LOCK_WAIT_MS) return false;
        Sleep(10);
    }
    LARGE_INTEGER size = {};
    const std::string text =
        !header.empty() && GetFileSizeEx(file, &size) && size.QuadPart == 0 ? header + line : line;
    DWORD written = 0;
    BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    // On the disk before the next unit begins: a station PC that loses its power keeps every finished unit.
    if (ok) ok = FlushFileBuffers(file);
    UnlockFileEx(file, 0, MAXDWORD, MAXDWORD, &whole);
    return ok && written == text.size();
}

void platformCloseResults(intptr_t handle) {
    if (handle != -1) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::string platformHostName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : std::string();
}
