// vq2dl: loads firmware into a Velquin controller over a serial line.
#include "downloader.h"

int main(int argc, char** argv) {
    return runProgram(argc, argv, printLine);
}
