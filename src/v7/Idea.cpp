#include "Idea.h"

namespace {

inline uint32_t Load16(const unsigned char* p) {
    return (uint32_t{p[0]} << 8) | p[1];
}

inline void Store16(unsigned char* p, uint32_t v) {
    p[0] = static_cast<unsigned char>(v >> 8);
    p[1] = static_cast<unsigned char>(v);
}

// Product modulo 65537 of two 16-bit words where 0 stands for 65536. For non-zero
// factors a*b mod 65537 = lo - hi (+65537 when negative); the product is 0 exactly when
// one factor is 0 (65536), and then the result is 1 - other. Both candidates are
// computed and one picked with a conditional move; on the dependent chain of a round
// that measured faster than a branch.
inline uint32_t Mul(uint32_t a, uint32_t b) {
    const uint32_t p = a * b;
    const uint32_t lo = p & 0xFFFF;
    const uint32_t hi = p >> 16;
    const uint32_t r = lo - hi + (lo < hi);
    const uint32_t z = 1 - a - b;
    return (p != 0 ? r : z) & 0xFFFF;
}

// N blocks side by side. One block is a chain of dependent multiplications, so a
// single block leaves most of the core idle; interleaving independent blocks lets their
// chains overlap. The rounds are identical for every lane.
template <int N>
inline void Blocks(const unsigned char* in, unsigned char* out, const uint16_t* k) {
    uint32_t x1[N], x2[N], x3[N], x4[N];
    for (int j = 0; j < N; ++j) {
        x1[j] = Load16(in + 8 * j);
        x2[j] = Load16(in + 8 * j + 2);
        x3[j] = Load16(in + 8 * j + 4);
        x4[j] = Load16(in + 8 * j + 6);
    }
    // Unrolled, the sub-key loads of later rounds are scheduled under the
    // multiplications of earlier ones: a few per cent on a single block.
#pragma GCC unroll 8
    for (int r = 0; r < CIdeaCtx::kRounds; ++r, k += 6) {
        for (int j = 0; j < N; ++j) {
            const uint32_t a = Mul(x1[j], k[0]);
            const uint32_t b = (x2[j] + k[1]) & 0xFFFF;
            const uint32_t c = (x3[j] + k[2]) & 0xFFFF;
            const uint32_t d = Mul(x4[j], k[3]);
            const uint32_t t0 = Mul(a ^ c, k[4]);
            const uint32_t t1 = Mul(((b ^ d) + t0) & 0xFFFF, k[5]);
            const uint32_t t2 = (t0 + t1) & 0xFFFF;
            x1[j] = a ^ t1;
            x4[j] = d ^ t2;
            // The two middle words change places between rounds.
            x2[j] = c ^ t1;
            x3[j] = b ^ t2;
        }
    }
    // The output transformation undoes the last exchange of the middle words.
    for (int j = 0; j < N; ++j) {
        Store16(out + 8 * j, Mul(x1[j], k[0]));
        Store16(out + 8 * j + 2, x3[j] + k[1]);
        Store16(out + 8 * j + 4, x2[j] + k[2]);
        Store16(out + 8 * j + 6, Mul(x4[j], k[3]));
    }
}

// Two lanes roughly double the rate of long buffers; more lanes run out of registers.
constexpr int kLanes = 2;

inline void Run(const unsigned char* in, unsigned char* out, int count, const uint16_t* k) {
    constexpr int B = CIdeaCtx::kBlock;
    for (; count >= kLanes; count -= kLanes, in += kLanes * B, out += kLanes * B) Blocks<kLanes>(in, out, k);
    for (; count > 0; --count, in += B, out += B) Blocks<1>(in, out, k);
}

inline uint16_t Neg(uint16_t x) {
    return static_cast<uint16_t>(0x10000 - x);
}

}  // namespace

uint16_t CIdeaCtx::mulInv(uint16_t x) {
    // 65537 is prime, so x^(65537-2) is the inverse (Fermat).
    const uint64_t m = 65537;
    uint64_t base = x == 0 ? 65536 : x;
    uint64_t result = 1;
    for (uint32_t e = 65535; e != 0; e >>= 1) {
        if (e & 1) result = result * base % m;
        base = base * base % m;
    }
    return static_cast<uint16_t>(result);  // 65536 wraps to 0, its own stand-in
}

void CIdeaCtx::ExpandKey(const unsigned char* key, uint16_t* enc) {
    // The 128-bit key as one big-endian number; each group of eight sub-keys is read
    // from it, then it is rotated left by 25 bits.
    uint64_t hi = 0;
    uint64_t lo = 0;
    for (int i = 0; i < 8; ++i) {
        hi = (hi << 8) | key[i];
        lo = (lo << 8) | key[8 + i];
    }
    for (int i = 0; i < kSubKeys; ++i) {
        const int w = i & 7;
        const uint64_t half = w < 4 ? hi : lo;
        enc[i] = static_cast<uint16_t>(half >> (48 - 16 * (w & 3)));
        if (w == 7) {
            const uint64_t h = (hi << 25) | (lo >> 39);
            lo = (lo << 25) | (hi >> 39);
            hi = h;
        }
    }
}

void CIdeaCtx::InvertKey(const uint16_t* enc, uint16_t* dec) {
    // Decryption runs the rounds backwards: multiplicative keys inverted, additive keys
    // negated (exchanged in the inner rounds, where the middle words have been swapped),
    // and the mixing keys of the round before.
    for (int r = 0; r <= kRounds; ++r) {
        const uint16_t* e = enc + 6 * (kRounds - r);
        uint16_t* d = dec + 6 * r;
        const bool outer = r == 0 || r == kRounds;
        d[0] = mulInv(e[0]);
        d[1] = Neg(e[outer ? 1 : 2]);
        d[2] = Neg(e[outer ? 2 : 1]);
        d[3] = mulInv(e[3]);
        if (r < kRounds) {
            d[4] = enc[6 * (kRounds - r - 1) + 4];
            d[5] = enc[6 * (kRounds - r - 1) + 5];
        }
    }
}

void CIdeaCtx::Key(const unsigned char* key) {
    ExpandKey(key, keys_);
    InvertKey(keys_, keys_ + kSubKeys);
}

void CIdeaCtx::Cipher(const unsigned char* in, unsigned char* out, const uint16_t* subkeys) {
    Blocks<1>(in, out, subkeys);
}

void CIdeaCtx::Encrypt(const unsigned char* in, unsigned char* out, int count) const {
    Run(in, out, count, keys_);
}

void CIdeaCtx::Decrypt(const unsigned char* in, unsigned char* out, int count) const {
    Run(in, out, count, keys_ + kSubKeys);
}
