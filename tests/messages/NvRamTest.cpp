#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "NvRam.h"

namespace {

using Units = std::vector<unsigned char>;

// An LU answer (sender UM 10 / slot 2, receiver the tool 255/15, type 26, device 3 with
// sub-address 15, then the payload) decoded as ok, index, value, isWord, value2, hasValue2.
// Garbage goes in, so that a forgotten output shows.
auto Decode(const Units& payload) {
    Units raw = {2, 34, 63, 63, 0, 26, 0, 63};
    raw.insert(raw.end(), payload.begin(), payload.end());
    int index = -7;
    unsigned short value = 0x5555, value2 = 0x6666;
    bool isWord = false, hasValue2 = true;
    const bool ok =
        CMes(static_cast<int>(raw.size()), raw.data()).GetLbNVRAM(index, value, isWord, value2, hasValue2);
    return std::make_tuple(ok, index, int(value), isWord, int(value2), hasValue2);
}

// The units of a request in decimal; empty when it was refused.
std::string Text(const std::optional<CMes>& m) {
    std::string s;
    for (int i = 0; m && i < m->len; ++i) s += (i ? " " : "") + std::to_string(m->data[i]);
    return s;
}

}  // namespace

TEST(LbNvramAnswer, HandPackedSamples) {
    // Word 5 = 0x1234 with default 0xABCD: bytes 05 34 12 CD AB. Byte 5000 = 0x5A: 88 A7 5A.
    const Units word = {5, 16, 35, 4, 13, 47, 10, 0};
    const std::tuple<Units, std::tuple<bool, int, int, bool, int, bool>> cases[] = {
        {{63, 63, 63}, {false, 0, 0, true, 0, false}},                          // 11 units: too short
        {{word.begin(), word.begin() + 7}, {true, 5, 0x1234, true, 0, false}},  // 15: no second value
        {word, {true, 5, 0x1234, true, 0xABCD, true}},
        {{36, 61, 63, 63}, {true, 100, 0xFFFF, true, 0, false}},             // seventh index bit in unit 9
        {{8, 30, 42, 22, 1, 2, 3, 4}, {true, 5000, 0x5A, false, 0, false}},  // no second value for a byte
    };
    for (const auto& [payload, want] : cases)
        EXPECT_EQ(Decode(payload), want) << payload.size() + 8 << " units";
}

TEST(LbNvramAnswer, WordFormCarriesEveryValueBitInItsPlace) {
    for (int v = 0; v < 65536; ++v) {
        const int v2 = 0xFFFF - v;  // every bit unlike the first value's
        Units bytes = {static_cast<unsigned char>(v & 127)};
        for (int x : {v & 255, v >> 8, v2 & 255, v2 >> 8}) bytes.push_back(static_cast<unsigned char>(x));
        Units units(8);
        ASSERT_EQ(CMes::Conv8To6(5, bytes.data(), units.data(), 8), 8);
        ASSERT_EQ(Decode(units), std::make_tuple(true, v & 127, v, true, v2, true)) << v;
    }
}

TEST(LbNvramWrite, PayloadAtEveryBitBoundaryAndBackThroughTheByteForm) {
    const std::tuple<int, int, Units> cases[] = {
        {63, 0xA5, {63, 2, 24, 41}},    {127, 0xA5, {63, 3, 24, 41}},   {128, 0xA5, {0, 6, 24, 41}},
        {8191, 0xA5, {63, 63, 27, 41}}, {8191, 0xFF, {63, 63, 59, 63}}, {0, 0, {0, 2, 8, 0}},
        {8192, 1, {9, 9, 9, 9}},        {-1, 1, {9, 9, 9, 9}},  // refused, the units untouched
    };
    for (const auto& [address, value, want] : cases) {
        Units units = {9, 9, 9, 9};
        EXPECT_EQ(LbNvramWriteUnits(address, static_cast<unsigned char>(value), units.data()), want[0] != 9);
        EXPECT_EQ(units, want) << address;
    }
    // What the tool writes is what an LU reports back for that byte.
    for (int address = 0; address <= kLbNvramMaxAddr; ++address) {
        Units units(4);
        LbNvramWriteUnits(address, static_cast<unsigned char>(address * 7 + 3), units.data());
        ASSERT_EQ(Decode(units), std::make_tuple(true, address, (address * 7 + 3) & 255, false, 0, false));
    }
}

TEST(LuRequests, ExactUnitsPrioritiesAndRefusedTargets) {
    const LuTarget lu{7, 3, 5};                        // from the tool (255/15) to UM 7, slot 3, device 5
    const auto word = LuWordWriteRequests(5, 0x1234);  // byte 10 gets 0x34, then byte 11 gets 0x12
    ASSERT_TRUE(word);
    EXPECT_EQ(Text(LuDevParamsMes(lu)), "63 63 1 51 0 58 1 16");
    EXPECT_EQ(Text(LuNvramReadMes(lu)), "63 63 1 51 0 58 1 31");
    EXPECT_EQ(Text(LuRestartMes(lu)), "63 63 1 51 0 58 33 18 2 0 0 0");  // sub-address 18 sets bit 5
    EXPECT_EQ(Text((*word)[0].ToMes(lu)), "63 63 1 51 0 58 1 31 10 2 8 13");
    EXPECT_EQ(Text((*word)[1].ToMes(lu)), "63 63 1 51 0 58 1 31 11 2 40 4");
    EXPECT_EQ(Text(LuByteWriteMes(lu, 10, 0x34)), Text((*word)[0].ToMes(lu)));
    EXPECT_EQ(std::make_tuple(LuDevParamsRequest().prior, LuNvramReadRequest().prior, (*word)[1].prior,
                              LuRestartRequest().prior),
              std::make_tuple(8, 8, 16, 16));
    // Device 200 would reach the LU as device 72 with its sub-address raised by 16.
    for (const LuTarget& bad : {LuTarget{7, 3, 200}, LuTarget{7, 3, 128}, LuTarget{7, 3, -1},
                                LuTarget{256, 3, 5}, LuTarget{7, 16, 5}, LuTarget{7, 3, 5, 255, 16}})
        EXPECT_EQ(Text(LuDevParamsMes(bad)) + Text(LuNvramReadMes(bad)) + Text(LuRestartMes(bad)), "");
    EXPECT_EQ(std::make_tuple(bool(LuRestartMes(LuTarget{255, 15, 127})), bool(LuWordWriteRequests(4095, 1)),
                              bool(LuWordWriteRequests(4096, 1)), bool(LuByteWriteMes(lu, 8192, 1))),
              std::make_tuple(true, true, false, false));
}

TEST(SlotNvram, WordAnswerPollingOrderAndPresence) {
    Units units(4);  // word 63 = 0x1234, and back through the slot's word answer
    int index = -1;
    unsigned short value = 0;
    ASSERT_TRUE(SlotNvramWriteUnits(63, 0x1234, units.data()));
    ASSERT_EQ(CMes(1, 2, 3, 4, CMes::mesNvramSlot, units.data(), 4).GetNVRAM(index, value), 1);
    EXPECT_EQ(std::make_tuple(units, index, int(value), SlotNvramWriteUnits(64, 1, units.data())),
              std::make_tuple(Units{63, 18, 16, 15}, 63, 0x1234, false));

    CNvRam r;
    std::vector<int> got;
    for (int i = 0; i < 65; ++i) got.push_back(r.NextIndex());
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 12),
              (std::vector<int>{0, 8, 16, 1, 2, 3, 4, 5, 6, 7, 9, 10}));
    EXPECT_EQ(std::make_tuple(std::set<int>(got.begin(), got.end()).size(), got[64]),
              std::make_tuple(64u, 0));
    // Device 40 is bit 8 of word 34; an unread word leaves the answer untouched.
    int present = 77;
    std::vector<std::tuple<int, int>> seen;
    seen.emplace_back(r.ExistDev(40, present), present);
    r.SetWord(34, 1 << 8);
    r.SetWord(47, 0x8000);
    for (int d : {40, 41, 255, 256}) seen.emplace_back(r.ExistDev(d, present), present);
    EXPECT_EQ(seen, (std::vector<std::tuple<int, int>>{{0, 77}, {1, 1}, {1, 0}, {1, 1}, {0, 1}}));
}

TEST(WordFields, AValueTooWideForItsFieldLeavesTheNeighbouringBitsAlone) {
    WordMap words{{3, 0x8001}};
    SetWordField(words, 3, 4, 3, 0x1F);
    EXPECT_EQ(GetWord(words, 3), 0x8071);
    EXPECT_EQ(GetWordField(words, 3, 4, 3), 7u);
}
