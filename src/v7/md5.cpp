#include "md5.h"

#include <cstring>

namespace md5 {

namespace {

uint32_t Load32(const unsigned char* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

void Store32(uint32_t v, unsigned char* p) {
    p[0] = static_cast<unsigned char>(v);
    p[1] = static_cast<unsigned char>(v >> 8);
    p[2] = static_cast<unsigned char>(v >> 16);
    p[3] = static_cast<unsigned char>(v >> 24);
}

uint32_t Rotl(uint32_t x, unsigned n) {
    return (x << n) | (x >> (32 - n));
}

// Per-step shift amounts, four per round.
constexpr unsigned kShift[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391,
};

}  // namespace

void md5_starts(md5_context* ctx) {
    ctx->count = 0;
    ctx->A = 0x67452301;
    ctx->B = 0xefcdab89;
    ctx->C = 0x98badcfe;
    ctx->D = 0x10325476;
    std::memset(ctx->buffer, 0, sizeof(ctx->buffer));
}

void md5_process(md5_context* ctx, const unsigned char data[64]) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = Load32(data + 4 * i);

    uint32_t a = ctx->A;
    uint32_t b = ctx->B;
    uint32_t c = ctx->C;
    uint32_t d = ctx->D;
    for (int i = 0; i < 64; ++i) {
        const int round = i / 16;
        uint32_t f;
        int k;
        switch (round) {
            case 0:
                f = (b & c) | (~b & d);
                k = i;
                break;
            case 1:
                f = (d & b) | (~d & c);
                k = (5 * i + 1) % 16;
                break;
            case 2:
                f = b ^ c ^ d;
                k = (3 * i + 5) % 16;
                break;
            default:
                f = c ^ (b | ~d);
                k = (7 * i) % 16;
                break;
        }
        const uint32_t sum = a + f + kSine[i] + x[k];
        a = d;
        d = c;
        c = b;
        b = b + Rotl(sum, kShift[round][i % 4]);
    }
    ctx->A += a;
    ctx->B += b;
    ctx->C += c;
    ctx->D += d;
}

void md5_update(md5_context* ctx, const unsigned char* input, size_t length) {
    if (length == 0) return;
    size_t fill = static_cast<size_t>(ctx->count % 64);
    ctx->count += length;

    if (fill != 0) {
        const size_t take = 64 - fill;
        if (length < take) {
            std::memcpy(ctx->buffer + fill, input, length);
            return;
        }
        std::memcpy(ctx->buffer + fill, input, take);
        md5_process(ctx, ctx->buffer);
        input += take;
        length -= take;
    }
    while (length >= 64) {
        md5_process(ctx, input);
        input += 64;
        length -= 64;
    }
    if (length != 0) std::memcpy(ctx->buffer, input, length);
}

void md5_finish(md5_context* ctx, unsigned char digest[16]) {
    // The length is counted in bits, modulo 2^64, and written little-endian.
    const uint64_t bits = ctx->count << 3;
    unsigned char tail[8];
    Store32(static_cast<uint32_t>(bits), tail);
    Store32(static_cast<uint32_t>(bits >> 32), tail + 4);

    static const unsigned char padding[64] = {0x80};
    const size_t used = static_cast<size_t>(ctx->count % 64);
    const size_t padLen = used < 56 ? 56 - used : 120 - used;
    md5_update(ctx, padding, padLen);
    md5_update(ctx, tail, 8);

    Store32(ctx->A, digest);
    Store32(ctx->B, digest + 4);
    Store32(ctx->C, digest + 8);
    Store32(ctx->D, digest + 12);
}

}  // namespace md5
