#pragma once

#include <bitset>
#include <cstdint>

// A sensor and call report of up to 36 six-bit units, laid out like the payload of a
// lift state report:
//   units 0..3    state bits 0..23             units 4..5   extended bits 24..35
//   unit 6        current floor (0..32)        unit 7       operating mode (4 bits)
//   unit 8        device type                  units 10..11 damage code
//   units 12..15  calls of floors 1..24        units 16..19 cabin commands of floors 1..24
//   units 20..27  calls of floors 25..72       units 28..35 cabin commands of floors 25..72
// Fields of a block that the report does not reach read as 0.
class CSostSens {
public:
    static constexpr int kMaxUnits = 36;
    static constexpr int kBits = 120;
    static constexpr int kFloors = 24;
    static constexpr int kFloorsFull = 72;
    using FloorSet = std::bitset<kFloorsFull>;

    int len = 0;
    unsigned char data[kMaxUnits] = {};

    void Clear();
    // Keeps at most 36 units; returns the number kept (0 for a null pointer).
    int SetData(const unsigned char* p, int n);

    // Bit b (0..119) is bit b % 6 of unit b / 6; units beyond the report read as 0.
    bool tstBit(int b) const;
    void setBit(int b);
    void clrBit(int b);

    int CurLvl() const;
    int Mode() const;
    int TypDev() const;
    int CodDmamge() const;
    // How much of the report is there: -1 under 4 units, 0 under 12, 1 under 20, else 2.
    int LvlAsk10() const;

    // Floor n counts from 1; floors 1..24 need 20 units, the rest the extension blocks.
    bool TestAsk(int n) const;
    bool TestCmd(int n) const;
    // Floors 1..24 as bits 0..23.
    uint32_t ValAsk() const;
    uint32_t ValCmd() const;
    // Floors 1..72 as bits 0..71.
    FloorSet ValAskFull() const;
    FloorSet ValCmdFull() const;

    // Change tests against an older report of the same device.
    bool chngBitLvl0(const CSostSens& old) const;
    bool chngBitLvl1(const CSostSens& old) const;
    bool chngCurLvl(const CSostSens& old) const { return CurLvl() != old.CurLvl(); }
    bool chngMode(const CSostSens& old) const { return Mode() != old.Mode(); }
    bool chngTypDev(const CSostSens& old) const { return TypDev() != old.TypDev(); }
    bool chngCodDmamge(const CSostSens& old) const { return CodDmamge() != old.CodDmamge(); }
    bool chngValAsk(const CSostSens& old) const { return ValAsk() != old.ValAsk(); }
    bool chngValCmd(const CSostSens& old) const { return ValCmd() != old.ValCmd(); }
    bool chngValAskFull(const CSostSens& old) const { return ValAskFull() != old.ValAskFull(); }
    bool chngValCmdFull(const CSostSens& old) const { return ValCmdFull() != old.ValCmdFull(); }

    bool operator==(const CSostSens& o) const;

private:
    int Used() const;
    // Unit i of the report, 0 when the report is shorter.
    unsigned char Unit(int i) const;
    // Floor bit n (from 1) of two blocks: `base` for floors 1..24, `ext` for 25..72.
    bool FloorBit(int base, int ext, int n) const;
    FloorSet FloorSetOf(int base, int ext) const;
};
