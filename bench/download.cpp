// Whole downloads for the benchmarks, and their floor. The floor counts what no downloader can avoid: every
// byte that crossed the line at ten bit times, the erase waits and record delays, the fixed pauses of the
// boot loader dialogue, and the reads that by design end only when the line has been quiet for one read
// time-out.
#include "download.h"

#include "environment.h"

#include <cstdio>

namespace bench {

namespace {

/// Bytes a data record of the generated files holds.
constexpr unsigned LINE_BYTES = 32;
constexpr uint32_t FIRST_PAGE = 0x30;
constexpr uint32_t WINDOW = 0x8000;
constexpr uint32_t PAGE_BYTES = 0x4000;
/// Read-back skips records that start in the top 256 bytes of the unpaged space.
constexpr uint32_t SKIP_START = 0xFF00;
constexpr uint32_t SKIP_END = 0xFFFF;

/// The boot loader dialogue without a retry: the pauses before the wake-up and around the signature request.
constexpr int BOOT_PAUSES_MS = 4 * 100;
/// ... and its reads that end in a time-out: one after each of the four replies (wake-up, wipe, reception,
/// end line), the two quiet-line waits (before "!!" and after "x") and the end of the signature.
constexpr int BOOT_TIMEOUTS = 4 + 2 + 1;

/// Every record start of the generated file, as writeSRecordFile cuts the spans.
template <typename Visit> void forEachRecord(const std::vector<Span>& spans, Visit visit) {
    for (const Span& span : spans)
        for (uint64_t offset = 0; offset < span.length; offset += LINE_BYTES)
            visit(static_cast<uint32_t>(span.address + offset));
}

} // namespace

DownloadCase monitorCase(unsigned pages) {
    DownloadCase image;
    image.generation = 2;
    // Unpaged flash below and above the window range, which the downloader writes without any page command.
    image.spans = {{0x4000, PAGE_BYTES}, {0xC000, PAGE_BYTES}};
    for (uint32_t page = FIRST_PAGE; page < FIRST_PAGE + pages; ++page)
        image.spans.push_back({page << 16 | WINDOW, PAGE_BYTES});
    image.entry = 0xC000;
    image.name = "VQ-II, " + std::to_string(spanBytes(image.spans) / 1024) + " KiB (32 KiB unpaged, " +
                 std::to_string(pages) + " pages)";
    return image;
}

DownloadCase paddedMonitorCase() {
    DownloadCase image;
    image.generation = 2;
    const uint32_t half = PAGE_BYTES / 2;
    image.spans = {{0x4000, half}, {0x4000 + half, half, true}, {0xC000, half, true}, {0xC000 + half, half}};
    for (uint32_t page = FIRST_PAGE; page < FIRST_PAGE + 2; ++page) {
        image.spans.push_back({page << 16 | WINDOW, half});
        image.spans.push_back({(page << 16 | WINDOW) + half, half, true});
    }
    image.entry = 0xE000;
    image.name = "VQ-II, 64 KiB (32 KiB unpaged, 2 pages), half of each 16 KiB 0xFF padding";
    return image;
}

DownloadCase bootLoaderCase() {
    DownloadCase image;
    image.generation = 1;
    image.spans = {{0xA000, 0x6000}};
    image.entry = 0xA000;
    image.name = "VQ-I, 24 KiB";
    return image;
}

Floor downloadFloor(int generation, const vqsim::Counters& counters, int baud, uint64_t records) {
    Floor floor;
    floor.bytes = counters.bytesIn + counters.bytesOut;
    floor.lineSeconds = static_cast<double>(floor.bytes) * 10.0 / baud;
    uint64_t erases = counters.mainErases + counters.pagesErased;
    int pausesMs = generation == 1 ? BOOT_PAUSES_MS : 0;
    floor.waitSeconds = (static_cast<double>(erases) * WIPE_DELAY_MS +
                         static_cast<double>(records) * RECORD_DELAY_MS + pausesMs) /
                        1000.0;
    floor.timeoutSeconds = generation == 1 ? BOOT_TIMEOUTS * READ_TIMEOUT_MS / 1000.0 : 0.0;
    return floor;
}

bool writeCaseFile(const DownloadCase& image, const std::string& path, std::string& error) {
    SRecordFile written;
    return writeSRecordFile(path, image.spans, LINE_BYTES, AddressForm::Shortest, image.entry, written,
                            error);
}

std::string deliveryName(const LineModel& model) {
    switch (model.delivery) {
    case vqsim::Delivery::Byte:
        return "byte";
    case vqsim::Delivery::Fifo:
        return "fifo";
    case vqsim::Delivery::Usb:
        break;
    }
    return "usb:" + std::to_string(model.latencyMs);
}

Download::Download(const DownloadCase& downloadCase, const std::string& imageFile, const std::string& logFile,
                   int lineBaud, LineModel lineModel)
    : image(downloadCase), file(imageFile), log(logFile), baud(lineBaud), model(lineModel) {}

bool Download::start(const std::string& vq2dl, std::string& error) {
    vqsim::Options options;
    options.generation = image.generation;
    options.baud = baud;
    options.faults = image.faults;
    options.delivery = model.delivery;
    options.latencyMs = model.latencyMs;
    simulator = std::make_unique<vqsim::Simulator>(options);
    if (!preload.empty() && !simulator->preload(preload, error)) return false;
    if (!simulator->start(error)) return false;
    std::vector<std::string> argv = {vq2dl, "-c", simulator->devicePath(), "-r", std::to_string(baud)};
    if (model.join) argv.push_back("-b");
    if (model.json) argv.push_back("--json");
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    argv.push_back(file);
    return process.start(argv, log, error);
}

bool Download::finish(std::string& error) {
    if (!simulator) {
        error = "the download was not started";
        return false;
    }
    simulator->stop();
    counted = simulator->counters();
    turnaroundUs = simulator->turnarounds();
    const ChildResult& result = process.result();
    if (result.status != 0) {
        error = interrupted()     ? "vq2dl was stopped, as the benchmark was interrupted"
                : result.timedOut ? "vq2dl ran past its time limit"
                                  : "vq2dl ended with status " + std::to_string(result.status);
        error += ":\n" + tailOfFile(log, 6) + "    " + simulator->summary() + "\n";
        return false;
    }
    for (const Span& span : image.spans) {
        for (uint32_t address = span.address; address - span.address < span.length; ++address) {
            if (simulator->peek(address) == spanByte(span, address)) continue;
            char where[64];
            std::snprintf(where, sizeof where, "the controller's flash differs from the image at 0x%X",
                          address);
            error = where;
            return false;
        }
    }
    return true;
}

uint64_t Download::delayedRecords() const {
    uint64_t records = 0;
    forEachRecord(image.spans, [&](uint32_t address) {
        // VQ-I pauses after each line sent; VQ-II after each record written and each record read back.
        ++records;
        if (image.generation == 2 && (address < SKIP_START || address > SKIP_END)) ++records;
    });
    return records;
}

} // namespace bench
