#pragma once

#include <optional>
#include <string>
#include <vector>

#include "Json.h"
#include "NvramLayout.h"

// The named view of an NVRAM image, and the differences between two images, for people
// (text lines) and for scripts (JSON). Labels and values are in the current language.

struct ParamValue {
    const ParamDef* def = nullptr;
    unsigned raw = 0;
    // None when the unit reported no defaults, or for a file.
    std::optional<unsigned> defaultRaw;
    bool differs = false;
};

std::vector<ParamValue> ParamValues(const WordMap& words, const WordMap* defaults, int protoVer);

// "* door_reversing (1:8-15) 4. Number of door reversing: 3 [default: 2]", one per line; the
// star marks a value that differs from its default.
std::string ValuesText(const std::vector<ParamValue>& values);
void ValuesJson(JsonWriter& json, const std::vector<ParamValue>& values);

// The changes from DescribeChanges: "door_reversing (1:8-15) 4. Number of door reversing: 2 -> 3",
// one per line; a byte no parameter names as "word_12.high (12:8-15) ...".
std::string ChangesText(const std::vector<ParamChange>& changes);
void ChangesJson(JsonWriter& json, const std::vector<ParamChange>& changes);
