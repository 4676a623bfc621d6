// The unit record as CSV (RFC 4180), for the spreadsheets of a production floor: the fields of the JSON line,
// flattened into columns that stay the same from one unit to the next.
#include "results.h"

#include <algorithm>
#include <cctype>
#include <iterator>
#include <utility>

namespace {

using Json = nlohmann::ordered_json;
using Columns = std::vector<std::pair<std::string, std::string>>;

/// The fields of each item of an array of objects, one column each, so that a record without items (a wipe
/// reads no file, a run without --keep keeps nothing) has the same columns as one with them.
const struct {
    const char* array;
    std::vector<const char*> fields;
} ITEM_FIELDS[] = {
    {"files", {"name", "sha256", "header", "generation"}},
    {"kept", {"range", "file", "sha256"}},
};

/// The fields of an object that a record may lack (a run without --serial), one column each all the same.
const struct {
    const char* object;
    std::vector<const char*> fields;
} OBJECT_FIELDS[] = {
    {"serial", {"value", "text", "address", "bytes", "source", "state"}},
};

/// The fields a record has only at times, with where their columns go: every row of a file has the same
/// columns, whichever unit came first.
const char* const CYCLE = "cycle";               ///< a loop's unit; its column goes before "device"
const char* const AT_END[] = {"kept", "serial"}; ///< their columns end the row

/// Between the values of one column that an array gives.
constexpr const char* ITEM_SEPARATOR = ";";

std::string cellOf(const Json& value) {
    if (value.is_null()) return "";
    if (value.is_string()) return value.get<std::string>();
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

const std::vector<const char*>* itemFields(const std::string& name) {
    for (const auto& entry : ITEM_FIELDS)
        if (name == entry.array) return &entry.fields;
    return nullptr;
}

const std::vector<const char*>* objectFields(const std::string& name) {
    for (const auto& entry : OBJECT_FIELDS)
        if (name == entry.object) return &entry.fields;
    return nullptr;
}

void flatten(const std::string& name, const Json& value, Columns& columns) {
    if (name == "tags" && value.is_object()) {
        // Every run may have other keys: one column of KEY=VALUE pairs.
        std::string cell;
        for (const auto& [key, tag] : value.items())
            cell += (cell.empty() ? "" : ITEM_SEPARATOR) + key + "=" + cellOf(tag);
        columns.push_back({name, cell});
    } else if (objectFields(name)) {
        for (const char* field : *objectFields(name))
            columns.push_back(
                {name + "." + field, value.is_object() ? cellOf(value.value(field, Json())) : ""});
    } else if (value.is_object()) {
        for (const auto& [key, field] : value.items())
            flatten(name + "." + key, field, columns);
    } else if (itemFields(name)) {
        for (const char* field : *itemFields(name)) {
            std::string cell;
            for (size_t i = 0; value.is_array() && i < value.size(); ++i)
                cell += (i ? ITEM_SEPARATOR : "") + cellOf(value[i].value(field, Json()));
            columns.push_back({name + "." + field, cell});
        }
    } else if (value.is_array()) {
        std::string cell;
        for (size_t i = 0; i < value.size(); ++i)
            cell += (i ? " " : "") + cellOf(value[i]);
        columns.push_back({name, cell});
    } else {
        columns.push_back({name, cellOf(value)});
    }
}

Columns columnsOf(const Json& unit) {
    Columns columns;
    for (const auto& [key, value] : unit.items()) {
        if (key == CYCLE || std::find(std::begin(AT_END), std::end(AT_END), key) != std::end(AT_END))
            continue;
        if (key == "device") flatten(CYCLE, unit.value(CYCLE, Json()), columns);
        flatten(key, value, columns);
    }
    for (const char* key : AT_END)
        flatten(key, unit.value(key, Json()), columns);
    return columns;
}

/// A field as RFC 4180 has it: in quotes, with its quotes doubled, when it holds a comma, a quote or a line
/// end; a leading blank is quoted too, so that no reader trims it.
std::string quoted(const std::string& field) {
    const bool plain = field.find_first_of(",\"\r\n") == std::string::npos &&
                       (field.empty() || !std::isspace(static_cast<unsigned char>(field.front())));
    if (plain) return field;
    std::string out = "\"";
    for (char c : field)
        out += c == '"' ? std::string("\"\"") : std::string(1, c);
    return out + "\"";
}

std::string line(const Columns& columns, bool names) {
    std::string out;
    for (size_t i = 0; i < columns.size(); ++i)
        out += (i ? "," : "") + quoted(names ? columns[i].first : columns[i].second);
    return out + "\r\n";
}

} // namespace

bool csvResults(const std::string& path) {
    if (path.size() < 4) return false;
    std::string tail = path.substr(path.size() - 4);
    for (char& c : tail)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return tail == ".csv";
}

std::string csvRecord(const Json& unit) {
    return line(columnsOf(unit), false);
}

std::string csvHeader(const Json& unit) {
    return line(columnsOf(unit), true);
}
