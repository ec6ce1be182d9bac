#pragma once

#include "DBString.h"

// The one or two extra flag units that follow the state units of a device report.
// Bit b (0..11) is bit b % 6 of unit b / 6; bits 10 and 11 are the two error flags
// that decide whether a newer report brings a new error.
class CInfoCLB {
public:
    static constexpr int kMaxUnits = 2;
    static constexpr int kErrBitA = 10;
    static constexpr int kErrBitB = 11;

    // Number of units in use, 0..2. Public because the record is a plain value;
    // every operation still clamps it, so a stray value cannot index past `data`.
    int len = 0;
    unsigned char data[kMaxUnits] = {0, 0};

    CInfoCLB() = default;

    void Clear();
    // Accepts one or two units; anything else (or a null pointer) leaves the record empty.
    int SetData(const unsigned char* p, int n);
    // Copies the units in use; 0 when they do not fit into `size`.
    int GetData(unsigned char* p, int size) const;
    void SetMove();

    bool tstBit(int b) const;
    // Bits may be set in units not yet in use; they stay invisible until `len` covers them.
    void setBit(int b);
    void clrBit(int b);

    unsigned char operator[](int i) const;
    bool IsEmpty() const;
    // Number of units actually in use, whatever `len` holds.
    int Used() const;

    bool operator==(const CInfoCLB& o) const;
    bool operator!=(const CInfoCLB& o) const { return !(*this == o); }
    // Same error flags (bits 10 and 11) in both records.
    bool EQ(const CInfoCLB& o) const;
    // `o` raises an error flag that this record does not have.
    bool NewError(const CInfoCLB& o) const;

    DBString BinStr() const;
    DBString HexStr() const;
};
