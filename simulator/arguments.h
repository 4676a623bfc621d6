// The command line of vqsim: its options and the usage text.
#pragma once

#include "simulator.h"

#include <string>
#include <vector>

/// What the command line asks for.
struct Settings {
    vqsim::Options options;  ///< the controller: generation, rate, delivery, faults, signature
    std::string link;        ///< --link: a symbolic link to make to the device; empty for none
    std::string dump;        ///< --dump: the file the flash goes to at exit; empty for none
    std::string preload;     ///< --preload: the S-record file that fills the flash first; empty for none
    bool binaryDump = false; ///< --dump-format bin: the raw address space instead of S-records
    std::string log;         ///< --log: the file the byte log goes to at exit; empty for none
    std::string control;     ///< --control: the FIFO of the swaps (detach, attach, dump); empty for none
    bool once = false;       ///< --once: end after the downloader's session
    bool help = false;       ///< --help: print the usage text and nothing else
    bool version = false;    ///< --version: print "vqsim" and the version and nothing else
    int count = 0;           ///< --count N: N controllers at once; 0 for the one controller of old
};

/// The most controllers one vqsim serves with --count.
constexpr int MAX_COUNT = 64;

/// The usage text of --help.
extern const char* const USAGE;

/// Reads the whole command line into s; false with a message naming the fault otherwise.
bool parseArguments(int argc, char** argv, Settings& s, std::string& error);

/// The options of each controller: --count of them (one without it). A fault written "N:FAULT" goes to
/// controller N alone, counted from 0; one without the prefix to every controller.
std::vector<vqsim::Options> controllerOptions(const Settings& s);

/// The file of controller index for a --link, --dump or --log given as a prefix with --count: PREFIX and the
/// index; the path unchanged without --count.
std::string indexedPath(const Settings& s, const std::string& path, int index);
