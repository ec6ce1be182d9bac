// The NVRAM words as named parameters and the byte encodings behind them. The expected bytes
// are worked out from the unit's rules, not from the code: inputs 1..48 and 49..85 (+2), +100
// for inversion, outputs from 210, 0xFF for "always on" and "no negative floors".

#include <gtest/gtest.h>

#include <map>
#include <set>

#include "LoadRes.h"
#include "NvramLayout.h"

namespace {

using namespace NvramCodec;

TEST(NvramCodec, UserIOBytes) {
    struct Case {
        int byte;
        UserIO io;
        bool roundTrips;
    } cases[] = {
        {0x96, {false, 48, true, true}, false}, {0xD5, {true, 3, false, true}, true},
        {0xC8, {false, 86, false, true}, true}, {0, {false, 0, false, true}, true},
        {48, {false, 48, false, true}, true},   {51, {false, 49, false, true}, true},
        {87, {false, 85, false, true}, true},   {101, {false, 1, true, true}, true},
        {187, {false, 85, true, true}, true},   {210, {true, 0, false, true}, true},
        {227, {true, 17, false, true}, true},   {49, {false, 47, false, true}, false},
        {88, {false, 86, false, true}, false},  {201, {false, 0, false, false}, false},
        {228, {false, 0, false, false}, false}, {89, {false, 0, false, false}, false},
        {199, {false, 0, false, false}, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DecodeUserIOByte(static_cast<uint8_t>(c.byte)), c.io) << c.byte;
        EXPECT_EQ(EncodeUserIOByte(c.io) == c.byte, c.roundTrips) << c.byte;
    }
    EXPECT_EQ(EncodeUserIOByte({false, 86, true, true}), 200) << "mode 86 has no inversion";
    EXPECT_EQ(EncodeUserIOByte({false, 0, true, true}), 0);
}

TEST(NvramCodec, DisplayABLBytes) {
    struct Load {
        int byte, entry;
        bool checked, enabled;
    } loads[] = {{0, 0, false, false},  {99, 0, false, false}, {255, 0, false, false}, {1, 1, false, true},
                 {48, 48, false, true}, {51, 49, false, true}, {86, 84, false, true},  {101, 1, true, true},
                 {151, 49, true, true}, {185, 83, true, true}};
    for (const Load& l : loads) {
        const DisplayABL d = LoadDisplayABLByte(static_cast<uint8_t>(l.byte));
        EXPECT_TRUE(d.known) << l.byte;
        EXPECT_EQ(d.entry, l.entry) << l.byte;
        EXPECT_EQ(d.checked, l.checked) << l.byte;
        EXPECT_EQ(d.enabled, l.enabled) << l.byte;
    }
    for (int b : {100, 200, 254}) EXPECT_FALSE(LoadDisplayABLByte(static_cast<uint8_t>(b)).known) << b;
    struct Write {
        int entry;
        bool checkedIn;
        int byte;
        bool checked, enabled;
    } writes[] = {{0, true, 0xFF, false, false}, {84, true, 0xFF, false, false},
                  {83, false, 99, false, false}, {83, true, 185, true, false},
                  {1, true, 101, true, true},    {49, false, 51, false, true},
                  {82, true, 184, true, true}};
    for (const Write& w : writes) {
        const auto out = EncodeDisplayABLEntry(w.entry, w.checkedIn);
        ASSERT_TRUE(out) << w.entry;
        EXPECT_EQ(out->byte, w.byte) << w.entry;
        EXPECT_EQ(out->checked, w.checked) << w.entry;
        EXPECT_EQ(out->enabled, w.enabled) << w.entry;
    }
    EXPECT_FALSE(EncodeDisplayABLEntry(85, false));
    EXPECT_FALSE(EncodeDisplayABLEntry(-1, false));
}

TEST(NvramCodec, CanPowerNegativeFloorsFirmwareAndLists) {
    for (const auto& [b, e] : std::map<int, int>{{0xFF, 18}, {210, 0}, {227, 17}, {209, -1}, {0, -1}})
        EXPECT_EQ(DecodeCanPowerByte(static_cast<uint8_t>(b)), e) << b;
    EXPECT_EQ(EncodeCanPowerEntry(18), 0xFF);
    EXPECT_EQ(EncodeCanPowerEntry(0), 210);
    EXPECT_EQ(DecodeNegativeFloorsByte(0x83), (NegativeFloors{3, true}));
    EXPECT_EQ(DecodeNegativeFloorsByte(0xFF), (NegativeFloors{0, false}));
    EXPECT_EQ(EncodeNegativeFloorsByte({0, false}, 0xFF), 0xFF) << "none stays none";
    EXPECT_EQ(EncodeNegativeFloorsByte({0, false}, 0x05), 0x00);
    EXPECT_EQ(EncodeNegativeFloorsByte({2, true}, 0xFF), 0x82);
    EXPECT_EQ(FirmwareText(0x0215).ToStr(), "2.1.2");
    EXPECT_EQ(FirmwareText(0xFFFF).ToStr(), "25.5.255");

    const auto in = InputChoices();
    ASSERT_EQ(in.size(), 87u);
    EXPECT_EQ(in[1], L"1.   " + _S_(1919));
    EXPECT_EQ(in[10], L"10. " + _S_(1928));
    EXPECT_EQ(in[49], L"51. " + _S_(1651));
    EXPECT_EQ(in[86], _S_(1688));
    const auto abl = DisplayABLChoices();
    ASSERT_EQ(abl.size(), 85u);
    EXPECT_EQ(abl[82], L"84. " + _S_(1684));
    EXPECT_EQ(abl[83], _S_(1690));
    EXPECT_EQ(OutputChoices().size(), 18u);
    EXPECT_EQ(FloorsChoices(24).size(), 25u);
    EXPECT_EQ(IntervalChoices(100)[1], L"30 " + _S_(1570));
}

TEST(NvramLayout, EveryShownBitBelongsToOneParameterOfItsGeneration) {
    // Bits the windows show, per generation, worked out from the pages' rows.
    struct Case {
        int protoVer;
        size_t service;
        size_t grid;
    } cases[] = {{5, 14, 32 * 3 + 24}, {6, 29, 40 * 3 + 32}, {7, 31, 40 * 3 + 32}, {0, 0, 32 * 3 + 24}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.protoVer);
        EXPECT_EQ(ServiceParams(c.protoVer).size(), c.service);
        EXPECT_EQ(GridParams(c.protoVer).size(), c.grid);
        std::set<std::string> keys;
        std::map<std::pair<int, int>, std::string> owner;
        for (const ParamDef* p : AllParams(c.protoVer)) {
            EXPECT_TRUE(keys.insert(p->key).second) << "key twice: " << p->key;
            for (int bit = p->shift; bit < p->shift + p->width; ++bit) {
                const auto [it, fresh] = owner.emplace(std::pair{p->word, bit}, p->key);
                EXPECT_TRUE(fresh) << p->key << " and " << it->second << " share word " << p->word << " bit "
                                   << bit;
            }
        }
    }
    ASSERT_NE(ParamAt(7, 22, 5), nullptr);
    EXPECT_EQ(ParamAt(7, 22, 5)->key, "state_09.interval");
    EXPECT_EQ(ParamAt(7, 10, 4)->key, "state_20.algorithms");
    EXPECT_EQ(ParamAt(7, 19, 3)->key, "state_35.poweroff");
    EXPECT_EQ(ParamAt(7, 30, 5)->key, "state_33.interval");
    EXPECT_EQ(ParamAt(5, 30, 5), nullptr) << "an older unit has no row 33";
    EXPECT_EQ(ParamAt(7, 2, 3)->key, "can_power");
    EXPECT_EQ(ParamAt(6, 2, 3), nullptr);
    EXPECT_EQ(ParamAt(7, 4, 12)->key, "floors");
    EXPECT_EQ(ParamAt(7, 12, 0), nullptr) << "word 12 is shown nowhere";
}

TEST(NvramLayout, ValuesReadAsTheWindowsShowThem) {
    g_StringENU = true;
    auto text = [](const char* key, unsigned raw) {
        for (const ParamDef* p : AllParams(7))
            if (p->key == key) return p->Text(raw).ToStr();
        return std::string("<no such key>");
    };
    EXPECT_EQ(text("nvram_table", 0x55), "on");
    EXPECT_EQ(text("nvram_table", 0x54), "off");
    EXPECT_EQ(text("firmware", 0x0215), "2.1.2");
    EXPECT_EQ(text("out1_mode", 2), _S_(1604).ToStr());
    EXPECT_EQ(text("out1_mode", 40), "0x28") << "no entry: the raw byte";
    EXPECT_EQ(text("out1_mode", 0x105), "0x105");
    EXPECT_EQ(text("can_power", 0xFF), "Always ON");
    EXPECT_EQ(text("user1", 0xD5), "OUTPUT: " + _S_(1621).ToStr());
    EXPECT_EQ(text("user2", 0x96), "INPUT: 48. " + _S_(1966).ToStr() + ", Inverse mapping");
    EXPECT_EQ(text("floors", 0), "Auto");
    EXPECT_EQ(text("lift_number", 0xFF), "Not set, assigned automatically");
    EXPECT_EQ(text("negative_floors", 0x83), "3, Has floor 0");
    EXPECT_EQ(text("flag_85", 0), "on") << "bit 2 is set when its box is clear";
    EXPECT_EQ(text("flag_96", 1), "Classic");
    EXPECT_EQ(text("state_10.interval", 5), "10 sec.");
    g_StringENU = false;
}

}  // namespace
