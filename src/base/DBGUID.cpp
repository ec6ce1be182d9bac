#include "DBGUID.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <random>

namespace {
const char kScan[] = "%8X%4hX%4hX%2hhX%2hhX%2hhX%2hhX%2hhX%2hhX%2hhX%2hhX";
const wchar_t kScanW[] = L"%8X%4hX%4hX%2hhX%2hhX%2hhX%2hhX%2hhX%2hhX%2hhX%2hhX";
}  // namespace

bool DBGUID::IsNul() const {
    static const DBGUID zero;
    return *this == zero;
}

DBGUID& DBGUID::operator=(const GUID& g) {
    static_cast<GUID&>(*this) = g;
    return *this;
}

DBGUID& DBGUID::operator=(const void* bytes) {
    Set(bytes, sizeof(GUID));
    return *this;
}

DBGUID& DBGUID::operator=(const unsigned char* bytes) {
    Set(bytes, sizeof(GUID));
    return *this;
}

DBGUID& DBGUID::operator=(const wchar_t* text) {
    *this = DBGUID();
    if (text != nullptr)
        std::swscanf(text, kScanW, &Data1, &Data2, &Data3, &Data4[0], &Data4[1], &Data4[2], &Data4[3],
                     &Data4[4], &Data4[5], &Data4[6], &Data4[7]);
    return *this;
}

DBGUID& DBGUID::operator=(const char* text) {
    *this = DBGUID();
    if (text != nullptr)
        std::sscanf(text, kScan, &Data1, &Data2, &Data3, &Data4[0], &Data4[1], &Data4[2], &Data4[3],
                    &Data4[4], &Data4[5], &Data4[6], &Data4[7]);
    return *this;
}

DBGUID& DBGUID::operator=(const std::wstring& text) {
    return *this = text.c_str();
}

DBGUID& DBGUID::operator=(const std::string& text) {
    return *this = text.c_str();
}

void DBGUID::Set(const void* bytes, size_t size) {
    // The bytes are the in-memory layout of the structure, host order included.
    static_cast<GUID&>(*this) = GUID{};
    if (bytes == nullptr) return;
    std::memcpy(static_cast<GUID*>(this), bytes, size < sizeof(GUID) ? size : sizeof(GUID));
}

DBString DBGUID::ToString() const {
    return DBString().Format(L"%08X%04X%04X%02X%02X%02X%02X%02X%02X%02X%02X", Data1, Data2, Data3, Data4[0],
                             Data4[1], Data4[2], Data4[3], Data4[4], Data4[5], Data4[6], Data4[7]);
}

bool DBGUID::Generate() {
    // A single 32-bit seed would allow only 2^32 distinct identifiers, and
    // duplicates would appear after some tens of thousands; seed the whole
    // generator state instead.
    std::random_device device("default");
    std::array<std::uint32_t, 8> seed{};
    for (auto& word : seed) word = device();
    std::seed_seq seq(seed.begin(), seed.end());
    std::mt19937 gen(seq);
    std::uniform_int_distribution<unsigned> digit(0, 15);

    auto digits = [&](int count) {
        uint32_t v = 0;
        for (int i = 0; i < count; ++i) v = (v << 4) | digit(gen);
        return v;
    };
    Data1 = digits(8);
    Data2 = static_cast<uint16_t>(digits(4));
    Data3 = static_cast<uint16_t>(0x4000 | digits(3));
    const uint32_t variant = 8 + (gen() >> 30);
    Data4[0] = static_cast<uint8_t>((variant << 4) + digits(1));
    for (int i = 1; i < 8; ++i) Data4[i] = static_cast<uint8_t>(digits(2));
    return true;
}

bool operator==(const DBGUID& a, const DBGUID& b) {
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3 &&
           std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) == 0;
}

bool operator<(const DBGUID& a, const DBGUID& b) {
    if (a.Data1 != b.Data1) return a.Data1 < b.Data1;
    if (a.Data2 != b.Data2) return a.Data2 < b.Data2;
    if (a.Data3 != b.Data3) return a.Data3 < b.Data3;
    return std::memcmp(a.Data4, b.Data4, sizeof(a.Data4)) < 0;
}
