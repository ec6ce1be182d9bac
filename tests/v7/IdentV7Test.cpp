#include <gtest/gtest.h>

#include <array>
#include <set>

#include "IdentV7.h"

namespace {

CIdentV7 Parsed(const wchar_t* text) {
    CIdentV7 id;
    id.SetString(text);
    return id;
}

void ExpectIdent(const CIdentV7& id, long long node, int dev) {
    EXPECT_EQ(id.GetBigNode(), node);
    EXPECT_EQ(id.GetDev(), dev);
}

// Each part is accepted or refused on its own; a refused part stays 0.
TEST(CIdentV7, SetStringCases) {
    struct Case {
        const wchar_t* text;
        long long node;
        int dev;
        int result;
    };
    const Case cases[] = {
        {L"123456.7", 123456, 7, 1},
        {L"123456", 123456, 0, 1},
        {L"16711678.255", 16711678, 255, 1},
        {L"  42. 3", 42, 3, 1},  // blanks before either number, as "%d" skips them
        {L"0.5", 0, 5, 0},
        {L"123456.300", 123456, 0, 0},
        {L"123456.-1", 123456, 0, 0},
        {L"16711679.1", 0, 1, 0},
        {L"-5.1", 0, 1, 0},
        {L"node.1", 0, 0, 0},
        {L"", 0, 0, 0},
        {nullptr, 0, 0, 0},
        // Numbers too long for an int must not wrap into a valid node or dev.
        {L"4294967297.1", 0, 1, 0},
        {L"5.4294967297", 5, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? DBString(c.text).ToStr() : "null");
        CIdentV7 id(77, 9);  // anything left over would show
        EXPECT_EQ(id.SetString(c.text), c.result);
        ExpectIdent(id, c.node, c.dev);
    }
}

TEST(CIdentV7, SettersValidateAsUnsigned) {
    CIdentV7 id(10, 20);
    EXPECT_EQ(id.SetNode(-1), 0);
    EXPECT_EQ(id.SetNode(0xFEFFFF), 0);
    ExpectIdent(id, 10, 20);
    EXPECT_EQ(id.SetNode(0xFEFFFE), 1);
    EXPECT_EQ(id.SetNode(0), 1);
    EXPECT_EQ(id.SetDev(256), 0);
    EXPECT_EQ(id.SetDev(-1), 0);
    ExpectIdent(id, 0, 20);
    EXPECT_EQ(id.SetDev(255), 1);
    ExpectIdent(id, 0, 255);

    CIdentV7 s(10, 20);
    EXPECT_EQ(s.Set(0xFEFFFF, 1), 0);
    ExpectIdent(s, 10, 20);
    EXPECT_EQ(s.Set(5, 256), 0);  // the node goes in, the dev does not
    ExpectIdent(s, 5, 20);
    EXPECT_EQ(s.Set(6, 7), 1);
    ExpectIdent(s, 6, 7);

    s.Clear();
    ExpectIdent(s, 0, 0);
}

TEST(CIdentV7, BigNodeAndItsLow32Bits) {
    CIdentV7 id;
    id.SetBigNode(0x100000005LL);
    EXPECT_EQ(id.GetBigNode(), 0x100000005LL);
    EXPECT_EQ(id.GetNode(), 5);
    ExpectIdent(id.GetNodeIdent(), 5, 0);
    EXPECT_TRUE(id != CIdentV7(5, 0));  // comparisons see all 64 bits

    id.SetBigNode(0xFFFFFFFFLL);
    EXPECT_EQ(id.GetNode(), -1);
    ExpectIdent(id.GetNodeIdent(), -1, 0);
    EXPECT_FALSE(id.IsLU());
    EXPECT_FALSE(id.IsProg());
}

TEST(CIdentV7, WireFormIsDevThenLittleEndian24BitNode) {
    const CIdentV7 id(0x123456, 0xAB);
    std::array<unsigned char, 4> wire{};
    id.GetValue(wire.data());
    EXPECT_EQ(wire, (std::array<unsigned char, 4>{0xAB, 0x56, 0x34, 0x12}));

    CIdentV7 back(1, 1);
    back.SetValue(wire.data());
    EXPECT_TRUE(back.FullEQ(id));

    // Node bits above 23 are not carried.
    CIdentV7 big;
    big.SetBigNode(0x7F123456LL);
    big.GetValue(wire.data());
    back.SetValue(wire.data());
    EXPECT_EQ(back.GetBigNode(), 0x123456);

    for (const CIdentV7& x :
         {CIdentV7(0, 0), CIdentV7(0xFFFFFF, 255), CIdentV7(1, 128), CIdentV7(0x800000, 1)}) {
        x.GetValue(wire.data());
        back.SetValue(wire.data());
        EXPECT_TRUE(back.FullEQ(x)) << x.GetString().ToStr();
    }

    back.SetValue(nullptr);
    ExpectIdent(back, 0, 0);
    wire = {9, 9, 9, 9};
    back.GetValue(nullptr);  // must not crash
    EXPECT_EQ(wire[0], 9);
}

TEST(CIdentV7, TextFormAndComparisons) {
    EXPECT_EQ(CIdentV7(123456, 0).GetString(), L"123456.0");
    EXPECT_EQ(CIdentV7(7, 255).GetString(), L"7.255");
    EXPECT_EQ(Parsed(CIdentV7(16711678, 200).GetString().c_str()).GetString(), L"16711678.200");

    const CIdentV7 a(500, 1);
    const CIdentV7 b(500, 2);
    EXPECT_TRUE(a == b);
    EXPECT_FALSE(a != b);
    EXPECT_FALSE(a.FullEQ(b));
    EXPECT_TRUE(a.FullEQ(CIdentV7(500, 1)));
    EXPECT_FALSE(a < b);
    EXPECT_TRUE(CIdentV7(499, 9) < a);
    CIdentV7 neg;
    neg.SetBigNode(-1);
    EXPECT_TRUE(neg < CIdentV7(0, 0));  // signed order
}

TEST(CIdentV7, NodeRanges) {
    struct Case {
        int node;
        bool lu;
        bool prog;
    };
    const Case cases[] = {{0, false, false},       {1, true, false},         {9999899, true, false},
                          {9999900, false, false}, {10000000, false, false}, {10000001, false, true},
                          {16711678, false, true}, {-5, false, false}};
    for (const Case& c : cases) {
        const CIdentV7 id(c.node, 3);
        EXPECT_EQ(id.IsLU(), c.lu) << c.node;
        EXPECT_EQ(id.IsProg(), c.prog) << c.node;
    }
}

TEST(CIdentV7, SetUniqueGivesAProgramNodeAndKeepsTheDev) {
    std::set<long long> seen;
    for (int i = 0; i < 8; ++i) {
        CIdentV7 id(0, 42);
        EXPECT_EQ(id.SetUnique(), 1);
        EXPECT_TRUE(id.IsProg());
        EXPECT_FALSE(id.IsLU());
        EXPECT_LT(id.GetBigNode(), 0xFEFFFF);
        EXPECT_EQ(id.GetDev(), 42);
        // A program node always survives the wire and the validating setter.
        CIdentV7 copy;
        EXPECT_EQ(copy.SetNode(id.GetNode()), 1);
        seen.insert(id.GetBigNode());
    }
    // Eight draws from 6.7 million values: all equal only if the draw is not random.
    EXPECT_GT(seen.size(), 1u);
}

}  // namespace
