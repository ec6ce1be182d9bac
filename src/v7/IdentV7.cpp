#include "IdentV7.h"

#include <sys/random.h>

#include <cstdint>
#include <cwctype>
#include <random>

namespace {

// Reads an optionally signed decimal number after optional blanks, as "%d" would.
// Numbers beyond the int range come back as out_of_range instead of wrapping, so a
// long digit string can never alias a valid node.
enum class Scan { none, ok, out_of_range };

Scan ScanInt(const wchar_t*& p, int& value) {
    const wchar_t* q = p;
    while (std::iswspace(static_cast<wint_t>(*q))) ++q;
    bool negative = false;
    if (*q == L'+' || *q == L'-') negative = *q++ == L'-';
    if (*q < L'0' || *q > L'9') return Scan::none;
    long long v = 0;
    bool overflow = false;
    for (; *q >= L'0' && *q <= L'9'; ++q) {
        if (!overflow) v = v * 10 + (*q - L'0');
        if (v > 0x7FFFFFFFLL + 1) overflow = true;
    }
    p = q;
    if (negative) v = -v;
    if (overflow || v > 0x7FFFFFFFLL || v < -0x80000000LL) return Scan::out_of_range;
    value = static_cast<int>(v);
    return Scan::ok;
}

}  // namespace

void CIdentV7::Clear() {
    node_ = 0;
    dev_ = 0;
}

int CIdentV7::SetNode(int n) {
    if (static_cast<unsigned>(n) >= static_cast<unsigned>(kNodeLimit)) return 0;
    node_ = n;
    return 1;
}

int CIdentV7::SetDev(int d) {
    if (static_cast<unsigned>(d) > static_cast<unsigned>(kMaxDev)) return 0;
    dev_ = d;
    return 1;
}

int CIdentV7::Set(int node, int dev) {
    if (!SetNode(node)) return 0;
    return SetDev(dev);
}

void CIdentV7::GetValue(unsigned char* out) const {
    if (out == nullptr) return;
    const auto n = static_cast<uint64_t>(node_);
    out[0] = static_cast<unsigned char>(dev_);
    out[1] = static_cast<unsigned char>(n);
    out[2] = static_cast<unsigned char>(n >> 8);
    out[3] = static_cast<unsigned char>(n >> 16);
}

void CIdentV7::SetValue(const unsigned char* in) {
    Clear();
    if (in == nullptr) return;
    dev_ = in[0];
    node_ = int64_t{in[1]} | (int64_t{in[2]} << 8) | (int64_t{in[3]} << 16);
}

DBString CIdentV7::GetString() const {
    DBString s;
    s.Format(L"%d.%d", GetNode(), dev_);
    return s;
}

int CIdentV7::SetString(const wchar_t* text) {
    Clear();
    if (text == nullptr) return 0;
    const wchar_t* p = text;
    int node = 0;
    int dev = 0;
    const Scan first = ScanInt(p, node);
    Scan second = Scan::none;
    if (first != Scan::none && *p == L'.') {
        ++p;
        second = ScanInt(p, dev);
    }
    int result = 0;
    if (first == Scan::ok && node != 0 && static_cast<unsigned>(node) < static_cast<unsigned>(kNodeLimit)) {
        node_ = node;
        result = 1;
    }
    if (second == Scan::out_of_range || static_cast<unsigned>(dev) > static_cast<unsigned>(kMaxDev))
        result = 0;
    else
        dev_ = dev;
    return result;
}

int CIdentV7::SetUnique() {
    // Strictly above kMinProg: node 10,000,000 itself would be neither a program nor an LU.
    constexpr std::uint64_t span = kNodeLimit - 1 - kMinProg;
    // 64 random bits: the remainder's bias over a span of under 2^24 is below 2^-40. Asked of
    // the kernel directly, which a fleet of units does once each (a random_device costs more).
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
        std::random_device device;
        bits = (static_cast<std::uint64_t>(device()) << 32) | device();
    }
    node_ = kMinProg + 1 + static_cast<int>(bits % span);
    return 1;
}
