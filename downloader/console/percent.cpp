// The -p markers of a step.
#include "console/percent.h"

PercentMarkers::PercentMarkers(Console& to, bool show, const char* label, size_t units)
    : console(to), shown(show), total(static_cast<double>(units)) {
    if (shown) console.message(-1, "$%s", label);
}

void PercentMarkers::reached(size_t done, size_t every) {
    if (shown && done % every == 0) console.message(-1, "%%%.2f", static_cast<double>(done) * 100.0 / total);
}

void PercentMarkers::complete() {
    if (shown) console.message(-1, "%%100.00");
}
