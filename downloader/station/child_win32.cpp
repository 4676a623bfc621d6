// The children of a production station on Windows: CreateProcess with a pipe, PeekNamedPipe, Ctrl-Break;
// every child in a job object that kills it when the station's last handle to the job closes.
#include "child.h"
#include "platform/system_win32.h"

#include <windows.h>

namespace {

/// One argument as the C runtime of the child reads it back: quoted where it holds a blank or a quote.
std::string quotedArgument(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos) return arg;
    return platformQuotedArgument(arg);
}

HANDLE handleOf(intptr_t value) {
    return reinterpret_cast<HANDLE>(value);
}

std::string systemError() {
    return platformErrorText(GetLastError());
}

/// The job of this station's children, made at the first child; its handle stays open for the process's
/// life, so that the system kills every child once the station has ended, however it ended.
HANDLE stationJob() {
    static HANDLE job = [] {
        HANDLE made = CreateJobObjectA(nullptr, nullptr);
        if (!made) return made;
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
        limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
        if (!SetInformationJobObject(made, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
            CloseHandle(made);
            return HANDLE(nullptr);
        }
        return made;
    }();
    return job;
}

} // namespace

bool platformStartChild(const std::vector<std::string>& args, ChildProcess& child, std::string& error) {
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr, writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherit, 0)) {
        error = systemError();
        return false;
    }
    // Only the write end goes to the child.
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    HANDLE nul = CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING,
                             0, nullptr);
    STARTUPINFOA start = {};
    start.cb = sizeof start;
    start.dwFlags = STARTF_USESTDHANDLES;
    start.hStdInput = nul;
    start.hStdOutput = writeEnd;
    start.hStdError = writeEnd;
    std::string line;
    for (const std::string& arg : args)
        line += (line.empty() ? "" : " ") + quotedArgument(arg);
    PROCESS_INFORMATION process = {};
    // A group of its own, so that Ctrl-Break reaches this child alone; suspended until it is in the job.
    BOOL started =
        CreateProcessA(args[0].c_str(), &line[0], nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr, nullptr, &start, &process);
    if (!started) error = systemError();
    CloseHandle(writeEnd);
    if (nul != INVALID_HANDLE_VALUE) CloseHandle(nul);
    if (!started) {
        CloseHandle(readEnd);
        return false;
    }
    // A system that refuses the job (an older one, already in a job that forbids it) still runs the child.
    HANDLE job = stationJob();
    if (job) AssignProcessToJobObject(job, process.hProcess);
    if (ResumeThread(process.hThread) == static_cast<DWORD>(-1)) {
        error = systemError();
        TerminateProcess(process.hProcess, 5);
        WaitForSingleObject(process.hProcess, 2000);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        CloseHandle(readEnd);
        return false;
    }
    CloseHandle(process.hThread);
    child.process = reinterpret_cast<intptr_t>(process.hProcess);
    child.output = reinterpret_cast<intptr_t>(readEnd);
    return true;
}

void platformReadChildren(const std::vector<ChildProcess*>& children, int timeoutMs) {
    // Anonymous pipes cannot be waited on together: each is looked at, and the wait is short sleeps.
    const ULONGLONG deadline = GetTickCount64() + static_cast<ULONGLONG>(timeoutMs);
    char buffer[4096];
    while (true) {
        bool any = false;
        for (ChildProcess* child : children) {
            if (child->output == -1) continue;
            DWORD available = 0;
            if (!PeekNamedPipe(handleOf(child->output), nullptr, 0, nullptr, &available, nullptr)) {
                CloseHandle(handleOf(child->output));
                child->output = -1;
                continue;
            }
            if (available == 0) continue;
            DWORD n = 0;
            if (ReadFile(handleOf(child->output), buffer, sizeof buffer, &n, nullptr) && n > 0) {
                child->received.append(buffer, n);
                any = true;
            }
        }
        if (any || GetTickCount64() >= deadline) return;
        Sleep(10);
    }
}

bool platformChildEnded(ChildProcess& child) {
    if (child.exited) return true;
    if (child.process == -1) return false;
    if (WaitForSingleObject(handleOf(child.process), 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(handleOf(child.process), &code);
    child.exited = true;
    child.status = static_cast<int>(code);
    return true;
}

void platformStopChild(const ChildProcess& child, int signalNumber, bool force) {
    (void)signalNumber; // Ctrl-Break is the one signal a child in its own group can be sent
    if (child.process == -1 || child.exited) return;
    if (force)
        TerminateProcess(handleOf(child.process), 128 + 9);
    else
        GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, GetProcessId(handleOf(child.process)));
}

void platformReleaseChild(ChildProcess& child) {
    if (child.output != -1) CloseHandle(handleOf(child.output));
    if (child.process != -1) CloseHandle(handleOf(child.process));
    child.output = -1;
    child.process = -1;
}

std::string platformSelfPath(const char* argv0) {
    char path[MAX_PATH * 4];
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    return n > 0 && n < sizeof path ? std::string(path, n) : std::string(argv0);
}

void platformEndWithStation() {
    // The station's job object ends its children; nothing to ask for here.
}

std::string platformSignalName(int signalNumber) {
    return "signal " + std::to_string(signalNumber);
}
