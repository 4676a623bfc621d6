// Benchmark 1: line efficiency. Whole downloads at 115200 bit/s against the floor of the line and the
// protocols, for VQ-II images under each way a line hands answers over (byte by byte, a UART FIFO's chunks,
// USB packets with a 1 ms or 16 ms latency timer), without and with -b; and a VQ-I download.
#include "bench.h"
#include "download.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <numeric>
#include <vector>

namespace bench {

namespace {

/// 64 KiB (the unpaged flash and two pages) and about 256 KiB (the unpaged flash and 14 pages).
constexpr unsigned SMALL_PAGES = 2;
constexpr unsigned LARGE_PAGES = 14;

struct LineCase {
    const DownloadCase* image;
    std::string file;  ///< its S-record file
    std::string label; ///< the image as the table names it
    LineModel model;
};

struct LineResult {
    bool ok = false;
    double wall = 0, floor = 0, cpu = 0, medianUs = 0, turnaroundSeconds = 0, heldSeconds = 0;
    double writeLine = 0; ///< line time of the write-block commands and their replies
    uint64_t exchanges = 0;
};

/// Bytes a write-block command and its reply cost beyond the data.
constexpr unsigned WRITE_OVERHEAD = 4 + 3;

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

/// Runs the cases at once (alone when given one), each into a controller of its own.
std::vector<LineResult> runTogether(const Settings& settings, const ScratchDir& scratch,
                                    const std::vector<LineCase>& cases) {
    std::vector<LineResult> results(cases.size());
    std::vector<std::unique_ptr<Download>> downloads;
    std::vector<Child*> children;
    std::string error;
    for (size_t i = 0; i < cases.size(); ++i) {
        std::string log = scratch.file("line-" + std::to_string(i) + ".log");
        downloads.push_back(
            std::make_unique<Download>(*cases[i].image, cases[i].file, log, settings.baud, cases[i].model));
        if (!downloads.back()->start(settings.vq2dl, error)) {
            std::printf("    %s: %s\n", cases[i].label.c_str(), error.c_str());
            downloads.pop_back();
            break;
        }
        children.push_back(&downloads.back()->child());
    }
    waitAll(children, DOWNLOAD_LIMIT_SECONDS);
    for (size_t i = 0; i < downloads.size(); ++i) {
        Download& download = *downloads[i];
        LineResult& r = results[i];
        if (!download.finish(error)) {
            std::printf("    %s, %s%s failed: %s\n", cases[i].label.c_str(),
                        deliveryName(cases[i].model).c_str(), cases[i].model.join ? " -b" : "",
                        error.c_str());
            continue;
        }
        const ChildResult& child = download.child().result();
        r.ok = true;
        r.wall = child.wallSeconds;
        r.cpu = child.cpuSeconds;
        r.floor = download.floor().total();
        r.exchanges = download.counters().answers;
        r.heldSeconds = static_cast<double>(download.counters().heldMicros) / 1e6;
        r.writeLine = static_cast<double>(download.counters().bytesWritten +
                                          WRITE_OVERHEAD * download.counters().blocksWritten) *
                      10.0 / settings.baud;
        const std::vector<double>& turns = download.turnarounds();
        r.medianUs = median(turns);
        r.turnaroundSeconds = std::accumulate(turns.begin(), turns.end(), 0.0) / 1e6;
    }
    return results;
}

void printRow(const LineCase& c, const LineResult& r) {
    if (!r.ok) return;
    std::printf(
        "  | %-7s | %-7s | %-2s | %6.2f | %6.2f | %5.3f | %6.2f | %5.3f | %5llu | %5.3f | %5.2f | %4.2f |\n",
        c.label.c_str(), deliveryName(c.model).c_str(), c.model.join ? "-b" : "", r.wall, r.floor,
        r.wall / r.floor, r.heldSeconds, (r.wall - r.heldSeconds) / r.floor,
        static_cast<unsigned long long>(r.exchanges), r.medianUs / 1000.0,
        100.0 * r.turnaroundSeconds / r.floor, 100.0 * r.cpu / r.wall);
}

/// The VQ-I download, alone, byte by byte (the boot loader takes no -b).
bool runBootLoader(const Settings& settings, const ScratchDir& scratch) {
    DownloadCase image = bootLoaderCase();
    std::string file = scratch.file("line-vq1.s19"), error;
    if (!writeCaseFile(image, file, error)) {
        std::printf("  %s\n", error.c_str());
        return false;
    }
    Download download(image, file, scratch.file("line-vq1.log"), settings.baud);
    if (!download.start(settings.vq2dl, error)) {
        std::printf("  %s\n", error.c_str());
        return false;
    }
    const ChildResult& result = download.child().wait(DOWNLOAD_LIMIT_SECONDS);
    if (!download.finish(error)) {
        std::printf("  %s failed: %s\n", image.name.c_str(), error.c_str());
        return false;
    }
    Floor floor = download.floor();
    std::printf(
        "  %s: wall %.2f s, floor %.2f s (line %.2f s + waits %.2f s + time-outs %.2f s), wall / floor "
        "%.3f, CPU %.2f %% of its wall\n",
        image.name.c_str(), result.wallSeconds, floor.total(), floor.lineSeconds, floor.waitSeconds,
        floor.timeoutSeconds, result.wallSeconds / floor.total(),
        100.0 * result.cpuSeconds / result.wallSeconds);
    return true;
}

} // namespace

bool benchmarkLine(const Settings& settings, const ScratchDir& scratch) {
    std::printf(
        "Benchmark 1: line efficiency at %d bit/s (vq2dl against a simulated controller pacing the line)\n",
        settings.baud);
    const DownloadCase small = monitorCase(SMALL_PAGES), large = monitorCase(LARGE_PAGES),
                       padded = paddedMonitorCase();
    const std::string smallFile = scratch.file("line-64k.s19"), largeFile = scratch.file("line-256k.s19"),
                      paddedFile = scratch.file("line-64k-ff.s19");
    std::string error;
    if (!writeCaseFile(small, smallFile, error) || !writeCaseFile(large, largeFile, error) ||
        !writeCaseFile(padded, paddedFile, error)) {
        std::printf("  %s\n", error.c_str());
        return false;
    }
    std::printf("  64 KiB = %s; 256 KiB = %s;\n  64K+FF = %s; 32-byte records\n", small.name.c_str(),
                large.name.c_str(), padded.name.c_str());
    std::printf(
        "  wall / floor; held: how long answers waited for the FIFO's or the adapter's timer, the line's "
        "cost;\n  ours: (wall - held) / floor; turn: vq2dl's median turnaround, and the sum of all as %% of "
        "the floor\n");
    std::printf(
        "  | image   | deliver | -b | wall s | floor  | ratio | held s | ours  | exchg | turn ms | turn%% | "
        "CPU%% |\n");

    std::vector<LineCase> cases;
    auto add = [&](const DownloadCase& image, const std::string& file, const char* label,
                   vqsim::Delivery delivery, int latencyMs, bool join) {
        // vqbench padding: the padded image and the 64 KiB one it is measured against, with -b, byte and
        // usb:16.
        if (settings.paddingOnly && (!join || &image == &large || delivery == vqsim::Delivery::Fifo ||
                                     (delivery == vqsim::Delivery::Usb && latencyMs != 16)))
            return;
        LineModel model;
        model.delivery = delivery;
        model.latencyMs = latencyMs;
        model.join = join;
        cases.push_back({&image, file, label, model});
    };
    // 1. Byte and FIFO delivery one download at a time: their figures are the machine's wake-ups,
    // which other
    //    downloads would disturb.
    for (int image = 0; image < 2; ++image)
        for (vqsim::Delivery delivery : {vqsim::Delivery::Byte, vqsim::Delivery::Fifo})
            for (bool join : {false, true})
                add(image ? large : small, image ? largeFile : smallFile, image ? "256 KiB" : "64 KiB",
                    delivery, 16, join);
    add(padded, paddedFile, "64K+FF", vqsim::Delivery::Byte, 16, true);
    bool ok = true;
    std::vector<LineResult> results;
    for (const LineCase& c : cases) {
        if (interrupted()) return false;
        LineResult r = runTogether(settings, scratch, {c}).front();
        printRow(c, r);
        ok = ok && r.ok;
        results.push_back(r);
    }
    // 2. USB delivery, all at once: each answer waits for the adapter's timer, and the downloads,
    // idle in
    //    between, hardly disturb each other. The 256 KiB image without -b (about 5.5 minutes at
    //    16 ms) only with --full: per exchange it costs what the 64 KiB image shows.
    const size_t together = cases.size();
    for (int latency : {1, 16})
        for (bool join : {false, true})
            add(small, smallFile, "64 KiB", vqsim::Delivery::Usb, latency, join);
    for (int latency : {1, 16})
        for (bool join : {false, true})
            if (join || settings.full) add(large, largeFile, "256 KiB", vqsim::Delivery::Usb, latency, join);
    add(padded, paddedFile, "64K+FF", vqsim::Delivery::Usb, 16, true);
    if (interrupted()) return false;
    std::vector<LineCase> usb(cases.begin() + static_cast<long>(together), cases.end());
    std::vector<LineResult> usbResults = runTogether(settings, scratch, usb);
    for (size_t i = 0; i < usb.size(); ++i) {
        printRow(usb[i], usbResults[i]);
        ok = ok && usbResults[i].ok;
        results.push_back(usbResults[i]);
    }
    if (!settings.full && !settings.paddingOnly)
        std::printf("  (256 KiB under usb without -b: vqbench --full line)\n");

    // 3. What the 0xFF padding costs with -b: the write commands' line time against the same image
    //    without padding.
    std::printf("  0xFF padding with -b, line time of the write commands and replies:");
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].image != &padded || !results[i].ok) continue;
        for (size_t j = 0; j < cases.size(); ++j) {
            if (cases[j].image != &small || !cases[j].model.join || !results[j].ok ||
                deliveryName(cases[j].model) != deliveryName(cases[i].model))
                continue;
            std::printf(" %s %.2f s against %.2f s (%.0f %% less), wall / floor %.3f against %.3f;",
                        deliveryName(cases[i].model).c_str(), results[i].writeLine, results[j].writeLine,
                        100.0 * (1 - results[i].writeLine / results[j].writeLine),
                        results[i].wall / results[i].floor, results[j].wall / results[j].floor);
        }
    }
    std::printf(" 0xFF is 50 %% of the image\n");
    if (settings.paddingOnly) {
        std::printf("\n");
        return ok;
    }

    // 4. What -b saves: each pair of rows of one image and delivery.
    std::printf("  -b saves:");
    for (size_t i = 0; i < cases.size(); ++i) {
        if (cases[i].model.join || !results[i].ok) continue;
        for (size_t j = 0; j < cases.size(); ++j) {
            if (!cases[j].model.join || cases[j].image != cases[i].image || !results[j].ok ||
                deliveryName(cases[j].model) != deliveryName(cases[i].model))
                continue;
            std::printf(" %s %s %.1f s (%.0f %%);", cases[i].label.c_str(),
                        deliveryName(cases[i].model).c_str(), results[i].wall - results[j].wall,
                        100.0 * (1 - results[j].wall / results[i].wall));
        }
    }
    std::printf("\n");
    ok = runBootLoader(settings, scratch) && ok;
    std::printf("\n");
    return ok;
}

bool benchmarkEvents(const Settings& settings, const ScratchDir& scratch) {
    std::printf("Benchmark 5: the --json events, at %d bit/s (one download each, alone)\n", settings.baud);
    const DownloadCase small = monitorCase(SMALL_PAGES);
    const std::string file = scratch.file("json-64k.s19");
    std::string error;
    if (!writeCaseFile(small, file, error)) {
        std::printf("  %s\n", error.c_str());
        return false;
    }
    std::printf("  64 KiB = %s, byte by byte, without -b; the events go to a file as the console text does\n",
                small.name.c_str());
    std::printf(
        "  | image   | deliver | -b | wall s | floor  | ratio | held s | ours  | exchg | turn ms | turn%% | "
        "CPU%% |\n");
    LineCase plain{&small, file, "64 KiB", {}};
    LineCase events = plain;
    events.label = "--json";
    events.model.json = true;
    std::vector<LineResult> results;
    for (const LineCase& c : {plain, events}) {
        if (interrupted()) return false;
        results.push_back(runTogether(settings, scratch, {c}).front());
        printRow(c, results.back());
    }
    if (!results[0].ok || !results[1].ok) return false;
    std::printf("  --json: %+.2f s of wall (%+.1f %%), CPU %.2f %% against %.2f %% of the wall\n\n",
                results[1].wall - results[0].wall, 100.0 * (results[1].wall / results[0].wall - 1),
                100.0 * results[1].cpu / results[1].wall, 100.0 * results[0].cpu / results[0].wall);
    return true;
}

} // namespace bench
