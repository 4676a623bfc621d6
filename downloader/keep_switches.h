// The switches of kept ranges: --keep A-B (repeatable), --keep-dir DIR, --keep-from FILE, --port-name NAME.
#pragma once

#include "options.h"

#include <string>

/// Adds a --keep FIRST-LAST; the text of the refusal when it is no range of one flash area or reaches into
/// 0xFF00-0xFFFF, empty when it was taken.
std::string addKeepRange(Options& options, const char* text);
/// Stores the value of --keep-dir, --keep-from or --port-name (named name); the refusal of an empty one.
std::string setKeepText(std::string& field, const char* name, const char* text);
/// The text of the first fault of the kept ranges' switches together with the others, or empty.
std::string keepFault(const Options& options);
