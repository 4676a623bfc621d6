// The reply check of the serial monitor: how its messages show a byte.
#pragma once

#include <string>

/// "0x" and two upper-case hexadecimal digits.
std::string hexByte(int value);
