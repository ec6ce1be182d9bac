#pragma once

class CMes;

// State of a piece of door-zone equipment: 24 state bits in four 6-bit units, a cursor
// for walking the set bits, and a flag that marks the first report after a reset.
class CSostDZ {
public:
    static constexpr int kUnits = 4;
    static constexpr int kBits = 24;

    int cursor = 0;
    unsigned char data[kUnits] = {};
    int first = 1;

    void Clear();
    // Takes up to four units (the rest become 0), restarts the cursor and marks the
    // record as a first report. Returns the number of units taken.
    int SetData(const unsigned char* p, int n);

    bool tstBit(int b) const;
    // Finds the next set bit from the cursor; 0 when none is left.
    int NextSost(int& b);
    // Starts NextSost from bit 0 again.
    void BegSost() { cursor = 0; }

    bool operator==(const CSostDZ& o) const;
    bool operator!=(const CSostDZ& o) const { return !(*this == o); }
    // Compares with four raw units; a null pointer never matches.
    bool operator==(const unsigned char* units) const;

    // Any state bit set.
    bool ExistSost() const;
    // Some bit set in `old` is clear here (a state went away).
    bool existsNul(const CSostDZ& old) const;
    // Some bit clear in `old` is set here (a state appeared).
    bool existsOne(const CSostDZ& old) const;
    // Sets the first-report flag; the owner clears it once the first report is handled.
    void SetMode(int firstReport) { first = firstReport; }
    bool IsFirst() const { return first != 0; }

    // Takes the state units from the payload of a device report (the units after the
    // device and sub-address pair).
    CSostDZ& operator=(const CMes& m);

private:
    unsigned Bits() const;
};
