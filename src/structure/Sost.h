#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "DBString.h"
#include "InfoCLB.h"

// State of a lift unit as its reports carry it: up to eight 6-bit state units and the
// CLB flag units behind them.
class CSostDev {
public:
    // State bits 0..39 live in the state units, 40..42 in the CLB flags.
    enum bitLB : int {
        bitMaintenance = 0,
        bitRestart = 1,
        bitDoorReversing = 2,
        bitMachineRoomEntry = 3,
        bitNoPower = 4,
        bitStopClamped = 5,
        bitCabinDoorOpen = 6,
        bitChainOpen = 7,
        bitDoorNotClosed = 8,
        bitChainShort = 9,
        bitDispatcherCall = 10,
        bitUnauthorizedMove = 11,
        bitMainDriveFault = 12,
        bitDoorDriveFault = 13,
        bitShaftEntry = 14,
        bitSafetyDeviceFault = 15,
        bitOutOfService = 16,
        bitMachineRoomOpen = 17,
        bitBetweenFloors = 18,
        bitCabinDoorSensor = 19,
        bitNoSerialLink = 20,
        bitMainDriveOn = 21,
        bitReserved1 = 22,
        bitChainBeginVoltage = 23,
        bitMoveChainOpen = 24,
        bitRefiningCall = 25,
        bitFaultVoice = 26,
        bitStatLow = 27,
        bitStatHigh = 28,
        bitReserved29 = 29,
        bitReserved30 = 30,
        bitReserved31 = 31,
        bitUser1 = 32,
        bitUser2 = 33,
        bitUser3 = 34,
        bitUser4 = 35,
        bitNoMains = 36,
        bitChainAC = 37,
        bitFire = 38,
        bitBattery = 39,
        bitIdle1Hour = 40,
        bitNoInfo = 41,
        bitNoLink = 42,
        bitCount = 43
    };

    static constexpr int kMaxUnits = 8;

    // Units in use: 0, 4 or 8. Public for the message record; operations clamp it.
    int len = 0;
    unsigned char data[kMaxUnits] = {};
    CInfoCLB info;

    CSostDev() = default;
    CSostDev(const CSostDev&) = default;
    // Merges a shorter report into a longer one instead of truncating it. A record that
    // holds a CSostDev and must copy it exactly (a message copy) uses Assign instead.
    CSostDev& operator=(const CSostDev& o);
    void Assign(const CSostDev& o);

    void Clear();
    // Six units give four state units and two flag units, ten give eight and two.
    int SetData(const unsigned char* p, int n);
    int GetData(unsigned char* p, int size) const;

    bool tstBit(int b) const;
    void setBit(int b);
    void clrBit(int b);
    bool tstBitDirect(int b) const;

    unsigned char operator[](int i) const;
    bool operator==(const CSostDev& o) const;
    bool operator!=(const CSostDev& o) const { return !(*this == o); }
    // Equality for reporting: ignores bits 3 and 4 of unit 3, and only the CLB error
    // flags matter once either of them is raised.
    bool EQ(const CSostDev& o) const;

    bool IsEmpty() const;
    void Normaliz();
    bool IsError() const;
    static bool IsError(bitLB b);
    static bool IsNoValBit(bitLB b);

    int GetCodErrHF() const;
    int GetStatDriv() const;

    static int naimSostRes(bitLB b);
    static DBString naimSost(bitLB b);

    DBString BinStr() const;
    DBString HexStr() const;

    int Used() const;
};

// Plain link and address values that a slot record keeps; the tool creates them empty.

// IPv4 address in host order.
struct CIpAddr {
    uint32_t addr = 0;

    bool IsNul() const { return addr == 0; }
    bool operator==(const CIpAddr&) const = default;
};

struct CMacAddr {
    unsigned char mac[6] = {};

    bool operator==(const CMacAddr&) const = default;
};

struct CIpPort {
    uint16_t port = 0;

    bool operator==(const CIpPort&) const = default;
};

// A link from a slot to the slot (UM, slot) it is paired with.
struct CLinkNet {
    int um = 0;
    int slot = 0;

    bool operator==(const CLinkNet&) const = default;
};

// An address link of a slot: the network settings of one remote end.
struct CLinkCLL {
    int number = 0;
    int um = 0;
    int slot = 0;
    CIpAddr ip;
    CIpAddr ipDop1;
    CIpAddr ipDop2;
    CIpAddr mask;
    CIpAddr gtw;
    CIpPort dataPort;
    CIpPort voicePort;
    DBString note;

    bool operator==(const CLinkCLL&) const = default;
};

// Tables own their records. A record whose key is already present is refused with 0 and
// stays with the caller (the pointer is moved from only on success).
class CLinkNetTab {
public:
    int Insert(std::unique_ptr<CLinkNet>&& link);
    CLinkNet* Find(int um, int slot) const;
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    CLinkNet* At(int i) const;

private:
    std::vector<std::unique_ptr<CLinkNet>> items_;
};

class CLinkCLLTab {
public:
    int Insert(std::unique_ptr<CLinkCLL>&& link);
    CLinkCLL* Find(int number) const;
    void Clear() { items_.clear(); }
    int Count() const { return static_cast<int>(items_.size()); }
    CLinkCLL* At(int i) const;

private:
    std::vector<std::unique_ptr<CLinkCLL>> items_;
};
