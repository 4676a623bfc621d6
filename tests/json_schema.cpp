// The part of JSON Schema that docs/events.schema.json uses, for checking the events of real runs.
#include "json_schema.h"

#include "fixture.h"

#include <algorithm>

namespace fx {

using nlohmann::json;

namespace {

bool hasType(const json& value, const std::string& type) {
    if (type == "integer") return value.is_number_integer();
    if (type == "number") return value.is_number();
    if (type == "string") return value.is_string();
    if (type == "boolean") return value.is_boolean();
    if (type == "object") return value.is_object();
    if (type == "array") return value.is_array();
    return type == "null" && value.is_null();
}

} // namespace

/// Adds to faults every way value breaks schema, each with its place; an unknown keyword is a fault too.
void validate(const json& schema, const json& value, const std::string& at,
              std::vector<std::string>& faults) {
    auto fault = [&](const std::string& what) { faults.push_back(at + ": " + what); };
    for (const auto& [key, rule] : schema.items()) {
        if (key == "type") {
            const json types = rule.is_array() ? rule : json::array({rule});
            if (std::none_of(types.begin(), types.end(), [&](const json& t) { return hasType(value, t); }))
                fault("not of type " + rule.dump());
        } else if (key == "const" && value != rule) {
            fault("not " + rule.dump());
        } else if (key == "enum" && std::find(rule.begin(), rule.end(), value) == rule.end()) {
            fault(value.dump() + " not in " + rule.dump());
        } else if (key == "required" && value.is_object()) {
            for (const json& name : rule)
                if (!value.contains(name.get<std::string>())) fault("no " + name.dump());
        } else if (key == "properties" && value.is_object()) {
            for (const auto& [name, sub] : rule.items())
                if (value.contains(name)) validate(sub, value[name], at + "/" + name, faults);
        } else if (key == "additionalProperties" && value.is_object()) {
            for (const auto& [name, sub] : value.items()) {
                if (schema.contains("properties") && schema["properties"].contains(name)) continue;
                if (rule == false) fault("field " + name + " not in the schema");
                if (rule.is_object()) validate(rule, sub, at + "/" + name, faults);
            }
        } else if (key == "items" && value.is_array()) {
            for (size_t i = 0; i < value.size(); ++i)
                validate(rule, value[i], at + "/" + std::to_string(i), faults);
        } else if ((key == "minimum" && value.is_number() && value < rule) ||
                   (key == "maximum" && value.is_number() && value > rule)) {
            fault(value.dump() + " beyond " + key + " " + rule.dump());
        } else if (key == "allOf") {
            for (const json& sub : rule)
                validate(sub, value, at, faults);
        } else if (key == "oneOf") {
            size_t matching = 0;
            for (const json& sub : rule) {
                std::vector<std::string> own;
                validate(sub, value, at, own);
                matching += own.empty();
            }
            if (matching != 1) fault(std::to_string(matching) + " of oneOf match");
        } else if (key == "if") {
            std::vector<std::string> own;
            validate(rule, value, at, own);
            if (own.empty() && schema.contains("then")) validate(schema["then"], value, at, faults);
        } else if (key != "then" && key != "const" && key != "enum" && key != "required" &&
                   key != "properties" && key != "additionalProperties" && key != "items" &&
                   key != "minimum" && key != "maximum" && key != "$schema" && key != "title" &&
                   key != "description") {
            fault("unknown keyword " + key);
        }
    }
}

void undocumented(const json& schema, const json& value, const std::string& at, const json& inherited,
                  std::vector<std::string>& faults) {
    if (schema.contains("allOf")) {
        // The branches of the events: each may name what the root names.
        const json root = schema.value("properties", json::object());
        for (const json& branch : schema["allOf"]) {
            std::vector<std::string> own;
            if (branch.contains("if")) validate(branch["if"], value, at, own);
            if (own.empty() && branch.contains("then")) undocumented(branch["then"], value, at, root, faults);
        }
        return;
    }
    if (value.is_object() && schema.contains("properties") && !schema.contains("additionalProperties")) {
        for (const auto& [name, sub] : value.items()) {
            if (schema["properties"].contains(name))
                undocumented(schema["properties"][name], sub, at + "/" + name, json::object(), faults);
            else if (!inherited.contains(name))
                faults.push_back(at + ": field " + name + " not in the schema");
        }
    }
    if (value.is_array() && schema.contains("items"))
        for (size_t i = 0; i < value.size(); ++i)
            undocumented(schema["items"], value[i], at + "/" + std::to_string(i), json::object(), faults);
}

const json& eventsSchema() {
    static const json loaded = json::parse(readFile(VQ_EVENTS_SCHEMA));
    return loaded;
}

std::vector<std::string> schemaFaults(const json& event) {
    std::vector<std::string> faults;
    validate(eventsSchema(), event, "", faults);
    // The schema leaves every event open to fields it does not know, for readers of newer streams; what we
    // write ourselves must all be in it.
    undocumented(eventsSchema(), event, "", json::object(), faults);
    return faults;
}

} // namespace fx
