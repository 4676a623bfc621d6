// The VQ-II serial monitor. While the controller runs its own program it ignores every byte but the drop-in
// string, which drops it into the monitor. The monitor answers every command with an error byte, a status
// byte and the prompt, and a read-back with its data bytes first.
#include "engine.h"

namespace vqsim {

namespace {

const std::string DROP_IN = "!!!KeepOutHere";

enum : uint8_t {
    WRITE_BYTE = 0xA2,
    READ_BLOCK = 0xA7,
    WRITE_BLOCK = 0xA8,
    RESET = 0xB4,
    ERASE_MAIN = 0xB6,
    ERASE_PAGE = 0xB8,
    PROBE = 0x0D,
};

const std::vector<uint8_t> DONE = {0xE0, 0x00, 0x3E};           // no error, no status, prompt
const std::vector<uint8_t> COLD_RESET = {0xE0, 0x08, 0x3E};     // no error, cold reset, prompt
const std::vector<uint8_t> NOT_RECOGNIZED = {0xE1, 0x00, 0x3E}; // command not recognised

/// How many bytes the command that starts with these bytes has in all.
size_t commandLength(const std::vector<uint8_t>& command) {
    switch (command[0]) {
    case WRITE_BYTE:
    case READ_BLOCK:
        return 4;
    case WRITE_BLOCK:
        // The length byte comes fourth; until it has come, the command has at least four bytes.
        return command.size() < 4 ? 4 : 4 + command[3] + 1u;
    default:
        return 1;
    }
}

void writeBlock(Engine& e, const std::vector<uint8_t>& command, uint16_t address) {
    size_t count = command[3] + 1u;
    for (size_t i = 0; i < count; ++i)
        e.flash.at(static_cast<uint16_t>(address + i), e.page) = command[4 + i];
    e.counters.bytesWritten += count;
    ++e.counters.blocksWritten;
}

Reply readBlock(Engine& e, const std::vector<uint8_t>& command, uint16_t address) {
    Reply reply{"readblock", {}};
    size_t count = command[3] + 1u;
    for (size_t i = 0; i < count; ++i)
        reply.bytes.push_back(e.flash.at(static_cast<uint16_t>(address + i), e.page));
    reply.bytes.insert(reply.bytes.end(), DONE.begin(), DONE.end());
    ++e.counters.blocksRead;
    return reply;
}

/// Carries out one whole command and gives its reply; pending: answers given in this feed and not yet
/// counted. A command that an ignore fault picks changes nothing: an erase that did not take leaves the old
/// bytes.
Reply execute(Engine& e, const std::vector<uint8_t>& command, size_t pending) {
    uint16_t address = command.size() >= 3 ? static_cast<uint16_t>(command[1] << 8 | command[2]) : 0;
    switch (command[0]) {
    case RESET:
        // The reset restarts the monitor; the page register keeps its value.
        ++e.counters.resets;
        return {"reset", COLD_RESET};
    case PROBE:
        // No command: the monitor does not recognise it, which is what the downloader expects.
        ++e.counters.probes;
        return {"probe", NOT_RECOGNIZED};
    case WRITE_BYTE:
        if (e.ignored("writebyte", pending)) return {"writebyte", DONE};
        if (address == PAGE_REGISTER) {
            e.page = command[3];
            ++e.counters.pageSets;
        } else {
            e.flash.at(address, e.page) = command[3];
        }
        return {"writebyte", DONE};
    case ERASE_PAGE:
        if (e.ignored("erasepage", pending)) return {"erasepage", DONE};
        e.flash.erasePage(e.page);
        ++e.counters.pagesErased;
        return {"erasepage", DONE};
    case ERASE_MAIN:
        if (e.ignored("erasemain", pending)) return {"erasemain", DONE};
        e.flash.eraseMain();
        ++e.counters.mainErases;
        return {"erasemain", DONE};
    case WRITE_BLOCK:
        if (e.ignored("writeblock", pending)) return {"writeblock", DONE};
        writeBlock(e, command, address);
        return {"writeblock", DONE};
    case READ_BLOCK:
        return readBlock(e, command, address);
    default:
        return {"other", NOT_RECOGNIZED};
    }
}

} // namespace

void Engine::feedMonitor(uint8_t byte, std::vector<Reply>& replies) {
    if (!monitor.inMonitor) {
        monitor.recent.push_back(static_cast<char>(byte));
        if (monitor.recent.size() > DROP_IN.size()) monitor.recent.erase(0, 1);
        if (monitor.recent == DROP_IN) {
            monitor.recent.clear();
            monitor.inMonitor = true;
            replies.push_back({"dropin", COLD_RESET});
        }
        return;
    }
    std::vector<uint8_t>& command = monitor.command;
    command.push_back(byte);
    if (command[0] == '!') {
        // The active monitor answers the drop-in string once, as a whole. A '!' that does not go on as the
        // drop-in string is one unknown command, and the byte that broke it off starts the next command.
        std::string text(command.begin(), command.end());
        if (text == DROP_IN) {
            command.clear();
            replies.push_back({"dropin", NOT_RECOGNIZED});
        } else if (DROP_IN.compare(0, text.size(), text) != 0) {
            command.clear();
            replies.push_back({"other", NOT_RECOGNIZED});
            feedMonitor(byte, replies);
        }
        return;
    }
    if (command.size() < commandLength(command)) return;
    replies.push_back(execute(*this, command, replies.size()));
    command.clear();
}

} // namespace vqsim
