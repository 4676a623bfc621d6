// What --keep costs: the 64 KiB download into a controller that holds the image already, without and with
// --keep of 256 bytes, against the line time of reading those bytes twice.
#include "bench.h"
#include "download.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>

namespace bench {

namespace {

/// The kept range: 256 bytes at the top of 0x4000-0x7FFF, one read-block command.
constexpr const char* KEPT_RANGE = "0x7F00-0x7FFF";
constexpr unsigned KEPT_BYTES = 256;

/// The milliseconds from the keep step's event to the erase step's in a --json log; negative without them.
double keepStepSeconds(const std::string& log) {
    std::ifstream in(log);
    double keep = -1, erase = -1;
    for (std::string line; std::getline(in, line);) {
        const nlohmann::json event = nlohmann::json::parse(line, nullptr, false);
        if (!event.is_object() || event.value("event", "") != "step") continue;
        if (event.value("step", "") == "keep") keep = event.value("ms", 0.0);
        if (event.value("step", "") == "erase") erase = event.value("ms", 0.0);
    }
    return keep < 0 || erase < 0 ? -1 : (erase - keep) / 1000.0;
}

/// One download: its wall time and the bytes that crossed the line; false with the reason.
bool runOnce(const Settings& settings, const DownloadCase& image, const std::string& file,
             const std::string& log, const std::vector<std::string>& extra, double& wall, uint64_t& bytes,
             std::string& error) {
    Download download(image, file, log, settings.baud);
    // The controller holds the image already, so that the kept bytes are the image's and the flash can be
    // checked against it afterwards.
    download.preload = file;
    download.extraArgs = extra;
    if (!download.start(settings.vq2dl, error)) return false;
    download.child().wait(DOWNLOAD_LIMIT_SECONDS);
    if (!download.finish(error)) return false;
    wall = download.child().result().wallSeconds;
    bytes = download.counters().bytesIn + download.counters().bytesOut;
    return true;
}

} // namespace

bool benchmarkKeep(const Settings& settings, const ScratchDir& scratch) {
    std::printf("Benchmark 7: --keep at %d bit/s (one download at a time, byte by byte, without -b)\n",
                settings.baud);
    const DownloadCase image = monitorCase(2);
    const std::string file = scratch.file("keep-64k.s19");
    std::string error;
    if (!writeCaseFile(image, file, error)) {
        std::printf("  %s\n", error.c_str());
        return false;
    }
    // Both with --json, whose events time the keep step from its start to the erase.
    const std::vector<std::string> plain = {"--json"};
    const std::vector<std::string> kept = {"--json", "--keep", KEPT_RANGE, "--keep-dir",
                                           scratch.file("kept")};
    const std::string log = scratch.file("keep.log");
    double step = 1e9;
    double best[2] = {1e9, 1e9};
    uint64_t bytes[2] = {0, 0};
    // Runs alternate, and the fastest of each counts: the machine's other load comes and goes.
    for (int run = 0; run < settings.runs; ++run) {
        for (int k = 0; k < 2; ++k) {
            if (interrupted()) return false;
            double wall = 0;
            if (!runOnce(settings, image, file, scratch.file("keep.log"), k ? kept : plain, wall, bytes[k],
                         error)) {
                std::printf("  %s: %s\n", k ? "--keep" : "plain", error.c_str());
                return false;
            }
            best[k] = std::min(best[k], wall);
            if (k) step = std::min(step, keepStepSeconds(log));
        }
    }
    // Two read-block commands of 4 bytes, each answered with the 256 bytes and the 3-byte reply.
    const double twice = 2.0 * (4 + KEPT_BYTES + 3) * 10.0 / settings.baud;
    const double bound = twice + 0.05 * best[0];
    std::printf(
        "  %s, fastest of %d each: plain %.3f s, --keep %s %.3f s: %+.3f s; %llu more bytes crossed\n",
        image.name.c_str(), settings.runs, best[0], KEPT_RANGE, best[1], best[1] - best[0],
        static_cast<unsigned long long>(bytes[1] - bytes[0]));
    std::printf("  the keep step alone (read twice, file written and flushed to disk), fastest: %.3f s\n",
                step);
    std::printf("  reading %u bytes twice: %.3f s of line time; allowed: that + 5 %% of the download = %.3f "
                "s: %s\n\n",
                KEPT_BYTES, twice, bound, step <= bound ? "the keep step within" : "the keep step OVER");
    return true;
}

} // namespace bench
