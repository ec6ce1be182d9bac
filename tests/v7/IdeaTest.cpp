#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "Idea.h"

#ifdef TOLVANE_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

using Block = std::array<unsigned char, 8>;
using Key = std::array<unsigned char, 16>;

template <size_t N>
std::array<unsigned char, N> FromHex(const char* hex) {
    std::array<unsigned char, N> out{};
    for (size_t i = 0; i < N; ++i) {
        auto nibble = [](char c) { return c <= '9' ? c - '0' : c - 'A' + 10; };
        out[i] = static_cast<unsigned char>(nibble(hex[2 * i]) * 16 + nibble(hex[2 * i + 1]));
    }
    return out;
}

struct Vector {
    const char* source;
    const char* key;
    const char* plain;
    const char* cipher;
};

// Published known-answer vectors, independent of any implementation here.
const Vector kVectors[] = {
    {"worked example of the cipher's original publication", "00010002000300040005000600070008",
     "0000000100020003", "11FBED2B01986DE5"},
    {"public known-answer set, single key bit set", "80000000000000000000000000000000", "0000000000000000",
     "B1F5F7F87901370F"},
    {"public known-answer set, random key and block", "2BD6459F82C5B300952C49104881FF48", "EA024714AD5C4D84",
     "C8FB51D3516627A8"},
};

TEST(CIdeaCtx, PublishedVectorsBothWays) {
    for (const Vector& v : kVectors) {
        SCOPED_TRACE(v.source);
        const Key key = FromHex<16>(v.key);
        const Block plain = FromHex<8>(v.plain);
        const Block cipher = FromHex<8>(v.cipher);
        CIdeaCtx ctx(key.data());
        Block out{};
        ctx.Encrypt(plain.data(), out.data(), 1);
        EXPECT_EQ(out, cipher);
        ctx.Decrypt(cipher.data(), out.data(), 1);
        EXPECT_EQ(out, plain);
        // The single-block routine with either sub-key set does the same.
        CIdeaCtx::Cipher(plain.data(), out.data(), ctx.EncKeys());
        EXPECT_EQ(out, cipher);
        CIdeaCtx::Cipher(cipher.data(), out.data(), ctx.DecKeys());
        EXPECT_EQ(out, plain);
    }
}

TEST(CIdeaCtx, MulInvIsTheInverseModulo65537ForEveryWord) {
    for (uint32_t x = 0; x <= 0xFFFF; ++x) {
        const uint64_t a = x == 0 ? 65536 : x;
        const uint16_t inv = CIdeaCtx::mulInv(static_cast<uint16_t>(x));
        const uint64_t b = inv == 0 ? 65536 : inv;
        ASSERT_EQ(a * b % 65537, 1u) << "x = " << x;
    }
}

TEST(CIdeaCtx, EcbBlocksAreIndependentAndInPlaceWorks) {
    const Key key = FromHex<16>("00010002000300040005000600070008");
    CIdeaCtx ctx(key.data());
    std::vector<unsigned char> data(8 * 65);
    std::mt19937 gen(7);
    for (auto& b : data) b = static_cast<unsigned char>(gen());
    std::memcpy(data.data() + 8 * 64, data.data(), 8);  // last block repeats the first

    std::vector<unsigned char> separate(data.size());
    for (size_t i = 0; i < data.size(); i += 8) ctx.Encrypt(data.data() + i, separate.data() + i, 1);

    std::vector<unsigned char> inPlace = data;
    ctx.Encrypt(inPlace.data(), inPlace.data(), 65);
    EXPECT_EQ(inPlace, separate);
    EXPECT_EQ(0, std::memcmp(inPlace.data(), inPlace.data() + 8 * 64, 8));  // no chaining
    EXPECT_NE(inPlace, data);
    ctx.Decrypt(inPlace.data(), inPlace.data(), 65);
    EXPECT_EQ(inPlace, data);
}

TEST(CIdeaCtx, CountBelowOneWritesNothing) {
    CIdeaCtx ctx(FromHex<16>("80000000000000000000000000000000").data());
    const Block in = FromHex<8>("0123456789ABCDEF");
    Block out{};
    ctx.Encrypt(in.data(), out.data(), 0);
    ctx.Encrypt(in.data(), out.data(), -3);
    ctx.Decrypt(in.data(), out.data(), -1);
    EXPECT_EQ(out, Block{});
}

#ifdef TOLVANE_HAVE_GCRYPT

class GcryptIdea {
public:
    GcryptIdea() {
        gcry_check_version(nullptr);
        ok_ = gcry_cipher_open(&h_, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) == 0;
    }
    ~GcryptIdea() {
        if (ok_) gcry_cipher_close(h_);
    }
    bool ok() const { return ok_; }
    void SetKey(const unsigned char* key) { ASSERT_EQ(gcry_cipher_setkey(h_, key, 16), 0u); }
    void Encrypt(const unsigned char* in, unsigned char* out, size_t n) {
        ASSERT_EQ(gcry_cipher_encrypt(h_, out, n, in, n), 0u);
    }

private:
    gcry_cipher_hd_t h_{};
    bool ok_ = false;
};

void CompareWithGcrypt(GcryptIdea& oracle, const Key& key, const std::vector<unsigned char>& plain) {
    CIdeaCtx ours(key.data());
    oracle.SetKey(key.data());
    std::vector<unsigned char> a(plain.size()), b(plain.size()), back(plain.size());
    const int blocks = static_cast<int>(plain.size() / 8);
    ours.Encrypt(plain.data(), a.data(), blocks);
    oracle.Encrypt(plain.data(), b.data(), plain.size());
    ASSERT_EQ(a, b);
    ours.Decrypt(b.data(), back.data(), blocks);
    ASSERT_EQ(back, plain);
}

TEST(CIdeaCtx, AgreesWithLibgcryptOnRandomKeysAndBlocks) {
    GcryptIdea oracle;
    if (!oracle.ok()) GTEST_SKIP() << "libgcrypt offers no IDEA";
    std::mt19937 gen(20240531);
    for (int round = 0; round < 3000; ++round) {
        Key key;
        for (auto& b : key) b = static_cast<unsigned char>(gen());
        std::vector<unsigned char> plain(8 * (1 + round % 4));
        for (auto& b : plain) b = static_cast<unsigned char>(gen());
        SCOPED_TRACE(round);
        CompareWithGcrypt(oracle, key, plain);
        if (HasFatalFailure()) return;
    }
}

// Zero words stand for 65536 in the multiplication; random data almost never meets
// them, so keys and blocks full of zero and all-one words are checked on purpose.
TEST(CIdeaCtx, AgreesWithLibgcryptOnZeroAndAllOneWords) {
    GcryptIdea oracle;
    if (!oracle.ok()) GTEST_SKIP() << "libgcrypt offers no IDEA";
    const std::vector<unsigned char> plain = {0,    0,    0,    0,    0,    0, 0, 0,    0xFF, 0xFF, 0xFF,
                                              0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0xFF, 0xFF, 0,    1,
                                              0,    0,    0,    0,    0,    1, 0, 0,    0,    1};
    const char* keys[] = {"00000000000000000000000000000000", "FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF",
                          "0000FFFF00000001FFFF000000000000", "00010000000000000000000000000001"};
    for (const char* k : keys) {
        SCOPED_TRACE(k);
        CompareWithGcrypt(oracle, FromHex<16>(k), plain);
        if (HasFatalFailure()) return;
    }
}

#endif  // TOLVANE_HAVE_GCRYPT

}  // namespace
