// Benchmark 2: several downloads at once, each into a simulated controller of its own, and the CPU time each
// downloader takes as a share of its wall time.
#include "bench.h"
#include "download.h"

#include <algorithm>
#include <cstdio>
#include <memory>

namespace bench {

namespace {

/// 64 KiB each: the unpaged flash and two pages.
constexpr unsigned MONITOR_PAGES = 2;

} // namespace

bool benchmarkParallel(const Settings& settings, const ScratchDir& scratch) {
    DownloadCase image = monitorCase(MONITOR_PAGES);
    std::printf("Benchmark 2: %d downloads at once at %d bit/s, %s each\n", settings.parallel, settings.baud,
                image.name.c_str());
    std::string file = scratch.file("parallel.s19");
    std::string error;
    if (!writeCaseFile(image, file, error)) {
        std::printf("  %s\n\n", error.c_str());
        return false;
    }
    std::vector<std::unique_ptr<Download>> downloads;
    std::vector<Child*> children;
    for (int i = 0; i < settings.parallel; ++i) {
        std::string log = scratch.file("parallel-" + std::to_string(i + 1) + ".log");
        downloads.push_back(std::make_unique<Download>(image, file, log, settings.baud));
        if (!downloads.back()->start(settings.vq2dl, error)) {
            std::printf("  download %d: %s\n\n", i + 1, error.c_str());
            return false;
        }
        children.push_back(&downloads.back()->child());
    }
    waitAll(children, DOWNLOAD_LIMIT_SECONDS);

    int failed = 0;
    double shareSum = 0, shareMax = 0;
    for (size_t i = 0; i < downloads.size(); ++i) {
        Download& download = *downloads[i];
        const ChildResult& result = download.child().result();
        if (!download.finish(error)) {
            std::printf("  #%zu failed: %s\n", i + 1, error.c_str());
            ++failed;
            continue;
        }
        double share = 100.0 * result.cpuSeconds / result.wallSeconds;
        shareSum += share;
        shareMax = std::max(shareMax, share);
        std::printf("  #%zu  wall %6.2f s  CPU %5.3f s = %5.2f %% of its wall   wall / floor %.3f\n", i + 1,
                    result.wallSeconds, result.cpuSeconds, share,
                    result.wallSeconds / download.floor().total());
    }
    if (failed == 0)
        std::printf("  all %d succeeded; CPU per download %.2f %% of its wall on average, %.2f %% at most\n",
                    settings.parallel, shareSum / settings.parallel, shareMax);
    else
        std::printf("  %d of %d downloads failed\n", failed, settings.parallel);
    std::printf("\n");
    return failed == 0;
}

} // namespace bench
