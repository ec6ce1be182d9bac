#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <cstring>

#include "utilities.h"

namespace {

in6_addr Bytes16(std::initializer_list<int> tail) {
    in6_addr a{};
    int i = 16 - static_cast<int>(tail.size());
    for (int b : tail) {
        a.s6_addr[i++] = static_cast<unsigned char>(b);
    }
    return a;
}

TEST(Utilities, FixedAddresses) {
    const in6_addr nul = NulIPv6();
    for (unsigned char b : nul.s6_addr) {
        EXPECT_EQ(b, 0);
    }
    EXPECT_TRUE(isNulIPv6(nul));

    const in6_addr lo = LocalHostIPv6();
    EXPECT_TRUE(isEqIPv6(lo, in6addr_loopback));
    EXPECT_FALSE(isNulIPv6(lo));

    in6_addr a = lo;
    ClearIPv6(a);
    EXPECT_TRUE(isEqIPv6(a, nul));
}

TEST(Utilities, MappedIPv4) {
    in_addr v4{};
    ASSERT_EQ(inet_pton(AF_INET, "10.0.0.5", &v4), 1);
    const in6_addr m = ToIPv6(static_cast<int>(v4.s_addr));
    EXPECT_TRUE(isEqIPv6(m, Bytes16({0xFF, 0xFF, 10, 0, 0, 5})));
    EXPECT_FALSE(isNulIPv6(m));
    EXPECT_TRUE(isNulIPv6(ToIPv6(0)));

    // Only bytes 10 and 11 set is no null address; nor is one bit of the IPv4 part.
    EXPECT_FALSE(isNulIPv6(Bytes16({0xFF, 0xFF, 0, 0, 0, 1})));
    EXPECT_FALSE(isNulIPv6(Bytes16({0xFE, 0xFF, 0, 0, 0, 0})));

    EXPECT_TRUE(isEqIPv6(IP6FromStr("10.0.0.5"), m));
    EXPECT_EQ(IPv6ToStr(m), "::ffff:10.0.0.5");
    EXPECT_EQ(IPv6ToStrW(m), DBString(L"::ffff:10.0.0.5"));
    // The mapped text reads back to the same address.
    EXPECT_TRUE(isEqIPv6(IP6FromStr("::ffff:10.0.0.5"), m));
}

TEST(Utilities, TextForms) {
    EXPECT_TRUE(isEqIPv6(IP6FromStr("::1"), LocalHostIPv6()));
    EXPECT_EQ(IPv6ToStr(LocalHostIPv6()), "::1");

    const in6_addr a = IP6FromStr("2001:db8::a:1");
    in6_addr expected{};
    expected.s6_addr[0] = 0x20;
    expected.s6_addr[1] = 0x01;
    expected.s6_addr[2] = 0x0D;
    expected.s6_addr[3] = 0xB8;
    expected.s6_addr[13] = 0x0A;
    expected.s6_addr[15] = 0x01;
    EXPECT_TRUE(isEqIPv6(a, expected));
    EXPECT_EQ(IPv6ToStr(a), "2001:db8::a:1");
    EXPECT_EQ(IPv6ToStr(NulIPv6()), "::");

    for (const char* bad : {"", "10.0.0", "10.0.0.256", "::1::2", "host", "10.0.0.5 ", "1:2:3:4:5:6:7:8:9"}) {
        EXPECT_TRUE(isNulIPv6(IP6FromStr(bad))) << '"' << bad << '"';
    }

    EXPECT_EQ(IPv6PortToStr(LocalHostIPv6(), 5000), " ::1|5000 ");
    EXPECT_EQ(IPv6PortToStrW(IP6FromStr("192.168.1.20"), 65535), DBString(L" ::ffff:192.168.1.20|65535 "));
}

}  // namespace
