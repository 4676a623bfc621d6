// Faults: what a real controller or cable does wrong, picked by command and occurrence, and applied to the
// answer the controller model gives (fault_syntax.cpp reads them from the command line).
#include "engine.h"

namespace vqsim {

bool ignores(const FaultSet& faults, const std::string& command, uint64_t occurrence,
             uint64_t anyOccurrence) {
    for (const Fault& f : faults.faults) {
        if (f.kind != FaultKind::Ignore) continue;
        uint64_t n = f.command == "any" ? anyOccurrence : f.command == command ? occurrence : 0;
        if (n >= f.first && n <= f.last) return true;
    }
    return false;
}

Answer applyFaults(const FaultSet& faults, const Reply& reply, uint64_t occurrence, uint64_t anyOccurrence) {
    std::vector<const Fault*> picked;
    for (const Fault& f : faults.faults) {
        uint64_t n = f.command == "any" ? anyOccurrence : f.command == reply.command ? occurrence : 0;
        if (n >= f.first && n <= f.last) picked.push_back(&f);
    }
    Answer answer;
    answer.command = reply.command;
    std::vector<uint8_t>& bytes = answer.bytes;
    bytes = reply.bytes;
    // 1. Answers replaced or bytes of the reply changed; the reply is the last three bytes, after any data.
    for (const Fault* f : picked) {
        size_t size = bytes.size();
        if (f->kind == FaultKind::Reply) bytes = f->text;
        if (f->kind == FaultKind::Error && size >= 3) bytes[size - 3] = static_cast<uint8_t>(f->number);
        if (f->kind == FaultKind::Status && size >= 3) bytes[size - 2] = static_cast<uint8_t>(f->number);
        if (f->kind == FaultKind::Prompt && size >= 3) bytes[size - 1] = static_cast<uint8_t>(f->number);
    }
    // 2. A byte flipped, counted from 1; then the answer cut short.
    for (const Fault* f : picked)
        if (f->kind == FaultKind::Corrupt && f->number <= bytes.size()) bytes[f->number - 1] ^= 0xFF;
    for (const Fault* f : picked)
        if (f->kind == FaultKind::Short && f->number < bytes.size()) bytes.resize(f->number);
    // 3. What comes around the answer, and how it comes.
    for (const Fault* f : picked) {
        if (f->kind == FaultKind::Chatter) bytes.insert(bytes.begin(), f->text.begin(), f->text.end());
        if (f->kind == FaultKind::Extra) bytes.push_back(static_cast<uint8_t>(f->number));
        if (f->kind == FaultKind::Slow) answer.slowMs = static_cast<int>(f->number);
    }
    for (const Fault* f : picked) {
        if (f->kind == FaultKind::Silent) bytes.clear();
        if (f->kind == FaultKind::Hangup) answer.hangup = true;
    }
    return answer;
}

} // namespace vqsim
