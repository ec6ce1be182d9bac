#include "SostSens.h"

#include <algorithm>

namespace {

constexpr int kFieldUnits = 12;  // the floor, mode, type and damage fields need units 0..11
constexpr int kCallUnits = 20;   // the calls and commands of floors 1..24 need units 0..19
constexpr int kAskBase = 12;
constexpr int kCmdBase = 16;
constexpr int kAskExt = 20;
constexpr int kCmdExt = 28;

}  // namespace

int CSostSens::Used() const {
    return std::clamp(len, 0, kMaxUnits);
}

unsigned char CSostSens::Unit(int i) const {
    return (i >= 0 && i < Used()) ? data[i] : 0;
}

void CSostSens::Clear() {
    len = 0;
    std::fill(std::begin(data), std::end(data), 0);
}

int CSostSens::SetData(const unsigned char* p, int n) {
    Clear();
    if (p == nullptr || n <= 0) return 0;
    len = std::min(n, kMaxUnits);
    std::copy(p, p + len, data);
    return len;
}

bool CSostSens::tstBit(int b) const {
    if (b < 0 || b >= kBits) return false;
    return (Unit(b / 6) >> (b % 6)) & 1;
}

void CSostSens::setBit(int b) {
    if (b < 0 || b >= kBits) return;
    data[b / 6] = static_cast<unsigned char>(data[b / 6] | (1u << (b % 6)));
}

void CSostSens::clrBit(int b) {
    if (b < 0 || b >= kBits) return;
    data[b / 6] = static_cast<unsigned char>(data[b / 6] & ~(1u << (b % 6)));
}

int CSostSens::CurLvl() const {
    if (Used() < kFieldUnits) return 0;
    const int v = data[6] & 63;
    return v < 33 ? v : 0;
}

int CSostSens::Mode() const {
    return Used() < kFieldUnits ? 0 : data[7] & 15;
}

int CSostSens::TypDev() const {
    return Used() < kFieldUnits ? 0 : data[8] & 63;
}

int CSostSens::CodDmamge() const {
    if (Used() < kFieldUnits) return 0;
    return ((data[10] >> 4) & 3) | ((data[11] & 63) << 2);
}

int CSostSens::LvlAsk10() const {
    const int n = Used();
    if (n < 4) return -1;
    if (n < kFieldUnits) return 0;
    if (n < kCallUnits) return 1;
    return 2;
}

bool CSostSens::FloorBit(int base, int ext, int n) const {
    if (n < 1 || n > kFloorsFull) return false;
    const int k = n - 1;
    if (k < kFloors) {
        if (Used() < kCallUnits) return false;
        return (data[base + k / 6] >> (k % 6)) & 1;
    }
    const int e = k - kFloors;
    return (Unit(ext + e / 6) >> (e % 6)) & 1;
}

CSostSens::FloorSet CSostSens::FloorSetOf(int base, int ext) const {
    FloorSet s;
    for (int n = 1; n <= kFloorsFull; ++n)
        if (FloorBit(base, ext, n)) s.set(static_cast<size_t>(n - 1));
    return s;
}

bool CSostSens::TestAsk(int n) const {
    return FloorBit(kAskBase, kAskExt, n);
}

bool CSostSens::TestCmd(int n) const {
    return FloorBit(kCmdBase, kCmdExt, n);
}

uint32_t CSostSens::ValAsk() const {
    uint32_t v = 0;
    for (int n = 1; n <= kFloors; ++n)
        if (TestAsk(n)) v |= 1u << (n - 1);
    return v;
}

uint32_t CSostSens::ValCmd() const {
    uint32_t v = 0;
    for (int n = 1; n <= kFloors; ++n)
        if (TestCmd(n)) v |= 1u << (n - 1);
    return v;
}

CSostSens::FloorSet CSostSens::ValAskFull() const {
    return FloorSetOf(kAskBase, kAskExt);
}

CSostSens::FloorSet CSostSens::ValCmdFull() const {
    return FloorSetOf(kCmdBase, kCmdExt);
}

bool CSostSens::chngBitLvl0(const CSostSens& old) const {
    for (int i = 0; i < 4; ++i)
        if ((Unit(i) & 63) != (old.Unit(i) & 63)) return true;
    return false;
}

bool CSostSens::chngBitLvl1(const CSostSens& old) const {
    for (int i = 4; i < 6; ++i)
        if ((Unit(i) & 63) != (old.Unit(i) & 63)) return true;
    return false;
}

bool CSostSens::operator==(const CSostSens& o) const {
    if (Used() != o.Used()) return false;
    return std::equal(data, data + Used(), o.data);
}
