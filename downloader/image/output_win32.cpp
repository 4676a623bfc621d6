// Extracted files on Windows.
#include "output_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <io.h>
#include <windows.h>

namespace {

/// The temporary file being written, for a signal handler: the name is complete whenever armed is set.

} // namespace

std::FILE* createTemporaryBeside(const std::string& target, std::string& tempPath) {
    size_t separator = target.find_last_of("/\\");
    std::string stem = (separator == std::string::npos ? std::string() : target.substr(0, separator + 1)) +
                       "~vq2dl-" + std::to_string(static_cast<unsigned long>(GetCurrentProcessId()));
    for (int i = 0; i < 1000; ++i) {
        std::string candidate = i == 0 ? stem + ".tmp" : stem + "-" + std::to_string(i) + ".tmp";
        // CREATE_NEW never opens a file that exists, nor a link at the name. Nobody else may read or write
        // it; deleting it while it is open stays allowed.
        HANDLE handle = CreateFileA(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return nullptr;
        }
        tempPath = candidate;
        int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
        if (!file) {
            if (fd < 0)
                CloseHandle(handle);
            else
                _close(fd);
            removeTemporary(candidate);
        }
        return file;
    }
    return nullptr;
}

const char PATH_SEPARATOR = '\\';

bool flushToDisk(std::FILE* file) {
    return std::fflush(file) == 0 && _commit(_fileno(file)) == 0;
}

bool canReplace(const std::string& target) {
    DWORD attributes = GetFileAttributesA(target.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return true;
    return (attributes &
            (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

const char* specialFileKind(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return nullptr;
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ? "a symbolic link" : nullptr;
}

bool sameFileOnDisk(const std::string& a, const std::string& b) {
    // Existing files by volume and file index; names not yet made by their full path, in any case.
    auto identify = [](const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
        HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return false;
        const bool known = GetFileInformationByHandle(handle, &info) != 0;
        CloseHandle(handle);
        return known;
    };
    BY_HANDLE_FILE_INFORMATION first = {}, second = {};
    const bool firstExists = identify(a, first), secondExists = identify(b, second);
    if (firstExists || secondExists)
        return firstExists && secondExists && first.dwVolumeSerialNumber == second.dwVolumeSerialNumber &&
               first.nFileIndexHigh == second.nFileIndexHigh && first.nFileIndexLow == second.nFileIndexLow;
    char fullA[MAX_PATH + 1], fullB[MAX_PATH + 1];
    const DWORD lengthA = GetFullPathNameA(a.c_str(), sizeof fullA, fullA, nullptr);
    const DWORD lengthB = GetFullPathNameA(b.c_str(), sizeof fullB, fullB, nullptr);
    return lengthA > 0 && lengthA < sizeof fullA && lengthB > 0 && lengthB < sizeof fullB &&
           lstrcmpiA(fullA, fullB) == 0;
}

std::FILE* openForAppend(const std::string& path, int& descriptor) {
    if (specialFileKind(path)) {
        errno = EPERM;
        return nullptr;
    }
    std::FILE* file = std::fopen(path.c_str(), "a");
    if (!file) return nullptr;
    // Only a file on a disk: not a device name such as NUL or COM1, not a pipe.
    const int fd = _fileno(file);
    if (GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(fd))) != FILE_TYPE_DISK) {
        std::fclose(file);
        errno = EPERM;
        return nullptr;
    }
    descriptor = fd;
    return file;
}

long readSome(std::FILE* file, char* buffer, size_t n, int) {
    // A console's Ctrl-C ends a read from a pipe on its own; a file is read as it stands.
    const size_t got = std::fread(buffer, 1, n, file);
    if (got > 0) return static_cast<long>(got);
    return std::ferror(file) ? -1 : 0;
}

bool replaceTarget(const std::string& temporary, const std::string& target) {
    // ReplaceFile keeps the old file's attributes and access rights; a new name is a plain move.
    bool moved = GetFileAttributesA(target.c_str()) != INVALID_FILE_ATTRIBUTES &&
                 ReplaceFileA(target.c_str(), temporary.c_str(), nullptr, REPLACEFILE_IGNORE_MERGE_ERRORS,
                              nullptr, nullptr);
    if (!moved) moved = MoveFileExA(temporary.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    return moved;
}

void removeTemporary(const std::string& temporary) {
    DeleteFileA(temporary.c_str());
}
