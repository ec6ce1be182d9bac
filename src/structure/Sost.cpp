#include "Sost.h"

#include <algorithm>
#include <array>

#include "LoadRes.h"

namespace {

struct BitInfo {
    int message;
    bool error;
};

// Message-table number of each state bit's name and whether the bit reports a fault.
constexpr std::array<BitInfo, CSostDev::bitCount> kBits = {{
    {41158, false}, {41216, false}, {41163, true},  {41164, true},  {41165, true},  {41166, true},
    {41168, true},  {41169, true},  {41170, true},  {41171, true},  {41172, false}, {41175, true},
    {41176, true},  {41177, true},  {41178, true},  {41181, true},  {41182, true},  {41185, true},
    {41186, true},  {41187, true},  {41190, true},  {41191, false}, {41196, false}, {41197, false},
    {41198, true},  {41199, false}, {41200, false}, {41201, false}, {41202, false}, {41203, false},
    {41204, false}, {41205, false}, {41206, false}, {41207, false}, {41208, false}, {41209, false},
    {41210, false}, {41211, true},  {41215, true},  {41229, false}, {41212, true},  {41213, true},
    {41214, true},
}};

constexpr int kDataBits = 40;  // bits 0..39 sit in the state units

// CLB bit that stands for state bit 40, 41 or 42.
int InfoBitOf(int b) {
    switch (b) {
        case 40:
            return 0;
        case 41:
            return CInfoCLB::kErrBitA;
        case 42:
            return CInfoCLB::kErrBitB;
        default:
            return -1;
    }
}

bool HasInfoError(const CInfoCLB& i) {
    return i.tstBit(CInfoCLB::kErrBitA) || i.tstBit(CInfoCLB::kErrBitB);
}

}  // namespace

int CSostDev::Used() const {
    return std::clamp(len, 0, kMaxUnits);
}

void CSostDev::Clear() {
    len = 0;
    std::fill(std::begin(data), std::end(data), 0);
    info.Clear();
}

void CSostDev::Assign(const CSostDev& o) {
    len = o.Used();
    std::copy(std::begin(o.data), std::end(o.data), std::begin(data));
    info = o.info;
}

CSostDev& CSostDev::operator=(const CSostDev& o) {
    if (this == &o || o.len > kMaxUnits) return *this;
    const int n = o.Used();
    for (int i = 0; i < n; ++i) data[i] = o.data[i];
    len = std::max(Used(), n);
    info = o.info;
    return *this;
}

int CSostDev::SetData(const unsigned char* p, int n) {
    Clear();
    if (p == nullptr) return 0;
    int units;
    if (n == 6)
        units = 4;
    else if (n == 10)
        units = 8;
    else
        return 0;
    std::copy(p, p + units, data);
    len = units;
    info.SetData(p + units, 2);
    return 1;
}

int CSostDev::GetData(unsigned char* p, int size) const {
    if (p == nullptr) return 0;
    const int n = Used();
    const int ni = info.Used();
    if (n > 0) {
        if (n + ni > size) return 0;
        std::copy(data, data + n, p);
        return n + info.GetData(p + n, size - n);
    }
    // A report without state units still travels with a zeroed short state in front of
    // its flags, because a receiver tells the flags apart by their position.
    if (ni < 1 || ni + 3 >= size) return 0;
    std::fill(p, p + 4, 0);
    return 4 + info.GetData(p + 4, size - 4);
}

bool CSostDev::tstBit(int b) const {
    if (b >= 0 && b < kDataBits) return (data[b / 6] >> (b % 6)) & 1;
    const int ib = InfoBitOf(b);
    return ib >= 0 && info.tstBit(ib);
}

void CSostDev::setBit(int b) {
    if (b >= 0 && b < kDataBits) {
        data[b / 6] = static_cast<unsigned char>(data[b / 6] | (1u << (b % 6)));
        return;
    }
    const int ib = InfoBitOf(b);
    if (ib >= 0) info.setBit(ib);
}

void CSostDev::clrBit(int b) {
    if (b >= 0 && b < kDataBits) {
        data[b / 6] = static_cast<unsigned char>(data[b / 6] & ~(1u << (b % 6)));
        return;
    }
    const int ib = InfoBitOf(b);
    if (ib >= 0) info.clrBit(ib);
}

bool CSostDev::tstBitDirect(int b) const {
    if (b < 0 || b >= kMaxUnits * 6) return false;
    return (data[b / 6] >> (b % 6)) & 1;
}

unsigned char CSostDev::operator[](int i) const {
    if (i < 0 || i >= Used()) return 0;
    return data[i];
}

bool CSostDev::operator==(const CSostDev& o) const {
    if (len != o.len) return false;
    const int n = Used();
    for (int i = 0; i < n; ++i)
        if (data[i] != o.data[i]) return false;
    return info == o.info;
}

bool CSostDev::EQ(const CSostDev& o) const {
    const bool mine = HasInfoError(info);
    const bool theirs = HasInfoError(o.info);
    if (!mine && !theirs) {
        if (len != o.len) return false;
        const int n = Used();
        for (int i = 0; i < n; ++i) {
            unsigned char a = data[i];
            unsigned char b = o.data[i];
            // Bits 3 and 4 of unit 3 change with every trip; they are no news.
            if (i == 3) {
                a &= static_cast<unsigned char>(~0x18);
                b &= static_cast<unsigned char>(~0x18);
            }
            if (a != b) return false;
        }
        return true;
    }
    if (!mine || !theirs) return false;
    return info.EQ(o.info);
}

bool CSostDev::IsEmpty() const {
    const int n = Used();
    for (int i = 0; i < n; ++i)
        if (data[i] != 0) return false;
    return true;
}

void CSostDev::Normaliz() {
    if (!HasInfoError(info)) return;
    len = 0;
    std::fill(std::begin(data), std::end(data), 0);
}

bool CSostDev::IsError() const {
    for (int b = 0; b < kDataBits; ++b)
        if (kBits[b].error && tstBit(b)) return true;
    return tstBit(bitIdle1Hour);
}

bool CSostDev::IsError(bitLB b) {
    return b >= 0 && b < bitCount && kBits[b].error;
}

bool CSostDev::IsNoValBit(bitLB b) {
    return b == bitRefiningCall || b == bitStatLow || b == bitStatHigh;
}

int CSostDev::GetCodErrHF() const {
    return ((data[1] >> 2) & 15) | ((data[2] & 1) << 4);
}

int CSostDev::GetStatDriv() const {
    return (data[4] >> 3) & 3;
}

int CSostDev::naimSostRes(bitLB b) {
    if (b < 0 || b >= bitCount) return 0;
    return kBits[b].message;
}

DBString CSostDev::naimSost(bitLB b) {
    return _S_(naimSostRes(b));
}

DBString CSostDev::BinStr() const {
    DBString s;
    for (unsigned char u : data) {
        for (int bit = 5; bit >= 0; --bit) s += ((u >> bit) & 1) ? L'1' : L'0';
        s += L' ';
    }
    s += info.BinStr();
    return s;
}

DBString CSostDev::HexStr() const {
    DBString s;
    const int n = Used();
    for (int i = 0; i < n; ++i) s.AppendFormat(L"%02X ", data[i]);
    s += info.HexStr();
    return s;
}

// ---------------------------------------------------------------------------------------

int CLinkNetTab::Insert(std::unique_ptr<CLinkNet>&& link) {
    if (!link || Find(link->um, link->slot) != nullptr) return 0;
    items_.push_back(std::move(link));
    return 1;
}

CLinkNet* CLinkNetTab::Find(int um, int slot) const {
    for (const auto& l : items_)
        if (l->um == um && l->slot == slot) return l.get();
    return nullptr;
}

CLinkNet* CLinkNetTab::At(int i) const {
    if (i < 0 || i >= Count()) return nullptr;
    return items_[static_cast<size_t>(i)].get();
}

int CLinkCLLTab::Insert(std::unique_ptr<CLinkCLL>&& link) {
    if (!link || Find(link->number) != nullptr) return 0;
    items_.push_back(std::move(link));
    return 1;
}

CLinkCLL* CLinkCLLTab::Find(int number) const {
    for (const auto& l : items_)
        if (l->number == number) return l.get();
    return nullptr;
}

CLinkCLL* CLinkCLLTab::At(int i) const {
    if (i < 0 || i >= Count()) return nullptr;
    return items_[static_cast<size_t>(i)].get();
}
