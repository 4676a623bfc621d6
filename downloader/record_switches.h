// The switches of what each unit record carries beside the run: --tag KEY=VALUE and --expect-sha256 HEX.
#pragma once

#include "options.h"

#include <string>

/// Adds a --tag KEY=VALUE; the text of the refusal, or empty when it was taken.
std::string addTag(Options& options, const char* text);
/// Adds a --expect-sha256 digest, kept in lower case; the text of the refusal, or empty when it was taken.
std::string addExpectedDigest(Options& options, const char* text);
