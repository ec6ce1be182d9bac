#pragma once

#include "DBString.h"
#include "Idea.h"

// The two IDEA keys built into the program. They live here and nowhere else.
namespace v7keys {

// Turns a pass phrase into a link key (CKeySys::Create); CPackV7::ForKeySYS is this.
inline constexpr unsigned char ForKeySYS[16] = {0x8E, 0x27, 0xD1, 0x5B, 0x03, 0xC6, 0x7A, 0xF4,
                                                0x92, 0x1D, 0x6F, 0xB8, 0x4C, 0xE5, 0x30, 0xA9};

// Enciphers packets sent through the cloud relay.
inline constexpr unsigned char Relay[16] = {0x3B, 0xF0, 0x5C, 0x84, 0xA7, 0x19, 0xE2, 0x6D,
                                            0x0F, 0xC3, 0x78, 0x95, 0x2E, 0xB1, 0x46, 0xDA};

}  // namespace v7keys

// The relay key, expanded once on first use (thread-safe) and shared read-only.
const CIdeaCtx& RelayIdeaCtx();

// A 16-byte V7 link key. All bytes 0 means "no key".
class CKeySys {
public:
    static constexpr int kSize = 16;
    // Text form of the default link key.
    static constexpr const wchar_t* kDefaultText = L"5A3C91E07B2D46F8A1C39E5D7024B6F1";

    CKeySys() = default;
    CKeySys(const CKeySys&) = default;
    CKeySys& operator=(const CKeySys&) = default;
    virtual ~CKeySys() = default;

    void Clear();
    // 16 bytes; null gives no key.
    void Set(const unsigned char* k);
    // 32 hex digits, byte 0 first; 32 zeros give the default key. A pair that does not
    // start with a hex digit gives 0; missing pairs give 0. Null throws std::logic_error.
    void Set(const wchar_t* text);
    void SetDefault();
    // Key from a pass phrase (its code page 1251 bytes). Null throws std::logic_error.
    void Create(const wchar_t* phrase);

    // 32 upper-case hex digits.
    DBString GetString() const;
    bool IsEmpty() const;

    const unsigned char* Get() const { return key_; }
    unsigned char* Data() { return key_; }

    bool operator==(const CKeySys& o) const;
    bool operator!=(const CKeySys& o) const { return !(*this == o); }
    // Unsigned bytes, byte 0 most significant.
    bool operator<(const CKeySys& o) const;

private:
    unsigned char key_[kSize] = {};
};

// An IDEA key for the dispatcher link, derived from user texts and a 16-byte base
// that both ends of the link hold (null: sixteen zero bytes). Pass Get() to CIdeaCtx::Key.
class CIdeaKey {
public:
    static constexpr int kSize = 16;

    CIdeaKey() = default;

    // base, then a (code page 1251, at most 16 bytes) XORed in from the start and b
    // (likewise) XORed in aligned at the end. Null texts throw std::logic_error.
    void Set(const wchar_t* a, const wchar_t* b, const unsigned char* base);
    // base, then a followed by b folded in 16 bytes at a time from the start, then c
    // XORed in aligned at the end. Texts in code page 1251.
    void Set2(const wchar_t* a, const wchar_t* b, const wchar_t* c, const unsigned char* base);
    // As Set2, with the texts taken as UTF-8.
    void SetUtf8(const wchar_t* a, const wchar_t* b, const wchar_t* c, const unsigned char* base);

    const unsigned char* Get() const { return key_; }
    unsigned char* Data() { return key_; }

    // Random bytes for the relay coding.
    static int rand();

private:
    unsigned char key_[kSize] = {};
};
