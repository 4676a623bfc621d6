// What the operator types while a fixture loop runs: "q" and Enter asks it to stop. One definition each in
// keyboard_posix.cpp and keyboard_win32.cpp.
#pragma once

#include <string>

/// Without waiting: takes what was typed on the terminal into typed; true once a whole line "q" came. False
/// at once when standard input is no terminal. echoed grows by the lines the terminal has echoed, which moved
/// the cursor down (none on Windows, whose console input is read without echo).
bool platformQuitTyped(std::string& typed, size_t& echoed);
