#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <string>

#include "KeySys.h"

namespace {

using Bytes = std::array<unsigned char, 16>;

Bytes Of(const CKeySys& k) {
    Bytes b;
    std::memcpy(b.data(), k.Get(), 16);
    return b;
}

Bytes Of(const CIdeaKey& k) {
    Bytes b;
    std::memcpy(b.data(), k.Get(), 16);
    return b;
}

CKeySys FromText(const wchar_t* text) {
    CKeySys k;
    k.Set(text);
    return k;
}

// The pass-phrase derivation written out step by step: the 16 bytes, enciphered as
// two blocks under the built-in key, then the first half folded into the second.
Bytes ExpectedCreate(Bytes plain) {
    CIdeaCtx ctx(v7keys::ForKeySYS);
    ctx.Encrypt(plain.data(), plain.data(), 2);
    for (int i = 0; i < 8; ++i) plain[8 + i] ^= plain[i];
    return plain;
}

TEST(CKeySys, HexTextRoundTripsInUpperCase) {
    const CKeySys k = FromText(L"00112233445566778899aabbccddeeff");
    EXPECT_EQ(Of(k), (Bytes{0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB, 0xCC,
                            0xDD, 0xEE, 0xFF}));
    EXPECT_EQ(k.GetString(), L"00112233445566778899AABBCCDDEEFF");
    EXPECT_EQ(FromText(k.GetString().c_str()), k);
}

TEST(CKeySys, ShortLongAndBadTexts) {
    EXPECT_EQ(Of(FromText(L"0102")), (Bytes{1, 2}));
    EXPECT_EQ(FromText(L"0102").GetString(), L"01020000000000000000000000000000");
    // An odd last digit is read alone.
    EXPECT_EQ(Of(FromText(L"ABC")), (Bytes{0xAB, 0x0C}));
    // Digits beyond 32 are ignored.
    EXPECT_EQ(FromText(L"0102030405060708090A0B0C0D0E0F1011"), FromText(L"0102030405060708090A0B0C0D0E0F10"));
    // A pair that does not start with a hex digit is 0; one that does keeps its leading digit.
    EXPECT_EQ(Of(FromText(L"G1zz1G-1 1+1")), (Bytes{0, 0, 1, 0, 0, 0}));
    EXPECT_TRUE(FromText(L"").IsEmpty());
    EXPECT_TRUE(FromText(L"0000").IsEmpty());
}

TEST(CKeySys, AllZeroTextMeansTheDefaultKeyNotNoKey) {
    CKeySys def;
    def.SetDefault();
    EXPECT_EQ(def.GetString(), L"5A3C91E07B2D46F8A1C39E5D7024B6F1");
    const CKeySys zeros = FromText(L"00000000000000000000000000000000");
    EXPECT_EQ(zeros, def);
    EXPECT_FALSE(zeros.IsEmpty());
    CKeySys k = def;
    k.Clear();
    EXPECT_TRUE(k.IsEmpty());
    EXPECT_TRUE(CKeySys().IsEmpty());
}

TEST(CKeySys, ComparisonIsByUnsignedBytesFromByteZero) {
    const CKeySys a = FromText(L"7FFF");
    const CKeySys b = FromText(L"80");
    const CKeySys c = FromText(L"8001");
    EXPECT_TRUE(a < b);
    EXPECT_FALSE(b < a);
    EXPECT_TRUE(b < c);
    EXPECT_FALSE(b < b);
    EXPECT_TRUE(b != c);
    EXPECT_FALSE(b != FromText(L"8000"));
}

TEST(CKeySys, CreateDerivesFromThePhrase) {
    CKeySys k;
    k.Create(L"lift");
    EXPECT_EQ(Of(k), ExpectedCreate(Bytes{'l', 'i', 'f', 't'}));

    // Code page 1251 bytes, not the wide characters.
    k.Create(L"\u041F\u0430\u0440\u043E\u043B\u044C");
    EXPECT_EQ(Of(k), ExpectedCreate(Bytes{0xCF, 0xE0, 0xF0, 0xEE, 0xEB, 0xFC}));

    // Only the first 16 bytes count.
    k.Create(L"abcdefghijklmnopqrstuvwxyz");
    EXPECT_EQ(Of(k), ExpectedCreate(Bytes{'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm',
                                          'n', 'o', 'p'}));

    // The empty phrase still gives a key.
    k.Create(L"");
    EXPECT_EQ(Of(k), ExpectedCreate(Bytes{}));
    EXPECT_FALSE(k.IsEmpty());

    // A character code page 1251 lacks ends the usable bytes; nothing beyond is read.
    CKeySys cut;
    cut.Create(L"ab\u4E2Dcd");
    k.Create(L"ab");
    EXPECT_EQ(cut, k);
}

TEST(CKeySys, NullInputs) {
    CKeySys k;
    k.SetDefault();
    k.Set(static_cast<const unsigned char*>(nullptr));
    EXPECT_TRUE(k.IsEmpty());
    CIdeaKey zeroBase;
    zeroBase.Set2(L"", L"", L"ab", nullptr);
    EXPECT_EQ(Of(zeroBase), (Bytes{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b'}));

    EXPECT_THROW(k.Set(static_cast<const wchar_t*>(nullptr)), std::logic_error);
    EXPECT_THROW(k.Create(nullptr), std::logic_error);
    CIdeaKey ik;
    const Bytes base{};
    EXPECT_THROW(ik.Set(nullptr, L"", base.data()), std::logic_error);
    EXPECT_THROW(ik.Set2(L"", L"", nullptr, base.data()), std::logic_error);
    EXPECT_THROW(ik.SetUtf8(L"", nullptr, L"", base.data()), std::logic_error);
    try {
        k.Create(nullptr);
        FAIL() << "no exception";
    } catch (const std::logic_error& e) {
        EXPECT_STREQ(e.what(), "basic_string: construction from null is not valid");
    }
}

const Bytes kBase = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                     0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};

TEST(CIdeaKey, SetAlignsFirstTextAtStartAndSecondAtEnd) {
    CIdeaKey k;
    k.Set(L"ABCDEFGHIJKLMNOPQRST", L"xyz", kBase.data());
    Bytes want = kBase;
    const char* a = "ABCDEFGHIJKLMNOP";
    for (int i = 0; i < 16; ++i) want[i] ^= a[i];
    want[13] ^= 'x';
    want[14] ^= 'y';
    want[15] ^= 'z';
    EXPECT_EQ(Of(k), want);

    k.Set(L"", L"", kBase.data());
    EXPECT_EQ(Of(k), kBase);

    // Code page 1251: U+0401 is 0xA8.
    k.Set(L"\u0401", L"\u0401", kBase.data());
    want = kBase;
    want[0] ^= 0xA8;
    want[15] ^= 0xA8;
    EXPECT_EQ(Of(k), want);
}

TEST(CIdeaKey, Set2FoldsBothTextsAndAlignsThirdAtEnd) {
    CIdeaKey k;
    // 10 + 9 bytes: the 19-byte run wraps, its last 3 bytes landing on key bytes 0..2.
    k.Set2(L"0123456789", L"abcdefghi", L"XY", kBase.data());
    Bytes want = kBase;
    const std::string s = "0123456789abcdefghi";
    for (size_t i = 0; i < s.size(); ++i) want[i % 16] ^= static_cast<unsigned char>(s[i]);
    want[14] ^= 'X';
    want[15] ^= 'Y';
    EXPECT_EQ(Of(k), want);

    // Three empty texts leave the base as the key.
    k.Set2(L"", L"", L"", kBase.data());
    EXPECT_EQ(Of(k), kBase);
}

TEST(CIdeaKey, SetUtf8UsesUtf8Bytes) {
    CIdeaKey k;
    k.SetUtf8(L"\u0451", L"", L"\u0451", kBase.data());  // UTF-8 D1 91
    Bytes want = kBase;
    want[0] ^= 0xD1;
    want[1] ^= 0x91;
    want[14] ^= 0xD1;
    want[15] ^= 0x91;
    EXPECT_EQ(Of(k), want);

    CIdeaKey cp;
    cp.Set2(L"\u0451", L"", L"\u0451", kBase.data());  // code page 1251 B8
    EXPECT_NE(Of(cp), want);
}

TEST(BuiltInKeys, AreDistinctAndTheRelayContextUsesTheRelayKey) {
    EXPECT_NE(0, std::memcmp(v7keys::ForKeySYS, v7keys::Relay, 16));
    const CIdeaCtx expected(v7keys::Relay);
    EXPECT_EQ(0, std::memcmp(RelayIdeaCtx().EncKeys(), expected.EncKeys(), sizeof(uint16_t) * 104));
}

}  // namespace
