#include "fixture.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace fx {

std::string captured;

void captureSink(const char* text) {
    captured += text;
    size_t n = std::strlen(text);
    if (n == 0 || text[n - 1] != '\r') captured += '\n';
}

void writeFile(const std::string& path, const std::string& content) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    std::fwrite(content.data(), 1, content.size(), f);
    std::fclose(f);
}

std::string readFile(const std::string& path) {
    std::string content;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) return content;
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        content.append(buffer, n);
    std::fclose(f);
    return content;
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool fileExists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string srec(int type, uint32_t address, const std::vector<uint8_t>& data) {
    int addressBytes = (type == 0 || type == 1 || type == 9) ? 2 : (type == 2 || type == 8) ? 3 : 4;
    unsigned count = addressBytes + data.size() + 1;
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "S%d%02X", type, count);
    std::string line = buffer;
    unsigned sum = count;
    for (int i = addressBytes - 1; i >= 0; --i) {
        unsigned b = (address >> (8 * i)) & 0xFF;
        sum += b;
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        line += buffer;
    }
    for (uint8_t b : data) {
        sum += b;
        std::snprintf(buffer, sizeof buffer, "%02X", b);
        line += buffer;
    }
    std::snprintf(buffer, sizeof buffer, "%02X", ~sum & 0xFF);
    return line + buffer;
}

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(first + i);
    return v;
}

static void drain(int fd, std::string& into, bool& open) {
    char buffer[4096];
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n > 0)
        into.append(buffer, n);
    else if (n == 0 || (errno != EINTR && errno != EAGAIN))
        open = false;
}

/// Starts program in cwd with no standard input and its output and errors on the given descriptors.
static pid_t spawn(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
                   int outFd, int errFd, const std::vector<int>& closeInChild, int inFd = -1) {
    // The argument vector is built before the fork: a test may run programs from several threads at once, and
    // the child of a threaded process must not allocate (under the sanitizers it can deadlock there).
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid != 0) return pid;
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(127);
    dup2(inFd >= 0 ? inFd : open("/dev/null", O_RDONLY), 0);
    dup2(outFd, 1);
    dup2(errFd, 2);
    for (int fd : closeInChild)
        close(fd);
    execv(program.c_str(), argv.data());
    _exit(127);
}

/// Reads the descriptors into their texts until all are closed (or the time is up: then the child is killed),
/// and reaps the child.
static void collect(RunResult& result, pid_t pid, std::vector<int> fds, std::vector<std::string*> into,
                    int timeoutMs, const std::function<void()>& afterRead = {}) {
    auto start = std::chrono::steady_clock::now();
    std::vector<bool> open(fds.size(), true);
    bool killed = false;
    while (std::find(open.begin(), open.end(), true) != open.end()) {
        int left = timeoutMs - static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                    std::chrono::steady_clock::now() - start)
                                                    .count());
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        std::vector<pollfd> polled;
        for (size_t i = 0; i < fds.size(); ++i)
            polled.push_back({open[i] ? fds[i] : -1, POLLIN, 0});
        int ready = poll(polled.data(), polled.size(), left > 0 ? left : 100);
        if (ready < 0 && errno != EINTR) break;
        if (ready == 0 && killed) break;
        for (size_t i = 0; i < fds.size(); ++i) {
            bool stillOpen = open[i];
            if (polled[i].revents) drain(fds[i], *into[i], stillOpen);
            open[i] = stillOpen;
        }
        if (afterRead) afterRead();
    }
    for (int fd : fds)
        close(fd);
    int status = 0;
    struct rusage usage = {};
    wait4(pid, &status, 0, &usage);
    result.maxRssKb = usage.ru_maxrss;
    result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    result.status = (!killed && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

RunResult run(const std::string& program, const std::vector<std::string>& args, const std::string& cwd,
              int timeoutMs) {
    RunResult result;
    int out[2], err[2];
    // Close-on-exec, so that a program started at the same time from another thread does not hold these pipes
    // open and keep this run from seeing its end; dup2 clears the flag on the copies the child keeps.
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return result;
    pid_t pid = spawn(program, args, cwd, out[1], err[1], {out[0], err[0]});
    close(out[1]);
    close(err[1]);
    collect(result, pid, {out[0], err[0]}, {&result.out, &result.err}, timeoutMs);
    return result;
}

RunResult runOnTerminal(const std::string& program, const std::vector<std::string>& args,
                        const std::string& cwd, int timeoutMs, unsigned short columns,
                        const std::string& typeAfter, const std::string& typed) {
    RunResult result;
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return result;
    // The slave is opened before the fork, so the terminal never looks hung up before the program starts.
    int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
    if (slave < 0) return result;
    termios raw;
    tcgetattr(slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(slave, TCSANOW, &raw);
    winsize size = {};
    size.ws_row = columns ? 24 : 0;
    size.ws_col = columns;
    ioctl(slave, TIOCSWINSZ, &size);
    pid_t pid = spawn(program, args, cwd, slave, slave, {master}, typed.empty() ? -1 : slave);
    close(slave);
    // The terminal ends when the program's last descriptor on it closes: read gives EIO then.
    bool typing = !typed.empty();
    collect(result, pid, {master}, {&result.out}, timeoutMs, [&] {
        if (!typing || result.out.find(typeAfter) == std::string::npos) return;
        typing = false;
        EXPECT_EQ(write(master, typed.data(), typed.size()), ssize_t(typed.size()));
    });
    return result;
}

int killedWhileWaiting(Texts args, int signalNumber) {
    auto sim = startController(monitorOptions({"silent@any"}));
    args.insert(args.begin(), {VQ2DL_PROGRAM, "-c", sim->devicePath()});
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        execv(VQ2DL_PROGRAM, argv.data());
        _exit(127);
    }
    // The first byte on the line shows that vq2dl holds the port open.
    const auto start = Clock::now();
    while (sim->received().empty() && msSince(start) < 10000)
        usleep(1000);
    EXPECT_FALSE(sim->received().empty());
    kill(pid, signalNumber);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

Background::Background(const std::string& program, const std::vector<std::string>& args,
                       const std::string& cwd, int pipeBytes) {
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    if (pipeBytes > 0) {
        EXPECT_GE(fcntl(out[0], F_SETPIPE_SZ, pipeBytes), pipeBytes);
    }
    pid = spawn(program, args, cwd, out[1], 2, {out[0]});
    close(out[1]);
    fd = out[0];
}

Background::~Background() {
    if (pid > 0 && status == -2) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    if (fd >= 0) close(fd);
}

std::string Background::line(int timeoutMs) {
    std::string text;
    char c;
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, timeoutMs) > 0 && read(fd, &c, 1) == 1 && c != '\n')
        text += c;
    return text;
}

std::string Background::until(const std::string& text, int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    char buffer[4096];
    pollfd p = {fd, POLLIN, 0};
    while (seen.find(text) == std::string::npos) {
        const int left = timeoutMs - static_cast<int>(msSince(start));
        if (left <= 0 || poll(&p, 1, left) <= 0) break;
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen;
}

int Background::finish(int signal, std::string& rest) {
    if (signal) kill(pid, signal);
    rest.clear();
    char buffer[256];
    ssize_t n;
    pollfd p = {fd, POLLIN, 0};
    while (poll(&p, 1, 10000) > 0 && (n = read(fd, buffer, sizeof buffer)) > 0)
        rest.append(buffer, static_cast<size_t>(n));
    if (status != -2) return status;
    int raw = 0;
    waitpid(pid, &raw, 0);
    status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return status;
}

int Background::wait(int timeoutMs) {
    const auto start = std::chrono::steady_clock::now();
    while (status == -2) {
        int raw = 0;
        if (waitpid(pid, &raw, WNOHANG) == pid) {
            status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
            break;
        }
        if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(timeoutMs)) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return status;
}

} // namespace fx
