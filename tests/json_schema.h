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
/// Every way an event breaks docs/events.schema.json; none for a valid one.
std::vector<std::string> schemaFaults(const nlohmann::json& event);

} // namespace fx
