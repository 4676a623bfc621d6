// The unit event of the --results file, from the facts of one run.
#include "results.h"

#include "ports/ports.h"

#include <ctime>

namespace {

using Json = nlohmann::ordered_json;

std::string utcNow() {
    std::time_t now = std::time(nullptr);
    char text[32] = "";
#ifdef _WIN32
    std::tm utc = {};
    if (gmtime_s(&utc, &now) == 0) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
#else
    std::tm utc = {};
    if (gmtime_r(&now, &utc)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
#endif
    return text;
}

Json textOrNull(const std::string& text) {
    return text.empty() ? Json(nullptr) : Json(text);
}

/// A Windows device name without its "\\.\" prefix, so that COM3 and \\.\COM3 compare equal.
std::string bareName(const std::string& name) {
    return name.compare(0, 4, "\\\\.\\") == 0 ? name.substr(4) : name;
}

} // namespace

std::string usbSerialOf(const std::string& device) {
    if (device.empty()) return "";
    for (const PortListing& listing : platformListPorts(PortRoots())) {
        if (!samePort(bareName(listing.name), bareName(device))) continue;
        for (const std::string& detail : listing.details)
            if (detail.compare(0, 7, "serial ") == 0) return detail.substr(7);
    }
    return "";
}

Json unitEvent(const UnitFacts& facts) {
    Json unit;
    unit["v"] = 1;
    unit["event"] = "unit";
    unit["ms"] = static_cast<int64_t>(facts.ms);
    unit["time"] = utcNow();
    unit["host"] = platformHostName();
    unit["port"] = facts.port;
    if (facts.cycle > 0) unit["cycle"] = facts.cycle;
    unit["device"] = facts.device;
    unit["usb_serial"] = textOrNull(usbSerialOf(facts.device));
    unit["files"] = facts.files;
    unit["generation"] = textOrNull(facts.generation);
    unit["action"] = facts.action;
    unit["switches"] = facts.switches;
    unit["ok"] = facts.ok;
    unit["status"] = facts.status;
    unit["error"] = textOrNull(facts.error);
    unit["seconds"] = facts.seconds;
    unit["bytes"] = {{"written", facts.written}, {"verified", facts.verified}, {"read", facts.read}};
    if (!facts.kept.empty()) unit["kept"] = facts.kept;
    return unit;
}
