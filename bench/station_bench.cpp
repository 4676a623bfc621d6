// Benchmark 6: a production station of 16 ports at once against one single download of the same image: the
// station's wall time, its own CPU and each port's.
#include "bench.h"
#include "download.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <unistd.h>

namespace bench {

namespace {

constexpr int STATION_PORTS = 16;
/// 64 KiB each: the unpaged flash and two pages.
constexpr unsigned STATION_PAGES = 2;

/// The user and system CPU seconds a running process has used so far, from /proc; -1 once it is gone.
double processCpuSeconds(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return -1;
    // After the name: state, then 10 fields up to utime and stime.
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    unsigned long user = 0, system = 0;
    for (int i = 1; i <= 13 && fields >> field; ++i) {
        if (i == 12) user = std::stoul(field);
        if (i == 13) system = std::stoul(field);
    }
    return static_cast<double>(user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

} // namespace

bool benchmarkStation(const Settings& settings, const ScratchDir& scratch) {
    DownloadCase image = monitorCase(STATION_PAGES);
    std::printf("Benchmark 6: a station of %d ports at %d bit/s (vq2dl --ports), %s each\n", STATION_PORTS,
                settings.baud, image.name.c_str());
    const std::string file = scratch.file("station.s19");
    std::string error;
    if (!writeCaseFile(image, file, error)) {
        std::printf("  %s\n\n", error.c_str());
        return false;
    }
    // 1. One port alone: the time a station's slowest port would take on its own.
    Download single(image, file, scratch.file("station-single.log"), settings.baud);
    if (!single.start(settings.vq2dl, error)) {
        std::printf("  %s\n\n", error.c_str());
        return false;
    }
    const ChildResult alone = single.child().wait(DOWNLOAD_LIMIT_SECONDS);
    if (!single.finish(error)) {
        std::printf("  the single download failed: %s\n\n", error.c_str());
        return false;
    }
    // 2. The station: every controller paced as the single one was, its parent's CPU read while it runs.
    std::vector<std::unique_ptr<vqsim::Simulator>> controllers;
    std::string ports;
    for (int i = 0; i < STATION_PORTS; ++i) {
        vqsim::Options options;
        options.baud = settings.baud;
        controllers.push_back(std::make_unique<vqsim::Simulator>(options));
        if (!controllers.back()->start(error)) {
            std::printf("  controller %d: %s\n\n", i, error.c_str());
            return false;
        }
        ports +=
            (i ? "," : "") + std::string("P") + std::to_string(i) + "=" + controllers.back()->devicePath();
    }
    Child station;
    const std::string log = scratch.file("station.log");
    if (!station.start({settings.vq2dl, "--ports", ports, "-r", std::to_string(settings.baud), file}, log,
                       error)) {
        std::printf("  %s\n\n", error.c_str());
        return false;
    }
    double parentCpu = 0;
    while (!station.pollWithin(DOWNLOAD_LIMIT_SECONDS)) {
        const double cpu = processCpuSeconds(station.id());
        if (cpu >= 0) parentCpu = cpu;
        usleep(20000);
    }
    const ChildResult& all = station.result();
    int failed = 0;
    for (const auto& controller : controllers) {
        controller->stop();
        failed += controller->counters().bytesWritten != spanBytes(image.spans);
    }
    // Figures even when ports failed: a loaded machine shows in them, and the log says which and why.
    if (all.status != 0 || failed)
        std::printf("  the station ended with status %d, %d controllers not fully written:\n%s\n", all.status,
                    failed, tailOfFile(log, 12).c_str());
    const double childCpu = (all.cpuSeconds - parentCpu) / STATION_PORTS;
    std::printf("  one port alone   wall %6.2f s  CPU %5.3f s\n", alone.wallSeconds, alone.cpuSeconds);
    std::printf("  station of %2d    wall %6.2f s = %.3f x one port alone (aim 1.05)\n", STATION_PORTS,
                all.wallSeconds, all.wallSeconds / alone.wallSeconds);
    std::printf("  station's own CPU %5.3f s = %.2f %% of one core (aim under 1 %%)\n", parentCpu,
                100.0 * parentCpu / all.wallSeconds);
    std::printf("  each port's CPU  %5.3f s on average = %.2f x one port alone\n\n", childCpu,
                childCpu / alone.cpuSeconds);
    return all.status == 0 && !failed;
}

} // namespace bench
