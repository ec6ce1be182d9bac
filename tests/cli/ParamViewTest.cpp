// The named view of NVRAM images: which parameters two images differ in, and which values
// differ from their defaults.

#include <gtest/gtest.h>

#include "LoadRes.h"
#include "ParamView.h"

namespace {

std::vector<std::string> Keys(const std::vector<ParamChange>& changes) {
    std::vector<std::string> keys;
    for (const ParamChange& c : changes)
        keys.push_back(c.param ? c.param->key
                               : "word_" + std::to_string(c.word) + (c.highByte ? ".high" : ".low"));
    return keys;
}

TEST(ParamView, ChangesAreNamedAndUnnamedBitsAreKept) {
    struct Case {
        const char* name;
        int protoVer;
        int word;
        uint16_t from, to;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"the high byte of word 1", 7, 1, 0x0301, 0x0501, {"door_reversing"}},
        {"both bytes of word 1", 7, 1, 0x0301, 0x0402, {"out1_mode", "door_reversing"}},
        {"a word no parameter holds", 7, 12, 0x0000, 0x8001, {"word_12.low", "word_12.high"}},
        {"bit 5 of word 13 has a name from generation 6", 7, 13, 0x0000, 0x0020, {"flag_88"}},
        {"...and none in generation 5", 5, 13, 0x0000, 0x0020, {"word_13.low"}},
        {"bits 6 and 13 of word 13: one named, one not", 7, 13, 0x0000, 0x2040, {"word_13.low", "flag_96"}},
        {"a time interval of row 33", 7, 30, 0x0000, 0x0050, {"state_33.interval"}},
        {"nothing differs", 7, 9, 0x1234, 0x1234, {}},
    };
    for (const Case& c : cases) {
        const WordMap from{{c.word, c.from}};
        const WordMap to{{c.word, c.to}};
        const auto changes = DescribeChanges(c.protoVer, from, to);
        EXPECT_EQ(Keys(changes), c.keys) << c.name;
        for (const ParamChange& ch : changes) {
            if (ch.param != nullptr) continue;
            const int shift = ch.highByte ? 8 : 0;
            EXPECT_EQ(std::make_pair(ch.oldRaw, ch.newRaw),
                      std::make_pair(unsigned{c.from} >> shift & 0xFFu, unsigned{c.to} >> shift & 0xFFu))
                << c.name;
        }
    }
}

TEST(ParamView, DefaultsMarkTheValuesThatDiffer) {
    // No negative floors reads 0xFF on old units and 0 on new ones: the same value from
    // generation 6 on.
    const WordMap words{{7, 0x00FF}, {1, 0x0300}};
    const WordMap defaults{{7, 0x0000}, {1, 0x0200}};
    for (int protoVer : {5, 7}) {
        std::map<std::string, bool> differs;
        for (const ParamValue& v : ParamValues(words, &defaults, protoVer)) differs[v.def->key] = v.differs;
        EXPECT_TRUE(differs.at("door_reversing")) << protoVer;
        EXPECT_FALSE(differs["out1_mode"]) << protoVer;
        if (protoVer == 7) {
            EXPECT_FALSE(differs.at("negative_floors"));
        }
    }
    for (const ParamValue& v : ParamValues(words, nullptr, 7)) EXPECT_FALSE(v.defaultRaw) << v.def->key;
}

}  // namespace
