#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "md5.h"

namespace {

std::string Hex(const unsigned char digest[16]) {
    std::string out;
    char two[3];
    for (int i = 0; i < 16; ++i) {
        std::snprintf(two, sizeof(two), "%02x", digest[i]);
        out += two;
    }
    return out;
}

std::string Digest(const std::vector<unsigned char>& data) {
    md5::md5_context ctx;
    md5::md5_starts(&ctx);
    md5::md5_update(&ctx, data.data(), data.size());
    unsigned char digest[16];
    md5::md5_finish(&ctx, digest);
    return Hex(digest);
}

std::string Digest(const std::string& text) {
    return Digest(std::vector<unsigned char>(text.begin(), text.end()));
}

std::vector<unsigned char> Pattern(size_t n) {
    std::vector<unsigned char> data(n);
    for (size_t i = 0; i < n; ++i) data[i] = static_cast<unsigned char>(i * 7 + 1);
    return data;
}

}  // namespace

TEST(Md5, Rfc1321TestSuite) {
    EXPECT_EQ(Digest(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Digest("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Digest("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Digest("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Digest("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Digest("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Digest("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Lengths around the block and padding boundaries, where the length field either
// fits into the last block or needs one more.
TEST(Md5, PaddingBoundaries) {
    EXPECT_EQ(Digest(Pattern(55)), "8c3eb046bcdb1f0ffe75fdbaf890cf13");
    EXPECT_EQ(Digest(Pattern(56)), "d5e0fa3122448ddd3d843a9c5ed9e839");
    EXPECT_EQ(Digest(Pattern(63)), "1dd0d6ddeb881b118518c2881555f34b");
    EXPECT_EQ(Digest(Pattern(64)), "7b412e00d38c31b0845a4f502d39d5e3");
    EXPECT_EQ(Digest(Pattern(65)), "ba03b626aceb7b09c86c2d544afe1dce");
    EXPECT_EQ(Digest(Pattern(119)), "dac58560b386c3d5b29ebbdec5197e10");
    EXPECT_EQ(Digest(Pattern(120)), "6818845a0494b5fade3155f6a8e47b15");
}

TEST(Md5, OneMillionBytes) {
    EXPECT_EQ(Digest(std::string(1000000, 'a')), "7707d6ae4e027c70eea2a935c2296f21");
}

// Feeding the same bytes in pieces of every size must not change the digest.
TEST(Md5, PiecewiseUpdateMatchesWhole) {
    const std::vector<unsigned char> data = Pattern(300);
    const std::string whole = Digest(data);
    for (size_t piece = 1; piece <= 130; ++piece) {
        md5::md5_context ctx;
        md5::md5_starts(&ctx);
        for (size_t at = 0; at < data.size(); at += piece)
            md5::md5_update(&ctx, data.data() + at, std::min(piece, data.size() - at));
        md5::md5_update(&ctx, data.data(), 0);
        unsigned char digest[16];
        md5::md5_finish(&ctx, digest);
        EXPECT_EQ(Hex(digest), whole) << "piece size " << piece;
    }
}

// One block folded in by hand equals the digest of the 55-byte message it pads.
TEST(Md5, ProcessFoldsOneBlock) {
    const std::vector<unsigned char> msg = Pattern(55);
    unsigned char block[64] = {};
    std::copy(msg.begin(), msg.end(), block);
    block[55] = 0x80;
    block[56] = (55 * 8) & 0xFF;  // bit length, little-endian
    block[57] = (55 * 8) >> 8;
    md5::md5_context ctx;
    md5::md5_starts(&ctx);
    md5::md5_process(&ctx, block);
    unsigned char digest[16];
    for (int i = 0; i < 4; ++i) {
        const uint32_t w = i == 0 ? ctx.A : i == 1 ? ctx.B : i == 2 ? ctx.C : ctx.D;
        for (int b = 0; b < 4; ++b) digest[i * 4 + b] = static_cast<unsigned char>(w >> (8 * b));
    }
    EXPECT_EQ(Hex(digest), "8c3eb046bcdb1f0ffe75fdbaf890cf13");
}
