#include "PackDisp.h"

#include <array>
#include <cstring>

#include "DispCatalog.h"
#include "Idea.h"
#include "KeySys.h"
#include "Logger.h"

namespace {

int Get16(const unsigned char* p) {
    return p[0] | (p[1] << 8);
}

void Put16(unsigned char* p, int v) {
    p[0] = static_cast<unsigned char>(v & 0xFF);
    p[1] = static_cast<unsigned char>((v >> 8) & 0xFF);
}

constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> t{};
    for (int i = 0; i < 256; ++i) {
        uint16_t c = static_cast<uint16_t>(i << 8);
        for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint16_t, 256> kCrcTable = MakeCrcTable();

bool IsMessageCode(int code) {
    return code >= 1 && code <= 254;
}

// What a good frame says about itself, found without trusting any of its fields.
struct FrameShape {
    int len = 0;
    int nReply = 0;
    int firstCode = 0;  // code of the first message, 0 when there is none
};

// A frame is good when its length lies within the bytes at hand and leaves room
// for the CRC, the CRC matches, and the records chain exactly up to the reply bytes.
bool CheckFrame(const unsigned char* b, int avail, FrameShape& shape) {
    if (avail < CPackDisp::kHeadSize + 2) return false;
    const int f = Get16(b);
    if (f < CPackDisp::kHeadSize || f > CPackDisp::kMaxFrame || f + 2 > avail) return false;
    if (CPackDisp::Crc16(b, f) != Get16(b + f)) return false;
    const int nReply = b[3] & 0x0F;
    const int end = f - nReply;
    if (end < CPackDisp::kHeadSize) return false;
    int p = CPackDisp::kHeadSize;
    int firstCode = 0;
    while (p < end) {
        if (p + 2 > end) return false;
        const int l = Get16(b + p);
        if (l < 2 || p + l > end) return false;
        if (l > 2 && firstCode == 0) firstCode = b[p + 2];
        p += l;
    }
    shape.len = f;
    shape.nReply = nReply;
    shape.firstCode = firstCode;
    return true;
}

}  // namespace

// ---------------------------------------------------------------- CMesDisp

CMesDisp::CMesDisp() = default;

void CMesDisp::Clear() {
    len_ = 2;
    pos_ = 2;
    Put16(buf_, 2);
}

bool CMesDisp::SetTypMes(int code) {
    if (!IsMessageCode(code)) return false;
    len_ = 3;
    pos_ = 2;
    Put16(buf_, 3);
    buf_[2] = static_cast<unsigned char>(code);
    return true;
}

int CMesDisp::TypMes() const {
    return len_ < 3 ? 0 : buf_[2];
}

bool CMesDisp::IsValid() const {
    return len_ >= 3 && IsMessageCode(buf_[2]);
}

bool CMesDisp::Assign(const unsigned char* bytes, int n) {
    if (bytes == nullptr || n < 2 || n > kBufSize || Get16(bytes) != n) return false;
    std::memmove(buf_, bytes, static_cast<size_t>(n));
    len_ = static_cast<int16_t>(n);
    pos_ = 2;
    return true;
}

int CMesDisp::FrsParse() {
    pos_ = 3;
    return TypMes();
}

bool CMesDisp::Get(void* out, int n) {
    if (n < 0 || pos_ + n > len_) return false;
    if (out != nullptr && n > 0) std::memcpy(out, buf_ + pos_, static_cast<size_t>(n));
    pos_ = static_cast<int16_t>(pos_ + n);
    return true;
}

bool CMesDisp::Get(DBString& text) {
    text.clear();
    const int next =
        DispCatalog::GetField(DispCatalog::Field::Text, DispCatalog::MakeOut(text), buf_, pos_, len_);
    if (next < 0) return false;
    pos_ = static_cast<int16_t>(next);
    return true;
}

bool CMesDisp::Get(DBTime& time) {
    time = DBTime();
    const int next =
        DispCatalog::GetField(DispCatalog::Field::Date, DispCatalog::MakeOut(time), buf_, pos_, len_);
    if (next < 0) return false;
    pos_ = static_cast<int16_t>(next);
    return true;
}

bool CMesDisp::Add(const void* data, int n) {
    if (n < 0 || len_ + n > kBufSize) return false;
    if (data != nullptr)
        std::memcpy(buf_ + len_, data, static_cast<size_t>(n));
    else
        std::memset(buf_ + len_, 0, static_cast<size_t>(n));
    len_ = static_cast<int16_t>(len_ + n);
    Put16(buf_, len_);
    return true;
}

bool CMesDisp::Add(const wchar_t* text) {
    const int next =
        DispCatalog::PutField(DispCatalog::Field::Text, DispCatalog::MakeIn(text), buf_, len_, kBufSize);
    if (next < 0) return false;
    len_ = static_cast<int16_t>(next);
    Put16(buf_, len_);
    return true;
}

bool CMesDisp::Add(const DBTime& time) {
    const int next =
        DispCatalog::PutField(DispCatalog::Field::Date, DispCatalog::MakeIn(time), buf_, len_, kBufSize);
    if (next < 0) return false;
    len_ = static_cast<int16_t>(next);
    Put16(buf_, len_);
    return true;
}

bool operator==(const CMesDisp& a, const CMesDisp& b) {
    return a.len_ == b.len_ && std::memcmp(a.buf_, b.buf_, static_cast<size_t>(a.len_)) == 0;
}

// ---------------------------------------------------------------- CPackDisp

CPackDisp::CPackDisp() {
    Clear();
}

CPackDisp::CPackDisp(const CMesDisp& m) {
    Clear();
    if (m.Len() > kMaxMessage) return;
    std::memcpy(buf_ + kHeadSize, m.Data(), static_cast<size_t>(m.Len()));
    SetLen(kHeadSize + m.Len());
    isVoice = m.TypMes() == CMesDisp::mesVoice;
    CalcCrc();
}

void CPackDisp::Clear() {
    Put16(buf_, kHeadSize);
    buf_[2] = 0;
    buf_[3] = 0x10;
    pos = kHeadSize;
    ident = 0;
    nReply = 0;
    isVoice = false;
    valid = true;
    CalcCrc();
}

int CPackDisp::Len() const {
    return Get16(buf_);
}

void CPackDisp::SetLen(int f) {
    Put16(buf_, f);
}

void CPackDisp::WriteHead() {
    buf_[3] = static_cast<unsigned char>(0x10 | nReply);
}

bool CPackDisp::HasMessages() const {
    const int end = Len() - nReply;
    for (int p = kHeadSize; p + 2 <= end;) {
        const int l = Get16(buf_ + p);
        if (l < 2 || p + l > end) return false;
        if (l > 2) return true;
        p += l;
    }
    return false;
}

bool CPackDisp::AddMes(const CMesDisp& m) {
    const int l = m.Len();
    const int code = m.TypMes();
    const int f = Len();
    if (f + l > kMaxFrame) return false;
    if (l > 2 && !m.IsValid()) return false;
    if (code == CMesDisp::mesVoice && HasMessages()) return false;
    // A voice frame is never numbered or resent, so only the connection stamp may
    // travel with it; anything else would silently lose its delivery guarantee.
    if (isVoice && code != CMesDisp::mesTimeAndGUID) return false;

    int body = f - nReply;
    if (body == kHeadSize + 2 && Get16(buf_ + kHeadSize) == 2) body = kHeadSize;  // lone place holder
    if (nReply > 0 && body + l + nReply >= kMaxFrame) return false;

    unsigned char replies[kMaxReply];
    std::memcpy(replies, buf_ + f - nReply, static_cast<size_t>(nReply));
    std::memcpy(buf_ + body, m.Data(), static_cast<size_t>(l));
    body += l;
    std::memcpy(buf_ + body, replies, static_cast<size_t>(nReply));
    SetLen(body + nReply);
    WriteHead();
    if (code != CMesDisp::mesTimeAndGUID) isVoice = isVoice || code == CMesDisp::mesVoice;
    CalcCrc();
    return true;
}

bool CPackDisp::GetMes(CMesDisp& m) {
    m.Clear();
    const int end = Len() - nReply;
    while (pos + 2 <= end) {
        const int l = Get16(buf_ + pos);
        if (l < 2 || pos + l > end) return false;
        if (l == 2) {
            pos += 2;
            continue;
        }
        if (l > CMesDisp::kBufSize || !IsMessageCode(buf_[pos + 2])) return false;
        m.Assign(buf_ + pos, l);
        pos += l;
        return true;
    }
    return false;
}

bool CPackDisp::SetIdent(int id) {
    if (id < 0 || id > 255) return false;
    buf_[2] = static_cast<unsigned char>(id);
    ident = id;
    CalcCrc();
    return true;
}

void CPackDisp::DelIdent() {
    buf_[2] = 0;
    ident = 0;
    CalcCrc();
}

bool CPackDisp::AddReply(const unsigned char* ids, int n) {
    if (n < 0 || (n > 0 && ids == nullptr)) return false;
    if (n == 0) return true;
    const int f = Len();
    if (f + n > kMaxFrame - 1 || nReply + n > kMaxReply) return false;
    std::memcpy(buf_ + f, ids, static_cast<size_t>(n));
    nReply += n;
    SetLen(f + n);
    WriteHead();
    CalcCrc();
    return true;
}

const unsigned char* CPackDisp::GetReply(int& n) const {
    n = nReply;
    return buf_ + Len() - nReply;
}

uint16_t CPackDisp::Crc16(const unsigned char* p, int n) {
    uint16_t crc = 0;
    for (int i = 0; i < n; ++i)
        crc = static_cast<uint16_t>((crc << 8) ^ kCrcTable[((crc >> 8) ^ p[i]) & 0xFF]);
    return crc;
}

void CPackDisp::CalcCrc() {
    Put16(buf_ + Len(), Crc16(buf_, Len()));
}

void CPackDisp::CalcCrc(unsigned char& lo, unsigned char& hi) const {
    const uint16_t crc = Crc16(buf_, Len());
    lo = static_cast<unsigned char>(crc & 0xFF);
    hi = static_cast<unsigned char>(crc >> 8);
}

bool CPackDisp::TestCRC() const {
    return valid && Crc16(buf_, Len()) == Get16(buf_ + Len());
}

int CPackDisp::Encoding(unsigned char* out, int size, const CIdeaCtx* ctx) {
    CalcCrc();
    const int total = Len() + 2;
    if (out == nullptr || size <= 0) return 0;
    if (ctx == nullptr) {
        // A frame cut short would only be thrown away by the peer's CRC check while
        // the sender believed it delivered.
        if (size < total) return 0;
        std::memcpy(out, buf_, static_cast<size_t>(total));
        return total;
    }
    const int blocks = (total + 7) / 8;
    if (blocks > kMaxBlocks || blocks * 8 > size) return 0;
    unsigned char plain[kMaxBlocks * 8];
    std::memcpy(plain, buf_, static_cast<size_t>(total));
    for (int i = total; i < blocks * 8; ++i) plain[i] = static_cast<unsigned char>(CIdeaKey::rand());
    ctx->Encrypt(plain, out, blocks);
    int tail = CIdeaKey::rand() & 3;
    if (tail > size - blocks * 8) tail = size - blocks * 8;
    for (int i = 0; i < tail; ++i) out[blocks * 8 + i] = static_cast<unsigned char>(CIdeaKey::rand());
    return blocks * 8 + tail;
}

void CPackDisp::Decoding(const unsigned char* in, int n, const CIdeaCtx* ctx) {
    unsigned char work[kMaxBlocks * 8];
    int avail = 0;
    if (in != nullptr && ctx != nullptr) {
        const int blocks = n / 8;
        if (blocks >= 1 && blocks <= kMaxBlocks) {
            ctx->Decrypt(in, work, blocks);
            avail = blocks * 8;
        }
    } else if (in != nullptr && n >= kHeadSize && n <= kBufSize) {
        std::memcpy(work, in, static_cast<size_t>(n));
        avail = n;
    }
    FrameShape shape;
    if (avail == 0 || !CheckFrame(work, avail, shape)) {
        // The buffer always holds a well-formed frame, so nothing that reads it later
        // can be led outside it by a bad datagram.
        Clear();
        valid = false;
        return;
    }
    std::memcpy(buf_, work, static_cast<size_t>(shape.len + 2));
    pos = kHeadSize;
    ident = buf_[2];
    nReply = shape.nReply;
    isVoice = shape.firstCode == CMesDisp::mesVoice;
    valid = true;
}

void CPackDisp::UnPack() {
    FrameShape shape;
    if (!CheckFrame(buf_, kBufSize, shape)) {
        Clear();
        valid = false;
        return;
    }
    pos = kHeadSize;
    ident = buf_[2];
    nReply = shape.nReply;
    isVoice = shape.firstCode == CMesDisp::mesVoice;
    valid = true;
}

bool CPackDisp::Link(CPackDisp& other) {
    if (isVoice || other.isVoice) return false;
    const int end = other.Len() - other.nReply;
    int p = kHeadSize;
    bool moved = false;
    CMesDisp m;
    while (p + 2 <= end) {
        const int l = Get16(other.buf_ + p);
        if (l < 2 || p + l > end) break;
        if (l == 2) {
            p += 2;
            continue;
        }
        if (!m.Assign(other.buf_ + p, l) || !m.IsValid() || !AddMes(m)) break;
        moved = true;
        p += l;
    }
    if (!moved) return false;
    // What did not fit stays in other, in order, ahead of its reply bytes.
    const int rest = end - p;
    std::memmove(other.buf_ + kHeadSize, other.buf_ + p, static_cast<size_t>(rest + other.nReply));
    other.SetLen(kHeadSize + rest + other.nReply);
    other.pos = kHeadSize;
    other.CalcCrc();
    return true;
}

int CPackDisp::Walk(int code) const {
    const int end = Len() - nReply;
    for (int p = kHeadSize; p + 2 <= end;) {
        const int l = Get16(buf_ + p);
        if (l < 2 || p + l > end) return -1;
        if (l > 2 && buf_[p + 2] == code) return p;
        p += l;
    }
    return -1;
}

bool CPackDisp::IsExistClose() const {
    return Walk(CMesDisp::mesCloseLink) >= 0;
}

bool CPackDisp::GetTimeAndGUID(long& t, DBGUID& g) const {
    t = 0;
    g = DBGUID();
    const int p = Walk(CMesDisp::mesTimeAndGUID);
    if (p < 0) return false;
    CMesDisp m;
    if (!m.Assign(buf_ + p, Get16(buf_ + p))) return false;
    return m.Parse_TimeAndGUID(t, g);
}

DBString CPackDisp::ToString(const wchar_t* prefix) const {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    DBString s(prefix);
    const int f = Len();
    s.reserve(s.size() + 3 * static_cast<size_t>(f));
    for (int i = 0; i < f; ++i) {
        s += L' ';
        s += kHex[buf_[i] >> 4];
        s += kHex[buf_[i] & 0x0F];
    }
    return s;
}

void LogPacket(DispLog& log, typRec direction, const in6_addr& address, int port, const CPackDisp& packet) {
    log.Put(direction, address, port, packet.Data(), packet.Len() + 2);
}
