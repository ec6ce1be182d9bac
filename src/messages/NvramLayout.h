#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "DBString.h"
#include "NvRam.h"

// The LU's NVRAM words as named parameters: which bits of which word each one occupies, how its
// value reads, and under which label the windows show it. The service page, the configuration
// grid and the command line all take their parameters from here.

// How a parameter's bits read.
enum class typParamCodec {
    Firmware,        // word 0: version a.b.c
    Switch,          // 0x55 on, anything else off
    Entry,           // the byte is an entry of the list
    Floors,          // 0 "Auto", else the number of floors up to max
    Number,          // the byte is a number from min to max
    CanPower,        // entries 0..17 are 210..227, the last entry is 0xFF
    UserIO,          // direction, mode and inversion of a USER input/output
    VoiceCheck,      // 0 off, else the value
    DisplayABL,      // the out-of-service input: a display code with inversion
    LiftNumber,      // 0xFF assigned automatically, else the number
    NegativeFloors,  // bits 0-6 the number, bit 7 "has floor 0"; 0xFF none
    Bit,             // one bit, on when set (or, inverted, when clear)
    BitEntry,        // one bit choosing entry 0 or 1 of the list
    Interval,        // a 4-bit field choosing one of the 16 durations
};

struct ParamDef {
    // A stable name for scripts: "door_reversing", "flag_86", "state_05.trigger".
    std::string key;
    // Message number of the label, and of the text that tells it from its neighbours under the
    // same label (a grid column's heading, a check box's own text; 0 for none).
    int label = 0;
    int detail = 0;
    int word = 0;
    int shift = 0;
    int width = 8;
    typParamCodec codec = typParamCodec::Number;
    int min = 0;
    int max = 255;
    // Message numbers of the list entries (Entry, CanPower, BitEntry).
    std::vector<int> choices;
    bool inverted = false;
    // Interval: the durations scaled by 1, 10 or 100.
    int scale = 1;
    // Where the windows show it: the label's control on the service page (0: none), or the
    // grid's cell (row, column 1..4; -1: none).
    int pageLabel = 0;
    int gridRow = -1;
    int gridCol = -1;

    // The parameter's bits of `words`, shifted down.
    unsigned Raw(const WordMap& words) const;
    // `words` with the parameter's bits replaced by `raw`.
    void SetRaw(WordMap& words, unsigned raw) const;
    // Whether the parameter occupies bit `bit` (0..15) of word `w`.
    bool Covers(int w, int bit) const;
    // "word 5, bits 8-15" style location: "5:8-15", "13:2".
    std::string Where() const;
    // The label in the current language, with its detail after it.
    DBString Label() const;
    // The value in the current language ("3 sec.", "OUTPUT: 212. Emergency lighting"). A value no
    // entry stands for reads as its raw number in hex.
    DBString Text(unsigned raw) const;
    // Raw values a and b mean the same ("no negative floors" as 0xFF or 0 on newer units).
    bool SameValue(unsigned a, unsigned b, int protoVer) const;
};

// Protocol generation by device type: 7, 6, 5, or 0 for a type without a layout.
int ProtoVerOfType(int devType);

// The parameters of the service page and of the configuration grid of a generation, in the
// order the windows show them; empty for generation 0.
const std::vector<ParamDef>& ServiceParams(int protoVer);
const std::vector<ParamDef>& GridParams(int protoVer);
// Both, service page first.
std::vector<const ParamDef*> AllParams(int protoVer);
// The parameter that occupies bit `bit` of word `w`, nullptr when no window shows that bit.
const ParamDef* ParamAt(int protoVer, int w, int bit);

// One change between two images, as a person reads it: the parameter whose bits changed, or a
// byte that no window shows (`param` null; then old and new are the byte's values).
struct ParamChange {
    const ParamDef* param = nullptr;
    int word = 0;
    bool highByte = false;
    unsigned oldRaw = 0;
    unsigned newRaw = 0;
};
// Every change that writing `to` over `from` makes, in the order of the byte writes.
std::vector<ParamChange> DescribeChanges(int protoVer, const WordMap& from, const WordMap& to);

// ---- The encodings the windows and the command line share ----------------------------------

namespace NvramCodec {

// Lengths of the fixed lists.
constexpr int kInputChoices = 87;
constexpr int kOutputChoices = 18;
constexpr int kDisplayABLChoices = 85;
constexpr int kCanPowerChoices = 19;
constexpr int kFloorsChoicesV5 = 25;
constexpr int kFloorsChoices = 64;
constexpr uint8_t kNvramEnabled = 0x55;
constexpr int kInputModeNone = 0;
constexpr int kInputModeCallsCheck = 86;

// Durations of the 16 interval codes, in seconds.
extern const double kIntervalSeconds[16];

struct UserIO {
    bool output = false;
    int mode = 0;
    bool inverted = false;
    bool valid = true;  // false: the byte means nothing the lists can show
    bool operator==(const UserIO&) const = default;
};
UserIO DecodeUserIOByte(uint8_t b);
uint8_t EncodeUserIOByte(const UserIO& v);

struct DisplayABL {
    bool known = false;  // false: the byte leaves the page as it is
    int entry = 0;
    bool checked = false;
    bool enabled = false;
};
struct DisplayABLWrite {
    uint8_t byte = 0;
    bool checked = false;
    bool enabled = false;
};
DisplayABL LoadDisplayABLByte(uint8_t b);
std::optional<DisplayABLWrite> EncodeDisplayABLEntry(int entry, bool checked);

int DecodeCanPowerByte(uint8_t b);
uint8_t EncodeCanPowerEntry(int entry);

struct NegativeFloors {
    int count = 0;
    bool hasFloorZero = false;
    bool operator==(const NegativeFloors&) const = default;
};
NegativeFloors DecodeNegativeFloorsByte(uint8_t b);
uint8_t EncodeNegativeFloorsByte(const NegativeFloors& v, uint8_t current);
uint8_t NormalizeNegativeFloorsByte(uint8_t b);

DBString FirmwareText(uint16_t word0);

// The lists, in the current language.
// One entry of a list, as the list would hold it.
DBString InputChoice(int mode);
DBString OutputChoice(int mode);
DBString DisplayABLChoice(int entry);
DBString IntervalChoice(int scale, int index);
std::vector<DBString> InputChoices();
std::vector<DBString> OutputChoices();
std::vector<DBString> DisplayABLChoices();
std::vector<DBString> FloorsChoices(int highest);
std::vector<DBString> IntervalChoices(int scale);

}  // namespace NvramCodec
