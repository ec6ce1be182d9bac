#include "KeySys.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <stdexcept>
#include <string>

namespace {

const wchar_t kAllZeroText[] = L"00000000000000000000000000000000";

void RequireText(const wchar_t* text) {
    if (text == nullptr) throw std::logic_error("basic_string: construction from null is not valid");
}

// One byte per character. The conversion stops at the first character code page 1251
// lacks (and at 1024 bytes); such characters and everything after them count as 0
// bytes, so callers that size by character count never read past the conversion.
std::string Cp1251Bytes(const wchar_t* text) {
    RequireText(text);
    std::string bytes = DBString(text).ToCP1251();
    bytes.resize(std::max(bytes.size(), std::wcslen(text)), '\0');
    return bytes;
}

std::string Utf8Bytes(const wchar_t* text) {
    RequireText(text);
    return DBString(text).ToStr();
}

int HexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9') return c - L'0';
    if (c >= L'A' && c <= L'F') return c - L'A' + 10;
    if (c >= L'a' && c <= L'f') return c - L'a' + 10;
    return -1;
}

// b's first 16 bytes XORed into the end of the key, its first byte landing 16 - n.
void XorAtEnd(unsigned char* key, const std::string& b) {
    const size_t n = std::min<size_t>(b.size(), CIdeaKey::kSize);
    for (size_t j = 0; j < n; ++j) key[CIdeaKey::kSize - n + j] ^= static_cast<unsigned char>(b[j]);
}

// A missing base counts as sixteen zero bytes.
void SetBase(unsigned char* key, const unsigned char* base) {
    if (base == nullptr)
        std::memset(key, 0, CIdeaKey::kSize);
    else
        std::memcpy(key, base, CIdeaKey::kSize);
}

void Fold(unsigned char* key, const std::string& a, const std::string& b, const std::string& c,
          const unsigned char* base) {
    SetBase(key, base);
    const std::string s = a + b;
    for (size_t i = 0; i < s.size(); ++i) key[i % CIdeaKey::kSize] ^= static_cast<unsigned char>(s[i]);
    XorAtEnd(key, c);
}

}  // namespace

const CIdeaCtx& RelayIdeaCtx() {
    static const CIdeaCtx ctx(v7keys::Relay);
    return ctx;
}

void CKeySys::Clear() {
    std::memset(key_, 0, sizeof key_);
}

void CKeySys::Set(const unsigned char* k) {
    if (k == nullptr)
        Clear();
    else
        std::memcpy(key_, k, sizeof key_);
}

void CKeySys::Set(const wchar_t* text) {
    RequireText(text);
    if (std::wcscmp(text, kAllZeroText) == 0) {
        SetDefault();
        return;
    }
    const size_t len = std::wcslen(text);
    for (size_t i = 0; i < kSize; ++i) {
        // Leading hex digits of the pair only: no sign, no blanks, so "-1" cannot turn
        // into 0xFF.
        int value = 0;
        const size_t at = 2 * i;
        const int hi = at < len ? HexDigit(text[at]) : -1;
        if (hi >= 0) {
            value = hi;
            const int lo = at + 1 < len ? HexDigit(text[at + 1]) : -1;
            if (lo >= 0) value = value * 16 + lo;
        }
        key_[i] = static_cast<unsigned char>(value);
    }
}

void CKeySys::SetDefault() {
    for (int i = 0; i < kSize; ++i)
        key_[i] = static_cast<unsigned char>(HexDigit(kDefaultText[2 * i]) * 16 +
                                             HexDigit(kDefaultText[2 * i + 1]));
}

void CKeySys::Create(const wchar_t* phrase) {
    const std::string bytes = Cp1251Bytes(phrase);
    Clear();
    std::memcpy(key_, bytes.data(), std::min<size_t>(bytes.size(), kSize));
    const CIdeaCtx ctx(v7keys::ForKeySYS);
    ctx.Encrypt(key_, key_, kSize / CIdeaCtx::kBlock);
    for (int i = 0; i < 8; ++i) key_[8 + i] ^= key_[i];
}

DBString CKeySys::GetString() const {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    DBString s;
    s.reserve(2 * kSize);
    for (unsigned char b : key_) {
        s += digits[b >> 4];
        s += digits[b & 15];
    }
    return s;
}

bool CKeySys::IsEmpty() const {
    return std::all_of(std::begin(key_), std::end(key_), [](unsigned char b) { return b == 0; });
}

bool CKeySys::operator==(const CKeySys& o) const {
    return std::memcmp(key_, o.key_, kSize) == 0;
}

bool CKeySys::operator<(const CKeySys& o) const {
    return std::memcmp(key_, o.key_, kSize) < 0;
}

void CIdeaKey::Set(const wchar_t* a, const wchar_t* b, const unsigned char* base) {
    const std::string sa = Cp1251Bytes(a);
    const std::string sb = Cp1251Bytes(b);
    SetBase(key_, base);
    const size_t n = std::min<size_t>(sa.size(), kSize);
    for (size_t i = 0; i < n; ++i) key_[i] ^= static_cast<unsigned char>(sa[i]);
    XorAtEnd(key_, sb);
}

void CIdeaKey::Set2(const wchar_t* a, const wchar_t* b, const wchar_t* c, const unsigned char* base) {
    const std::string sa = Cp1251Bytes(a);
    const std::string sb = Cp1251Bytes(b);
    const std::string sc = Cp1251Bytes(c);
    Fold(key_, sa, sb, sc, base);
}

void CIdeaKey::SetUtf8(const wchar_t* a, const wchar_t* b, const wchar_t* c, const unsigned char* base) {
    const std::string sa = Utf8Bytes(a);
    const std::string sb = Utf8Bytes(b);
    const std::string sc = Utf8Bytes(c);
    Fold(key_, sa, sb, sc, base);
}

int CIdeaKey::rand() {
    return std::rand();
}
