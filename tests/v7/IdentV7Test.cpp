// Where V7 parties are: identities in text and wire form, node ranges, and network addresses.

#include <gtest/gtest.h>

#include <array>

#include "IdentV7.h"
#include "utilities.h"

namespace {

// Each part is accepted or refused on its own; a refused part stays 0.
TEST(CIdentV7, FromTextAndSetters) {
    const std::tuple<const wchar_t*, const wchar_t*, int> cases[] = {
        {L"123456.7", L"123456.7", 1},
        {L"123456", L"123456.0", 1},
        {L"16711678.255", L"16711678.255", 1},
        {L"  42. 3", L"42.3", 1},
        {L"0.5", L"0.5", 0},
        {L"123456.300", L"123456.0", 0},
        {L"123456.-1", L"123456.0", 0},
        {L"16711679.1", L"0.1", 0},

        {L"", L"0.0", 0},
        {nullptr, L"0.0", 0},
        {L"4294967297.1", L"0.1", 0},  // no wrap
    };
    for (const auto& [text, back, result] : cases) {
        CIdentV7 id(77, 9);  // anything left over would show
        EXPECT_EQ(id.SetString(text), result) << (text ? DBString(text).ToStr() : "null");
        EXPECT_EQ(id.GetString(), back);
    }
    CIdentV7 id(10, 20);
    EXPECT_EQ(id.SetNode(-1) + id.SetNode(0xFEFFFF) + id.SetDev(256) + id.SetDev(-1), 0);
    EXPECT_EQ(id.Set(0xFEFFFE, 256), 0);  // the node goes in, the dev does not
    EXPECT_EQ(id.GetString(), L"16711678.20");
}

TEST(CIdentV7, WireFormComparisonsAndNodeRanges) {
    std::array<unsigned char, 4> wire{};
    CIdentV7(0x123456, 0xAB).GetValue(wire.data());
    EXPECT_EQ(wire, (std::array<unsigned char, 4>{0xAB, 0x56, 0x34, 0x12}));  // dev, then 24-bit node
    CIdentV7 big, back;
    big.SetBigNode(0x7F800001LL);  // bits above 23 are not carried
    for (const auto& [x, text] : {std::pair{CIdentV7(0xFEFFFE, 255), L"16711678.255"},
                                  {CIdentV7(1, 128), L"1.128"},
                                  {big, L"8388609.0"}}) {
        x.GetValue(wire.data());
        back.SetValue(wire.data());
        EXPECT_EQ(back.GetString(), text);
    }
    EXPECT_TRUE(CIdentV7(500, 1) == CIdentV7(500, 2) && !CIdentV7(500, 1).FullEQ(CIdentV7(500, 2)));
    EXPECT_TRUE(CIdentV7(499, 9) < CIdentV7(500, 1));
    // node -> 2 for a unit + 1 for a program
    for (const auto& [node, kind] :
         {std::pair{0, 0}, {1, 2}, {9999899, 2}, {9999900, 0}, {10000000, 0}, {10000001, 1}})
        EXPECT_EQ(CIdentV7(node, 3).IsLU() * 2 + CIdentV7(node, 3).IsProg(), kind) << node;
    CIdentV7 a(0, 42), b(0, 42);
    EXPECT_TRUE(a.SetUnique() == 1 && b.SetUnique() == 1 && a.IsProg() && a.GetBigNode() < 0xFEFFFF);
    EXPECT_TRUE(a.GetDev() == 42 && a != b) << "two equal draws from 6.7 million values are no random draw";
}

TEST(Utilities, AddressTextsBothWaysAndTheNullAddress) {
    const std::pair<const char*, const char*> cases[] = {
        {"::1", "::1"},
        {"10.0.0.5", "::ffff:10.0.0.5"},
        {"::ffff:10.0.0.5", "::ffff:10.0.0.5"},
        {"2001:db8::a:1", "2001:db8::a:1"},
        {"::ffff:0.0.0.1", "::ffff:0.0.0.1"},
        {"::fffe:0.0.0.0", "::fffe:0:0"},
        // Not an address: the null address.
        {"", "::"},
        {"10.0.0", "::"},
        {"10.0.0.256", "::"},
        {"::1::2", "::"},
        {"host", "::"},
        {"10.0.0.5 ", "::"},
    };
    for (const auto& [text, back] : cases) {
        EXPECT_EQ(IPv6ToStr(IP6FromStr(text)), back) << '"' << text << '"';
        EXPECT_EQ(isNulIPv6(IP6FromStr(text)), std::string(back) == "::") << '"' << text << '"';
    }
    EXPECT_TRUE(isEqIPv6(ToIPv6(0x0500000A), IP6FromStr("10.0.0.5"))) << "an IPv4 address in network order";
    EXPECT_TRUE(isNulIPv6(ToIPv6(0))) << "the mapped IPv4 any-address is null too";
    EXPECT_EQ(IPv6PortToStrW(IP6FromStr("192.168.1.20"), 65535), DBString(L" ::ffff:192.168.1.20|65535 "));
}

}  // namespace
