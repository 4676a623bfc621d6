// The kept file: a unit's own bytes as S-records, written whole and flushed to disk before a download erases
// them, so that a plain download (or --keep-from) puts them back.
#pragma once

#include <cstdint>
#include <ctime>
#include <map>
#include <string>

/// The text of a kept file: a header, the zero-length S1 record at 0x4000 that marks VQ-II code, then every
/// byte (erased ones too, so that the file holds each kept byte) in lines of up to 32 bytes on 32-byte
/// boundaries, S1 up to 0xFFFF and S2 above, and the end record.
std::string keptFileText(const std::map<uint32_t, uint8_t>& bytes, std::time_t when);

/// "kept-PORT-yyyymmddThhmmssZ.s19" in dir (nothing before it when dir is empty): the port's name made safe
/// for a file name, the time in UTC. Where that name is taken already, "-2", "-3" ... before ".s19".
std::string keptFileName(const std::string& dir, const std::string& port, std::time_t when);

/// Writes the text to path under a temporary name, flushed to disk before it takes the name; the folder is
/// made when missing. False with the reason otherwise, and nothing left behind.
bool writeKeptFile(const std::string& path, const std::string& text, std::string& reason);
