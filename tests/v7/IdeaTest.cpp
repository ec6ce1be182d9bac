// IDEA against published known-answer vectors, and against libgcrypt as an independent second
// opinion on random keys and on the zero and all-one words the multiplication treats specially.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "Idea.h"

#ifdef TOLVANE_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

Bytes Hex(const std::string& hex) {
    Bytes out;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        out.push_back(static_cast<unsigned char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

TEST(CIdeaCtx, PublishedVectorsBothWays) {
    // key, plain, cipher: the cipher's original worked example, then two of a public known-answer set.
    for (const auto& [key, plain, cipher] :
         {std::tuple{"00010002000300040005000600070008", "0000000100020003", "11FBED2B01986DE5"},
          {"80000000000000000000000000000000", "0000000000000000", "B1F5F7F87901370F"},
          {"2BD6459F82C5B300952C49104881FF48", "EA024714AD5C4D84", "C8FB51D3516627A8"}}) {
        const CIdeaCtx ctx(Hex(key).data());
        Bytes out(8);
        ctx.Encrypt(Hex(plain).data(), out.data(), 1);
        EXPECT_EQ(out, Hex(cipher)) << key;
        ctx.Decrypt(Hex(cipher).data(), out.data(), 1);
        EXPECT_EQ(out, Hex(plain)) << key;
    }
}

#ifdef TOLVANE_HAVE_GCRYPT
TEST(CIdeaCtx, AgreesWithLibgcryptInPlaceOnUpToFourBlocks) {
    gcry_cipher_hd_t h = nullptr;
    if (!gcry_check_version(nullptr) || gcry_cipher_open(&h, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0)
        GTEST_SKIP() << "libgcrypt offers no IDEA";
    std::mt19937 gen(20240531);
    const Bytes special = Hex("00000000FFFFFFFF0000FFFF000100000000000000010000");
    for (int round = 0; round < 2000; ++round) {
        Bytes key(16), plain(8 * (1 + round % 4));
        for (auto& b : key) b = static_cast<unsigned char>(gen());
        for (auto& b : plain) b = static_cast<unsigned char>(gen());
        if (round < 3) key = Hex(std::string(32, "0F8"[round])), plain = special;
        Bytes ours = plain, theirs(plain.size());
        const CIdeaCtx ctx(key.data());
        ctx.Encrypt(ours.data(), ours.data(), static_cast<int>(plain.size() / 8));
        gcry_cipher_setkey(h, key.data(), 16);
        gcry_cipher_encrypt(h, theirs.data(), theirs.size(), plain.data(), plain.size());
        ASSERT_EQ(ours, theirs) << round;
        ctx.Decrypt(ours.data(), ours.data(), static_cast<int>(plain.size() / 8));
        ASSERT_EQ(ours, plain) << round;
    }
    gcry_cipher_close(h);
}
#endif

}  // namespace
