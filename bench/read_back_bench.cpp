// The read-back row of the line-efficiency figures: a controller preloaded with a generated image, read back
// with vq2dl --read over the image's own areas, and the file compared with the image.
#include "read_back_bench.h"

#include "image/firmware_image.h"

#include <cstdio>
#include <map>
#include <memory>

namespace bench {

namespace {

/// 64 KiB: the unpaged flash and two pages.
constexpr unsigned READ_BACK_PAGES = 2;

/// True when the file holds the image's bytes, erased lines left out; otherwise says where it differs.
bool fileHoldsImage(const std::string& path, const DownloadCase& image, std::string& error) {
    FirmwareImage read;
    try {
        read.load(path);
    } catch (const s19Error& fault) {
        error = "the read file is not readable: " + fault.text;
        return false;
    }
    std::map<uint32_t, uint8_t> bytes;
    for (const auto& entry : read.records)
        for (uint32_t i = 0; i < entry.second.length; ++i)
            bytes[entry.first + i] = entry.second.data[i];
    for (const Span& span : image.spans) {
        for (uint32_t address = span.address; address - span.address < span.length; ++address) {
            auto found = bytes.find(address);
            if ((found == bytes.end() ? 0xFF : found->second) == dataByte(address)) continue;
            char where[64];
            std::snprintf(where, sizeof where, "the read file differs from the image at 0x%X", address);
            error = where;
            return false;
        }
    }
    return true;
}

} // namespace

bool measureReadBack(const Settings& settings, const ScratchDir& scratch, const DownloadCase& image,
                     const vqsim::Options& options, ReadBackFigures& figures, std::string& error) {
    const std::string file = scratch.file("read-back-image.s19"), out = scratch.file("read-back.s19");
    const std::string log = scratch.file("read-back.log");
    if (!writeCaseFile(image, file, error)) return false;
    vqsim::Simulator controller(options);
    if (!controller.preload(file, error) || !controller.start(error)) return false;
    Child child;
    if (!child.start({settings.vq2dl, "-c", controller.devicePath(), "-r", std::to_string(options.baud),
                      "--read", out, file},
                     log, error))
        return false;
    const ChildResult& result = child.wait(DOWNLOAD_LIMIT_SECONDS);
    controller.stop();
    if (result.status != 0) {
        error =
            "vq2dl --read ended with status " + std::to_string(result.status) + ":\n" + tailOfFile(log, 6);
        return false;
    }
    if (!fileHoldsImage(out, image, error)) return false;
    const vqsim::Counters counted = controller.counters();
    figures.wallSeconds = result.wallSeconds;
    figures.cpuSeconds = result.cpuSeconds;
    figures.bytes = counted.bytesIn + counted.bytesOut;
    figures.floorSeconds = static_cast<double>(figures.bytes) * 10.0 / options.baud;
    figures.dataBytes = spanBytes(image.spans);
    return true;
}

bool benchmarkReadBack(const Settings& settings, const ScratchDir& scratch) {
    const DownloadCase image = monitorCase(READ_BACK_PAGES);
    std::printf(
        "Benchmark 4: read-back at %d bit/s (vq2dl --read against a preloaded simulated controller)\n",
        settings.baud);
    std::printf("  %s; the floor is the line time of its own bytes, a read-back has no waits\n",
                image.name.c_str());
    const LineModel models[] = {{vqsim::Delivery::Byte, 16, false},
                                {vqsim::Delivery::Fifo, 16, false},
                                {vqsim::Delivery::Usb, 1, false},
                                {vqsim::Delivery::Usb, 16, false}};
    bool ok = true;
    for (const LineModel& model : models) {
        vqsim::Options options;
        options.baud = settings.baud;
        options.delivery = model.delivery;
        options.latencyMs = model.latencyMs;
        ReadBackFigures figures;
        std::string error;
        if (!measureReadBack(settings, scratch, image, options, figures, error)) {
            std::printf("    %-7s %s\n", deliveryName(model).c_str(), error.c_str());
            ok = false;
            continue;
        }
        std::printf(
            "    %-7s wall %6.2f s, floor %5.2f s (%llu bytes), wall / floor %.3f, vq2dl CPU %.2f %%\n",
            deliveryName(model).c_str(), figures.wallSeconds, figures.floorSeconds,
            static_cast<unsigned long long>(figures.bytes), figures.wallSeconds / figures.floorSeconds,
            100.0 * figures.cpuSeconds / figures.wallSeconds);
    }
    std::printf("\n");
    return ok;
}

} // namespace bench
