#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "Mes.h"

// ---- The LU's NVRAM service ------------------------------------------------------------
//
// Requests go to the LU as type-58 messages and come back as type-26 answers with the same
// sub-address. Payloads are bytes packed three into four units from raw unit 8 on. The
// answers are decoded by CMes::GetLbNVRAM (defined in NvRam.cpp).

// Highest byte address a write request can carry: the address travels in 13 bits.
constexpr int kLbNvramMaxAddr = 8191;
// Highest word whose two bytes both have an address.
constexpr int kLbNvramMaxWord = kLbNvramMaxAddr / 2;
// Device numbers a type-58 request can reach: above 127 the top bit of the device
// number collides with the fifth sub-address bit on the receiving side.
constexpr int kLuMaxDev = 127;

// Priorities with which the tool queues its LU requests.
constexpr int kLuPriorRead = 8;
constexpr int kLuPriorWrite = 16;

// Payload of a one-byte write (sub-address 15). An address outside 0..8191 is refused
// (false, `units` untouched): cut to 13 bits it would overwrite a different byte.
bool LbNvramWriteUnits(int address, unsigned char value, unsigned char units[4]);

// Payload of the restart command (sub-address 18).
void LbRestartUnits(unsigned char units[4]);

// Payload of a slot NVRAM word write (type 42): word index 0..63 and the value.
bool SlotNvramWriteUnits(int index, uint16_t value, unsigned char units[4]);

// Where an LU request goes: receiver node (the UM) and sub-address (the slot), the LU's
// device number, and the sender, which is the tool's own console address by default.
struct LuTarget {
    int destNode = 0;
    int destSub = 0;
    int dev = 0;
    int origNode = 255;
    int origSub = 15;

    // Every address fits its units and the device number survives the round trip.
    bool IsValid() const;
};

// One LU request in the shape both CDev::AddMes and a bare CMes need: type, sub-address,
// payload units and the priority to queue it with. Never carries a tail.
struct LuRequest {
    CMes::typMes typ = CMes::mesDevAsk;
    CMes::askFromMain ask = CMes::askDevParam;
    std::array<unsigned char, 4> units{};
    int n = 0;
    int prior = kLuPriorRead;

    // The message for `t`; empty when `t` is not valid.
    std::optional<CMes> ToMes(const LuTarget& t) const;
};

LuRequest LuDevParamsRequest();
LuRequest LuNvramReadRequest();
// Refused for an address outside 0..8191.
std::optional<LuRequest> LuByteWriteRequest(int address, unsigned char value);
// The two byte writes of one word, low byte first; refused for a word outside 0..4095.
std::optional<std::array<LuRequest, 2>> LuWordWriteRequests(int word, uint16_t value);
LuRequest LuRestartRequest();

// The same four requests as ready messages. Empty when the target or the address is refused.
std::optional<CMes> LuDevParamsMes(const LuTarget& t);
std::optional<CMes> LuNvramReadMes(const LuTarget& t);
std::optional<CMes> LuByteWriteMes(const LuTarget& t, int address, unsigned char value);
std::optional<CMes> LuRestartMes(const LuTarget& t);

// ---- The LU's words as the tool holds them ----------------------------------------------

// Words the LU's NVRAM holds; a settings file is exactly their image, two bytes each.
constexpr int kLuWords = 32;
constexpr int kLuWordBytes = 2 * kLuWords;
// Bits that word 8 of a complete defaults image always carries.
constexpr uint16_t kLuWord8DefaultBits = 0x5500;

// NVRAM word number -> 16-bit value. Words not in the map read as 0.
using WordMap = std::map<int, uint16_t>;

uint16_t GetWord(const WordMap& words, int w);
uint8_t GetLowByte(const WordMap& words, int w);
uint8_t GetHighByte(const WordMap& words, int w);

// Each setter creates the word with value 0 when absent and leaves every other bit as it was.
void SetLowByte(WordMap& words, int w, uint8_t b);
void SetHighByte(WordMap& words, int w, uint8_t b);

bool GetWordBit(const WordMap& words, int w, int bit);
void SetWordBit(WordMap& words, int w, int bit, bool on);

// A bit field of `width` bits starting at bit `shift` (the time intervals are 4-bit fields).
unsigned GetWordField(const WordMap& words, int w, int shift, int width);
void SetWordField(WordMap& words, int w, int shift, int width, unsigned value);

// One byte write to the LU: byte address 2w for the low byte of word w, 2w + 1 for its high byte.
struct LuByteWrite {
    int address = 0;
    uint8_t value = 0;
    bool operator==(const LuByteWrite&) const = default;
};

// The byte writes that take the LU's words `from` to `to`, in ascending word order, low byte
// first; only bytes that differ travel. Words 0..31 only: the LU has no others.
std::vector<LuByteWrite> LuWriteBytes(const WordMap& from, const WordMap& to);

// Whether an answer to an NVRAM read or write is the LU's error report. An answer in the plain
// 12-unit word form carries bit 15 of the value in the bit that marks error reports, so such
// an answer is a word, whatever that bit says.
bool IsNvramErrorReport(const CMes& m);

// ---- The slot NVRAM image ----------------------------------------------------------------
//
// Mirror of the 64-word NVRAM of a UM slot, with a bit per word that says whether the
// word has been read. Words 32..47 are the presence map of the devices on the slot's line.
class CNvRam {
public:
    static constexpr int kWords = 64;
    static constexpr int kFirstPresenceWord = 32;
    static constexpr int kMaxDev = 255;
    // Polling order: words 0, 8 and 16 first, then the rest ascending.
    static const int s_Tab[kWords];

    int next = 0;
    uint16_t word[kWords] = {};
    uint32_t mask[2] = {};

    void Clear();
    // Next word to poll; starts over after the 64th.
    int NextIndex();

    // The value and whether it has been read; 0 (and a zero value) outside 0..63.
    int GetWord(int i, unsigned short& w) const;
    int GetLowByte(int i, unsigned char& b) const;
    int GetHigByte(int i, unsigned char& b) const;
    int SetWord(int i, unsigned short w);

    void SetMask(int i);
    void ClrMask(int i);
    int GetMask(int i) const;

    // Word that holds the presence bit of device d, -1 outside 0..255.
    static int NumWordLB(int d);
    // Returns whether that word has been read; if so, `present` gets the device's bit.
    int ExistDev(int d, int& present) const;

    // Takes 64 little-endian words (128 bytes); the read marks and the cursor stay.
    CNvRam& operator=(const unsigned char* p);
    // Compares the words only.
    bool operator==(const CNvRam& o) const;
};
