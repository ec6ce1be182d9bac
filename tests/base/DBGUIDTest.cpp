#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "DBGUID.h"

TEST(DBGUIDText, FullTextRoundTrips) {
    const wchar_t* texts[] = {L"0123456789ABCDEF0123456789ABCDEF", L"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                              L"8000000000000000000000000000000F"};
    for (const wchar_t* text : texts) {
        DBGUID g;
        g = text;
        EXPECT_EQ(g.ToString(), text);
    }
    DBGUID g;
    g = L"0123456789ABCDEF0123456789ABCDEF";
    EXPECT_EQ(g.Data1, 0x01234567u);
    EXPECT_EQ(g.Data2, 0x89ABu);
    EXPECT_EQ(g.Data3, 0xCDEFu);
    EXPECT_EQ(g.Data4[0], 0x01u);
    EXPECT_EQ(g.Data4[7], 0xEFu);
}

TEST(DBGUIDText, NarrowWideAndLowerCaseAgree) {
    DBGUID wide;
    wide = L"a1b2c3d4e5f60718293a4b5c6d7e8f90";
    DBGUID narrow;
    narrow = "A1B2C3D4E5F60718293A4B5C6D7E8F90";
    DBGUID fromString;
    fromString = std::string("A1B2C3D4E5F60718293A4B5C6D7E8F90");
    EXPECT_EQ(wide, narrow);
    EXPECT_EQ(fromString, narrow);
    EXPECT_EQ(wide.ToString(), L"A1B2C3D4E5F60718293A4B5C6D7E8F90");
}

TEST(DBGUIDText, MissingDigitsLeaveFieldsZero) {
    DBGUID g;
    g = L"FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF";
    g = L"12345678AB";
    EXPECT_EQ(g.ToString(),
              L"12345678"
              L"00AB"
              L"0000"
              L"0000000000000000");

    g = L"1234567899990000AB";
    EXPECT_EQ(g.ToString(),
              L"12345678"
              L"9999"
              L"0000"
              L"AB00000000000000");

    g = L"nothex";
    EXPECT_TRUE(g.IsNul());
    g = L"12345678";
    g = static_cast<const wchar_t*>(nullptr);
    EXPECT_TRUE(g.IsNul());
    g = L"12345678";
    g = static_cast<const char*>(nullptr);
    EXPECT_TRUE(g.IsNul());
}

TEST(DBGUIDBytes, RawBytesAreTheStructureLayout) {
    unsigned char bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<unsigned char>(0xA0 + i);
    DBGUID g;
    g = bytes;
    EXPECT_EQ(std::memcmp(static_cast<const GUID*>(&g), bytes, 16), 0);
    EXPECT_FALSE(g.IsNul());

    DBGUID v;
    v = static_cast<const void*>(bytes);
    EXPECT_EQ(v, g);

    GUID plain{0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
    DBGUID s;
    s = plain;
    EXPECT_EQ(s.ToString(), L"11223344556677880102030405060708");
    DBGUID copy;
    copy = s;
    EXPECT_EQ(copy, s);

    g = static_cast<const unsigned char*>(nullptr);
    EXPECT_TRUE(g.IsNul());
}

TEST(DBGUIDBytes, SetCopiesAtMostSixteenBytes) {
    unsigned char big[32];
    std::memset(big, 0x5A, sizeof(big));
    DBGUID g;
    g.Set(big, sizeof(big));
    EXPECT_EQ(g.ToString(), L"5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A5A");

    const unsigned char few[2] = {0x01, 0x02};
    g.Set(few, sizeof(few));
    GUID expect{};
    std::memcpy(&expect, few, 2);
    EXPECT_EQ(g, DBGUID(expect));
    EXPECT_EQ(g.Data2, 0u);
    EXPECT_EQ(g.Data4[7], 0u);
}

TEST(DBGUIDGenerate, Version4Variant1AndDistinct) {
    std::set<DBGUID> seen;
    for (int i = 0; i < 500; ++i) {
        DBGUID g;
        ASSERT_TRUE(g.Generate());
        EXPECT_FALSE(g.IsNul());
        EXPECT_EQ(g.Data3 >> 12, 4u);
        EXPECT_EQ(g.Data4[0] >> 6, 2u);
        const DBString text = g.ToString();
        ASSERT_EQ(text.size(), 32u);
        EXPECT_EQ(text[12], L'4');
        EXPECT_NE(std::wstring(L"89AB").find(text[16]), std::wstring::npos);
        seen.insert(g);
    }
    EXPECT_EQ(seen.size(), 500u);
}

TEST(DBGUIDGenerate, AllVariantNibblesAppear) {
    // The two variant bits are random, so 8, 9, A and B should all turn up.
    std::set<int> nibbles;
    for (int i = 0; i < 400 && nibbles.size() < 4; ++i) {
        DBGUID g;
        g.Generate();
        nibbles.insert(g.Data4[0] >> 4);
    }
    EXPECT_EQ(nibbles, (std::set<int>{8, 9, 10, 11}));
}
