#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "LoadRes.h"
#include "Mes.h"
#include "Sost.h"
#include "SostDZ.h"
#include "SostSens.h"

namespace {

CSostDev Dev(std::initializer_list<unsigned char> units) {
    CSostDev s;
    s.SetData(units.begin(), static_cast<int>(units.size()));
    return s;
}

std::vector<int> SetBits(const CSostDev& s, bool direct = false) {
    std::vector<int> bits;
    for (int b = 0; b < 48; ++b)
        if (direct ? s.tstBitDirect(b) : s.tstBit(b)) bits.push_back(b);
    return bits;
}

TEST(SostDev, ReportsOfSixAndTenUnitsOnlyAndTheirBits) {
    const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    CSostDev refused = Dev({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(refused.SetData(eight, 8), 0);
    EXPECT_EQ(refused.len + refused.info.len, 0) << "a refused report must not leave the old state";

    // One set bit per unit, walking up; the flags: CLB bits 0, 10 and 11 are bits 40, 41, 42.
    const CSostDev s = Dev({1, 2, 4, 8, 16, 32, 1, 32, 1, 48});
    EXPECT_EQ(s.len, 8);
    EXPECT_EQ(SetBits(s), std::vector<int>({0, 7, 14, 21, 28, 35, 36, 40, 41, 42}));
    EXPECT_EQ(SetBits(s, true), std::vector<int>({0, 7, 14, 21, 28, 35, 36, 47}));
    const CSostDev four = Dev({0, 0, 0, 0, 0, 16});
    EXPECT_EQ(four.len, 4);
    EXPECT_EQ(SetBits(four), std::vector<int>({41}));

    CSostDev w = Dev({0, 0, 0, 0, 0, 0});
    for (int b : {40, 41, 42, 43}) w.setBit(b);
    w.clrBit(41);
    EXPECT_EQ(std::vector<int>({w.info[0], w.info[1]}), std::vector<int>({1, 32}));
    EXPECT_TRUE(w.IsEmpty()) << "the flags never land in the state units";
}

TEST(SostDev, ComparingMergingAndWritingBack) {
    const CSostDev a = Dev({1, 2, 3, 0, 5, 6});
    EXPECT_TRUE(a.EQ(Dev({1, 2, 3, 24, 5, 6})) && !(a == Dev({1, 2, 3, 24, 5, 6}))) << "bits 3, 4 of unit 3";
    EXPECT_FALSE(a.EQ(Dev({1, 2, 3, 4, 5, 6})));
    EXPECT_FALSE(a.EQ(Dev({1, 2, 11, 0, 5, 6})));
    EXPECT_FALSE(a.EQ(Dev({1, 2, 3, 0, 0, 0, 0, 0, 5, 6})));
    // Once a record has an error flag only the flags decide.
    const CSostDev err10 = Dev({1, 1, 1, 1, 0, 16});
    EXPECT_FALSE(a.EQ(err10) || err10.EQ(a) || err10.EQ(Dev({1, 1, 1, 1, 0, 32})));
    EXPECT_TRUE(err10.EQ(Dev({9, 9, 9, 9, 0, 0, 0, 0, 0, 16})));
    CSostDev normal = Dev({7, 7, 7, 7, 3, 32}), kept = Dev({7, 7, 7, 7, 3, 15});
    normal.Normaliz();
    kept.Normaliz();
    EXPECT_EQ(std::vector<int>({normal.len, normal.data[0], normal.info[0], normal.info[1], kept.len}),
              std::vector<int>({0, 0, 3, 32, 4}));

    CSostDev longer = Dev({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    longer = Dev({11, 12, 13, 14, 15, 16});
    EXPECT_EQ(longer, Dev({11, 12, 13, 14, 5, 6, 7, 8, 15, 16})) << "a shorter state merges";
    const unsigned char state[6] = {11, 12, 13, 14, 15, 16};
    CMes m(1, 2, 3, 4, 5, CMes::mesDevAnswer, CMes::askDevParam, state, 6, -1);
    m = CMes(1, 2, 3, 4, 5, CMes::mesDevAnswer, CMes::askDevParam, state, 4, -1);
    EXPECT_EQ(m.sost.len, 0) << "a message copy is exact";

    unsigned char out[12];
    EXPECT_EQ(longer.GetData(out, 9), 0);
    EXPECT_EQ(longer.GetData(out, 10), 10);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 10),
              std::vector<unsigned char>({11, 12, 13, 14, 5, 6, 7, 8, 15, 16}));
    CSostDev flagsOnly;
    const unsigned char flag = 33;
    flagsOnly.info.SetData(&flag, 1);
    EXPECT_EQ(flagsOnly.GetData(out, 5), 5);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 5), std::vector<unsigned char>({0, 0, 0, 0, 33}));
    EXPECT_EQ(flagsOnly.GetData(out, 4), 0);
}

TEST(SostDev, FaultsNamesAndTextForms) {
    std::vector<int> errors;
    for (int b = 0; b <= CSostDev::bitCount; ++b)
        if (CSostDev::IsError(static_cast<CSostDev::bitLB>(b))) errors.push_back(b);
    EXPECT_EQ(errors, std::vector<int>({2,  3,  4,  5,  6,  7,  8,  9,  11, 12, 13, 14,
                                        15, 16, 17, 18, 19, 20, 24, 37, 38, 40, 41, 42}));
    EXPECT_FALSE(Dev({3, 16, 0, 8, 0, 0}).IsError()) << "bits 0, 1, 10 and 21 are no faults";
    EXPECT_TRUE(Dev({3, 17, 0, 8, 0, 0}).IsError()) << "bit 6 is";
    EXPECT_FALSE(Dev({0, 0, 0, 0, 0, 48}).IsError()) << "41 and 42 alone do not count";
    EXPECT_TRUE(Dev({0, 0, 0, 0, 1, 0}).IsError()) << "40 does";
    EXPECT_EQ(Dev({0, 60, 1, 0, 0, 0}).GetCodErrHF() * 100 + Dev({0, 23, 62, 0, 0, 0}).GetCodErrHF(), 3105);
    EXPECT_EQ(Dev({0, 0, 0, 0, 16, 0, 0, 0, 0, 0}).GetStatDriv(), 2);

    const bool saved = g_StringENU;
    g_StringENU = true;
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitStopClamped), L"\u2018STOP\u2019 button clamped");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitBattery), L"Backup battery fault");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitNoLink), L"Not link");
    EXPECT_EQ(CSostDev::naimSost(static_cast<CSostDev::bitLB>(43)), L"ENU0");
    g_StringENU = saved;
    const CSostDev s = Dev({1, 2, 3, 63, 5, 48});
    EXPECT_EQ(s.BinStr(), L"000001 000010 000011 111111 000000 000000 000000 000000 000101 110000");
    EXPECT_EQ(s.HexStr(), L"01 02 03 3F 05 30");
}

// The records below serve equipment the tool does not service: one sample each.
TEST(SostOthers, DZSensorsAndLinkTables) {
    CSostDZ z;
    const unsigned char units[] = {33, 0, 4, 32, 63};  // bits 0, 5, 14, 23; the fifth unit is dropped
    EXPECT_EQ(z.SetData(units, 5), 4);
    std::vector<int> seen;
    for (int b = -1; z.NextSost(b);) seen.push_back(b);
    EXPECT_EQ(seen, std::vector<int>({0, 5, 14, 23}));
    std::vector<unsigned char> u(20, 0);
    u[6] = 32;
    u[7] = 0x3B;
    u[15] = 32;  // a call to floor 24
    CSostSens s;
    s.SetData(u.data(), 20);
    EXPECT_EQ(
        std::vector<unsigned>({unsigned(s.CurLvl()), unsigned(s.Mode()), unsigned(s.LvlAsk10()), s.ValAsk()}),
        std::vector<unsigned>({32, 11, 2, 1u << 23}));
    CLinkNetTab nets;
    EXPECT_EQ(nets.Insert(std::make_unique<CLinkNet>(CLinkNet{3, 4})) +
                  nets.Insert(std::make_unique<CLinkNet>(CLinkNet{3, 4})),
              1);
}

}  // namespace
