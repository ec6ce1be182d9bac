#include "NvRam.h"

#include <algorithm>

namespace {

constexpr int kWordAnswerUnits = 12;   // units 8..11 carry index and value
constexpr int kSecondValueUnits = 16;  // a full second group carries the default

bool InRange(int v, int lo, int hi) {
    return v >= lo && v <= hi;
}

}  // namespace

// ---- LU answers ------------------------------------------------------------------------

bool CMes::GetLbNVRAM(int& index, unsigned short& value, bool& isWord) const {
    unsigned short value2 = 0;
    bool hasValue2 = false;
    return GetLbNVRAM(index, value, isWord, value2, hasValue2);
}

bool CMes::GetLbNVRAM(int& index, unsigned short& value, bool& isWord, unsigned short& value2,
                      bool& hasValue2) const {
    index = 0;
    value = 0;
    isWord = true;
    value2 = 0;
    hasValue2 = false;
    if (len < kWordAnswerUnits) return false;

    const int u8 = U(8), u9 = U(9), u10 = U(10), u11 = U(11);
    if (u9 & 2) {
        // Byte form: the unpacked bytes are address low, address high, value.
        const int b0 = ((u9 & 3) << 6) | (u8 & 63);
        const int b1 = ((u10 & 15) << 4) | ((u9 >> 2) & 15);
        const int b2 = ((u11 & 63) << 2) | ((u10 >> 4) & 3);
        isWord = false;
        index = (b0 & 0x7F) | ((b1 & 15) << 7) | (((b1 >> 4) & 3) << 11);
        value = static_cast<unsigned short>(b2);
        return true;
    }
    index = (u8 & 63) | ((u9 & 1) << 6);
    value = static_cast<unsigned short>((((u10 & 15) << 4) | ((u9 >> 2) & 15)) |
                                        ((((u11 & 63) << 2) | ((u10 >> 4) & 3)) << 8));
    if (len >= kSecondValueUnits) {
        const int u12 = U(12), u13 = U(13), u14 = U(14);
        value2 = static_cast<unsigned short>((((u13 & 3) << 6) | (u12 & 63)) |
                                             ((((u14 & 15) << 4) | ((u13 >> 2) & 15)) << 8));
        hasValue2 = true;
    }
    return true;
}

bool IsNvramErrorReport(const CMes& m) {
    if (m.IsGood()) return false;
    int index = 0;
    unsigned short value = 0;
    bool isWord = false;
    return !(m.len == kWordAnswerUnits && m.GetLbNVRAM(index, value, isWord) && isWord);
}

// ---- Word maps -------------------------------------------------------------------------

uint16_t GetWord(const WordMap& words, int w) {
    auto it = words.find(w);
    return it == words.end() ? 0 : it->second;
}

uint8_t GetLowByte(const WordMap& words, int w) {
    return static_cast<uint8_t>(GetWord(words, w) & 0xFF);
}

uint8_t GetHighByte(const WordMap& words, int w) {
    return static_cast<uint8_t>(GetWord(words, w) >> 8);
}

void SetLowByte(WordMap& words, int w, uint8_t b) {
    uint16_t& v = words[w];
    v = static_cast<uint16_t>((v & 0xFF00) | b);
}

void SetHighByte(WordMap& words, int w, uint8_t b) {
    uint16_t& v = words[w];
    v = static_cast<uint16_t>((v & 0x00FF) | (static_cast<unsigned>(b) << 8));
}

bool GetWordBit(const WordMap& words, int w, int bit) {
    return (GetWord(words, w) >> bit) & 1u;
}

void SetWordBit(WordMap& words, int w, int bit, bool on) {
    SetWordField(words, w, bit, 1, on ? 1u : 0u);
}

unsigned GetWordField(const WordMap& words, int w, int shift, int width) {
    const unsigned mask = (1u << width) - 1u;
    return (GetWord(words, w) >> shift) & mask;
}

void SetWordField(WordMap& words, int w, int shift, int width, unsigned value) {
    const unsigned mask = ((1u << width) - 1u) << shift;
    uint16_t& v = words[w];
    v = static_cast<uint16_t>((v & ~mask) | ((value << shift) & mask));
}

std::vector<LuByteWrite> LuWriteBytes(const WordMap& from, const WordMap& to) {
    std::vector<LuByteWrite> writes;
    for (int w = 0; w < kLuWords; ++w) {
        const uint16_t oldValue = GetWord(from, w);
        const uint16_t newValue = GetWord(to, w);
        if ((oldValue & 0xFF) != (newValue & 0xFF))
            writes.push_back({2 * w, static_cast<uint8_t>(newValue & 0xFF)});
        if ((oldValue >> 8) != (newValue >> 8))
            writes.push_back({2 * w + 1, static_cast<uint8_t>(newValue >> 8)});
    }
    return writes;
}

// ---- Request payloads ------------------------------------------------------------------

bool LbNvramWriteUnits(int address, unsigned char value, unsigned char units[4]) {
    if (units == nullptr || !InRange(address, 0, kLbNvramMaxAddr)) return false;
    // Bit 1 of unit 9 and bit 3 of unit 10 are the top bits of the first two bytes: they
    // mark the byte form, so the LU never takes a write for a word.
    units[0] = static_cast<unsigned char>(address & 63);
    units[1] = static_cast<unsigned char>(((address >> 6) & 1) | 2 | (((address >> 7) & 15) << 2));
    units[2] = static_cast<unsigned char>(((address >> 11) & 3) | 8 | ((value & 3) << 4));
    units[3] = static_cast<unsigned char>(value >> 2);
    return true;
}

void LbRestartUnits(unsigned char units[4]) {
    if (units == nullptr) return;
    // The command byte 2 and two zero bytes, packed.
    units[0] = CMes::sub18Restart;
    units[1] = 0;
    units[2] = 0;
    units[3] = 0;
}

bool SlotNvramWriteUnits(int index, uint16_t value, unsigned char units[4]) {
    if (units == nullptr || !InRange(index, 0, CNvRam::kWords - 1)) return false;
    units[0] = static_cast<unsigned char>(index);
    units[1] = static_cast<unsigned char>((value >> 8) & 63);
    units[2] = static_cast<unsigned char>(((value >> 14) & 3) | ((value & 15) << 2));
    // The two low bits mark a write; a read carries the index alone.
    units[3] = static_cast<unsigned char>((((value >> 4) & 15) << 2) | 3);
    return true;
}

// ---- LU requests -----------------------------------------------------------------------

bool LuTarget::IsValid() const {
    return InRange(destNode, 0, 255) && InRange(destSub, 0, 15) && InRange(origNode, 0, 255) &&
           InRange(origSub, 0, 15) && InRange(dev, 0, kLuMaxDev);
}

std::optional<CMes> LuRequest::ToMes(const LuTarget& t) const {
    if (!t.IsValid()) return std::nullopt;
    const int count = std::clamp(n, 0, static_cast<int>(units.size()));
    return CMes(t.destNode, t.destSub, t.origNode, t.origSub, t.dev, typ, ask,
                count > 0 ? units.data() : nullptr, count, -1);
}

LuRequest LuDevParamsRequest() {
    LuRequest r;
    r.ask = CMes::askDevParam;
    r.prior = kLuPriorRead;
    return r;
}

LuRequest LuNvramReadRequest() {
    LuRequest r;
    r.ask = CMes::askLbNVRAM;
    r.prior = kLuPriorRead;
    return r;
}

std::optional<LuRequest> LuByteWriteRequest(int address, unsigned char value) {
    LuRequest r;
    if (!LbNvramWriteUnits(address, value, r.units.data())) return std::nullopt;
    r.ask = CMes::askLbNVRAM;
    r.n = 4;
    r.prior = kLuPriorWrite;
    return r;
}

std::optional<std::array<LuRequest, 2>> LuWordWriteRequests(int word, uint16_t value) {
    if (!InRange(word, 0, kLbNvramMaxWord)) return std::nullopt;
    auto low = LuByteWriteRequest(2 * word, static_cast<unsigned char>(value & 0xFF));
    auto high = LuByteWriteRequest(2 * word + 1, static_cast<unsigned char>(value >> 8));
    if (!low || !high) return std::nullopt;
    return std::array<LuRequest, 2>{*low, *high};
}

LuRequest LuRestartRequest() {
    LuRequest r;
    r.ask = CMes::askRestart;
    LbRestartUnits(r.units.data());
    r.n = 4;
    r.prior = kLuPriorWrite;
    return r;
}

std::optional<CMes> LuDevParamsMes(const LuTarget& t) {
    return LuDevParamsRequest().ToMes(t);
}

std::optional<CMes> LuNvramReadMes(const LuTarget& t) {
    return LuNvramReadRequest().ToMes(t);
}

std::optional<CMes> LuByteWriteMes(const LuTarget& t, int address, unsigned char value) {
    const auto r = LuByteWriteRequest(address, value);
    if (!r) return std::nullopt;
    return r->ToMes(t);
}

std::optional<CMes> LuRestartMes(const LuTarget& t) {
    return LuRestartRequest().ToMes(t);
}

// ---- Slot NVRAM image ------------------------------------------------------------------

const int CNvRam::s_Tab[CNvRam::kWords] = {
    0,  8,  16, 1,  2,  3,  4,  5,  6,  7,  9,  10, 11, 12, 13, 14, 15, 17, 18, 19, 20, 21,
    22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
    44, 45, 46, 47, 48, 49, 50, 51, 52, 53, 54, 55, 56, 57, 58, 59, 60, 61, 62, 63,
};

void CNvRam::Clear() {
    next = 0;
    std::fill(std::begin(word), std::end(word), 0);
    mask[0] = 0;
    mask[1] = 0;
}

int CNvRam::NextIndex() {
    if (next < 0 || next >= kWords) next = 0;
    return s_Tab[next++];
}

int CNvRam::GetWord(int i, unsigned short& w) const {
    if (!InRange(i, 0, kWords - 1)) {
        w = 0;
        return 0;
    }
    w = word[i];
    return GetMask(i);
}

int CNvRam::GetLowByte(int i, unsigned char& b) const {
    if (!InRange(i, 0, kWords - 1)) return 0;
    b = static_cast<unsigned char>(word[i] & 0xFF);
    return GetMask(i);
}

int CNvRam::GetHigByte(int i, unsigned char& b) const {
    if (!InRange(i, 0, kWords - 1)) return 0;
    b = static_cast<unsigned char>(word[i] >> 8);
    return GetMask(i);
}

int CNvRam::SetWord(int i, unsigned short w) {
    if (!InRange(i, 0, kWords - 1)) return 0;
    word[i] = w;
    SetMask(i);
    return 1;
}

void CNvRam::SetMask(int i) {
    if (InRange(i, 0, kWords - 1)) mask[i / 32] |= 1u << (i % 32);
}

void CNvRam::ClrMask(int i) {
    if (InRange(i, 0, kWords - 1)) mask[i / 32] &= ~(1u << (i % 32));
}

int CNvRam::GetMask(int i) const {
    if (!InRange(i, 0, kWords - 1)) return 0;
    return (mask[i / 32] >> (i % 32)) & 1;
}

int CNvRam::NumWordLB(int d) {
    if (!InRange(d, 0, kMaxDev)) return -1;
    return d / 16 + kFirstPresenceWord;
}

int CNvRam::ExistDev(int d, int& present) const {
    const int w = NumWordLB(d);
    if (w < 0 || !GetMask(w)) return 0;
    present = (word[w] >> (d % 16)) & 1;
    return 1;
}

CNvRam& CNvRam::operator=(const unsigned char* p) {
    if (p == nullptr) return *this;
    for (int i = 0; i < kWords; ++i) word[i] = static_cast<uint16_t>(p[2 * i] | (p[2 * i + 1] << 8));
    return *this;
}

bool CNvRam::operator==(const CNvRam& o) const {
    return std::equal(std::begin(word), std::end(word), std::begin(o.word));
}
