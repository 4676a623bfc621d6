// Benchmark 1: whole downloads at 115200 bit/s, VQ-II and VQ-I, against the floor of the line and the
// protocols.
#include "bench.h"
#include "download.h"

#include <cstdio>

namespace bench {

namespace {

/// About 256 KiB: the 32 KiB of unpaged flash and 14 pages.
constexpr unsigned MONITOR_PAGES = 14;

bool runOne(const Settings& settings, const ScratchDir& scratch, const DownloadCase& image) {
    if (interrupted()) return false;
    std::printf("  %s\n", image.name.c_str());
    std::string file = scratch.file(image.generation == 1 ? "line-vq1.s19" : "line-vq2.s19");
    std::string error;
    if (!writeCaseFile(image, file, error)) {
        std::printf("    %s\n", error.c_str());
        return false;
    }
    Download download(image, file, scratch.file("line.log"), settings.baud);
    if (!download.start(settings.vq2dl, error)) {
        std::printf("    %s\n", error.c_str());
        return false;
    }
    const ChildResult& result = download.child().wait(DOWNLOAD_LIMIT_SECONDS);
    if (!download.finish(error)) {
        std::printf("    the download failed: %s\n", error.c_str());
        return false;
    }
    Floor floor = download.floor();
    std::printf(
        "    wall %.2f s, floor %.2f s = line %.2f s (%llu bytes) + waits %.2f s + time-outs %.2f s\n",
        result.wallSeconds, floor.total(), floor.lineSeconds, static_cast<unsigned long long>(floor.bytes),
        floor.waitSeconds, floor.timeoutSeconds);
    // Where the wall time goes beyond the waits: the time per byte that crossed, against its ten bit times.
    double lineShare = result.wallSeconds - floor.waitSeconds - floor.timeoutSeconds;
    std::printf("    one byte crossed every %.1f us on average beside the waits (%.1f us at %d bit/s)\n",
                1e6 * lineShare / static_cast<double>(floor.bytes), 1e7 / settings.baud, settings.baud);
    std::printf("    wall / floor %.3f   (vq2dl CPU %.2f s, %.2f %% of its wall)\n",
                result.wallSeconds / floor.total(), result.cpuSeconds,
                100.0 * result.cpuSeconds / result.wallSeconds);
    return true;
}

} // namespace

bool benchmarkLine(const Settings& settings, const ScratchDir& scratch) {
    std::printf(
        "Benchmark 1: line efficiency at %d bit/s (vq2dl against a simulated controller pacing the line)\n",
        settings.baud);
    bool ok = runOne(settings, scratch, monitorCase(MONITOR_PAGES));
    ok = runOne(settings, scratch, bootLoaderCase()) && ok;
    std::printf("\n");
    return ok;
}

} // namespace bench
