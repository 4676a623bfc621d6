// What every platform's port listing shares: the order of names and the lines of --list-ports.
#include "ports/ports.h"

#include <cctype>
#include <cstdlib>

namespace {

/// Splits a name into the text before its trailing digits and their value.
void splitNumber(const std::string& name, std::string& stem, unsigned long& number) {
    size_t end = name.size();
    while (end > 0 && std::isdigit(static_cast<unsigned char>(name[end - 1])))
        --end;
    stem = name.substr(0, end);
    // Nine digits at most, so that the value fits; longer runs sort by their text.
    number = end < name.size() && name.size() - end <= 9 ? std::strtoul(name.c_str() + end, nullptr, 10) : 0;
}

} // namespace

bool portNameBefore(const std::string& a, const std::string& b) {
    std::string stemA, stemB;
    unsigned long numberA, numberB;
    splitNumber(a, stemA, numberA);
    splitNumber(b, stemB, numberB);
    if (stemA != stemB) return stemA < stemB;
    if (numberA != numberB) return numberA < numberB;
    return a < b;
}

std::vector<std::string> portListingLines(const std::vector<PortListing>& ports) {
    std::vector<std::string> lines;
    for (const PortListing& port : ports) {
        std::string line = port.name;
        for (size_t i = 0; i < port.details.size(); ++i)
            line += (i == 0 ? "  " : ", ") + port.details[i];
        lines.push_back(line);
    }
    return lines;
}
