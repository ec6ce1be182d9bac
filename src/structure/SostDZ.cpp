#include "SostDZ.h"

#include <algorithm>

#include "Mes.h"

unsigned CSostDZ::Bits() const {
    unsigned v = 0;
    for (int i = 0; i < kUnits; ++i) v |= static_cast<unsigned>(data[i] & 63) << (6 * i);
    return v;
}

void CSostDZ::Clear() {
    cursor = 0;
    std::fill(std::begin(data), std::end(data), 0);
    first = 1;
}

int CSostDZ::SetData(const unsigned char* p, int n) {
    Clear();
    if (p == nullptr || n <= 0) return 0;
    const int k = std::min(n, kUnits);
    // Only six bits of a unit carry state; the rest would leak into comparisons.
    for (int i = 0; i < k; ++i) data[i] = p[i] & 63;
    return k;
}

bool CSostDZ::tstBit(int b) const {
    if (b < 0 || b >= kBits) return false;
    return (data[b / 6] >> (b % 6)) & 1;
}

int CSostDZ::NextSost(int& b) {
    for (int i = std::max(cursor, 0); i < kBits; ++i) {
        if (tstBit(i)) {
            b = i;
            cursor = i + 1;
            return 1;
        }
    }
    cursor = kBits;
    return 0;
}

bool CSostDZ::operator==(const CSostDZ& o) const {
    return Bits() == o.Bits();
}

bool CSostDZ::operator==(const unsigned char* units) const {
    if (units == nullptr) return false;
    for (int i = 0; i < kUnits; ++i)
        if ((data[i] & 63) != (units[i] & 63)) return false;
    return true;
}

bool CSostDZ::ExistSost() const {
    return Bits() != 0;
}

bool CSostDZ::existsNul(const CSostDZ& old) const {
    return (old.Bits() & ~Bits()) != 0;
}

bool CSostDZ::existsOne(const CSostDZ& old) const {
    return (Bits() & ~old.Bits()) != 0;
}

CSostDZ& CSostDZ::operator=(const CMes& m) {
    unsigned char units[kUnits] = {};
    int n = 0;
    // Parameter unit 0 and 1 are the device and sub-address pair; the state follows.
    while (n < kUnits && m.len > 8 + n) {
        units[n] = m[2 + n];
        ++n;
    }
    SetData(units, n);
    return *this;
}
