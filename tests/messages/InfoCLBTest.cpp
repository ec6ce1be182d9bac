#include <gtest/gtest.h>

#include <string>
#include <tuple>

#include "InfoCLB.h"

namespace {

CInfoCLB Make(std::initializer_list<unsigned char> units) {
    CInfoCLB r;
    EXPECT_EQ(r.SetData(units.begin(), static_cast<int>(units.size())), 1);
    return r;
}

// The bits -1..12 that read as set, then the two text forms.
std::string Shown(const CInfoCLB& r) {
    std::string s;
    for (int b = -1; b <= 12; ++b) s += r.tstBit(b) ? std::to_string(b) + " " : "";
    return s + "| " + r.BinStr().ToStr() + " | " + r.HexStr().ToStr();
}

}  // namespace

TEST(InfoCLB, BitsTextsRefusalsAndErrorFlags) {
    CInfoCLB one = Make({0}), stray = Make({0}), refused = Make({7, 9});
    one.setBit(10);  // the second unit is not in use: the bit does not count
    stray.setBit(10);
    stray.len = 40;  // a stray length never reaches past the two units
    const unsigned char three[] = {1, 2, 3};
    EXPECT_EQ(refused.SetData(three, 3) + refused.SetData(three, 0) + refused.SetData(nullptr, 2), 0);
    const std::tuple<CInfoCLB, const char*> cases[] = {
        {Make({5, 48}), "0 2 10 11 | 000101 110000 | 05 30"},  // bits 0, 2 of unit 0; 4, 5 of unit 1
        {Make({10}), "1 3 | 001010 | 0A"},
        {one, "| 000000 | 00"},
        {stray, "10 | 000000 010000 | 00 10"},
        {refused, "|  | "},  // old units must not survive a refused report
    };
    for (const auto& [r, want] : cases) EXPECT_EQ(Shown(r), want);
    unsigned char out[2] = {0xEE, 0xEE};
    EXPECT_EQ(Make({17, 33}).GetData(out, 1), 0);
    EXPECT_EQ(out[0], 0xEE);
    EXPECT_EQ(Make({17, 33}).GetData(out, 2), 2);
    EXPECT_EQ(std::make_tuple(int(out[0]), int(out[1]), one.IsEmpty()), std::make_tuple(17, 33, true));

    EXPECT_NE(Make({4}), Make({4, 0}));
    EXPECT_NE(Make({4, 8}), Make({4, 9}));
    // EQ and NewError look at bits 10 and 11 only; a missing second unit has both clear.
    const std::tuple<CInfoCLB, CInfoCLB, bool, bool> pairs[] = {
        {Make({1}), Make({2, 0}), true, false},      {Make({1, 15}), Make({62, 0}), true, false},
        {Make({1}), Make({1, 16}), false, true},     {Make({0, 16}), Make({0, 32}), false, true},
        {Make({0, 16}), Make({0, 48}), false, true}, {Make({0, 48}), Make({0, 16}), false, false},
    };
    for (const auto& [a, b, eq, newError] : pairs)
        EXPECT_EQ(std::make_tuple(a.EQ(b), a.NewError(b)), std::make_tuple(eq, newError))
            << a.HexStr().ToStr() << " against " << b.HexStr().ToStr();
}
