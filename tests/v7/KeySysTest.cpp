// Link keys from text and from pass phrases, the console keys built from texts, and the MD5 digest
// those take from passwords.

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "KeySys.h"
#include "md5.h"

namespace {

std::string Hex(const unsigned char* b, int n) {
    std::string s;
    char two[3];
    for (int i = 0; i < n; ++i) s += (std::snprintf(two, sizeof two, "%02X", b[i]), two);
    return s;
}

TEST(CKeySys, FromTextAndOrder) {
    const std::pair<const wchar_t*, const char*> cases[] = {
        {L"00112233445566778899aabbccddeeff", "00112233445566778899AABBCCDDEEFF"},
        {L"0102030405060708090A0B0C0D0E0F1", "0102030405060708090A0B0C0D0E0F01"},  // an odd last digit alone
        {L"0102030405060708090A0B0C0D0E0F1011", "0102030405060708090A0B0C0D0E0F10"},
        // A pair that does not start with a hex digit is 0; one that does keeps its first digit.
        {L"G1zz1G-1 1+1", "00000100000000000000000000000000"},
        {L"", "00000000000000000000000000000000"},
        {L"00000000000000000000000000000000",
         "5A3C91E07B2D46F8A1C39E5D7024B6F1"},  // all zero: the default key
    };
    std::vector<CKeySys> keys;
    for (const auto& [text, hex] : cases) {
        keys.emplace_back().Set(text);
        EXPECT_EQ(Hex(keys.back().Get(), 16), hex) << DBString(text).ToStr();
    }
    EXPECT_EQ(keys[0].GetString(), L"00112233445566778899AABBCCDDEEFF");
    EXPECT_TRUE(keys[4].IsEmpty() && !keys[5].IsEmpty());
}

// The phrase's code page 1251 bytes (16 at most, up to the first character the code page lacks),
// enciphered as two blocks under the built-in key, the first half folded into the second.
TEST(CKeySys, CreateDerivesFromThePhrase) {
    for (const auto& [phrase, bytes] : {std::pair{L"lift", "lift"},
                                        {L"\u041F\u0430\u0440\u043E\u043B\u044C", "\xCF\xE0\xF0\xEE\xEB\xFC"},
                                        {L"abcdefghijklmnopq", "abcdefghijklmnop"},
                                        {L"ab\u4E2Dcd", "ab"}}) {
        unsigned char plain[16] = {};
        std::copy(bytes, bytes + std::string(bytes).size(), plain);
        CIdeaCtx(v7keys::ForKeySYS).Encrypt(plain, plain, 2);
        for (int i = 0; i < 8; ++i) plain[8 + i] ^= plain[i];
        CKeySys k;
        k.Create(phrase);
        EXPECT_EQ(Hex(k.Get(), 16), Hex(plain, 16)) << DBString(phrase).ToStr();
    }
}

// The base with the first two texts XORed in from the start, run on together and wrapping round,
// and the third aligned to the end; texts in code page 1251.
TEST(CIdeaKey, Set2FoldsTheTextsIntoTheBase) {
    unsigned char base[16], expected[16];
    for (int i = 0; i < 16; ++i) base[i] = expected[i] = static_cast<unsigned char>(0x10 + 0x11 * i);
    const std::string run =
        "0123456789\xA8"
        "bcdefghi";
    for (std::size_t i = 0; i < run.size(); ++i) expected[i % 16] ^= static_cast<unsigned char>(run[i]);
    expected[14] ^= 'X';
    expected[15] ^= 'Y';
    CIdeaKey k;
    k.Set2(L"0123456789\u0401", L"bcdefghi", L"XY", base);
    EXPECT_EQ(Hex(k.Get(), 16), Hex(expected, 16));
}

// The last block holds the length up to 55 bytes and needs one more from 56; the dispatcher's user
// key hashes 64-byte texts.
TEST(Md5, DigestsAroundThePaddingBoundaries) {
    std::string pattern(119, 0);  // i * 7 + 1
    for (std::size_t i = 0; i < pattern.size(); ++i) pattern[i] = static_cast<char>(i * 7 + 1);
    for (const auto& [data, digest] : {std::pair{std::string(), "D41D8CD98F00B204E9800998ECF8427E"},
                                       {pattern.substr(0, 55), "8C3EB046BCDB1F0FFE75FDBAF890CF13"},
                                       {pattern.substr(0, 56), "D5E0FA3122448DDD3D843A9C5ED9E839"},
                                       {pattern.substr(0, 64), "7B412E00D38C31B0845A4F502D39D5E3"},
                                       {std::string(1000000, 'a'), "7707D6AE4E027C70EEA2A935C2296F21"}}) {
        md5::md5_context ctx;
        md5::md5_starts(&ctx);
        for (std::size_t at = 0; at < data.size(); at += 63)  // in pieces that straddle the blocks
            md5::md5_update(&ctx, reinterpret_cast<const unsigned char*>(data.data()) + at,
                            std::min<std::size_t>(63, data.size() - at));
        unsigned char d[16];
        md5::md5_finish(&ctx, d);
        EXPECT_EQ(Hex(d, 16), digest) << data.size() << " bytes";
    }
}

}  // namespace
