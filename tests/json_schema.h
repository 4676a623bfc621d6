// Checking JSON against the part of JSON Schema that docs/events.schema.json uses.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace fx {

/// Adds to faults every way value breaks schema, each with its place; an unknown keyword is a fault too.
void validate(const nlohmann::json& schema, const nlohmann::json& value, const std::string& at,
              std::vector<std::string>& faults);
/// docs/events.schema.json.
const nlohmann::json& eventsSchema();
/// Every field of value that schema does not name (objects that give additionalProperties a schema take
/// any); inherited names the fields a parent allows as well.
void undocumented(const nlohmann::json& schema, const nlohmann::json& value, const std::string& at,
                  const nlohmann::json& inherited, std::vector<std::string>& faults);
/// Every way an event breaks docs/events.schema.json, and every field of it that the schema does not name;
/// none for a valid one.
std::vector<std::string> schemaFaults(const nlohmann::json& event);

} // namespace fx
