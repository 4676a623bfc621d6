// One JSON line, as every stream and file of the program writes it.
#pragma once

#include <string>

/// The object as one line with its line end. Bytes that are no UTF-8 (a Latin-1 file or port name, a reply
/// byte quoted in an error) become U+FFFD: the line is never lost to its text.
template <class Json> std::string jsonLine(const Json& object) {
    return object.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}
