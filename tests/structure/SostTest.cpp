#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "LoadRes.h"
#include "Mes.h"
#include "Sost.h"
#include "SostDZ.h"
#include "SostSens.h"

namespace {

CSostDev Dev(std::initializer_list<unsigned char> units) {
    CSostDev s;
    EXPECT_EQ(s.SetData(units.begin(), static_cast<int>(units.size())), 1);
    return s;
}

// ---- CSostDev ----------------------------------------------------------------------------

TEST(SostDev, SetDataAcceptsShortAndLongReportsOnly) {
    CSostDev s = Dev({1, 2, 3, 4, 5, 6});
    EXPECT_EQ(s.len, 4);
    EXPECT_EQ(s[4], 0);
    EXPECT_EQ(s.info[0], 5);
    EXPECT_EQ(s.info[1], 6);
    s = Dev({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(s.len, 8);
    EXPECT_EQ(s[7], 8);
    EXPECT_EQ(s.info[1], 10);

    const unsigned char eight[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(s.SetData(eight, 8), 0);
    EXPECT_EQ(s.len, 0);
    EXPECT_EQ(s.info.len, 0);
    EXPECT_FALSE(s.tstBit(0)) << "a refused report must not leave the old state";
}

TEST(SostDev, StateBitsAndTheClbMapping) {
    // One set bit per unit, walking up: bits 0, 7, 14, 21, 28, 35 and 36.
    const CSostDev s = Dev({1, 2, 4, 8, 16, 32, 1, 0, 0, 0});
    const std::vector<int> set = {0, 7, 14, 21, 28, 35, 36};
    for (int b = 0; b < 40; ++b) EXPECT_EQ(s.tstBit(b), std::count(set.begin(), set.end(), b) == 1) << b;

    // 40 is CLB bit 0, 41 and 42 are CLB bits 10 and 11.
    EXPECT_TRUE(Dev({0, 0, 0, 0, 1, 0}).tstBit(CSostDev::bitIdle1Hour));
    EXPECT_FALSE(Dev({0, 0, 0, 0, 1, 0}).tstBit(CSostDev::bitNoInfo));
    EXPECT_TRUE(Dev({0, 0, 0, 0, 0, 16}).tstBit(CSostDev::bitNoInfo));
    EXPECT_FALSE(Dev({0, 0, 0, 0, 0, 16}).tstBit(CSostDev::bitNoLink));
    EXPECT_TRUE(Dev({0, 0, 0, 0, 0, 32}).tstBit(CSostDev::bitNoLink));

    CSostDev w = Dev({0, 0, 0, 0, 0, 0});
    w.setBit(40);
    w.setBit(41);
    w.setBit(42);
    w.setBit(43);
    EXPECT_EQ(w.info[0], 1);
    EXPECT_EQ(w.info[1], 48);
    EXPECT_TRUE(w.IsEmpty()) << "the flags never land in the state units";
    w.clrBit(41);
    EXPECT_EQ(w.info[1], 32);

    // The direct form ignores the mapping: bit 41 is bit 5 of unit 6.
    const CSostDev direct = Dev({0, 0, 0, 0, 0, 0, 32, 0, 0, 0});
    EXPECT_FALSE(direct.tstBit(41));
    EXPECT_TRUE(direct.tstBitDirect(41));
}

TEST(SostDev, NormalizDropsTheStateWhenAnErrorFlagIsUp) {
    CSostDev s = Dev({7, 7, 7, 7, 3, 32});
    s.Normaliz();
    EXPECT_EQ(s.len, 0);
    EXPECT_EQ(s.data[0], 0);
    EXPECT_EQ(s.info[1], 32);
    s = Dev({7, 7, 7, 7, 3, 15});
    s.Normaliz();
    EXPECT_EQ(s[0], 7);
}

TEST(SostDev, EqIgnoresTripBitsWhereEqualityDoesNot) {
    const CSostDev a = Dev({1, 2, 3, 0, 5, 6});
    EXPECT_TRUE(a.EQ(Dev({1, 2, 3, 8, 5, 6})));
    EXPECT_FALSE(a == Dev({1, 2, 3, 8, 5, 6}));
    EXPECT_TRUE(a.EQ(Dev({1, 2, 3, 16, 5, 6})));
    EXPECT_FALSE(a.EQ(Dev({1, 2, 3, 4, 5, 6}))) << "bit 2 of unit 3 counts";
    EXPECT_FALSE(a.EQ(Dev({1, 2, 11, 0, 5, 6}))) << "only unit 3 has masked bits";
    EXPECT_FALSE(a.EQ(Dev({1, 2, 3, 0, 0, 0, 0, 0, 5, 6})));

    // Once a record has an error flag only the flags decide.
    const CSostDev err10 = Dev({1, 1, 1, 1, 0, 16});
    EXPECT_FALSE(a.EQ(err10));
    EXPECT_FALSE(err10.EQ(a));
    EXPECT_TRUE(err10.EQ(Dev({9, 9, 9, 9, 0, 0, 0, 0, 0, 16})));
    EXPECT_FALSE(err10.EQ(Dev({1, 1, 1, 1, 0, 32})));
}

TEST(SostDev, AssignmentMergesButAMessageCopyIsExact) {
    CSostDev longer = Dev({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    longer = Dev({11, 12, 13, 14, 15, 16});
    EXPECT_EQ(longer, Dev({11, 12, 13, 14, 5, 6, 7, 8, 15, 16}));

    CSostDev bad = Dev({11, 12, 13, 14, 15, 16});
    bad.len = 9;
    CSostDev kept = Dev({1, 2, 3, 4, 5, 6});
    kept = bad;
    EXPECT_EQ(kept, Dev({1, 2, 3, 4, 5, 6}));

    const unsigned char longState[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    const unsigned char shortState[6] = {11, 12, 13, 14, 15, 16};
    CMes m(1, 2, 3, 4, 5, CMes::mesDevAnswer, CMes::askDevParam, longState, 10, -1);
    const CMes other(1, 2, 3, 4, 5, CMes::mesDevAnswer, CMes::askDevParam, shortState, 6, -1);
    m = other;
    EXPECT_EQ(m.sost, Dev({11, 12, 13, 14, 15, 16}));
}

TEST(SostDev, GetDataWritesUnitsAndFlags) {
    unsigned char out[12];
    const CSostDev s = Dev({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    EXPECT_EQ(s.GetData(out, 9), 0);
    EXPECT_EQ(s.GetData(out, 10), 10);
    EXPECT_EQ(out[9], 10);

    // No state units, a one-unit flag record, room for five: four zeros and the flags.
    CSostDev flagsOnly;
    const unsigned char flag = 33;
    flagsOnly.info.SetData(&flag, 1);
    std::fill(std::begin(out), std::end(out), 0xEE);
    EXPECT_EQ(flagsOnly.GetData(out, 5), 5);
    EXPECT_EQ(std::vector<unsigned char>(out, out + 6), (std::vector<unsigned char>{0, 0, 0, 0, 33, 0xEE}));
    EXPECT_EQ(flagsOnly.GetData(out, 4), 0);
    EXPECT_EQ(CSostDev().GetData(out, 12), 0);
}

TEST(SostDev, ErrorMarksAndFaultFields) {
    std::vector<int> errors;
    for (int b = 0; b <= CSostDev::bitCount; ++b)
        if (CSostDev::IsError(static_cast<CSostDev::bitLB>(b))) errors.push_back(b);
    EXPECT_EQ(errors, (std::vector<int>{2,  3,  4,  5,  6,  7,  8,  9,  11, 12, 13, 14,
                                        15, 16, 17, 18, 19, 20, 24, 37, 38, 40, 41, 42}));

    EXPECT_FALSE(Dev({3, 16, 0, 8, 0, 0}).IsError()) << "bits 0, 1, 10 and 21 are no faults";
    EXPECT_TRUE(Dev({3, 17, 0, 8, 0, 0}).IsError()) << "bit 6 is";
    EXPECT_FALSE(Dev({0, 0, 0, 0, 0, 48}).IsError()) << "41 and 42 alone do not count";
    EXPECT_TRUE(Dev({0, 0, 0, 0, 1, 0}).IsError()) << "40 does";

    // Fault code: bits 2..5 of unit 1 and bit 0 of unit 2; drive state: bits 3..4 of unit 4.
    EXPECT_EQ(Dev({0, 60, 1, 0, 0, 0}).GetCodErrHF(), 31);
    EXPECT_EQ(Dev({0, 23, 62, 0, 0, 0}).GetCodErrHF(), 5);
    EXPECT_EQ(Dev({0, 0, 0, 0, 16, 0, 0, 0, 0, 0}).GetStatDriv(), 2);
    EXPECT_EQ(Dev({0, 0, 0, 0, 39, 0, 0, 0, 0, 0}).GetStatDriv(), 0);
}

TEST(SostDev, BitNamesComeFromTheMessageTable) {
    const bool saved = g_StringENU;
    g_StringENU = true;
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitMaintenance), L"Maintenance mode");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitStopClamped), L"\u2018STOP\u2019 button clamped");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitSafetyDeviceFault), L"Safety Device fault");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitFire), L"Fire hazard");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitBattery), L"Backup battery fault");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitIdle1Hour), L"Idle lift 1 hour");
    EXPECT_EQ(CSostDev::naimSost(CSostDev::bitNoLink), L"Not link");
    EXPECT_EQ(CSostDev::naimSost(static_cast<CSostDev::bitLB>(43)), L"ENU0");
    g_StringENU = saved;
}

TEST(SostDev, TextForms) {
    const CSostDev s = Dev({1, 2, 3, 63, 5, 48});
    EXPECT_EQ(s.BinStr(), L"000001 000010 000011 111111 000000 000000 000000 000000 000101 110000");
    EXPECT_EQ(s.HexStr(), L"01 02 03 3F 05 30");
}

// ---- CSostDZ -----------------------------------------------------------------------------

TEST(SostDZ, NextSostWalksTheSetBitsOnce) {
    CSostDZ z;
    const unsigned char units[] = {33, 0, 4, 32, 63};  // bits 0, 5, 14, 23; the fifth unit is dropped
    EXPECT_EQ(z.SetData(units, 5), 4);
    std::vector<int> seen;
    int b = -1;
    while (z.NextSost(b)) seen.push_back(b);
    EXPECT_EQ(seen, (std::vector<int>{0, 5, 14, 23}));
    EXPECT_EQ(b, 23);
    z.BegSost();
    ASSERT_EQ(z.NextSost(b), 1);
    EXPECT_EQ(b, 0);
}

TEST(SostDZ, ComparisonsAndChangeTests) {
    CSostDZ before;
    CSostDZ after;
    const unsigned char a[] = {1, 0, 0, 0};
    const unsigned char b[] = {0xC2};
    before.SetData(a, 4);
    after.SetData(b, 1);
    const unsigned char want[] = {2, 0, 0, 0};
    EXPECT_TRUE(after == want) << "high bits cut, missing units zero";
    EXPECT_FALSE(after == static_cast<const unsigned char*>(nullptr));
    EXPECT_TRUE(after.existsOne(before));
    EXPECT_TRUE(after.existsNul(before));
    EXPECT_FALSE(before.existsOne(before));

    const unsigned char both[] = {3};
    after.SetData(both, 1);
    EXPECT_TRUE(after.existsOne(before));
    EXPECT_FALSE(after.existsNul(before));
}

TEST(SostDZ, TakesTheStateFromADeviceReport) {
    const unsigned char payload[] = {9, 10, 11, 12, 13, 14};
    CSostDZ z;
    z = CMes(1, 2, 3, 4, 17, CMes::mesDevReport, CMes::askDevParam, payload, 6, -1);
    const unsigned char want[] = {9, 10, 11, 12};
    EXPECT_TRUE(z == want);
    z = CMes(1, 2, 3, 4, 17, CMes::mesDevReport, CMes::askDevParam, payload, 2, -1);
    const unsigned char want2[] = {9, 10, 0, 0};
    EXPECT_TRUE(z == want2);
}

// ---- CSostSens ---------------------------------------------------------------------------

TEST(SostSens, FieldsAndLevelsFollowTheReportLength) {
    std::vector<unsigned char> u(36, 0);
    u[6] = 32;
    u[7] = 0x3B;
    u[8] = 45;
    u[10] = 0x30;
    u[11] = 0x2A;
    CSostSens s;
    s.SetData(u.data(), 12);
    EXPECT_EQ(s.CurLvl(), 32);
    EXPECT_EQ(s.Mode(), 11);
    EXPECT_EQ(s.TypDev(), 45);
    EXPECT_EQ(s.CodDmamge(), 3 | (0x2A << 2));
    u[6] = 33;
    s.SetData(u.data(), 12);
    EXPECT_EQ(s.CurLvl(), 0) << "no floor above 32";
    s.SetData(u.data(), 11);
    EXPECT_EQ(s.Mode(), 0);
    EXPECT_EQ(s.CodDmamge(), 0);

    const int counts[] = {3, 4, 11, 12, 19, 20};
    const int levels[] = {-1, 0, 0, 1, 1, 2};
    for (int i = 0; i < 6; ++i) {
        s.SetData(u.data(), counts[i]);
        EXPECT_EQ(s.LvlAsk10(), levels[i]) << counts[i];
    }
    EXPECT_EQ(s.SetData(u.data(), 50), 36);
}

TEST(SostSens, CallsAndCommandsByFloor) {
    std::vector<unsigned char> u(36, 0);
    u[12] = 1;   // call floor 1
    u[15] = 32;  // call floor 24
    u[17] = 1;   // command floor 7
    u[20] = 1;   // call floor 25
    u[27] = 32;  // call floor 72
    CSostSens s;
    s.SetData(u.data(), 36);
    EXPECT_EQ(s.ValAsk(), 1u | (1u << 23));
    EXPECT_EQ(s.ValCmd(), 1u << 6);
    EXPECT_TRUE(s.TestAsk(25));
    EXPECT_TRUE(s.TestAsk(72));
    EXPECT_FALSE(s.TestAsk(73));
    EXPECT_EQ(s.ValAskFull().count(), 4u) << "floor 72 must not overflow the set";

    s.SetData(u.data(), 19);
    EXPECT_EQ(s.ValAsk(), 0u) << "a level-1 report holds no calls";
}

TEST(SostSens, AgreesWithTheLiftStateReportOfAMessage) {
    std::vector<unsigned char> p(22);
    for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<unsigned char>((i * 37 + 11) & 63);
    p[6] = 17;
    const CMes m(1, 2, 3, 4, 9, CMes::mesDevAnswer, CMes::askState, p.data(), 22, -1);
    CSostSens s;
    s.SetData(p.data(), 22);
    EXPECT_EQ(s.CurLvl(), m.CurLvl());
    EXPECT_EQ(s.Mode(), static_cast<int>(m.Mode()));
    EXPECT_EQ(s.CodDmamge(), m.CodDmamge());
    for (int n = 1; n <= 24; ++n) {
        EXPECT_EQ(s.TestAsk(n), m.TestAsk(n)) << n;
        EXPECT_EQ(s.TestCmd(n), m.TestCmd(n)) << n;
    }

    // Units 0 and 4 of the pattern (11 and 31) both have bit 0 set.
    const CSostSens old = s;
    s.clrBit(24);
    EXPECT_FALSE(s.chngBitLvl0(old));
    EXPECT_TRUE(s.chngBitLvl1(old));
    s.clrBit(0);
    EXPECT_TRUE(s.chngBitLvl0(old));
}

// ---- Line-link tables --------------------------------------------------------------------

TEST(LinkTables, RefuseDuplicatesAndLeaveThemWithTheCaller) {
    CLinkNetTab nets;
    auto dup = std::make_unique<CLinkNet>(CLinkNet{3, 4});
    EXPECT_EQ(nets.Insert(std::make_unique<CLinkNet>(CLinkNet{3, 4})), 1);
    EXPECT_EQ(nets.Insert(std::move(dup)), 0);
    ASSERT_NE(dup, nullptr);
    EXPECT_EQ(nets.Insert(std::make_unique<CLinkNet>(CLinkNet{3, 5})), 1);
    EXPECT_EQ(nets.Find(3, 5), nets.At(1));
    EXPECT_EQ(nets.At(2), nullptr);

    CLinkCLLTab cll;
    auto l = std::make_unique<CLinkCLL>();
    l->number = 7;
    auto l2 = std::make_unique<CLinkCLL>(*l);
    EXPECT_EQ(cll.Insert(std::move(l)), 1);
    EXPECT_EQ(cll.Insert(std::move(l2)), 0);
    EXPECT_NE(l2, nullptr);
    EXPECT_EQ(cll.Count(), 1);
}

}  // namespace
