// --await-unit: a run that only probes its one port until a unit comes into the fixture or goes from it, for
// the fixture loop, which starts one such run per slot between the units it programs.
#include "program.h"

#include "platform/signals.h"
#include "platform/system.h"
#include "serial/presence.h"

#include <cstdio>

void awaitUnit(const Options& options, Console& console) {
    // The generation decides the probe: the drop-in string of the monitor or the boot loader's wake-up.
    CheckedFiles files;
    checkFiles(options, console, files);
    const bool monitor = files.generation == Generation::VQ2;
    presence::Prober prober(options.portPath.empty() ? platformDeviceName(options.port) : options.portPath,
                            options.baudRate, monitor);
    // A probe whose station has gone has no one to tell: it ends when it can no longer write its line.
    int64_t wroteMs = -presence::PROBE_MS;
    const auto stopped = [&wroteMs] {
        if (platformNowMs() - wroteMs < presence::PROBE_MS) return stopSignal() != 0;
        wroteMs = platformNowMs();
        std::fputs("\n", stdout);
        return std::fflush(stdout) != 0 || stopSignal() != 0;
    };
    const presence::Awaited awaited =
        options.awaitUnit == "there" ? presence::Awaited::There : presence::Awaited::Gone;
    if (presence::awaitUnit(prober, awaited, stopped)) return;
    if (stopSignal()) throw Stopped{stopSignal()};
    // Standard output is gone: the station that started this probe is.
    throw static_cast<int>(EXIT_INTERNAL);
}
