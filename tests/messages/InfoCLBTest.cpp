#include <gtest/gtest.h>

#include "InfoCLB.h"

namespace {

CInfoCLB Make(std::initializer_list<unsigned char> units) {
    CInfoCLB r;
    EXPECT_EQ(r.SetData(units.begin(), static_cast<int>(units.size())), 1);
    return r;
}

TEST(InfoCLB, SetDataTakesOneOrTwoUnitsAndARefusalEmptiesTheRecord) {
    CInfoCLB r = Make({7, 9});
    const unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(r.SetData(three, 3), 0);
    EXPECT_EQ(r.len, 0);
    EXPECT_EQ(r[0], 0) << "old units must not survive a refused report";
    EXPECT_EQ(r.SetData(three, 0), 0);
    EXPECT_EQ(r.SetData(nullptr, 2), 0);
    EXPECT_EQ(r.len, 0);

    unsigned char out[2] = {0xEE, 0xEE};
    EXPECT_EQ(Make({17, 33}).GetData(out, 1), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(Make({17, 33}).GetData(out, 2), 2);
    EXPECT_EQ(out[1], 33);
}

TEST(InfoCLB, BitsCountOnlyInUnitsInUse) {
    CInfoCLB r;
    r.setBit(3);
    EXPECT_FALSE(r.tstBit(3));
    EXPECT_TRUE(r.IsEmpty());

    // Units 5 and 48: bits 0 and 2 of the first unit, bits 4 and 5 of the second.
    r = Make({5, 48});
    for (int b = -1; b <= 12; ++b) EXPECT_EQ(r.tstBit(b), b == 0 || b == 2 || b == 10 || b == 11) << b;

    r = Make({0});
    r.setBit(10);
    EXPECT_FALSE(r.tstBit(10)) << "second unit is not in use";
    r.len = 2;
    EXPECT_TRUE(r.tstBit(10));

    // A stray length never reaches past the two units.
    r.len = 40;
    EXPECT_FALSE(r.tstBit(20));
    EXPECT_EQ(r.BinStr(), L"000000 010000");
}

TEST(InfoCLB, EqualityVersusErrorFlagComparison) {
    EXPECT_NE(Make({4}), Make({4, 0}));
    EXPECT_NE(Make({4, 8}), Make({4, 9}));
    // EQ: a missing second unit counts as both flags clear; other bits do not matter.
    EXPECT_TRUE(Make({1}).EQ(Make({2, 0})));
    EXPECT_TRUE(Make({1, 15}).EQ(Make({62, 0})));
    EXPECT_FALSE(Make({1}).EQ(Make({1, 16})));
    EXPECT_FALSE(Make({0, 16}).EQ(Make({0, 32})));
}

TEST(InfoCLB, NewErrorReportsOnlyFlagsRaisedByTheOtherRecord) {
    const CInfoCLB bit10 = Make({0, 16});
    const CInfoCLB both = Make({0, 48});
    EXPECT_TRUE(bit10.NewError(both)) << "bit 11 is new";
    EXPECT_FALSE(bit10.NewError(bit10));
    EXPECT_FALSE(both.NewError(bit10)) << "a flag going away is no new error";
    EXPECT_TRUE(Make({5}).NewError(bit10));
}

TEST(InfoCLB, TextForms) {
    EXPECT_EQ(Make({5, 48}).BinStr(), L"000101 110000");
    EXPECT_EQ(Make({5, 48}).HexStr(), L"05 30");
    EXPECT_EQ(Make({10}).HexStr(), L"0A");
    EXPECT_EQ(CInfoCLB().HexStr(), L"");
}

}  // namespace
