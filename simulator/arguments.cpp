// The command line of vqsim: options as "--name VALUE" or "--name=VALUE", and the usage text.
#include "arguments.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

const char* const USAGE =
    "Usage: vqsim [options]\n"
    "A simulated Velquin controller on a pseudo-terminal. The first line printed is the device to give to\n"
    "vq2dl -c; vqsim then serves it until it is interrupted (Ctrl-C or SIGTERM).\n"
    "\n"
    "Options:\n"
    "  --generation 1|2   1: a VQ-I boot loader; 2: a VQ-II serial monitor (default 2)\n"
    "  --in-monitor       VQ-II: the monitor is already active (it answers the drop-in string with E1 00 "
    "3E)\n"
    "  --baud RATE        pace both directions at ten bit times per byte; without it answers come at once\n"
    "  --deliver MODEL    how answers reach the host: byte (each byte as it arrives; the default), fifo\n"
    "                     (14 bytes at a time and the rest after 4 idle character times, as a 16550 UART\n"
    "                     hands them over) or usb[:MS] (62-byte packets, a shorter one MS milliseconds\n"
    "                     after its first byte, as a USB adapter's latency timer; MS 1 to 255, default 16)\n"
    "  --link PATH        make PATH a symbolic link to the device (an old link is replaced, a file never)\n"
    "  --fault FAULT      inject a fault (repeatable; see below)\n"
    "  --signature TEXT   VQ-I: the answer to \"S\" (escapes \\r \\n \\t \\\\ \\xNN)\n"
    "  --preload FILE     fill the flash from the S-record file FILE before serving (addresses as --dump\n"
    "                     writes them: pages in the bits above the low 16, windows 0x8000-0xBFFF)\n"
    "  --dump FILE        at exit, write the flash to FILE\n"
    "  --dump-format F    srec (the flash that is not erased, as S-records; the default) or bin (the raw\n"
    "                     64 KiB address space)\n"
    "  --log FILE         at exit, write every byte in and out with its time\n"
    "  --once             end once the downloader has closed the line and not reopened it within 1.5 s\n"
    "                     (with --count: once every controller has)\n"
    "  --count N          serve N controllers at once (1 to 64), one device each, printed one a line;\n"
    "                     --link, --dump and --log are then prefixes: PREFIX0 to PREFIX<N-1>\n"
    "  --control FIFO     make FIFO and read lines from it: \"detach N\" takes controller N (0 without\n"
    "                     --count) off its line, which stays open and silent, as an adapter without a\n"
    "                     board; \"attach N\" puts a fresh unit there (erased flash, or the --preload\n"
    "                     image; its program running, the monitor not active); \"dump N FILE\" writes\n"
    "                     controller N's flash to FILE as --dump does (a unit's flash before it goes)\n"
    "  --help             show this text\n"
    "  --version          show the version\n"
    "At exit vqsim prints a summary line: bytes written, pages erased, verification reads.\n"
    "\n"
    "Faults: KIND@COMMAND[#N[-M]][=VALUE]\n"
    "  COMMAND, VQ-II: dropin reset probe writebyte erasepage erasemain writeblock readblock any\n"
    "  COMMAND, VQ-I:  wake (the \"!!\") cr w u s9 x S any\n"
    "  #N or #N-M picks occurrences of the command, counted from 1; without it, every occurrence.\n"
    "  KIND: silent         no answer at all\n"
    "        error=0xNN     VQ-II: answer with this error byte\n"
    "        status=0xNN    VQ-II: answer with this status byte\n"
    "        prompt=0xNN    VQ-II: answer with this prompt byte\n"
    "        short=K        send only the first K bytes of the answer (read-back data included)\n"
    "        corrupt=K      flip byte K of the answer, counted from 1 (read-back data included)\n"
    "        chatter=TEXT   send TEXT before the answer (escapes as for --signature)\n"
    "        extra=0xNN     send one more byte after the answer\n"
    "        slow=MS        wait MS milliseconds before each byte of the answer\n"
    "        reply=TEXT     VQ-I: answer with TEXT instead\n"
    "        hangup         close the line instead of answering\n"
    "        ignore         VQ-II: answer as usual but change nothing (writebyte erasepage erasemain\n"
    "                       writeblock any): an erase that did not take leaves the old bytes\n"
    "  The command is carried out whatever its answer becomes. Line-wide faults:\n"
    "        hangup-after=N close the line after N bytes were received\n"
    "        stream=MS      send a '.' every MS milliseconds while the line is held\n"
    "  With --count, \"I:FAULT\" gives the fault to controller I alone (counted from 0), FAULT to all.\n"
    "Examples:\n"
    "  vqsim --link /tmp/vq-com1 --fault silent@probe#1-3      the first three probes go unanswered\n"
    "  vqsim --fault error@writeblock#2=0xE6                   the second block write fails\n"
    "  vqsim --fault corrupt@readblock#1=5                     the first read-back has a wrong fifth byte\n"
    "  vqsim --generation 1 --fault 'chatter@wake=Hello\\r\\n'   text before the prompt\n"
    "  vqsim --preload old.s19 --fault ignore@erasemain         the main erase leaves the old bytes\n"
    "  vqsim --fault hangup-after=100                          the cable drops after 100 bytes\n"
    "  vqsim --count 4 --link /tmp/vq- --fault 1:silent@any    four controllers, /tmp/vq-1 never answers\n";

namespace {

/// The index of a fault written "I:FAULT", with the fault after the colon; -1 for a fault of every
/// controller.
int faultIndex(const std::string& fault, std::string& rest) {
    size_t colon = fault.find(':');
    rest = fault;
    if (colon == 0 || colon == std::string::npos || fault.find_first_not_of("0123456789") != colon) return -1;
    rest = fault.substr(colon + 1);
    // More digits than any count has name no controller.
    return colon > 3 ? MAX_COUNT : std::atoi(fault.substr(0, colon).c_str());
}

bool parseInt(const std::string& text, int low, int high, int& value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    long number = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || number < low || number > high) return false;
    value = static_cast<int>(number);
    return true;
}

/// Reads byte, fifo, usb or usb:MS.
bool parseDelivery(const std::string& text, vqsim::Options& options) {
    if (text == "byte" || text == "fifo") {
        options.delivery = text == "byte" ? vqsim::Delivery::Byte : vqsim::Delivery::Fifo;
        return true;
    }
    if (text.compare(0, 3, "usb") != 0) return false;
    options.delivery = vqsim::Delivery::Usb;
    if (text.size() == 3) return true;
    return text[3] == ':' && parseInt(text.substr(4), 1, 255, options.latencyMs);
}

/// Resolves the escapes of a --signature text; false on a malformed escape.
bool unescapeText(const std::string& text, std::string& out) {
    std::vector<uint8_t> bytes;
    if (!vqsim::unescape(text, bytes)) return false;
    out.assign(bytes.begin(), bytes.end());
    return true;
}

/// Takes the value of an option given as "--name VALUE" or "--name=VALUE".
bool optionValue(int argc, char** argv, int& i, const std::string& inline_, bool hasInline,
                 std::string& value) {
    if (hasInline) {
        value = inline_;
        return true;
    }
    if (i + 1 >= argc) return false;
    value = argv[++i];
    return true;
}

bool applyOption(const std::string& name, const std::string& value, Settings& s, std::string& error) {
    if (name == "--generation") {
        if (parseInt(value, 1, 2, s.options.generation)) return true;
        error = "--generation takes 1 or 2, not \"" + value + "\"";
    } else if (name == "--baud") {
        if (parseInt(value, 1, 100000000, s.options.baud)) return true;
        error = "--baud takes a positive rate in bit/s, not \"" + value + "\"";
    } else if (name == "--deliver") {
        if (parseDelivery(value, s.options)) return true;
        error = "--deliver takes byte, fifo, usb or usb:MS (MS from 1 to 255), not \"" + value + "\"";
    } else if (name == "--count") {
        if (parseInt(value, 1, MAX_COUNT, s.count)) return true;
        error = "--count takes 1 to " + std::to_string(MAX_COUNT) + ", not \"" + value + "\"";
    } else if (name == "--fault") {
        s.options.faults.push_back(value);
        return true;
    } else if (name == "--signature") {
        if (unescapeText(value, s.options.signature)) return true;
        error = "--signature has a malformed escape: \"" + value + "\"";
    } else if (name == "--dump-format") {
        if (value == "srec" || value == "bin") {
            s.binaryDump = value == "bin";
            return true;
        }
        error = "--dump-format takes srec or bin, not \"" + value + "\"";
    } else {
        std::string& target = name == "--link"      ? s.link
                              : name == "--dump"    ? s.dump
                              : name == "--preload" ? s.preload
                              : name == "--control" ? s.control
                                                    : s.log;
        if (!value.empty()) {
            target = value;
            return true;
        }
        error = name + " needs a file name";
    }
    return false;
}

/// Every "I:FAULT" names a controller there is, and only with --count.
bool checkIndexedFaults(const Settings& s, std::string& error) {
    for (const std::string& fault : s.options.faults) {
        std::string rest;
        int index = faultIndex(fault, rest);
        if (index < 0) continue;
        if (s.count == 0 || index >= s.count) {
            error =
                "--fault \"" + fault + "\": no controller " + fault.substr(0, fault.find(':')) +
                (s.count ? " (--count " + std::to_string(s.count) + " counts from 0)" : " without --count");
            return false;
        }
    }
    return true;
}

} // namespace

std::vector<vqsim::Options> controllerOptions(const Settings& s) {
    std::vector<vqsim::Options> all;
    for (int index = 0; index < std::max(s.count, 1); ++index) {
        vqsim::Options options = s.options;
        options.faults.clear();
        for (const std::string& fault : s.options.faults) {
            std::string rest;
            int target = faultIndex(fault, rest);
            if (target < 0 || target == index) options.faults.push_back(rest);
        }
        all.push_back(options);
    }
    return all;
}

std::string indexedPath(const Settings& s, const std::string& path, int index) {
    return s.count == 0 || path.empty() ? path : path + std::to_string(index);
}

bool parseArguments(int argc, char** argv, Settings& s, std::string& error) {
    bool signatureGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        size_t equals = arg.find('=');
        std::string name = arg.substr(0, equals);
        bool hasInline = arg.compare(0, 2, "--") == 0 && equals != std::string::npos;
        if (name == "--help" || name == "--version" || name == "--once" || name == "--in-monitor") {
            if (hasInline) {
                error = name + " takes no value";
                return false;
            }
            (name == "--help"      ? s.help
             : name == "--version" ? s.version
             : name == "--once"    ? s.once
                                   : s.options.inMonitor) = true;
            continue;
        }
        static const char* const withValue[] = {"--generation", "--baud",      "--deliver",     "--link",
                                                "--fault",      "--signature", "--dump-format", "--dump",
                                                "--log",        "--preload",   "--count",       "--control"};
        bool known = false;
        for (const char* option : withValue)
            known = known || name == option;
        if (!known) {
            error =
                (arg.compare(0, 1, "-") == 0 ? "unknown option \"" : "unexpected argument \"") + arg + "\"";
            return false;
        }
        std::string value;
        if (!optionValue(argc, argv, i, hasInline ? arg.substr(equals + 1) : "", hasInline, value)) {
            error = name + " needs a value";
            return false;
        }
        if (!applyOption(name, value, s, error)) return false;
        signatureGiven = signatureGiven || name == "--signature";
    }
    if (!checkIndexedFaults(s, error)) return false;
    if (s.options.generation == 1 && s.options.inMonitor) {
        error = "--in-monitor applies to a VQ-II controller (--generation 2) only";
        return false;
    }
    if (s.options.generation == 2 && signatureGiven) {
        error = "--signature applies to a VQ-I controller (--generation 1) only";
        return false;
    }
    return true;
}
