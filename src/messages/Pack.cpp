#include "Pack.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace {

constexpr std::array<unsigned char, 256> MakeCrcTable() {
    std::array<unsigned char, 256> table{};
    for (int i = 0; i < 256; ++i) {
        unsigned crc = static_cast<unsigned>(i);
        for (int k = 0; k < 8; ++k) {
            crc = (crc & 0x80) != 0 ? ((crc << 1) ^ 0x43) : (crc << 1);
        }
        table[static_cast<size_t>(i)] = static_cast<unsigned char>(crc & 0xFF);
    }
    return table;
}

constexpr std::array<unsigned char, 256> kCrcTable = MakeCrcTable();

constexpr int kSenderOpenNode = 255;
constexpr int kSenderOpenSub = 15;
constexpr int kServiceRoute = 2;

}  // namespace

CPackMes::CPackMes(int orig, int dest, int p) {
    buf[0] = static_cast<unsigned char>(((orig << 4) | (dest & 15)) & 0xFF);
    len = 1;
    prior = p;
    CalcCrc();
}

CPackMes::CPackMes(int n, const unsigned char* bytes, int p) {
    const int take = bytes != nullptr ? std::clamp(n, 0, kMaxLen) : 0;
    if (take > 0) {
        std::memcpy(buf, bytes, static_cast<size_t>(take));
    }
    len = take;
    prior = p;
    CalcCrc();
    UnPack();
}

void CPackMes::SetAddr(int orig, int dest) {
    *this = CPackMes(orig, dest, -1);
}

int CPackMes::SetOrig(int orig) {
    if (len < 1) {
        return 0;
    }
    buf[0] = static_cast<unsigned char>((buf[0] & 0x0F) | ((orig & 15) << 4));
    return 1;
}

int CPackMes::SetDest(int dest) {
    if (len < 1) {
        return 0;
    }
    buf[0] = static_cast<unsigned char>((buf[0] & 0xF0) | (dest & 15));
    return 1;
}

int CPackMes::GetOrig() const {
    return len < 1 ? 0 : buf[0] >> 4;
}

int CPackMes::GetDest() const {
    return len < 1 ? 0 : buf[0] & 15;
}

int CPackMes::FirstMes() const {
    return (len >= 2 && IsIdentByte(buf[1])) ? 2 : 1;
}

int CPackMes::SetIdent(int id) {
    if (len < 1) {
        return 0;
    }
    const unsigned char b = static_cast<unsigned char>(kIdentMark | (id & 63));
    if (len >= 2 && IsIdentByte(buf[1])) {
        buf[1] = b;
    } else {
        // The check byte must still fit behind the packet.
        if (len >= kMaxLen) {
            return 0;
        }
        std::memmove(buf + 2, buf + 1, static_cast<size_t>(len - 1));
        buf[1] = b;
        ++len;
        if (pos >= 1) {
            ++pos;  // keep reading at the same message
        }
    }
    ident = id & 63;
    hasIdent = true;
    CalcCrc();
    return 1;
}

void CPackMes::DelIdent() {
    if (len < 2 || !IsIdentByte(buf[1])) {
        return;
    }
    std::memmove(buf + 1, buf + 2, static_cast<size_t>(len - 2));
    --len;
    pos = 1;
    ident = 0;
    hasIdent = false;
    CalcCrc();
}

int CPackMes::AddIdent(int id) {
    if (len < 1 || len >= kMaxLen) {
        return 0;
    }
    buf[len++] = static_cast<unsigned char>(kIdentMark | (id & 63));
    return 1;
}

int CPackMes::AddMes(const CMes& m) {
    if (len < 1 || m.len < kMinMesLen - 1 || m.len > kMaxMesLen - 1 || len + m.len > kMesLimit) {
        return 0;
    }
    for (int i = 0; i < m.len; ++i) {
        if (m.data[i] > 63) {
            return 0;
        }
    }
    buf[len] = static_cast<unsigned char>(m.len + 1);
    std::memcpy(buf + len + 1, m.data, static_cast<size_t>(m.len));
    len += m.len + 1;
    CalcCrc();
    return 1;
}

int CPackMes::AddRepl(unsigned char code) {
    if (len < 1) {
        return 0;
    }
    const unsigned char b = static_cast<unsigned char>(kReplMark | (code & 63));
    // Byte 0 is the address byte, whatever its bits look like.
    const bool replAtEnd = len >= 2 && IsReplByte(buf[len - 1]);
    if (replAtEnd) {
        buf[len - 1] = b;
    } else if (len < kReplLimit) {
        buf[len++] = b;
    } else {
        return 0;
    }
    CalcCrc();
    return 1;
}

void CPackMes::BegGet() {
    pos = FirstMes();
    hasIdent = pos == 2;
    ident = hasIdent ? (buf[1] & 63) : 0;
}

int CPackMes::GetMes(CMes& m) {
    m.Clear();
    if (pos < 1) {
        BegGet();
    }
    if (pos >= len) {
        return 0;
    }
    const int l = buf[pos];
    if (l < kMinMesLen || l > kMaxMesLen || pos + l > len) {
        return 0;
    }
    m.SetDann(l - 1, buf + pos + 1);
    m.prior = prior;
    m.pultNo = pultNo;
    pos += l;
    return 1;
}

void CPackMes::UnPack() {
    BegGet();
    nRepl = 0;
    std::memset(repl, 0, sizeof repl);
    int i = pos;
    while (i < len) {
        if (IsReplByte(buf[i])) {
            repl[nRepl++] = buf[i] & 63;
            // Moves the check byte down with the rest.
            std::memmove(buf + i, buf + i + 1, static_cast<size_t>(len - i));
            --len;
        } else {
            ++i;
        }
    }
}

bool CPackMes::IsValid() const {
    int p = pos >= 1 ? pos : FirstMes();
    while (p < len) {
        const int l = buf[p];
        if (l < kMinMesLen || l > kMaxMesLen || p + l > len) {
            return false;
        }
        p += l;
    }
    return p == len;
}

void CPackMes::Clear() {
    std::memset(buf + 1, 0, sizeof buf - 1);
    std::memset(repl, 0, sizeof repl);
    len = 1;
    pos = 0;
    nRepl = 0;
    ident = 0;
    hasIdent = false;
    prior = -1;
    pultNo = 0;
    CalcCrc();
}

void CPackMes::CalcCrc() {
    if (len >= 0 && len < kBufSize) {
        buf[len] = CalcCrc(buf, len) & 0x7F;
    }
}

unsigned char CPackMes::CalcCrc(const unsigned char* p, int n) {
    if (p == nullptr || n < 1) {
        return 0;
    }
    unsigned char crc = 0;
    for (int i = 0; i < n; ++i) {
        crc = kCrcTable[static_cast<unsigned char>(crc ^ p[i])];
    }
    return crc;
}

void CPackMes::SetOrigMes(int node, int sub) {
    if (len < 1) {
        return;
    }
    if ((buf[0] >> 4) == 15) {
        buf[0] = static_cast<unsigned char>((buf[0] & 0x0F) | ((sub & 15) << 4));
    }
    auto fillOpen = [node, sub](unsigned char* at) {
        int n = 0;
        int s = 0;
        CMes::GetAdr(at, n, s);
        if (n == kSenderOpenNode && s == kSenderOpenSub) {
            CMes::SetAdr(at, node, sub);
        }
    };
    int p = FirstMes();
    while (p < len) {
        const int l = buf[p];
        if (l < kMinMesLen || l > kMaxMesLen || p + l > len) {
            break;
        }
        unsigned char* units = buf + p + 1;
        const int count = l - 1;
        fillOpen(units);
        if (count >= 9 && units[5] == CMes::mesServiceAsk && units[6] == kServiceRoute) {
            fillOpen(units + 7);
        }
        p += l;
    }
}

bool CPackMes::Link(CPackMes& other) {
    if (&other == this || len < 1) {
        return false;
    }
    const int start = other.FirstMes();
    int p = start;
    while (p < other.len) {
        const int l = other.buf[p];
        if (l < kMinMesLen || l > kMaxMesLen || p + l > other.len) {
            break;
        }
        CMes m;
        m.SetDann(l - 1, other.buf + p + 1);
        if (!AddMes(m)) {
            break;
        }
        p += l;
    }
    if (p == start) {
        return false;
    }
    // The rest of `other` moves up behind its address and ident bytes.
    std::memmove(other.buf + start, other.buf + p, static_cast<size_t>(other.len - p));
    other.len -= p - start;
    std::memset(other.buf + other.len, 0, static_cast<size_t>(kBufSize - other.len));
    other.CalcCrc();
    other.BegGet();
    return true;
}

DBString CPackMes::Str(const wchar_t* prefix) const {
    static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    DBString s(prefix != nullptr ? prefix : L"");
    for (int i = 0; i < len && i < kBufSize; ++i) {
        s += L' ';
        s += kHex[buf[i] >> 4];
        s += kHex[buf[i] & 15];
    }
    return s;
}
