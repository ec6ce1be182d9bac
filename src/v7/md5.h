#pragma once

#include <cstddef>
#include <cstdint>

// MD5 message digest (RFC 1321).
namespace md5 {

struct md5_context {
    uint64_t count;            // bytes hashed so far
    uint32_t A, B, C, D;       // chaining state
    unsigned char buffer[64];  // bytes not yet forming a whole block
};

void md5_starts(md5_context* ctx);
void md5_update(md5_context* ctx, const unsigned char* input, size_t length);
void md5_finish(md5_context* ctx, unsigned char digest[16]);
// Folds one 64-byte block into the state.
void md5_process(md5_context* ctx, const unsigned char data[64]);

}  // namespace md5
