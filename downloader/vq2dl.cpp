// vq2dl: loads firmware into a Velquin controller over a serial line.
#include "downloader.h"
#include "signals.h"
#include "station/child.h"

int main(int argc, char** argv) {
    endRunOnSignals();
    // A station's port ends with the station, even when the station is killed outright.
    platformEndWithStation();
    return runProgram(argc, argv, printLine, platformOutputIsTerminal());
}
