#include "InfoCLB.h"

#include <algorithm>

namespace {

// A missing second unit reads as "both error flags clear", which is what EQ and
// NewError need, so they go through tstBit rather than the raw units.
bool ErrA(const CInfoCLB& r) {
    return r.tstBit(CInfoCLB::kErrBitA);
}
bool ErrB(const CInfoCLB& r) {
    return r.tstBit(CInfoCLB::kErrBitB);
}

}  // namespace

int CInfoCLB::Used() const {
    return std::clamp(len, 0, kMaxUnits);
}

void CInfoCLB::Clear() {
    len = 0;
    data[0] = 0;
    data[1] = 0;
}

int CInfoCLB::SetData(const unsigned char* p, int n) {
    Clear();
    if (p == nullptr || n < 1 || n > kMaxUnits) return 0;
    for (int i = 0; i < n; ++i) data[i] = p[i];
    len = n;
    return 1;
}

int CInfoCLB::GetData(unsigned char* p, int size) const {
    const int n = Used();
    if (n > size || (n > 0 && p == nullptr)) return 0;
    for (int i = 0; i < n; ++i) p[i] = data[i];
    return n;
}

void CInfoCLB::SetMove() {
    len = 2;
    data[0] = 1;
    data[1] = 0;
}

bool CInfoCLB::tstBit(int b) const {
    if (b < 0 || b >= kMaxUnits * 6 || b / 6 >= Used()) return false;
    return (data[b / 6] >> (b % 6)) & 1;
}

void CInfoCLB::setBit(int b) {
    if (b < 0 || b >= kMaxUnits * 6) return;
    data[b / 6] = static_cast<unsigned char>(data[b / 6] | (1u << (b % 6)));
}

void CInfoCLB::clrBit(int b) {
    if (b < 0 || b >= kMaxUnits * 6) return;
    data[b / 6] = static_cast<unsigned char>(data[b / 6] & ~(1u << (b % 6)));
}

unsigned char CInfoCLB::operator[](int i) const {
    if (i < 0 || i >= kMaxUnits) return 0;
    return data[i];
}

bool CInfoCLB::IsEmpty() const {
    const int n = Used();
    for (int i = 0; i < n; ++i)
        if (data[i] != 0) return false;
    return true;
}

bool CInfoCLB::operator==(const CInfoCLB& o) const {
    if (len != o.len) return false;
    const int n = Used();
    for (int i = 0; i < n; ++i)
        if (data[i] != o.data[i]) return false;
    return true;
}

bool CInfoCLB::EQ(const CInfoCLB& o) const {
    return ErrA(*this) == ErrA(o) && ErrB(*this) == ErrB(o);
}

bool CInfoCLB::NewError(const CInfoCLB& o) const {
    return (ErrA(o) && !ErrA(*this)) || (ErrB(o) && !ErrB(*this));
}

DBString CInfoCLB::BinStr() const {
    DBString s;
    const int n = Used();
    for (int i = 0; i < n; ++i) {
        if (i > 0) s += L' ';
        for (int bit = 5; bit >= 0; --bit) s += ((data[i] >> bit) & 1) ? L'1' : L'0';
    }
    return s;
}

DBString CInfoCLB::HexStr() const {
    DBString s;
    const int n = Used();
    for (int i = 0; i < n; ++i) s.AppendFormat(L" %02X", data[i]);
    s.Trim();
    return s;
}
