// vqbench: the benchmarks of make bench. They print figures and never fail for a slow machine; the exit
// status is non-zero only when a download or a load itself failed.
#include "bench.h"
#include "process.h"
#include "read_back_bench.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

const char* const USAGE =
    "Usage: vqbench [--vq2dl PATH] [--runs N] [--full] [load] [line] [parallel] [readback] [padding] [json] "
    "[station] [keep]\n"
    "       vqbench --load-child FILE\n"
    "Runs the named benchmarks (all seven when none is named) and prints their figures:\n"
    "  load      a 16 MiB S-record image loaded, against srec_info\n"
    "  line      whole downloads at 115200 bit/s against the floor of the line, under each delivery\n"
    "            (byte, fifo, usb:1, usb:16), without and with -b; --full adds the 256 KiB image through\n"
    "            USB without -b (about 6 more minutes)\n"
    "  parallel  8 downloads at once and the CPU time of each\n"
    "  padding   of the line benchmark, only the 64 KiB image with half 0xFF padding and the 64 KiB image,\n"
    "            with -b, byte and usb:16\n"
    "  readback  a 64 KiB read-back at 115200 bit/s against the floor of its own bytes, under each\n"
    "            delivery\n"
    "  json      the 64 KiB download byte by byte without and with --json\n"
    "  station   16 ports at once (vq2dl --ports) against one port alone, and the CPU of the station\n"
    "  keep      the 64 KiB download byte by byte without and with --keep of 256 bytes\n";

std::string selfPath(const char* argv0) {
    char path[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return argv0;
    path[n] = '\0';
    return path;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--load-child") == 0) return bench::loadChildMain(argv[2]);

    // Line by line, so that a pipe or a log shows each figure as soon as it is measured.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    bench::Settings settings;
    settings.self = selfPath(argv[0]);
    settings.vq2dl = VQ2DL_PROGRAM;
    settings.srecInfo = bench::findOnPath("srec_info");
    std::vector<std::string> chosen;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if ((arg == "--vq2dl" || arg == "--runs") && i + 1 < argc) {
            if (arg == "--vq2dl")
                settings.vq2dl = argv[++i];
            else
                settings.runs = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--full") {
            settings.full = true;
        } else if (arg == "line" || arg == "parallel" || arg == "load" || arg == "readback" ||
                   arg == "json" || arg == "station" || arg == "keep") {
            chosen.push_back(arg);
        } else if (arg == "padding") {
            settings.paddingOnly = true;
            chosen.push_back("line");
        } else {
            std::fputs(USAGE, arg == "--help" ? stdout : stderr);
            return arg == "--help" ? 0 : 2;
        }
    }
    // Loading goes first: a child's peak includes this process's peak at the start, which the simulated
    // controllers of the download benchmarks raise.
    if (chosen.empty()) chosen = {"load", "line", "readback", "parallel", "json", "station", "keep"};

    // An interrupted run still removes its scratch files: the waits end, the children are killed.
    bench::stopOnSignals();
    std::optional<bench::ScratchDir> made;
    try {
        made.emplace();
    } catch (const std::runtime_error&) {
        std::fprintf(stderr, "vqbench: cannot make a scratch directory\n");
        return 1;
    }
    const bench::ScratchDir& scratch = *made;
    std::printf("vqbench on %s\n\n", bench::machineLine(bench::describeMachine()).c_str());
    std::fflush(stdout);
    bool ok = true;
    for (const std::string& name : chosen) {
        if (bench::interrupted()) break;
        bool done = name == "line"       ? bench::benchmarkLine(settings, scratch)
                    : name == "parallel" ? bench::benchmarkParallel(settings, scratch)
                    : name == "readback" ? bench::benchmarkReadBack(settings, scratch)
                    : name == "json"     ? bench::benchmarkEvents(settings, scratch)
                    : name == "station"  ? bench::benchmarkStation(settings, scratch)
                    : name == "keep"     ? bench::benchmarkKeep(settings, scratch)
                                         : bench::benchmarkLoading(settings, scratch);
        std::fflush(stdout);
        ok = done && ok;
    }
    if (bench::interrupted()) {
        std::fprintf(stderr, "vqbench: interrupted\n");
        return 130;
    }
    return ok ? 0 : 1;
}
