// The control FIFO: vqsim holds both ends, so a writer that comes and goes never makes it read an end of
// file, and reads it without blocking between its looks at the controllers.
#include "control.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

/// The longest command line taken; a longer one is reported and dropped.
constexpr size_t MAX_LINE = 256;

} // namespace

ControlFifo::~ControlFifo() {
    close();
}

bool ControlFifo::open(const std::string& fifo, std::string& error) {
    path = fifo;
    if (mkfifo(fifo.c_str(), 0600) == 0) {
        made = true;
    } else {
        struct stat st;
        if (errno != EEXIST || lstat(fifo.c_str(), &st) != 0 || !S_ISFIFO(st.st_mode)) {
            error = "cannot make the control FIFO " + fifo + ": " +
                    (errno == EEXIST ? "it exists and is not a FIFO" : std::strerror(errno));
            return false;
        }
    }
    // Read and write: as its own writer, vqsim never sees the FIFO end when a script's writer closes it.
    fd = ::open(fifo.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = "cannot open the control FIFO " + fifo + ": " + std::strerror(errno);
        close();
        return false;
    }
    return true;
}

void ControlFifo::serve(const std::vector<std::unique_ptr<vqsim::Simulator>>& sims, int ms) {
    if (fd < 0) {
        usleep(static_cast<useconds_t>(ms) * 1000);
        return;
    }
    pollfd ready = {fd, POLLIN, 0};
    if (poll(&ready, 1, ms) <= 0 || !(ready.revents & POLLIN)) return;
    char buffer[512];
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0)
        pending.append(buffer, static_cast<size_t>(n));
    size_t start = 0, end;
    while ((end = pending.find('\n', start)) != std::string::npos) {
        execute(pending.substr(start, end - start), sims);
        start = end + 1;
    }
    pending.erase(0, start);
    if (pending.size() > MAX_LINE) {
        std::fprintf(stderr, "vqsim: control: a line longer than %zu characters, dropped\n", MAX_LINE);
        pending.clear();
    }
}

void ControlFifo::execute(const std::string& raw,
                          const std::vector<std::unique_ptr<vqsim::Simulator>>& sims) {
    std::string line = raw;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
        line.pop_back();
    if (line.empty() || line.size() > MAX_LINE) {
        if (!line.empty())
            std::fprintf(stderr, "vqsim: control: a line longer than %zu characters, dropped\n", MAX_LINE);
        return;
    }
    const size_t space = line.find(' ');
    const std::string verb = line.substr(0, space);
    std::string number = space == std::string::npos ? "" : line.substr(space + 1);
    // "dump N FILE": the file is the rest of the line, blanks and all.
    std::string file;
    const size_t blank = verb == "dump" ? number.find(' ') : std::string::npos;
    if (blank != std::string::npos) {
        file = number.substr(blank + 1);
        number.erase(blank);
    }
    const bool digits =
        !number.empty() && number.size() <= 3 && number.find_first_not_of("0123456789") == std::string::npos;
    const size_t index = digits ? std::strtoul(number.c_str(), nullptr, 10) : 0;
    if ((verb != "detach" && verb != "attach" && verb != "dump") || !digits ||
        (verb == "dump" && file.empty())) {
        std::fprintf(stderr, "vqsim: control: \"%s\" is not \"detach N\", \"attach N\" or \"dump N FILE\"\n",
                     line.c_str());
        return;
    }
    if (index >= sims.size()) {
        std::fprintf(stderr, "vqsim: control: \"%s\": no controller %s (there are %zu, counted from 0)\n",
                     line.c_str(), number.c_str(), sims.size());
        return;
    }
    std::string error;
    if (verb == "detach")
        sims[index]->detach();
    else if (verb == "attach")
        sims[index]->attach();
    else if (!sims[index]->dump(file, binaryDump, error))
        std::fprintf(stderr, "vqsim: control: %s\n", error.c_str());
}

void ControlFifo::close() {
    if (fd >= 0) ::close(fd);
    fd = -1;
    if (made) unlink(path.c_str());
    made = false;
}
