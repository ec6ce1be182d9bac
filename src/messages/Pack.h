#pragma once

#include <cstdint>

#include "DBString.h"
#include "Mes.h"

// The line packet: an address byte, an optional ident byte, messages each behind a
// length byte, an optional reply byte, and a 7-bit check byte behind them all.
// Message units and length bytes stay below 64, so after the address byte a byte with
// bits 7..6 = 10 is an ident and one with 01 is a reply.
class CPackMes {
public:
    static constexpr int kBufSize = 64;
    // Messages may fill the packet up to this many bytes before the check byte.
    static constexpr int kMesLimit = 59;
    // A reply byte may be added behind messages up to this many bytes.
    static constexpr int kReplLimit = 62;
    // Received packets are cut here so the check byte still fits behind them.
    static constexpr int kMaxLen = kBufSize - 1;
    static constexpr int kMinMesLen = 6;   // smallest length byte: 5 units
    static constexpr int kMaxMesLen = 59;  // largest length byte: 58 units
    static constexpr unsigned char kIdentMark = 0x80;
    static constexpr unsigned char kReplMark = 0x40;

    // Fields in their fixed order; public because the links read them directly.
    int32_t pos = 0;
    int32_t len = 1;
    int32_t nRepl = 0;
    int32_t ident = 0;
    bool hasIdent = false;
    unsigned char buf[kBufSize] = {};
    unsigned char repl[kBufSize] = {};
    int32_t prior = -1;
    int32_t pultNo = 0;

    CPackMes() = default;
    CPackMes(int orig, int dest, int prior);
    // A received packet: at most 63 bytes are kept; the check byte is written anew.
    CPackMes(int n, const unsigned char* bytes, int prior);

    void SetAddr(int orig, int dest);
    // Change one nibble of the address byte; 0 for a packet without one.
    int SetOrig(int orig);
    int SetDest(int dest);
    int GetOrig() const;
    int GetDest() const;

    // Returns 0 when the packet has no address byte or no room for the ident.
    int SetIdent(int id);
    void DelIdent();
    // Appends an ident byte at the end without a new check byte; 0 when full.
    int AddIdent(int id);

    // Refuses (0) a message that would take the packet past 59 bytes, and a message
    // that is no line message (fewer than 5 or more than 58 units, or a unit with
    // bit 6 or 7 set, which the parser would read as an ident or a reply).
    int AddMes(const CMes& m);
    int AddRepl(unsigned char code);

    void BegGet();
    int GetMes(CMes& m);
    void UnPack();
    bool IsValid() const;
    bool IsEmpty() const { return len < 2; }
    bool IsNoMes() const { return len < 6; }

    void Clear();
    void SetPrior(int p) { prior = p; }
    void CalcCrc();
    // The full 8-bit CRC (polynomial 0x43); the packet keeps its low 7 bits.
    static unsigned char CalcCrc(const unsigned char* p, int n);

    // Fills in a sender that was left open (node 255, sub-address 15).
    void SetOrigMes(int node, int sub);
    // Moves whole messages from `other` while they fit; true when any moved.
    bool Link(CPackMes& other);

    DBString Str(const wchar_t* prefix = nullptr) const;

private:
    int FirstMes() const;
    static bool IsIdentByte(unsigned char b) { return (b & 0xC0) == kIdentMark; }
    static bool IsReplByte(unsigned char b) { return (b & 0xC0) == kReplMark; }
};
