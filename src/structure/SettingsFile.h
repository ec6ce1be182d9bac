#pragma once

#include <cstdint>
#include <string>

#include "NvRam.h"

// A ".046" settings file: the LU's 32 words, low byte first, nothing else. Only a regular
// file of exactly that length is taken: anything else would write garbage into a live unit.
struct SettingsFileError {
    enum class typKind { None, NotRegular, WrongLength, System };
    typKind kind = typKind::None;
    // The system's error number for System; the file's length for WrongLength (-1: unknown).
    int error = 0;
    long long length = -1;
    // The call that failed, for the error log ("open()", "rename()", ...).
    std::string step;
};

// Reads words 0..31. Never reads more than 65 bytes, never waits on a FIFO or a device; on
// failure `words` is left as it was.
bool LoadSettingsFile(const std::string& path, WordMap& words, SettingsFileError& error);

// Writes words 0..31 (a missing word as 0) to a new file beside the target, flushed to disk
// and renamed over it, so the old settings stay whole until the new ones are. A symbolic link
// is followed and the file it names replaced; an existing file keeps its permissions.
bool SaveSettingsFile(const std::string& path, const WordMap& words, SettingsFileError& error);
