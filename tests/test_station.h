// What the station tests share: firmware of a few blocks, the lines of an output, its events checked
// against the schema, the station's own lines in a pipe and the children of a running station.
#pragma once

#include "fixture.h"
#include "json_schema.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <sstream>
#include <string>
#include <sys/types.h>
#include <vector>

namespace st {

using Json = nlohmann::json;

/// Records of firmware, blocks of 128 bytes from 0x4000 (six by default), so that a fault can strike in the
/// middle of the write.
inline std::string firmware(uint8_t blocks = 6) {
    std::vector<std::pair<uint32_t, fx::Bytes>> records;
    for (uint8_t i = 0; i < blocks; ++i)
        records.push_back({0x4000 + 0x80 * i, fx::bytes(128, i)});
    return fx::s19(records, 0x4000);
}

using fx::linesOf;

/// The lines of a file, each an event of docs/events.schema.json; a line that is not one fails the test.
inline std::vector<Json> jsonLines(const std::string& text) {
    std::vector<Json> objects;
    for (const std::string& line : linesOf(text)) {
        Json object = Json::parse(line, nullptr, false);
        EXPECT_TRUE(object.is_object()) << line;
        for (const std::string& fault : fx::schemaFaults(object))
            ADD_FAILURE() << fault << " in " << line;
        objects.push_back(object);
    }
    return objects;
}

/// The station's own lines in a pipe: from the first "[" line up to the summary.
inline fx::Texts stationLines(const std::string& out) {
    fx::Texts lines = linesOf(out), own;
    bool in = false;
    for (const std::string& line : lines) {
        if (line.empty() && in) break;
        in = in || (!line.empty() && line[0] == '[');
        if (in) own.push_back(line);
    }
    return own;
}

/// The process ids of a process's children now.
inline std::vector<pid_t> childrenOf(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/task/" + std::to_string(pid) + "/children");
    std::vector<pid_t> children;
    for (pid_t child; in >> child;)
        children.push_back(child);
    return children;
}

/// True while a process runs: it exists and is no zombie waiting to be reaped.
inline bool running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return false;
    const size_t end = line.rfind(')');
    return end != std::string::npos && end + 2 < line.size() && line[end + 2] != 'Z' && line[end + 2] != 'X';
}

} // namespace st
