// vq2dl: loads firmware into a Velquin controller over a serial line.
#include "downloader.h"
#include "signals.h"
#include "system.h"

int main(int argc, char** argv) {
    platformPrepareProcess();
    endRunOnSignals();
    return runProgram(argc, argv, printLine, platformOutputIsTerminal());
}
