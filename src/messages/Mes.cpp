#include "Mes.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// The line packet reads bits 6 and 7 of any byte as its own control marks, so a unit
// that kept them would split or swallow the messages around it.
constexpr unsigned char Unit(int v) {
    return static_cast<unsigned char>(v & 63);
}

// 8-bit bytes that fit into the units of one record behind the device/ask pair.
constexpr int kSub18MaxBytes = (CMes::kMaxUnits - 8) / 4 * 3;
// The alert payload starts behind the six code groups and may take at most 49 units.
constexpr int kAlertFirstUnit = 13;
constexpr int kAlertMaxUnits = 49;
constexpr int kAlertMaxBytes = kAlertMaxUnits * 3 / 4;
// Statistics: four floats, 16 bytes packed from unit 16, which ends at unit 37.
constexpr int kStatFirstUnit = 16;
constexpr int kStatUnits = 22;

int UnitsForBytes(int n) {
    return (n * 4 + 2) / 3;
}

}  // namespace

CMes& CMes::operator=(const CMes& o) {
    if (this == &o) {
        return *this;
    }
    len = o.len;
    std::memcpy(data, o.data, sizeof data);
    pultNo = o.pultNo;
    prior = o.prior;
    origNode = o.origNode;
    origSub = o.origSub;
    destNode = o.destNode;
    destSub = o.destSub;
    hops = o.hops;
    dev = o.dev;
    typ = o.typ;
    aux = o.aux;
    ask = o.ask;
    alertKind = o.alertKind;
    alertCode = o.alertCode;
    sost.Assign(o.sost);
    return *this;
}

CMes::CMes(int n, const unsigned char* raw) {
    SetDann(n, raw);
}

void CMes::WriteHeader(int dn, int ds, int on, int os, int t) {
    Clear();
    SetAdr(data, on, os);
    SetAdr(data + 2, dn, ds);
    data[4] = 0;
    data[5] = Unit(t);
    len = 6;
}

void CMes::WriteDevAsk(int at, int device, int sub) {
    data[at] = Unit(((device >> 2) & 63) | ((sub & 31) > 15 ? 32 : 0));
    data[at + 1] = Unit(((device & 3) << 4) | (sub & 15));
}

void CMes::AppendUnits(const unsigned char* p, int n) {
    for (int i = 0; i < n && len < kMaxUnits; ++i) {
        data[len++] = Unit(p[i]);
    }
}

CMes::CMes(int dn, int ds, int on, int os, typMes t, unsigned char b) {
    WriteHeader(dn, ds, on, os, t);
    data[len++] = Unit(b);
    UnPack();
}

CMes::CMes(int dn, int ds, int on, int os, typMes t, const unsigned char* p, int n) {
    WriteHeader(dn, ds, on, os, t);
    if (p != nullptr && n > 0 && len + n <= kMaxUnits) {
        AppendUnits(p, n);
    }
    UnPack();
}

CMes::CMes(int dn, int ds, int on, int os, int device, typMes t, askFromMain a, const unsigned char* p, int n,
           int tail) {
    const int sub = a & 31;
    WriteHeader(dn, ds, on, os, t);
    WriteDevAsk(6, device, sub);
    len = 8;
    if (p != nullptr && n > 0 && 8 + n < 63) {
        AppendUnits(p, n);
    }
    if (tail >= 0 && tail < 256) {
        data[len++] = Unit(tail >> 2);
        data[len++] = Unit((tail & 3) << 4);
    }
    UnPack();
    // Device numbers above 127 with a sub-address above 15 do not survive the raw form;
    // the sender knows what it meant.
    dev = device & 255;
    ask = sub;
}

CMes::CMes(int dn, int ds, int on, int os, jobNVRAM job, int addr, int count, const unsigned char* bytes) {
    WriteNvramBlock(dn, ds, on, os, mesNvramBlockJob, addr, count, job, job == jobWrite ? bytes : nullptr);
}

CMes::CMes(int dn, int ds, int on, int os, rezNVRAM rez, int addr, int count, const unsigned char* bytes) {
    WriteNvramBlock(dn, ds, on, os, mesNvramBlock, addr, count, rez, rez == rezOk ? bytes : nullptr);
}

// A block job and its answer share one layout: address, count, code, then the bytes when
// there are any to carry.
void CMes::WriteNvramBlock(int dn, int ds, int on, int os, int t, int addr, int count, int code,
                           const unsigned char* bytes) {
    WriteHeader(dn, ds, on, os, t);
    data[6] = Unit(addr);
    data[7] = Unit(addr >> 6);
    data[8] = Unit(count);
    data[9] = Unit(code);
    len = 10;
    if (bytes != nullptr && count >= 0 && count < 34) {
        len += Conv8To6(count, bytes, data + 10, kMaxUnits - 10);
    }
    UnPack();
}

CMes::CMes(int dn, int ds, int on, int os, typService s, const unsigned char* p, int n) {
    WriteHeader(dn, ds, on, os, mesServiceAsk);
    data[len++] = Unit(s);
    if (p != nullptr && n > 0 && len + n <= kMaxUnits) {
        AppendUnits(p, n);
    }
    UnPack();
}

CMes::CMes(int dn, int ds, int on, int os, typPrefix a, unsigned char device) {
    WriteHeader(dn, ds, on, os, mesPrefixReq);
    data[len++] = Unit(a);
    data[len++] = Unit(device);
    UnPack();
}

CMes::CMes(int dn, int ds, int on, int os, typPrefix a, unsigned char device, askFromMain k, int n,
           const unsigned char* p) {
    WriteHeader(dn, ds, on, os, mesPrefixAskReq);
    data[len++] = Unit(a);
    data[len++] = Unit(device);
    data[len++] = Unit(k & 31);
    if (p != nullptr && n > 0 && len + n <= kMaxUnits) {
        AppendUnits(p, n);
    }
    UnPack();
}

CMes::CMes(int dn, int ds, int on, int os, int device, subServ18 s, const unsigned char* p, int n) {
    WriteHeader(dn, ds, on, os, mesDevAsk);
    WriteDevAsk(6, device, askRestart);
    len = 8;
    unsigned char bytes[kSub18MaxBytes] = {};
    bytes[0] = static_cast<unsigned char>(s);
    int count = 1;
    if (p != nullptr && n > 0) {
        // Whatever does not fit into the record is not sent rather than written past it.
        const int take = std::min(n, kSub18MaxBytes - 1);
        std::memcpy(bytes + 1, p, static_cast<size_t>(take));
        count += take;
    }
    len += std::max(4, Conv8To6(count, bytes, data + 8, kMaxUnits - 8));
    UnPack();
    dev = device & 255;
    ask = askRestart;
}

CMes::CMes(int dn, int ds, int on, int os, typAlert code, const unsigned char* p, int n) {
    WriteHeader(dn, ds, on, os, mesAlert);
    data[len++] = 1;
    const uint32_t value = static_cast<uint32_t>(code);
    int groups = 0;
    for (int i = 0; i < 6; ++i) {
        data[7 + i] = Unit(static_cast<int>(value >> (6 * i)));
        if (data[7 + i] != 0) {
            groups = i + 1;
        }
    }
    if (p != nullptr && n > 0) {
        const int count = std::min(n, kAlertMaxBytes);
        Conv8To6(count, p, data + kAlertFirstUnit, kAlertMaxUnits);
        len = kAlertFirstUnit + UnitsForBytes(count);
    } else {
        len = 7 + groups;
    }
    // Units past the end stay zero, whatever the packing wrote there.
    std::fill(data + len, data + kMaxUnits, 0);
    UnPack();
}

void CMes::Clear() {
    len = 0;
    std::memset(data, 0, sizeof data);
    pultNo = 0;
    prior = 255;
    origNode = origSub = destNode = destSub = 0;
    hops = dev = typ = aux = ask = alertKind = 0;
    alertCode = 0;
    sost.Clear();
}

int CMes::SetDann(int n, const unsigned char* raw) {
    Clear();
    if (n < 0 || n > kMaxLoad || (n > 0 && raw == nullptr)) {
        return 0;
    }
    if (n > 0) {
        std::memcpy(data, raw, static_cast<size_t>(n));
    }
    len = n;
    UnPack();
    return 1;
}

void CMes::UnPack() {
    const unsigned char addr[4] = {static_cast<unsigned char>(U(0)), static_cast<unsigned char>(U(1)),
                                   static_cast<unsigned char>(U(2)), static_cast<unsigned char>(U(3))};
    GetAdr(addr, origNode, origSub);
    GetAdr(addr + 2, destNode, destSub);
    hops = U(4);
    dev = typ = aux = ask = alertKind = 0;
    alertCode = 0;
    sost.Clear();
    if (len <= 5) {
        return;
    }
    typ = U(5);
    const int kind = typ & ~kRequestBit;

    if (kind == mesService) {
        dev = ((U(11) & 63) << 2) | ((U(12) >> 4) & 3);
        ask = U(12) & 15;
        if (dev > 127) {
            dev &= 127;
            ask |= 16;
        }
        return;
    }
    if (typ == mesAlert) {
        if (len > 6) {
            alertKind = U(6);
        }
        if (alertKind == 1) {
            uint64_t code = 0;
            const int groups = std::min(len - 7, 6);
            for (int i = 0; i < groups; ++i) {
                code |= static_cast<uint64_t>(U(7 + i) & 63) << (6 * i);
            }
            alertCode = static_cast<uint32_t>(code);
        }
        return;
    }
    if (kind == mesPrefix || kind == mesPrefixAsk) {
        if (len > 6) {
            aux = U(6);
        }
        if (len > 7) {
            dev = U(7);
        }
        if (len > 8) {
            ask = U(8) & 31;
        }
        return;
    }
    if (len > 7) {
        dev = ((U(6) & 63) << 2) | ((U(7) >> 4) & 3);
        ask = U(7) & 15;
        if ((typ == mesDevAnswer || typ == mesDevAsk) && dev > 127) {
            dev &= 127;
            ask |= 16;
        }
        if ((typ == mesDevReport || typ == mesDevAnswer) && len > 8) {
            sost.SetData(data + 8, len - 8);
            if (typ == mesDevReport) {
                sost.Normaliz();
            }
        }
    }
}

int CMes::SetOrig(int node, int sub) {
    if (len < 2) {
        return 0;
    }
    SetAdr(data, node, sub);
    GetAdr(data, origNode, origSub);
    return 1;
}

int CMes::SetDest(int node, int sub) {
    if (len < 4) {
        return 0;
    }
    SetAdr(data + 2, node, sub);
    GetAdr(data + 2, destNode, destSub);
    return 1;
}

int CMes::SetDev(int device) {
    const int kind = typ & ~kRequestBit;
    if (kind == mesService) {
        // Service messages keep the pair behind their own second address.
        if (len < 13) {
            return 0;
        }
        WriteDevAsk(11, device, ask);
        dev = device & 255;
        return 1;
    }
    if (kind == mesPrefix || kind == mesPrefixAsk) {
        if (len < 8) {
            return 0;
        }
        data[7] = Unit(device);
        dev = data[7];
        return 1;
    }
    if (typ == mesAlert || len < 8) {
        return 0;
    }
    WriteDevAsk(6, device, ask);
    dev = device & 255;
    return 1;
}

int CMes::SetTypMes(typMes t) {
    if (len < 6) {
        return 0;
    }
    data[5] = Unit(t);
    typ = data[5];
    return 1;
}

int CMes::IncHopCount() {
    if (len < 5) {
        return 0;
    }
    // The counter has six bits; it stays at its top rather than wrap back to a fresh
    // message's count.
    hops = std::min((hops & 63) + 1, 63);
    data[4] = Unit(hops);
    return hops;
}

void CMes::SetAdr(unsigned char* p, int node, int sub) {
    if (p == nullptr) {
        return;
    }
    p[0] = Unit(node >> 2);
    p[1] = Unit(((node & 3) << 4) | (sub & 15));
}

void CMes::GetAdr(const unsigned char* p, int& node, int& sub) {
    if (p == nullptr) {
        node = sub = 0;
        return;
    }
    node = ((p[0] & 63) << 2) | ((p[1] >> 4) & 3);
    sub = p[1] & 15;
}

unsigned char CMes::operator[](int i) const {
    if (i < 0 || i >= len - 6) {
        return 0;
    }
    return data[6 + i];
}

int CMes::SetByte(int i, unsigned char v) {
    if (i < 0 || i >= len - 6) {
        return 0;
    }
    data[6 + i] = Unit(v);
    UnPack();
    return 1;
}

bool CMes::IsGood() const {
    if ((typ == mesDevAnswer || typ == mesPrefixAsk) && len > 0) {
        return (data[len - 1] & 32) == 0;
    }
    return true;
}

int CMes::GetNVRAM(int& index, unsigned short& value) const {
    index = 0;
    value = 0;
    // A short answer would read as a word of zeros and overwrite a good one.
    if (typ != mesNvramSlot || len < 10) {
        return 0;
    }
    index = U(6) & 63;
    const int high = ((U(8) & 3) << 6) | (U(7) & 63);
    const int low = ((U(9) << 2) & 0xF0) | ((U(8) >> 2) & 15);
    value = static_cast<unsigned short>((high << 8) | low);
    return 1;
}

int CMes::GetNVRAM(int& addr, int& count, unsigned char* buf, int size) const {
    addr = 0;
    count = 0;
    if (buf != nullptr && size > 0) {
        std::memset(buf, 0, static_cast<size_t>(size));
    }
    if (typ != mesNvramBlock && typ != mesNvramBlockJob) {
        return 128;
    }
    const int result = U(9);
    if (typ == mesNvramBlock && result != 0) {
        return result;
    }
    addr = ((U(7) & 63) << 6) | (U(6) & 63);
    if (len > 10) {
        // The count unit may promise more than arrived; only received bytes are given.
        const int want = std::min(U(8) & 63, BytesInUnits(len - 10));
        count = Conv6To8(len - 10, data + 10, want, buf, size);
    }
    return result;
}

bool CMes::IsLiftState() const {
    return typ == mesDevAnswer && ask == askState;
}

int CMes::LvlAsk10() const {
    if (!IsLiftState()) {
        return -1;
    }
    if (len < 22) {
        return 0;
    }
    return len < 30 ? 1 : 2;
}

int CMes::CurLvl() const {
    return (IsLiftState() && len >= 22) ? (U(14) & 63) : 0;
}

CMes::modeLift CMes::Mode() const {
    return static_cast<modeLift>((IsLiftState() && len >= 22) ? (U(15) & 15) : 0);
}

int CMes::CodDmamge() const {
    if (!IsLiftState() || len < 22) {
        return 0;
    }
    return ((U(19) & 63) << 2) | ((U(18) >> 4) & 3);
}

bool CMes::TestBit(bitExtended b) const {
    const int bit = static_cast<int>(b);
    if (!IsLiftState() || len < 22 || bit < 0 || bit > 7) {
        return false;
    }
    return ((U(12 + bit / 6) >> (bit % 6)) & 1) != 0;
}

bool CMes::TestAsk(int n) const {
    if (!IsLiftState() || len < 30 || n < 1 || n > 24) {
        return false;
    }
    return ((U(20 + (n - 1) / 6) >> ((n - 1) % 6)) & 1) != 0;
}

bool CMes::TestCmd(int n) const {
    if (!IsLiftState() || len < 30 || n < 1 || n > 24) {
        return false;
    }
    return ((U(24 + (n - 1) / 6) >> ((n - 1) % 6)) & 1) != 0;
}

int CMes::GetIAP(unsigned char* buf, int size) const {
    const int start = typ == mesDevAnswer ? 12 : 11;
    const int units = len > start ? len - start : 0;
    return Conv6To8(units, data + start, BytesInUnits(units), buf, size);
}

int CMes::GetAlert(void* buf, int size) const {
    const bool hasBytes = typ == mesAlert && len > kAlertFirstUnit;
    const int units = hasBytes ? len - kAlertFirstUnit : 0;
    return Conv6To8(units, data + kAlertFirstUnit, BytesInUnits(units), static_cast<unsigned char*>(buf),
                    size);
}

int CMes::GetSTAT(float& a, float& b, float& c, float& d) const {
    a = b = c = d = 0.0f;
    // The last of the sixteen bytes sits in unit 37; a shorter message does not hold them.
    if (len < kStatFirstUnit + kStatUnits) {
        return 0;
    }
    unsigned char bytes[16];
    Conv6To8(kStatUnits, data + kStatFirstUnit, 16, bytes, 16);
    float* out[4] = {&a, &b, &c, &d};
    for (int i = 0; i < 4; ++i) {
        const uint32_t v =
            static_cast<uint32_t>(bytes[4 * i]) | (static_cast<uint32_t>(bytes[4 * i + 1]) << 8) |
            (static_cast<uint32_t>(bytes[4 * i + 2]) << 16) | (static_cast<uint32_t>(bytes[4 * i + 3]) << 24);
        *out[i] = std::bit_cast<float>(v);
    }
    return 1;
}

DBString CMes::Str(const wchar_t* prefix) const {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    DBString s(prefix != nullptr ? prefix : L"");
    s.reserve(s.size() + static_cast<size_t>(len) * 3);
    for (int i = 0; i < len && i < kMaxUnits; ++i) {
        s += L' ';
        s += kHex[data[i] >> 4];
        s += kHex[data[i] & 15];
    }
    return s;
}

DBString CMes::nameMode(modeLift) {
    return DBString(L"CMes::nameMode(modeLift aMode)");
}

int CMes::Conv8To6(int n, const unsigned char* src, unsigned char* dst, int size) {
    if (dst == nullptr || size <= 0) {
        return 0;
    }
    std::memset(dst, 0, static_cast<size_t>(size));
    if (src == nullptr || n <= 0) {
        return 0;
    }
    int w = 0;
    for (int i = 0; i < n; i += 3) {
        const int b0 = src[i];
        const int b1 = i + 1 < n ? src[i + 1] : 0;
        const int b2 = i + 2 < n ? src[i + 2] : 0;
        const unsigned char units[4] = {Unit(b0), Unit(((b1 & 15) << 2) | (b0 >> 6)),
                                        Unit(((b2 & 3) << 4) | (b1 >> 4)), Unit(b2 >> 2)};
        for (unsigned char u : units) {
            if (w >= size) {
                return w;
            }
            dst[w++] = u;
        }
    }
    return w;
}

int CMes::Conv6To8(int units, const unsigned char* src, int bytes, unsigned char* dst, int size) {
    if (dst == nullptr || size <= 0) {
        return 0;
    }
    std::memset(dst, 0, static_cast<size_t>(size));
    if (src == nullptr || units <= 0 || bytes <= 0) {
        return 0;
    }
    const int groups = (units + 3) / 4;
    const int limit = std::min({bytes, size, groups * 3});
    int w = 0;
    for (int g = 0; g < groups && w < limit; ++g) {
        int u[4];
        for (int k = 0; k < 4; ++k) {
            const int i = 4 * g + k;
            u[k] = i < units ? src[i] : 0;
        }
        const unsigned char out[3] = {static_cast<unsigned char>(((u[1] & 3) << 6) | (u[0] & 63)),
                                      static_cast<unsigned char>(((u[2] & 15) << 4) | ((u[1] >> 2) & 15)),
                                      static_cast<unsigned char>(((u[3] & 63) << 2) | ((u[2] >> 4) & 3))};
        for (unsigned char b : out) {
            if (w >= limit) {
                break;
            }
            dst[w++] = b;
        }
    }
    return w;
}
