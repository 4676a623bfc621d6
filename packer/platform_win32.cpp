// The packer's file operations on Windows.
#include "packer.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <direct.h>
#include <fcntl.h>
#include <io.h>
#include <vector>
#include <windows.h>

/// The errno value nearest to a Win32 error code, so that every fault is told with strerror.
static int errnoFrom(DWORD code) {
    switch (code) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return EACCES;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    default:
        return EIO;
    }
}

/// The temporary file for a signal handler: the name is complete whenever armed is set.
static char pendingName[MAX_PATH + 1];
static std::atomic<bool> pendingArmed{false};

static void onSignal(int signalNumber) {
    if (pendingArmed) DeleteFileA(pendingName);
    std::_Exit(128 + signalNumber);
}

void prepareProcess() {
    // Windows has no file size signal; a closed standard descriptor is opened on NUL.
    for (int fd = 0; fd <= 2; ++fd) {
        if (_get_osfhandle(fd) != -1) continue;
        const int opened = _open("NUL", fd == 0 ? _O_RDONLY : _O_WRONLY);
        if (opened >= 0 && opened != fd) {
            _dup2(opened, fd);
            _close(opened);
        }
    }
}

void endOnSignals() {
    for (int signalNumber : {SIGINT, SIGTERM, SIGBREAK}) {
        if (std::signal(signalNumber, onSignal) == SIG_IGN) std::signal(signalNumber, SIG_IGN);
    }
}

std::string workingDirectory() {
    std::vector<char> buffer(1024);
    while (!_getcwd(buffer.data(), static_cast<int>(buffer.size()))) {
        if (errno != ERANGE) return "";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

bool pathExists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/// Volume and file index of an existing file; false when it cannot be opened.
static bool fileIdentity(const std::string& path, BY_HANDLE_FILE_INFORMATION& info) {
    HANDLE handle = CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    bool ok = GetFileInformationByHandle(handle, &info) != 0;
    CloseHandle(handle);
    return ok;
}

bool sameFile(const std::string& a, const std::string& b) {
    if (a == b) return true;
    BY_HANDLE_FILE_INFORMATION ia, ib;
    if (fileIdentity(a, ia) && fileIdentity(b, ib)) {
        return ia.dwVolumeSerialNumber == ib.dwVolumeSerialNumber && ia.nFileIndexHigh == ib.nFileIndexHigh &&
               ia.nFileIndexLow == ib.nFileIndexLow;
    }
    char fullA[MAX_PATH], fullB[MAX_PATH];
    if (!_fullpath(fullA, a.c_str(), MAX_PATH) || !_fullpath(fullB, b.c_str(), MAX_PATH)) return false;
    return _stricmp(fullA, fullB) == 0;
}

std::FILE* openInput(const std::string& path) {
    return std::fopen(path.c_str(), "rb");
}

bool isPlainFile(std::FILE* file) {
    return GetFileType(reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)))) == FILE_TYPE_DISK;
}

std::FILE* createTemporary(const std::string& output, std::string& tempPath) {
    size_t separator = output.find_last_of("/\\:");
    std::string dir = separator == std::string::npos ? "." : output.substr(0, separator + 1);
    char name[MAX_PATH];
    if (GetTempFileNameA(dir.c_str(), "vqu", 0, name) == 0) {
        errno = errnoFrom(GetLastError());
        return nullptr;
    }
    tempPath = name;
    std::memcpy(pendingName, name, std::strlen(name) + 1);
    pendingArmed = true;
    // fopen would share the file for reading and writing but not for deletion; the Ctrl-C handler runs on a
    // thread of its own and must be able to delete it while it is open.
    HANDLE handle = CreateFileA(name, GENERIC_WRITE, FILE_SHARE_DELETE, nullptr, TRUNCATE_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    int fd = -1;
    if (handle == INVALID_HANDLE_VALUE)
        errno = errnoFrom(GetLastError());
    else if ((fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY)) < 0)
        CloseHandle(handle);
    std::FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (!file) {
        int error = errno;
        if (fd >= 0) _close(fd);
        removeFile(name);
        tempPath.clear();
        errno = error;
    }
    return file;
}

bool syncFile(std::FILE* file) {
    return _commit(_fileno(file)) == 0;
}

int moveNoReplace(const std::string& from, const std::string& to) {
    // Without MOVEFILE_REPLACE_EXISTING the move fails when the name is taken.
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_WRITE_THROUGH)) {
        pendingArmed = false;
        return 0;
    }
    return errnoFrom(GetLastError());
}

void removeFile(const std::string& path) {
    DeleteFileA(path.c_str());
    pendingArmed = false;
}
