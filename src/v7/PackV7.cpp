#include "PackV7.h"

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "Logger.h"
#include "Mes.h"

namespace {

constexpr std::array<uint16_t, 256> MakeCrc16Table() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b) {
            c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        }
        t[static_cast<size_t>(i)] = c;
    }
    return t;
}

constexpr std::array<unsigned char, 256> MakeCrc8Table() {
    std::array<unsigned char, 256> t{};
    for (int i = 0; i < 256; ++i) {
        unsigned c = static_cast<unsigned>(i);
        for (int b = 0; b < 8; ++b) {
            c = (c & 0x80) ? ((c << 1) ^ 0x43) & 0xFF : (c << 1) & 0xFF;
        }
        t[static_cast<size_t>(i)] = static_cast<unsigned char>(c);
    }
    return t;
}

constexpr std::array<uint16_t, 256> kCrc16 = MakeCrc16Table();
constexpr std::array<unsigned char, 256> kStep = MakeCrc8Table();

inline uint16_t Crc16(const unsigned char* p, int n) {
    uint16_t c = 0;
    for (int i = 0; i < n; ++i) {
        c = static_cast<uint16_t>((c << 8) ^ kCrc16[((c >> 8) ^ p[i]) & 0xFF]);
    }
    return c;
}

inline unsigned Crc8(const unsigned char* p, int n) {
    unsigned c = 0;
    for (int i = 0; i < n; ++i) {
        c = kStep[c ^ p[i]];
    }
    return c;
}

// The key byte the forward pass starts with depends on the random byte only.
inline unsigned StartIndex(unsigned r) {
    return (((r << 2) | (r >> 6)) & 0xFF) & 15;
}

inline bool GoodCrc(const unsigned char* p, int len) {
    const uint16_t crc = Crc16(p, len);
    return p[len] == (crc & 0xFF) && p[len + 1] == (crc >> 8);
}

inline bool AcceptedClass(int c) {
    return c == CPackV7::classLink || c == CPackV7::classData || c == CPackV7::classVoice ||
           c == CPackV7::classReserve;
}

inline bool IsRequestKind(int t) {
    return t == CPackV7::typAsk3 || t == CPackV7::typAsk4 || t == CPackV7::typAsk7 ||
           t == CPackV7::typMsgList;
}

}  // namespace

// ---------------------------------------------------------------------------

void CMsgV7::Clear() {
    kind_ = -1;
    size_ = 0;
    std::memset(data_, 0, sizeof data_);
}

// ---------------------------------------------------------------------------

CPackV7::CPackV7(const CIdentV7& src, const CIdentV7& dst) : class_(classData), source_(src), dest_(dst) {
    Pack();
}

CPackV7::CPackV7(const CMes& m) {
    SetMes(m);
}

void CPackV7::Clear() {
    *this = CPackV7();
}

void CPackV7::WriteHead() {
    buf_[0] = static_cast<unsigned char>(class_);
    buf_[1] = static_cast<unsigned char>(ident_);
    buf_[2] = static_cast<unsigned char>(repl_);
    source_.GetValue(buf_ + 3);
    dest_.GetValue(buf_ + 7);
    buf_[11] = static_cast<unsigned char>(reserved_);
    buf_[12] = static_cast<unsigned char>(typ_);
}

void CPackV7::Pack() {
    WriteHead();
    length_ = kHeadSize;
}

void CPackV7::UnPack() {
    ask_ = askNone;
    dirAsk_ = dirRequest;
    if (length_ <= 12) {
        valid_ = false;
        return;
    }
    class_ = buf_[0];
    ident_ = buf_[1];
    repl_ = buf_[2];
    source_.SetValue(buf_ + 3);
    dest_.SetValue(buf_ + 7);
    reserved_ = buf_[11];
    typ_ = buf_[12] & 127;
    valid_ = true;
    if (class_ == classData) {
        if (IsRequestKind(typ_)) {
            // Byte 13 belongs to the packet only when the length says so.
            if (length_ > kHeadSize) {
                ask_ = buf_[13] & 127;
                dirAsk_ = buf_[13] >> 7;
            } else {
                valid_ = false;
            }
        } else if (typ_ == typMes && length_ <= 17) {
            valid_ = false;
        }
    }
    offset_ = kHeadSize + 1;
}

void CPackV7::SetID(const CIdentV7& src, const CIdentV7& dst) {
    source_ = src;
    dest_ = dst;
    source_.GetValue(buf_ + 3);
    dest_.GetValue(buf_ + 7);
}

void CPackV7::SetIdent(int i) {
    ident_ = i & 0xFF;
    buf_[1] = static_cast<unsigned char>(ident_);
}

int CPackV7::AddRepl(unsigned char r) {
    if (repl_ != 0) {
        return 0;
    }
    repl_ = r;
    buf_[2] = r;
    return 1;
}

int CPackV7::SetPayload(int cls, int t, int at, const unsigned char* data, int n, int limit) {
    if (n < 0 || n > limit || (n > 0 && data == nullptr)) {
        return 0;
    }
    class_ = cls;
    typ_ = t & 0xFF;
    WriteHead();
    if (n > 0) {
        std::memmove(buf_ + at, data, static_cast<size_t>(n));
    }
    length_ = at + n;
    UnPack();
    return 1;
}

int CPackV7::SetLink(typPack t, const unsigned char* data, int n) {
    return SetPayload(classLink, t, kHeadSize, data, n, kMaxPayload);
}

int CPackV7::SetData(typPack t, const unsigned char* data, int n) {
    return SetPayload(classData, t, kHeadSize, data, n, kMaxData);
}

int CPackV7::SetVoice(typPack t, const unsigned char* data, int n) {
    return SetPayload(classVoice, t, kHeadSize, data, n, kMaxPayload);
}

int CPackV7::SetVoiceToLU(const unsigned char* data) {
    if (data == nullptr) {
        return 0;
    }
    unsigned char frame[kVoiceBytes + 1];
    std::memcpy(frame, data, kVoiceBytes);
    frame[kVoiceBytes] = '_';
    return SetPayload(classVoice, typMes, kHeadSize, frame, kVoiceBytes + 1, kMaxPayload);
}

int CPackV7::SetAsk(typPack t, typAsk a, typDirAsk d, const unsigned char* data, int n) {
    if (n < 0 || n > kMaxData) {
        return 0;
    }
    unsigned char frame[kMaxData + 1];
    frame[0] = static_cast<unsigned char>((a | (d != 0 ? 128 : 0)) & 0xFF);
    const int count = data != nullptr ? n : 0;
    if (count > 0) {
        std::memcpy(frame + 1, data, static_cast<size_t>(count));
    }
    return SetPayload(classData, t, kHeadSize, frame, count + 1, kMaxData + 1);
}

int CPackV7::SetAskData(const unsigned char* data, int n) {
    // Without its ask byte the packet is no request to put data behind.
    if (n < 0 || n > kMaxData || length_ <= kHeadSize) {
        return 0;
    }
    const int count = data != nullptr ? n : 0;
    if (count > 0) {
        std::memmove(buf_ + kHeadSize + 1, data, static_cast<size_t>(count));
    }
    length_ = kHeadSize + 1 + count;
    return 1;
}

int CPackV7::SetMes(const CMes& m) {
    if (m.len < 0 || m.len > CMes::kMaxUnits) {
        return 0;
    }
    unsigned char frame[CMes::kMaxUnits + 1];
    frame[0] = static_cast<unsigned char>(m.len + 1);
    std::memcpy(frame + 1, m.data, static_cast<size_t>(m.len));
    return SetPayload(classData, typMes, kHeadSize, frame, m.len + 1, kMaxData);
}

int CPackV7::GetMes(CMes& m) const {
    m.Clear();
    if (class_ != classData || typ_ != typMes || length_ < kHeadSize + 1 || length_ > kBufSize ||
        buf_[13] != length_ - kHeadSize) {
        return 0;
    }
    return m.SetDann(buf_[13] - 1, buf_ + 14);
}

int CPackV7::GetMes(CMsgV7& r) {
    if (class_ != classData || typ_ != typMsgList || ask_ != askMsgList || dirAsk_ != dirAnswer) {
        return 0;
    }
    const int at = std::max(offset_, kHeadSize + 1);
    if (at + 2 > length_) {
        return 0;
    }
    const int size = buf_[at];
    const int kind = buf_[at + 1];
    if (size < 2 || kind > CMsgV7::kMaxKind || at + size > length_) {
        return 0;
    }
    r.Clear();
    r.kind_ = kind;
    r.size_ = size - 2;
    std::memcpy(r.data_, buf_ + at + 2, static_cast<size_t>(r.size_));
    offset_ = at + size;
    return 1;
}

bool CPackV7::IsCloseLink(CIdentV7& who) const {
    who.Clear();
    if (!IsCloseLink()) {
        return false;
    }
    if (length_ >= kHeadSize + CIdentV7::kWireSize) {
        who.SetValue(buf_ + kHeadSize);
    }
    return true;
}

bool CPackV7::IsRestart() const {
    return class_ == classData && typ_ == typAsk3 && ask_ == askRestart && dirAsk_ == dirRequest;
}

bool CPackV7::IsOnOffGGS() const {
    if (class_ != classData) {
        return false;
    }
    if (typ_ == typAsk3) {
        return dirAsk_ == dirRequest && (ask_ == askGGSOn || ask_ == askGGSOff);
    }
    if (typ_ == typMes) {
        CMes m;
        return GetMes(m) != 0 && m.typ == CMes::mesGGS;
    }
    return false;
}

bool CPackV7::IsRefuse() const {
    return class_ == classLink && typ_ == typRefuse && length_ > kHeadSize && buf_[13] == 1;
}

// ---------------------------------------------------------------------------

uint16_t CPackV7::CalcCrc16(const unsigned char* p, int n) {
    return (p == nullptr || n <= 0) ? 0 : Crc16(p, n);
}

unsigned char CPackV7::CalcCrc(const unsigned char* p, int n) {
    return (p == nullptr || n <= 0) ? 0 : static_cast<unsigned char>(Crc8(p, n));
}

bool CPackV7::TestCRC(const unsigned char* p, int n) {
    return p != nullptr && n >= 2 && GoodCrc(p, n - 2);
}

const unsigned char* CPackV7::CrcTable() {
    return kStep.data();
}

void CPackV7::AppendCrc() {
    const uint16_t crc = Crc16(buf_, length_);
    buf_[length_] = static_cast<unsigned char>(crc & 0xFF);
    buf_[length_ + 1] = static_cast<unsigned char>(crc >> 8);
}

void CPackV7::Load(const unsigned char* bytes, int total, int packetLength) {
    std::memcpy(buf_, bytes, static_cast<size_t>(total));
    std::memset(buf_ + total, 0, static_cast<size_t>(kBufSize - total));
    length_ = packetLength;
    offset_ = 0;
    class_ = classNone;
    typ_ = typEmpty;
    ident_ = repl_ = reserved_ = 0;
    source_.Clear();
    dest_.Clear();
    UnPack();
}

// ---------------------------------------------------------------------------

int CPackV7::ChanCod(unsigned char* out, int size, const unsigned char* key) {
    const int len = length_;
    // A longer packet would leave no room for the trailer, and a receiver could
    // not decode what came out.
    if (out == nullptr || key == nullptr || len < kHeadSize || len > kMaxCodable || len + 3 > size) {
        return 0;
    }
    const int n = len + 2;
    const unsigned r = static_cast<unsigned>(std::rand()) & 0xFF;
    unsigned k = StartIndex(r);
    unsigned s = r;
    unsigned crc8 = 0;
    // The CRC-16 runs in the same loop as the forward pass: the two chains are
    // independent, so the processor overlaps them.
    unsigned crc16 = 0;
    for (int i = 0; i < n; ++i) {
        if (i == len) {
            buf_[len] = static_cast<unsigned char>(crc16 & 0xFF);
            buf_[len + 1] = static_cast<unsigned char>(crc16 >> 8);
        }
        const unsigned b = buf_[i];
        crc16 = ((crc16 << 8) ^ kCrc16[((crc16 >> 8) ^ b) & 0xFF]) & 0xFFFF;
        s ^= b;
        const unsigned o = (s ^ key[k]) & 0xFF;
        out[i] = static_cast<unsigned char>(o);
        crc8 = kStep[crc8 ^ o];
        k = (o + 1) & 15;
    }
    out[n] = static_cast<unsigned char>(r ^ crc8);

    unsigned char sub[16];
    for (int i = 0; i < 16; ++i) {
        sub[i] = kStep[key[i]];
    }
    unsigned s2 = 1;
    k = 4;
    for (int j = n; j >= 0; --j) {
        s2 ^= out[j];
        out[j] = static_cast<unsigned char>(s2 ^ sub[k]);
        k = (k + 1) & 15;
    }
    return n + 1;
}

bool CPackV7::ChanDecod(const unsigned char* in, int n, const unsigned char* key) {
    if (in == nullptr || key == nullptr || n < 3) {
        return false;
    }
    const int m = std::min(n, kBufSize);
    unsigned char d[kBufSize];

    unsigned char sub[16];
    for (int i = 0; i < 16; ++i) {
        sub[i] = kStep[key[i]];
    }
    // The backward pass takes its key bytes in a fixed order that does not depend on
    // the data, and each plain byte is the XOR of two neighbouring unmasked bytes, so
    // it can be undone front to back, together with the CRC-8 of the result.
    unsigned kj = (4 + m - 1) & 15;
    unsigned cur = in[0] ^ sub[kj];
    unsigned crc8 = 0;
    for (int j = 0; j < m - 1; ++j) {
        kj = (kj - 1) & 15;
        const unsigned next = in[j + 1] ^ sub[kj];
        const unsigned plain = cur ^ next;
        d[j] = static_cast<unsigned char>(plain);
        crc8 = kStep[crc8 ^ plain];
        cur = next;
    }
    d[m - 1] = static_cast<unsigned char>(cur ^ 1);

    const unsigned r = d[m - 1] ^ crc8;
    unsigned k = StartIndex(r);
    unsigned s = r;
    const int len = m - 3;
    unsigned crc16 = 0;
    for (int i = 0; i < m - 1; ++i) {
        const unsigned c = d[i];
        const unsigned t = c ^ key[k];
        const unsigned plain = (t ^ s) & 0xFF;
        d[i] = static_cast<unsigned char>(plain);
        if (i < len) {
            crc16 = ((crc16 << 8) ^ kCrc16[((crc16 >> 8) ^ plain) & 0xFF]) & 0xFFFF;
        }
        s = t;
        k = (c + 1) & 15;
    }

    // Too short to parse: the class stays 0, which no decoder accepts.
    if (len <= 12 || d[len] != (crc16 & 0xFF) || d[len + 1] != (crc16 >> 8) || !AcceptedClass(d[0])) {
        return false;
    }
    Load(d, m, len);
    return true;
}

int CPackV7::CloudCod(unsigned char* out, int size, const unsigned char* key) {
    const int len = length_;
    if (out == nullptr || len < kHeadSize || len + 2 > kBufSize) {
        return 0;
    }
    const int keyBytes = key != nullptr ? CKeySys::kSize : 0;
    const int plainSize = 2 + len + 2 + keyBytes;
    const int blocks = (plainSize + CIdeaCtx::kBlock - 1) / CIdeaCtx::kBlock;
    if (blocks > 128) {
        return 0;
    }
    const int tail = CIdeaKey::rand() & 3;
    if (blocks * CIdeaCtx::kBlock + tail > size) {
        return 0;
    }
    AppendCrc();

    unsigned char plain[128 * CIdeaCtx::kBlock] = {};
    plain[0] = static_cast<unsigned char>((len + 2) & 0xFF);
    plain[1] = static_cast<unsigned char>((len + 2) >> 8);
    std::memcpy(plain + 2, buf_, static_cast<size_t>(len + 2));
    if (key != nullptr) {
        std::memcpy(plain + 2 + len + 2, key, CKeySys::kSize);
    }
    RelayIdeaCtx().Encrypt(plain, out, blocks);
    const int body = blocks * CIdeaCtx::kBlock;
    for (int i = 0; i < tail; ++i) {
        out[body + i] = static_cast<unsigned char>(CIdeaKey::rand() & 0xFF);
    }
    return body + tail;
}

bool CPackV7::CloudDecod(const unsigned char* in, int n, CKeySys* key) {
    if (in == nullptr || n < 0) {
        return false;
    }
    const int blocks = n / CIdeaCtx::kBlock;
    if (blocks < 3 || blocks > 128) {
        return false;
    }
    unsigned char plain[128 * CIdeaCtx::kBlock];
    RelayIdeaCtx().Decrypt(in, plain, blocks);
    const int count = plain[0] | (plain[1] << 8);
    const int keyBytes = key != nullptr ? CKeySys::kSize : 0;
    // The count comes from the sender: it must stay inside what was deciphered.
    if (count < 2 || 2 + count + keyBytes > blocks * CIdeaCtx::kBlock) {
        return false;
    }
    const unsigned char* p = plain + 2;
    const int len = count - 2;
    if (len <= 12 || !GoodCrc(p, len) || !AcceptedClass(p[0])) {
        return false;
    }
    Load(p, count, len);
    if (key != nullptr) {
        key->Set(p + count);
    }
    return true;
}

int CPackV7::ChanCloudProCod(unsigned char* out, int size, const unsigned char* key) {
    return key == nullptr ? 0 : CloudCod(out, size, key);
}

bool CPackV7::ChanCloudProDecod(const unsigned char* in, int n, CKeySys& key) {
    return CloudDecod(in, n, &key);
}

int CPackV7::ChanCloudCod(unsigned char* out, int size) {
    return CloudCod(out, size, nullptr);
}

bool CPackV7::ChanCloudDecod(const unsigned char* in, int n) {
    return CloudDecod(in, n, nullptr);
}

DBString CPackV7::ToString(const wchar_t* prefix) const {
    DBString s(prefix);
    static const wchar_t hex[] = L"0123456789ABCDEF";
    const int n = std::clamp(length_, 0, kBufSize);
    s.reserve(s.size() + static_cast<size_t>(n) * 3);
    for (int i = 0; i < n; ++i) {
        s += L' ';
        s += hex[buf_[i] >> 4];
        s += hex[buf_[i] & 15];
    }
    return s;
}

// ---------------------------------------------------------------------------

void LogPacket(ProLog& log, typRec direction, const in6_addr& address, int port, const CPackV7& packet) {
    const int len = packet.GetLength();
    if (len <= 0) {
        return;
    }
    log.Put(direction, address, port, packet.GetBuf(), std::min(len + 2, CPackV7::kBufSize));
}
