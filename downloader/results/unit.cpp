// The unit event of the --results file, from the facts of one run.
#include "results.h"

#include "ports/ports.h"

#include <cstdio>
#include <ctime>
#include <random>

namespace {

using Json = nlohmann::ordered_json;

} // namespace

std::string utcText(std::chrono::system_clock::time_point time) {
    std::time_t now = std::chrono::system_clock::to_time_t(time);
    char text[32] = "";
    // One thread: the shared buffer of gmtime is safe here, on every system.
    if (const std::tm* utc = std::gmtime(&now)) std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", utc);
    return text;
}

const std::string& runId() {
    static const std::string id = [] {
        // The system's randomness, with the clock mixed in should a system give little of it.
        std::random_device device;
        std::mt19937_64 mix(
            (uint64_t(device()) << 32 ^ device()) ^
            static_cast<uint64_t>(std::chrono::system_clock::now().time_since_epoch().count()));
        uint64_t high = mix() ^ (uint64_t(device()) << 32), low = mix() ^ device();
        // The version and variant bits of a random UUID.
        high = (high & ~0xF000ULL) | 0x4000ULL;
        low = (low & ~(0xC000ULL << 48)) | (0x8000ULL << 48);
        char text[40];
        std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx",
                      static_cast<unsigned long long>(high >> 32),
                      static_cast<unsigned long long>((high >> 16) & 0xFFFF),
                      static_cast<unsigned long long>(high & 0xFFFF),
                      static_cast<unsigned long long>(low >> 48),
                      static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFULL));
        return std::string(text);
    }();
    return id;
}

Json tagsObject(const Tags& tags) {
    Json object = Json::object();
    for (const auto& tag : tags)
        object[tag.first] = tag.second;
    return object;
}

namespace {

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
    auto name = [](const char* text) { return text ? Json(text) : Json(nullptr); };
    Json unit;
    unit["v"] = 1;
    unit["event"] = "unit";
    unit["ms"] = static_cast<int64_t>(facts.ms);
    unit["time"] = utcText(facts.ended);
    unit["started"] = utcText(facts.started);
    unit["run"] = runId();
    unit["version"] = VQ2DL_VERSION;
    unit["host"] = platformHostName();
    unit["port"] = facts.port;
    if (facts.cycle > 0) unit["cycle"] = facts.cycle;
    unit["device"] = facts.device;
    unit["usb_serial"] = textOrNull(usbSerialOf(facts.device));
    unit["files"] = facts.files;
    unit["generation"] = textOrNull(facts.generation);
    unit["action"] = facts.action;
    unit["switches"] = facts.switches;
    unit["tags"] = tagsObject(facts.tags);
    unit["ok"] = facts.ok;
    unit["status"] = facts.status;
    unit["step"] = name(outcome::nameOf(facts.outcome.step));
    unit["kind"] = name(outcome::nameOf(facts.outcome.kind));
    unit["flash"] = name(outcome::nameOf(facts.outcome.flash));
    unit["error"] = textOrNull(facts.error);
    unit["seconds"] = facts.seconds;
    unit["bytes"] = {{"written", facts.written}, {"verified", facts.verified}, {"read", facts.read}};
    if (!facts.kept.empty()) unit["kept"] = facts.kept;
    if (!facts.serial.is_null()) unit["serial"] = facts.serial;
    return unit;
}
