// The -p markers of one step, for a calling program that reads percentages: "$Label" as the step begins,
// "%NN.NN" as its units (records, lines) are done, "%100.00" once it is complete. The write, the
// verification and the read-back of both generations mark their steps this way.
#pragma once

#include "console/console.h"

#include <cstddef>

class PercentMarkers {
public:
    /// The markers of the step label over total units, on this console when shown (-p): "$label" now.
    PercentMarkers(Console& console, bool shown, const char* label, size_t total);
    /// done units of the total are finished: their percentage, when done is a multiple of every.
    void reached(size_t done, size_t every = 5);
    /// "%100.00": the step is complete.
    void complete();

private:
    Console& console;
    bool shown;
    double total;
};
