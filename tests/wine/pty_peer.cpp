// The Linux end of the Wine stage: a pseudo-terminal whose slave the Wine COM port opens through LINK. It
// plays serial_check's dialogue from the master side and prints what it saw of the line.
//   pty_peer LINK     points LINK at the slave, then serves one dialogue
//   pty_peer -q LINK  points LINK at the slave, then stays silent until the other end closes
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

namespace {

int master = -1;

[[noreturn]] void giveUp(const char* what) {
    std::printf("peer: %s\n", what);
    std::fflush(stdout);
    std::exit(1);
}

/// n bytes from the other end within timeoutMs, or fewer.
std::string receive(size_t n, int timeoutMs) {
    std::string got;
    while (got.size() < n) {
        pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) break;
        char buffer[256];
        ssize_t r = read(master, buffer, std::min(sizeof buffer, n - got.size()));
        if (r <= 0) break;
        got.append(buffer, static_cast<size_t>(r));
    }
    return got;
}

void send(const std::string& bytes) {
    if (write(master, bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
        giveUp("write failed");
}

/// The slave's settings as the other end left them.
void showSettings() {
    termios t;
    if (tcgetattr(master, &t) != 0) giveUp("tcgetattr failed");
    speed_t speed = cfgetospeed(&t);
    std::printf("peer: speed %s, %s stop bit, xon/xoff %s, rts/cts %s, %s input, %s output\n",
                speed == B38400 ? "38400" : "NOT 38400", (t.c_cflag & CSTOPB) ? "TWO" : "one",
                (t.c_iflag & (IXON | IXOFF)) ? "ON" : "off", (t.c_cflag & CRTSCTS) ? "ON" : "off",
                (t.c_lflag & (ICANON | ECHO | ISIG)) ? "COOKED" : "raw",
                (t.c_oflag & OPOST) ? "PROCESSED" : "raw");
}

/// The master reports a hang-up while nobody holds the slave open.
bool slaveClosed() {
    pollfd pfd = {master, POLLIN, 0};
    return poll(&pfd, 1, 0) > 0 && (pfd.revents & POLLHUP);
}

void awaitOpen(int timeoutMs) {
    for (int waited = 0; slaveClosed(); waited += 10) {
        if (waited >= timeoutMs) giveUp("the other end did not open the line");
        usleep(10000);
    }
}

/// Waits until the other end closes the slave.
void awaitClose(int timeoutMs) {
    for (;;) {
        pollfd pfd = {master, POLLIN, 0};
        if (poll(&pfd, 1, timeoutMs) <= 0) giveUp("the other end did not close");
        char c;
        if (read(master, &c, 1) <= 0) break;
    }
    std::printf("peer: closed by the other end\n");
}

void dialogue() {
    if (receive(1, 30000) != "S") giveUp("no S");
    showSettings();
    send(std::string("\xE0\x00\x3E", 3));

    std::string block = receive(40, 5000);
    bool counting = block.size() == 40;
    for (size_t i = 0; counting && i < block.size(); ++i)
        counting = static_cast<uint8_t>(block[i]) == i;
    std::printf("peer: received %zu bytes%s\n", block.size(), counting ? ", 00 to 27 in order" : ", WRONG");
    std::string answer;
    for (int i = 0; i < 40; ++i)
        answer += static_cast<char>(0x80 + i);
    send(answer);
    send("\r\nBoot>");
    awaitClose(5000);
}

} // namespace

int main(int argc, char** argv) {
    bool quiet = argc == 3 && std::strcmp(argv[1], "-q") == 0;
    if (argc != 2 && !quiet) giveUp("usage: pty_peer [-q] LINK");
    alarm(60);
    master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) giveUp("no pseudo-terminal");
    // Swap the link in one step, so the other end never sees it missing or half made.
    std::string link = argv[argc - 1];
    std::string fresh = link + ".new";
    unlink(fresh.c_str());
    if (symlink(ptsname(master), fresh.c_str()) != 0 || rename(fresh.c_str(), link.c_str()) != 0)
        giveUp(std::strerror(errno));
    std::printf("peer: ready\n");
    std::fflush(stdout);
    awaitOpen(30000);
    if (quiet)
        awaitClose(30000);
    else
        dialogue();
    std::fflush(stdout);
    return 0;
}
