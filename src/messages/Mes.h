#pragma once

#include <cstdint>

#include "DBString.h"
#include "Sost.h"

// One message of the dispatch line. The message is kept twice: as the raw string of
// 6-bit units that travels inside line packets, V7 packets and Disp frames, and as the
// decoded fields the windows and the structure model read. Every constructor writes
// both; UnPack rebuilds the fields after the raw form has been received.
//
// Raw units never carry bits 6 and 7: the line packet marks its own control bytes with
// them. Every unit written here is therefore cut to 6 bits.
class CMes {
public:
    static constexpr int kMaxUnits = 64;
    // The largest raw form that can be loaded from received units.
    static constexpr int kMaxLoad = 63;
    // Requests carry this bit in their type; the answer has the same type without it.
    static constexpr int kRequestBit = 32;

    enum typMes : int {
        mesNone = 0,
        mesNvramSlot = 10,   // answer to mesNvramSlotAsk: one word of the slot's NVRAM
        mesNvramBlock = 13,  // NVRAM block answer
        mesService = 14,     // service answer
        mesDevReport = 25,   // device report sent on the device's own initiative
        mesDevAnswer = 26,   // answer to mesDevAsk
        mesPrefix = 29,      // prefix answer
        mesPrefixAsk = 30,   // prefix answer with sub-address
        mesAlert = 31,
        mesPultAnnounce = 40,   // '(' console announcement to the slot
        mesNvramSlotAsk = 42,   // '*' slot NVRAM word read or write
        mesNvramBlockJob = 45,  // '-' NVRAM block job
        mesServiceAsk = 46,     // '.' service request
        mesGGS = 48,            // '0' loudspeaker switching
        mesSlotPoll = 56,       // '8' slot poll
        mesDevAsk = 58,         // ':' device request
        mesPrefixReq = 61,      // '=' prefix request
        mesPrefixAskReq = 62    // '>' prefix request with sub-address
    };

    // Sub-address of a request inside the device, 0..31.
    enum askFromMain : int { askDevParam = 0, askState = 10, askLbNVRAM = 15, askRestart = 18, askMax = 31 };

    enum jobNVRAM : int { jobRead = 0, jobWrite = 1 };

    enum rezNVRAM : int { rezOk = 0, rezFail = 1 };

    enum typService : int { servNone = 0, servRoute = 2 };

    enum typPrefix : int { prefNone = 0 };

    // First byte of the packed payload of a sub-address 18 request.
    enum subServ18 : int { sub18None = 0, sub18Restart = 2 };

    // A 32-bit alert code, sent in up to six 6-bit groups.
    enum typAlert : uint32_t { alertNone = 0 };

    // Operating mode of the lift as its state report gives it (4 bits).
    enum modeLift : int { modeNone = 0, modeMax = 15 };

    // Extended state bits 0..7 of the lift state report.
    enum bitExtended : int { bitExt0 = 0, bitExt1, bitExt2, bitExt3, bitExt4, bitExt5, bitExt6, bitExt7 };

    // Fields in their fixed order; public because the rest of the program reads them.
    int32_t len = 0;
    uint8_t data[kMaxUnits] = {};
    int32_t pultNo = 0;
    int32_t prior = 255;
    int32_t origNode = 0;
    int32_t origSub = 0;
    int32_t destNode = 0;
    int32_t destSub = 0;
    int32_t hops = 0;
    int32_t dev = 0;
    int32_t typ = 0;
    int32_t aux = 0;
    int32_t ask = 0;
    int32_t alertKind = 0;
    uint32_t alertCode = 0;
    CSostDev sost;

    CMes() = default;
    CMes(const CMes& o) = default;
    // The state record's own assignment merges reports; a message copy must be exact.
    CMes& operator=(const CMes& o);

    // Received units; a count outside 0..63 gives an empty record.
    CMes(int n, const unsigned char* raw);

    // In every form below dn, ds, on, os are the receiver node and sub-address and the
    // sender node and sub-address.
    CMes(int dn, int ds, int on, int os, typMes t, unsigned char b);
    CMes(int dn, int ds, int on, int os, typMes t, const unsigned char* p, int n);
    // The general form: device number and sub-address, optional payload units and an
    // optional 8-bit tail (0..255; anything else adds nothing).
    CMes(int dn, int ds, int on, int os, int dev, typMes t, askFromMain a, const unsigned char* p, int n,
         int tail);
    CMes(int dn, int ds, int on, int os, jobNVRAM job, int addr, int count, const unsigned char* bytes);
    CMes(int dn, int ds, int on, int os, rezNVRAM rez, int addr, int count, const unsigned char* bytes);
    CMes(int dn, int ds, int on, int os, typService s, const unsigned char* p, int n);
    CMes(int dn, int ds, int on, int os, typPrefix a, unsigned char dev);
    CMes(int dn, int ds, int on, int os, typPrefix a, unsigned char dev, askFromMain k, int n,
         const unsigned char* p);
    CMes(int dn, int ds, int on, int os, int dev, subServ18 s, const unsigned char* p, int n);
    CMes(int dn, int ds, int on, int os, typAlert code, const unsigned char* p, int n);

    void Clear();
    // Clears, then loads n received units; refuses n outside 0..63 (returns 0).
    int SetDann(int n, const unsigned char* raw);
    void UnPack();

    // The setters below refuse (return 0) a record too short to hold what they rewrite.
    int SetOrig(int node, int sub);
    int SetDest(int node, int sub);
    int SetDev(int dev);
    int SetTypMes(typMes t);
    // Returns the new hop count, or 0 when the record has no hop unit.
    int IncHopCount();

    static void SetAdr(unsigned char* p, int node, int sub);
    static void GetAdr(const unsigned char* p, int& node, int& sub);

    // Parameter unit i (raw unit 6 + i); 0 outside the message.
    unsigned char operator[](int i) const;
    int SetByte(int i, unsigned char v);

    // False for a type-26 or type-30 answer whose last unit carries bit 5: an error
    // report of the device.
    bool IsGood() const;

    // Slot NVRAM word answer (type 10).
    int GetNVRAM(int& index, unsigned short& value) const;
    // NVRAM block (types 13 and 45): returns the result or job unit, 128 for any other
    // type. `count` is the number of bytes actually stored into `buf`.
    int GetNVRAM(int& addr, int& count, unsigned char* buf, int size) const;

    // LU NVRAM answer (sub-address 15); defined with the rest of the LU NVRAM service
    // in NvRam.cpp.
    bool GetLbNVRAM(int& index, unsigned short& value, bool& isWord) const;
    bool GetLbNVRAM(int& index, unsigned short& value, bool& isWord, unsigned short& value2,
                    bool& hasValue2) const;

    // Readers of the lift state report (type 26, sub-address 10).
    int LvlAsk10() const;
    int CurLvl() const;
    modeLift Mode() const;
    int CodDmamge() const;
    bool TestBit(bitExtended b) const;
    bool TestAsk(int n) const;
    bool TestCmd(int n) const;

    // 8-bit data of a programming answer; returns the byte count stored.
    int GetIAP(unsigned char* buf, int size) const;
    // 8-bit data of an alert (type 31); returns the byte count stored.
    int GetAlert(void* buf, int size) const;
    // Four statistics values; 0 when the message is too short to hold them.
    int GetSTAT(float& a, float& b, float& c, float& d) const;

    DBString Str(const wchar_t* prefix = nullptr) const;
    static DBString nameMode(modeLift m);

    // Three bytes into four units; returns the number of units written.
    static int Conv8To6(int n, const unsigned char* src, unsigned char* dst, int size);
    // Four units into three bytes, at most `bytes` of them; returns the bytes written.
    static int Conv6To8(int units, const unsigned char* src, int bytes, unsigned char* dst, int size);
    // Number of whole bytes that `units` units carry.
    static int BytesInUnits(int units) { return units > 0 ? units * 3 / 4 : 0; }

private:
    // Raw unit i, or 0 beyond the message: decoding never reads what was not received.
    int U(int i) const { return (i >= 0 && i < len && i < kMaxUnits) ? data[i] : 0; }
    void WriteHeader(int dn, int ds, int on, int os, int t);
    void WriteNvramBlock(int dn, int ds, int on, int os, int t, int addr, int count, int code,
                         const unsigned char* bytes);
    void WriteDevAsk(int at, int dev, int ask);
    void AppendUnits(const unsigned char* p, int n);
    bool IsLiftState() const;
};
