// The console: levelled messages, the errors that end a run, and the texts asked for.
#include "console/console.h"

#include "platform/system.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

Console::Console(Sink sinkTo, bool onTerminal)
    : sink(sinkTo), terminal(onTerminal), startMs(platformNowMs()) {
    // A log that can no longer be written says so once on standard error, and in the stream.
    log.onAbandon = [this](const std::string& text) {
        clearProgress();
        std::fprintf(stderr, "%s\n", text.c_str());
        std::fflush(stderr);
        if (events.active()) events.message(0, text.c_str());
    };
}

Console::~Console() {
    log.onAbandon = nullptr;
}

int64_t Console::elapsedMs() const {
    return platformNowMs() - startMs;
}

MessageRoute Console::route() {
    // Under --json the console's text goes out as events, word for word, and nothing else reaches the
    // console.
    MessageRoute route;
    if (sink) route.console = [this](const char* text) { print(text); };
    route.verbosity = verbosity;
    if (log.isOpen()) route.log = [this](const char* text) { log.write(text); };
    if (events.active())
        route.levelled = [this](int level, const char* text) { events.message(level, text); };
    return route;
}

bool Console::shows(int level) const {
    return (sink && level <= verbosity) || (log.isOpen() && level <= LOG_LEVEL);
}

void Console::emit(int level, const char* text) {
    // A person watching sees a text that ends in a carriage return as a progress line, fitted to the window.
    const size_t n = std::strlen(text);
    if (n > 0 && text[n - 1] == '\r' && level <= verbosity && personWatching()) {
        if (log.isOpen() && level <= LOG_LEVEL) log.write(text);
        drawOver(std::string(text, n - 1));
        return;
    }
    route().emit(level, text);
}

void Console::advise(const char* text, const char* about) {
    MessageRoute to = route();
    if (to.levelled)
        to.levelled = [this, about](int level, const char* line) { events.message(level, line, about); };
    to.emit(0, text);
}

void Console::message(int level, const char* format, ...) {
    if (!shows(level)) return;
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    emit(level, text.c_str());
}

void Console::fatal(int status, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string text = formatText(format, args);
    va_end(args);
    announce(text.c_str());
    throw status;
}

void Console::announce(const char* text) {
    lastError = text;
    log.write(text);
    events.failed(text);
    if (events.active())
        events.message(0, text);
    else
        print(text);
}

void Console::print(const char* text) {
    if (!sink) return;
    clearProgress();
    sink(text);
}

bool Console::personWatching() const {
    // Scripts, calling programs and -p get what they always had.
    return terminal && sink && verbosity == 1 && !percent;
}
