// The machine description and the PATH look-up of the benchmarks.
#include "environment.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>

namespace bench {

namespace {

std::string cpuModel() {
    std::ifstream info("/proc/cpuinfo");
    std::string line;
    while (std::getline(info, line)) {
        if (line.compare(0, 10, "model name") != 0) continue;
        size_t colon = line.find(':');
        if (colon == std::string::npos) break;
        size_t start = line.find_first_not_of(" \t", colon + 1);
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return "unknown CPU";
}

} // namespace

Machine describeMachine() {
    Machine machine;
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    machine.cores = cores > 0 ? static_cast<int>(cores) : 0;
    utsname names;
    machine.architecture = uname(&names) == 0 ? names.machine : "unknown";
    machine.cpuModel = cpuModel();
    std::time_t now = std::time(nullptr);
    char date[32];
    std::tm local;
    localtime_r(&now, &local);
    std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", &local);
    machine.date = date;
    std::ifstream("/proc/loadavg") >> machine.loadAverage;
    return machine;
}

std::string machineLine(const Machine& machine) {
    return std::to_string(machine.cores) + " cores, " + machine.architecture + ", " + machine.cpuModel +
           ", " + machine.date + ", load average " +
           (machine.loadAverage.empty() ? "unknown" : machine.loadAverage);
}

std::string findOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        std::string dir = dirs.substr(start, end - start);
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return std::string();
}

std::string tailOfFile(const std::string& path, int lines) {
    std::ifstream file(path, std::ios::binary);
    std::string content((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    // vq2dl ends its progress lines with a carriage return alone: each counts as a line here.
    std::vector<std::string> kept;
    std::string line;
    for (size_t i = 0; i <= content.size(); ++i) {
        char c = i < content.size() ? content[i] : '\n';
        if (c != '\r' && c != '\n') {
            line += c;
            continue;
        }
        if (c == '\r' && i + 1 < content.size() && content[i + 1] == '\n') ++i;
        if (line.empty() && i >= content.size()) break;
        kept.push_back(line);
        line.clear();
        if (static_cast<int>(kept.size()) > lines) kept.erase(kept.begin());
    }
    std::string text;
    for (const std::string& entry : kept)
        text += "    | " + entry + "\n";
    return text;
}

} // namespace bench
