// The operator's "q" and Enter on Windows: the console's key events, read without waiting.
#include "station/keyboard.h"

#include <windows.h>

namespace {

/// The most typed text kept without Enter.
constexpr size_t MAX_TYPED = 256;

} // namespace

bool platformQuitTyped(std::string& typed, size_t&) {
    HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0, waiting = 0;
    if (input == INVALID_HANDLE_VALUE || !GetConsoleMode(input, &mode)) return false;
    bool quit = false;
    while (GetNumberOfConsoleInputEvents(input, &waiting) && waiting > 0) {
        INPUT_RECORD record;
        DWORD got = 0;
        if (!ReadConsoleInputA(input, &record, 1, &got) || got == 0) break;
        if (record.EventType != KEY_EVENT || !record.Event.KeyEvent.bKeyDown) continue;
        const char c = record.Event.KeyEvent.uChar.AsciiChar;
        if (c == '\r' || c == '\n') {
            quit = quit || typed == "q" || typed == "Q";
            typed.clear();
        } else if (c != 0) {
            typed += c;
        }
    }
    if (typed.size() > MAX_TYPED) typed.clear();
    return quit;
}
