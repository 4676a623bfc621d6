// vq2dl: loads firmware into a Velquin controller over a serial line.
#include "platform/signals.h"
#include "platform/system.h"
#include "program.h"

int main(int argc, char** argv) {
    platformPrepareProcess();
    // A signal is noted from the start; the run ends at its next wait, as a failure ends it.
    catchStopSignals(true);
    return runProgram(argc, argv, printLine, platformOutputIsTerminal());
}
