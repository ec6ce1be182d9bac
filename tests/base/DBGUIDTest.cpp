#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <tuple>

#include "DBGUID.h"

TEST(DBGUID, TextAndBytesRoundTripAndMissingDigitsLeaveTheirFieldsZero) {
    // Data1, Data2, Data3, then the bytes of Data4; lower case reads too; the integers in host order.
    const std::tuple<const char*, const char*> texts[] = {
        {"0123456789ABCDEF0123456789ABCDEF", "0123456789ABCDEF0123456789ABCDEF"},
        {"a1b2c3d4e5f60718293a4b5c6d7e8f90", "A1B2C3D4E5F60718293A4B5C6D7E8F90"},
        {"1234567899990000AB", "1234567899990000AB00000000000000"},
        {"nothex", "00000000000000000000000000000000"},
    };
    DBGUID g, bytes;
    for (const auto& [text, want] : texts) {
        g = L"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
        g = DBString(text).c_str();
        EXPECT_EQ(g.ToString(), DBString(want)) << text;
    }
    g = "0123456789ABCDEF0123456789ABCDEF";
    EXPECT_EQ((bytes = static_cast<const void*>(&g)), g);  // the raw bytes are the structure
    unsigned char raw[32];
    for (int i = 0; i < 32; ++i) raw[i] = static_cast<unsigned char>(0xA0 + i);
    bytes.Set(raw + 16, 32);  // at most 16 bytes are taken
    EXPECT_EQ(std::make_tuple(g.Data1, g.Data2, g.Data3, g.Data4[0], g.Data4[7], bytes.ToString()),
              std::make_tuple(0x01234567u, 0x89ABu, 0xCDEFu, 0x01u, 0xEFu,
                              DBString(L"B3B2B1B0B5B4B7B6B8B9BABBBCBDBEBF")));
}

TEST(DBGUID, GeneratedIdentifiersAreVersion4Variant1AndDistinct) {
    std::set<DBGUID> seen;
    std::set<int> variants;  // the two variant bits are random: 8, 9, A and B all turn up
    for (int i = 0; i < 500; ++i) {
        DBGUID g;
        ASSERT_TRUE(g.Generate());
        const DBString text = g.ToString();
        ASSERT_EQ(std::make_tuple(text.size(), text[12], g.Data4[0] >> 6), std::make_tuple(32u, L'4', 2))
            << text.ToStr();
        seen.insert(g);
        variants.insert(g.Data4[0] >> 4);
    }
    EXPECT_EQ(std::make_tuple(seen.size(), variants), std::make_tuple(500u, std::set<int>{8, 9, 10, 11}));
}
