#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "Mes.h"

namespace {

using Units = std::vector<unsigned char>;
using M = CMes;

// Units from `from` on, in decimal: what the tables below were worked out in.
std::string Text(const CMes& m, int from = 0) {
    std::string s;
    for (int i = from; i < m.len; ++i) s += (s.empty() ? "" : " ") + std::to_string(m.data[i]);
    return s;
}

// Receiver 1/2, sender 3/4: units 0..4 are 0 52 0 18 0.
CMes Dev(int dev, M::typMes t, int ask, const Units& p = {}, int tail = -1) {
    return M(1, 2, 3, 4, dev, t, static_cast<M::askFromMain>(ask), p.empty() ? nullptr : p.data(),
             static_cast<int>(p.size()), tail);
}

}  // namespace

TEST(MesBuild, EveryConstructorWritesUnitsAndFieldsWorkedOutByHand) {
    const unsigned char b[] = {0xFF, 0x00, 0xAA, 0x01, 0x02};  // packs to 63 3 32 42, 1 8 0 0
    const unsigned char svc[] = {63, 63, 0, 0, 34, 20};        // open second address; device 9, ask 20
    const auto ask25 = static_cast<M::askFromMain>(25);
    const auto a41 = static_cast<M::typAlert>(0x41);
    struct Case {
        CMes m;
        const char* units;                         // from unit 5, the type, on
        std::tuple<int, int, int, uint32_t> want;  // dev, ask, aux, alert code
    };
    const Case cases[] = {
        {M(10, 2, 255, 15, M::mesNvramSlotAsk, 5), "42 5", {0, 0, 0, 0}},
        {M(1, 1, 2, 2, M::mesSlotPoll, 0xC5), "56 5", {0, 0, 0, 0}},  // cut to six bits
        {Dev(5, M::mesDevAnswer, 18), "26 33 18", {5, 18, 0, 0}},     // fifth ask bit in unit 6
        {Dev(7, M::mesDevAsk, 15, {}, 255), "58 1 63 63 48", {7, 15, 0, 0}},
        {Dev(7, M::mesDevAsk, 15, Units(55, 9), 4), "58 1 63 1 0", {7, 15, 0, 0}},  // 8 + 55 drops it
        {M(1, 2, 3, 4, M::jobWrite, 2475, 5, b), "45 43 38 5 1 63 3 32 42 1 8 0 0", {174, 6, 0, 0}},
        {M(1, 2, 3, 4, M::jobRead, 2475, 5, b), "45 43 38 5 0", {174, 6, 0, 0}},
        {M(4, 3, 2, 1, M::rezOk, 100, 3, b), "13 36 1 3 0 63 3 32 42", {144, 1, 0, 0}},
        {M(4, 3, 2, 1, static_cast<M::rezNVRAM>(3), 100, 3, b), "13 36 1 3 3", {144, 1, 0, 0}},
        {M(1, 2, 3, 4, M::servRoute, svc, 6), "46 2 63 63 0 0 34 20", {9, 20, 0, 0}},
        {M(1, 2, 3, 4, static_cast<M::typPrefix>(7), 200), "61 7 8", {8, 0, 7, 0}},
        {M(1, 2, 3, 4, static_cast<M::typPrefix>(9), 12, ask25, 3, b + 2),
         "62 9 12 25 42 1 2",
         {12, 25, 9, 0}},
        {M(7, 3, 255, 15, 5, M::sub18Restart, nullptr, 0), "58 33 18 2 0 0 0", {5, 18, 0, 0}},
        {M(1, 1, 2, 2, a41, nullptr, 0), "31 1 1 1", {0, 0, 0, 0x41}},
        {M(1, 1, 2, 2, static_cast<M::typAlert>(0xFFFFFFFFu), nullptr, 0),
         "31 1 63 63 63 63 63 3",
         {0, 0, 0, 0xFFFFFFFFu}},
        {M(1, 1, 2, 2, a41, b, 2), "31 1 1 1 0 0 0 0 63 3 0", {0, 0, 0, 0x41}},  // two bytes take three units
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.units);
        EXPECT_EQ(Text(c.m, 5), c.units);
        EXPECT_EQ(c.m.prior, 255);
        EXPECT_EQ(std::make_tuple(c.m.dev, c.m.ask, c.m.aux, c.m.alertCode), c.want);
        const CMes r(c.m.len, c.m.data);  // what a receiver decodes from the units alone
        EXPECT_EQ(std::make_tuple(r.dev, r.ask, r.aux, r.alertCode), c.want);
    }
}

TEST(MesBuild, AddressesDevicesAndSubAddressesSurviveTheUnits) {
    EXPECT_EQ(Text(M(10, 2, 255, 15, M::mesNvramSlotAsk, 5)), "63 63 2 34 0 42 5");
    // Requests and answers use the top device bit for the fifth sub-address bit, so device 200
    // with sub-address 18 arrives as device 72; other types keep all eight device bits.
    for (int x = 0; x < 256; ++x) {
        for (int y = 0; y < 32; ++y) {
            const CMes r = Dev(x, M::mesDevAsk, y), rep(x * 7 & 255, y & 15, x, y & 15, x, M::mesDevReport,
                                                        static_cast<M::askFromMain>(y), nullptr, 0, -1);
            const CMes b(r.len, r.data), c(rep.len, rep.data);
            ASSERT_EQ(std::make_tuple(b.dev, b.ask), std::make_tuple(x & 127, x < 128 ? y : (y | 16)));
            ASSERT_EQ(std::make_tuple(c.destNode, c.destSub, c.origNode, c.origSub, c.ask),
                      std::make_tuple(x * 7 & 255, y & 15, x, y & 15, y & 15));
            ASSERT_TRUE(y > 15 || c.dev == x);
        }
    }
}

TEST(MesBuild, LoadLimitsAndSetters) {
    const CMes max = Dev(7, M::mesDevAsk, 15, Units(54, 9), 1);
    CMes m;
    EXPECT_EQ(std::make_tuple(max.len, m.SetDann(64, max.data), m.len), std::make_tuple(64, 0, 0));
    EXPECT_EQ(std::make_tuple(m.SetDann(63, max.data), m.len, m.typ, m.dev), std::make_tuple(1, 63, 58, 7));
    for (int i = -2; i < 70; ++i) EXPECT_EQ(CMes(6, Units{1, 2, 3, 4, 0, 26}.data())[i], 0) << i;

    m = Dev(100, M::mesDevAsk, 18);
    EXPECT_EQ(m.SetOrig(255, 15) + m.SetDest(17, 9) + m.SetDev(5) + m.SetTypMes(M::mesDevAnswer), 4);
    EXPECT_EQ(m.Str(L">"), std::wstring(L"> 3F 3F 04 19 00 1A 21 12"));
}

TEST(MesRead, IsGoodLooksAtBitFiveOfTheLastUnitOfAnswers) {
    const std::pair<Units, bool> cases[] = {
        {{1, 2, 3, 4, 0, 26, 0, 0, 32}, false},    {{1, 2, 3, 4, 0, 26, 0, 0, 31}, true},
        {{1, 2, 3, 4, 0, 30, 0, 0, 0, 33}, false}, {{1, 2, 3, 4, 0, 30, 0, 0, 0, 16}, true},
        {{1, 2, 3, 4, 0, 10, 0, 0, 0, 32}, true},  {{1, 2, 3, 4, 0, 58, 0, 0, 32}, true}};
    for (const auto& [raw, good] : cases)
        EXPECT_EQ(CMes(static_cast<int>(raw.size()), raw.data()).IsGood(), good) << int(raw[5]);
}

TEST(MesRead, LiftStateReport) {
    // From unit 8: extended bits 0, 2 (unit 12) and 7 (unit 13), level 17, mode 9 under other bits,
    // fault code 0x56 (units 18, 19), calls 1 and 24 (units 20, 23), commands 2 and 24 (units 24, 27).
    const Units p = {0, 0, 0, 0, 5, 2, 17, 0x39, 0, 0, 0x2A, 0x15, 1, 0, 0, 0x20, 2, 0, 0, 0x20, 0, 0};
    const CMes m = Dev(6, M::mesDevAnswer, M::askState, p);
    EXPECT_EQ(std::make_tuple(m.LvlAsk10(), m.CurLvl(), int(m.Mode()), m.CodDmamge()),
              std::make_tuple(2, 17, 9, 0x56));
    std::string bits;
    for (int b = 0; b < 9; ++b) bits += m.TestBit(static_cast<M::bitExtended>(b)) ? '1' : '0';
    for (int n : {0, 1, 2, 24, 25})
        bits += std::string(" ") + (m.TestAsk(n) ? '1' : '0') + (m.TestCmd(n) ? '1' : '0');
    EXPECT_EQ(bits, "101000010 00 10 01 11 00");
    // 29 units still give the level, 21 give nothing; another sub-address is no state report.
    const CMes mid = Dev(6, M::mesDevAnswer, M::askState, Units(p.begin(), p.end() - 1)),
               low = Dev(6, M::mesDevAnswer, M::askState, Units(p.begin(), p.begin() + 13)),
               other = Dev(6, M::mesDevAnswer, M::askLbNVRAM, p);
    EXPECT_EQ(std::make_tuple(mid.LvlAsk10(), mid.CurLvl(), mid.TestAsk(1), low.LvlAsk10(), low.CurLvl(),
                              other.LvlAsk10(), other.CurLvl(), other.TestCmd(24)),
              std::make_tuple(1, 17, false, 0, 0, -1, 0, false));
}

TEST(MesPacking, ThreeBytesInFourUnitsBothWays) {
    const unsigned char b[] = {0xFF, 0x00, 0xAA};
    unsigned char u[4] = {9, 9, 9, 9}, back[4] = {9, 9, 9, 9};
    EXPECT_EQ(CMes::Conv8To6(3, b, u, 3), 3);
    EXPECT_EQ(u[3], 9);  // stops at the end of a short destination
    EXPECT_EQ(CMes::Conv8To6(3, b, u, 4), 4);
    EXPECT_EQ(CMes::Conv6To8(2, u, 3, back, 4), 3);  // missing units read as zero
    EXPECT_EQ(std::make_tuple(Units(u, u + 4), Units(back, back + 4)),
              std::make_tuple(Units{63, 3, 32, 42}, Units{0xFF, 0x00, 0x00, 0x00}));
    std::mt19937 gen(100);
    for (int n = 0; n <= 60; ++n) {
        Units src(static_cast<size_t>(n));
        for (auto& x : src) x = static_cast<unsigned char>(gen());
        Units units(81, 0xEE), bytes(61, 0xEE);
        const int want = 4 * ((n + 2) / 3);
        ASSERT_EQ(CMes::Conv8To6(n, src.data(), units.data(), 80), want) << n;
        ASSERT_TRUE(std::all_of(units.begin(), units.end() - 1, [](int x) { return x < 64; }));
        ASSERT_EQ(CMes::Conv6To8(want, units.data(), n, bytes.data(), 60), n);
        EXPECT_EQ(Units(bytes.begin(), bytes.begin() + n), src) << n;
        EXPECT_EQ(std::make_tuple(int(units[80]), int(bytes[60])), std::make_tuple(0xEE, 0xEE)) << n;
    }
}

TEST(MesState, ReportsFillTheStateRecordAndCopiesAreExact) {
    CMes a = Dev(6, M::mesDevAnswer, 0, {1, 2, 3, 0x08 | 4, 5, 6, 7, 8, 0, 0});
    EXPECT_EQ(std::make_tuple(a.sost.len, int(a.sost[3])), std::make_tuple(8, 0x0C));
    // A report with the "not link" flag (CLB bit 11) drops its stale state units.
    const CMes r = Dev(6, M::mesDevReport, 0, {1, 2, 3, 4, 0, 0x20});
    EXPECT_EQ(std::make_tuple(r.sost.len, r.sost.tstBit(42)), std::make_tuple(0, true));
    EXPECT_EQ(Dev(6, M::mesDevAsk, 0, {1, 2, 3, 4, 5, 6}).sost.len, 0);
    a = r;  // the state record's own assignment merges; a message copy must not
    EXPECT_EQ(std::make_tuple(a.sost.len, a.len, a.sost == r.sost), std::make_tuple(0, 14, true));
}
