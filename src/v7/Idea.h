#pragma once

#include <cstdint>

// IDEA block cipher: 128-bit key, 64-bit blocks, 8.5 rounds, 16-bit words taken
// big-endian. Used block by block without chaining (ECB).
//
// A keyed context is read-only during Encrypt/Decrypt, so one context may serve
// several threads at once once Key() has returned.
class CIdeaCtx {
public:
    static constexpr int kRounds = 8;
    static constexpr int kSubKeys = 6 * kRounds + 4;  // 52
    static constexpr int kBlock = 8;
    static constexpr int kKeyBytes = 16;

    // Unkeyed: every sub-key is 0 (a valid, if useless, key schedule).
    CIdeaCtx() = default;
    explicit CIdeaCtx(const unsigned char* key) { Key(key); }

    // Expands the 16-byte key into both sub-key sets.
    void Key(const unsigned char* key);

    // count 8-byte blocks, one after the other; nothing when count < 1.
    // in and out may be the same buffer.
    void Encrypt(const unsigned char* in, unsigned char* out, int count) const;
    void Decrypt(const unsigned char* in, unsigned char* out, int count) const;

    // One block with the given set of 52 sub-keys.
    static void Cipher(const unsigned char* in, unsigned char* out, const uint16_t* subkeys);

    static void ExpandKey(const unsigned char* key, uint16_t* encKeys);
    static void InvertKey(const uint16_t* encKeys, uint16_t* decKeys);

    // Multiplicative inverse modulo 65537, with 0 standing for 65536 both ways.
    static uint16_t mulInv(uint16_t x);

    const uint16_t* EncKeys() const { return keys_; }
    const uint16_t* DecKeys() const { return keys_ + kSubKeys; }

private:
    uint16_t keys_[2 * kSubKeys] = {};  // encryption sub-keys, then decryption sub-keys
};
