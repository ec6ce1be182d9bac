#include "NvramLayout.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "LoadRes.h"

namespace {

constexpr int kTextOn = 1155;
constexpr int kTextOff = 1156;
constexpr int kTextAuto = 1590;
constexpr int kTextSeconds = 1570;
constexpr int kTextInverse = 1591;
constexpr int kTextAutoNumber = 1592;
constexpr int kTextHasFloorZero = 1599;
constexpr int kTextInput = 1580;
constexpr int kTextOutput = 1581;

// First word of the grid's check columns 1..3; rows 16-31 and 32-39 use the next two words.
constexpr int kCheckWordBase[3] = {9, 14, 17};
constexpr const char* kCheckColumnKey[3] = {"algorithms", "trigger", "poweroff"};
constexpr int kFirstIntervalRow = 8;

std::vector<int> Range(int first, int last) {
    std::vector<int> out;
    for (int m = first; m <= last; ++m) out.push_back(m);
    return out;
}

// The few formats of the values, without the wide printf: a listing of every parameter
// formats hundreds of them.
DBString Hex(unsigned raw) {
    static const wchar_t digits[] = L"0123456789ABCDEF";
    DBString s = L"0x";
    bool started = false;
    for (int shift = 28; shift >= 0; shift -= 4) {
        const unsigned d = (raw >> shift) & 15u;
        started = started || d != 0 || shift < 8;
        if (started) s += digits[d];
    }
    return s;
}

DBString Decimal(unsigned raw) {
    return DBString(std::to_wstring(raw));
}

DBString CodeEntry(int code, int message, bool wideGap) {
    return DBString(std::to_wstring(code) + (wideGap ? L".   " : L". ")) + _S_(message);
}

ParamDef Byte(std::string key, int label, int pageLabel, int word, bool high, typParamCodec codec) {
    ParamDef p;
    p.key = std::move(key);
    p.label = label;
    p.pageLabel = pageLabel;
    p.word = word;
    p.shift = high ? 8 : 0;
    p.width = 8;
    p.codec = codec;
    return p;
}

ParamDef Bit(std::string key, int label, int detail, int pageLabel, int word, int bit, typParamCodec codec) {
    ParamDef p;
    p.key = std::move(key);
    p.label = label;
    p.detail = detail;
    p.pageLabel = pageLabel;
    p.word = word;
    p.shift = bit;
    p.width = 1;
    p.codec = codec;
    return p;
}

void AddCommonFlags(std::vector<ParamDef>& out, int protoVer) {
    for (int bit = 0; bit < 16; ++bit) {
        const bool present =
            bit <= 4 || bit == 11 || bit >= 13 || (protoVer >= 6 && (bit == 5 || bit == 8 || bit == 9));
        if (!present) continue;
        ParamDef p =
            Bit("flag_" + std::to_string(83 + bit), 1983 + bit, 0, 162 + bit, 13, bit, typParamCodec::Bit);
        // Bits 2 and 3 are set when their boxes are clear.
        p.inverted = bit == 2 || bit == 3;
        if (bit >= 13) {
            p.codec = typParamCodec::BitEntry;
            static const int lists[3][2] = {{1585, 1584}, {1587, 1586}, {1589, 1588}};
            p.choices = {lists[bit - 13][0], lists[bit - 13][1]};
        }
        out.push_back(std::move(p));
    }
}

std::vector<ParamDef> BuildService(int protoVer) {
    std::vector<ParamDef> out;
    if (protoVer < 5 || protoVer > 7) return out;
    out.push_back(Byte("nvram_table", 1918, 147, 8, true, typParamCodec::Switch));
    ParamDef fw = Byte("firmware", 1902, 148, 0, false, typParamCodec::Firmware);
    fw.width = 16;
    out.push_back(fw);
    ParamDef doors = Byte("door_reversing", 1904, 150, 1, true, typParamCodec::Number);
    doors.min = 1;
    doors.max = 15;
    ParamDef floors = Byte("floors", 1910, 156, 4, true, typParamCodec::Floors);
    ParamDef abl = Byte("out_of_service_input", 1912, 158, 5, true, typParamCodec::DisplayABL);
    if (protoVer == 5) {
        floors.max = NvramCodec::kFloorsChoicesV5 - 1;
        out.push_back(doors);
        out.push_back(floors);
        out.push_back(abl);
        AddCommonFlags(out, protoVer);
        return out;
    }
    ParamDef out1 = Byte("out1_mode", 1903, 149, 1, false, typParamCodec::Entry);
    out1.choices = protoVer == 7 ? Range(1602, 1617) : Range(1602, 1604);
    if (protoVer == 7) out1.choices.insert(out1.choices.end(), {1600, 1601});
    out.push_back(out1);
    out.push_back(doors);
    if (protoVer == 7) {
        ParamDef can = Byte("can_power", 1905, 151, 2, false, typParamCodec::CanPower);
        can.choices = Range(1618, 1636);
        out.push_back(can);
    }
    for (int k = 0; k < 4; ++k) {
        const int half = k + 1;  // USER1 = word 2 high, USER2 = word 3 low, ...
        out.push_back(Byte("user" + std::to_string(k + 1), 1906 + k, 152 + k, 2 + half / 2, half % 2 == 1,
                           typParamCodec::UserIO));
    }
    floors.max = NvramCodec::kFloorsChoices - 1;
    out.push_back(floors);
    ParamDef voice = Byte("voice_check", 1911, 157, 5, false, typParamCodec::VoiceCheck);
    voice.max = 99;
    out.push_back(voice);
    out.push_back(abl);
    out.push_back(Byte("lift_number", 1913, 159, 6, false, typParamCodec::LiftNumber));
    static const char* const sounds[] = {"sound_beep", "sound_call_registered", "sound_floor_arrival",
                                         "sound_background_music", "sound_user_message"};
    for (int k = 0; k < (protoVer == 7 ? 5 : 4); ++k)
        out.push_back(Bit(sounds[k], 1914, 1594 + k, 160, 6, 8 + k, typParamCodec::Bit));
    ParamDef negative = Byte("negative_floors", 1915, 161, 7, false, typParamCodec::NegativeFloors);
    negative.max = 16;
    out.push_back(negative);
    AddCommonFlags(out, protoVer);
    return out;
}

std::vector<ParamDef> BuildGrid(int protoVer) {
    std::vector<ParamDef> out;
    const int rows = protoVer >= 6 ? 40 : 32;
    char key[32];
    for (int r = 0; r < rows; ++r) {
        for (int c = 1; c <= 3; ++c) {
            std::snprintf(key, sizeof key, "state_%02d.%s", r, kCheckColumnKey[c - 1]);
            ParamDef p =
                Bit(key, 1919 + r, 1801 + c, 0, kCheckWordBase[c - 1] + r / 16, r % 16, typParamCodec::Bit);
            p.gridRow = r;
            p.gridCol = c;
            out.push_back(std::move(p));
        }
        if (r < kFirstIntervalRow) continue;
        std::snprintf(key, sizeof key, "state_%02d.interval", r);
        ParamDef p;
        p.key = key;
        p.label = 1919 + r;
        p.detail = 1805;
        // Rows 8-31 fill words 22-27; rows 32-39 skip the two words between them.
        p.word = r < 32 ? 22 + (r - kFirstIntervalRow) / 4 : 24 + (r - kFirstIntervalRow) / 4;
        p.shift = 4 * (r % 4);
        p.width = 4;
        p.codec = typParamCodec::Interval;
        p.scale = r == 10 ? 10 : r == 11 ? 100 : 1;
        p.gridRow = r;
        p.gridCol = 4;
        out.push_back(std::move(p));
    }
    return out;
}

// Generations 0, 5, 6 and 7 in that order.
int Slot(int protoVer) {
    return protoVer >= 5 && protoVer <= 7 ? protoVer - 4 : 0;
}

}  // namespace

int ProtoVerOfType(int devType) {
    if (devType == 14) return 7;
    if (devType == 11 || devType == 12) return 6;
    if (devType >= 4 && devType <= 9) return 5;
    return 0;
}

// The layouts hold message numbers only, so they are built once whatever the language, and
// only for the generations asked for: a run that reads one unit needs one.
template <std::vector<ParamDef> (*Build)(int)>
const std::vector<ParamDef>& Layout(int protoVer) {
    switch (Slot(protoVer)) {
        case 1: {
            static const std::vector<ParamDef> layout = Build(5);
            return layout;
        }
        case 2: {
            static const std::vector<ParamDef> layout = Build(6);
            return layout;
        }
        case 3: {
            static const std::vector<ParamDef> layout = Build(7);
            return layout;
        }
        default: {
            static const std::vector<ParamDef> layout = Build(0);
            return layout;
        }
    }
}

const std::vector<ParamDef>& ServiceParams(int protoVer) {
    return Layout<BuildService>(protoVer);
}

const std::vector<ParamDef>& GridParams(int protoVer) {
    return Layout<BuildGrid>(protoVer);
}

std::vector<const ParamDef*> AllParams(int protoVer) {
    std::vector<const ParamDef*> out;
    for (const ParamDef& p : ServiceParams(protoVer)) out.push_back(&p);
    for (const ParamDef& p : GridParams(protoVer)) out.push_back(&p);
    return out;
}

const ParamDef* ParamAt(int protoVer, int w, int bit) {
    for (const ParamDef* p : AllParams(protoVer))
        if (p->Covers(w, bit)) return p;
    return nullptr;
}

std::vector<ParamChange> DescribeChanges(int protoVer, const WordMap& from, const WordMap& to) {
    std::vector<ParamChange> out;
    std::vector<const ParamDef*> listed;
    for (const LuByteWrite& b : LuWriteBytes(from, to)) {
        const int word = b.address / 2;
        const bool high = b.address % 2 == 1;
        const int first = high ? 8 : 0;
        unsigned unexplained = (GetWordField(from, word, first, 8) ^ GetWordField(to, word, first, 8))
                               << first;
        for (const ParamDef* p : AllParams(protoVer)) {
            if (p->word != word || p->shift + p->width <= first || p->shift >= first + 8) continue;
            if (p->Raw(from) == p->Raw(to)) continue;
            unexplained &= ~(((1u << p->width) - 1u) << p->shift);
            // A parameter of two bytes is one change, listed with its first byte.
            if (std::find(listed.begin(), listed.end(), p) != listed.end()) continue;
            listed.push_back(p);
            out.push_back({p, word, high, p->Raw(from), p->Raw(to)});
        }
        if (unexplained != 0)
            out.push_back(
                {nullptr, word, high, GetWordField(from, word, first, 8), GetWordField(to, word, first, 8)});
    }
    return out;
}

// ---- ParamDef ------------------------------------------------------------------------------

unsigned ParamDef::Raw(const WordMap& words) const {
    return GetWordField(words, word, shift, width);
}

void ParamDef::SetRaw(WordMap& words, unsigned raw) const {
    SetWordField(words, word, shift, width, raw);
}

bool ParamDef::Covers(int w, int bit) const {
    return w == word && bit >= shift && bit < shift + width;
}

std::string ParamDef::Where() const {
    char text[32];
    if (width == 1)
        std::snprintf(text, sizeof text, "%d:%d", word, shift);
    else
        std::snprintf(text, sizeof text, "%d:%d-%d", word, shift, shift + width - 1);
    return text;
}

DBString ParamDef::Label() const {
    DBString text = _S_(label);
    if (detail != 0) text += L" \u2014 " + _S_(detail);
    // Headings break their lines for the grid; a label reads on one line.
    std::replace(text.begin(), text.end(), L'\n', L' ');
    return text;
}

DBString ParamDef::Text(unsigned raw) const {
    using namespace NvramCodec;
    const uint8_t b = static_cast<uint8_t>(raw & 0xFF);
    auto entry = [&](int e) -> DBString {
        if (e < 0 || e >= static_cast<int>(choices.size())) return Hex(raw);
        return _S_(choices[static_cast<size_t>(e)]);
    };
    switch (codec) {
        case typParamCodec::Firmware:
            return FirmwareText(static_cast<uint16_t>(raw));
        case typParamCodec::Switch:
            return _S_(raw == kNvramEnabled ? kTextOn : kTextOff);
        case typParamCodec::Entry:
        case typParamCodec::BitEntry:
            return entry(static_cast<int>(raw));
        case typParamCodec::Floors:
            if (raw == 0) return _S_(kTextAuto);
            return static_cast<int>(raw) <= max ? Decimal(raw) : Hex(raw);
        case typParamCodec::Number:
            return Decimal(raw);
        case typParamCodec::CanPower:
            return entry(DecodeCanPowerByte(b));
        case typParamCodec::UserIO: {
            const UserIO v = DecodeUserIOByte(b);
            if (!v.valid) return Hex(raw);
            if (v.mode < 0 || v.mode >= (v.output ? kOutputChoices : kInputChoices)) return Hex(raw);
            DBString text = _S_(v.output ? kTextOutput : kTextInput) + L": " +
                            (v.output ? OutputChoice(v.mode) : InputChoice(v.mode));
            if (v.inverted) text += L", " + _S_(kTextInverse);
            return text;
        }
        case typParamCodec::VoiceCheck:
            return raw == 0 ? _S_(kTextOff) : Decimal(raw);
        case typParamCodec::DisplayABL: {
            const DisplayABL d = LoadDisplayABLByte(b);
            if (!d.known || d.entry < 0 || d.entry >= kDisplayABLChoices) return Hex(raw);
            DBString text = DisplayABLChoice(d.entry);
            if (d.checked) text += L", " + _S_(kTextInverse);
            return text;
        }
        case typParamCodec::LiftNumber:
            return raw == 0xFF ? _S_(kTextAutoNumber) : Decimal(raw);
        case typParamCodec::NegativeFloors: {
            const NegativeFloors d = DecodeNegativeFloorsByte(b);
            DBString text = Decimal(static_cast<unsigned>(d.count));
            if (d.hasFloorZero) text += L", " + _S_(kTextHasFloorZero);
            return text;
        }
        case typParamCodec::Bit:
            return _S_(((raw & 1u) != 0) != inverted ? kTextOn : kTextOff);
        case typParamCodec::Interval:
            return IntervalChoice(scale, static_cast<int>(raw & 15u));
    }
    return Hex(raw);
}

bool ParamDef::SameValue(unsigned a, unsigned b, int protoVer) const {
    if (codec == typParamCodec::NegativeFloors && protoVer >= 6)
        return NvramCodec::NormalizeNegativeFloorsByte(static_cast<uint8_t>(a)) ==
               NvramCodec::NormalizeNegativeFloorsByte(static_cast<uint8_t>(b));
    return a == b;
}

// ---- Encodings -----------------------------------------------------------------------------

namespace NvramCodec {

const double kIntervalSeconds[16] = {0, 0.3, 0.4, 0.5, 0.6, 1, 1.5, 2, 3, 4, 6, 8, 10, 12, 16, 25};

UserIO DecodeUserIOByte(uint8_t b) {
    const UserIO invalid{false, kInputModeNone, false, false};
    if (b >= 210 && b <= 227) return UserIO{true, b - 210, false, true};
    if (b == 200) return UserIO{false, kInputModeCallsCheck, false, true};
    UserIO v;
    if (b < 100) {
        v.mode = b < 49 ? b : b - 2;
    } else if (b < 200) {
        v.mode = b < 149 ? b - 100 : b - 102;
        v.inverted = true;
    } else {
        return invalid;
    }
    // 89..99 and 189..199 would select past the end of the input list.
    if (v.mode >= kInputChoices) return invalid;
    return v;
}

uint8_t EncodeUserIOByte(const UserIO& v) {
    if (v.output) return static_cast<uint8_t>((v.mode + 210) & 0xFF);
    const int inv = v.inverted ? 100 : 0;
    if (v.mode >= 1 && v.mode <= 48) return static_cast<uint8_t>(v.mode + inv);
    if (v.mode >= 49 && v.mode <= 85) return static_cast<uint8_t>(v.mode + 2 + inv);
    if (v.mode == kInputModeCallsCheck) return 200;
    return 0;
}

DisplayABL LoadDisplayABLByte(uint8_t b) {
    if (b >= 1 && b <= 98) return DisplayABL{true, b <= 48 ? b : b - 2, false, true};
    if (b >= 101 && b <= 199) return DisplayABL{true, b <= 148 ? b - 100 : b - 102, true, true};
    if (b == 0 || b == 99 || b == 255) return DisplayABL{true, 0, false, false};
    return DisplayABL{};
}

std::optional<DisplayABLWrite> EncodeDisplayABLEntry(int entry, bool checked) {
    if (entry < 0 || entry >= kDisplayABLChoices) return std::nullopt;
    if (entry == 0 || entry == 84) return DisplayABLWrite{0xFF, false, false};
    if (entry == 83) return DisplayABLWrite{static_cast<uint8_t>(checked ? 185 : 99), checked, false};
    const int code = entry < 49 ? entry : entry + 2;
    return DisplayABLWrite{static_cast<uint8_t>(code + (checked ? 100 : 0)), checked, true};
}

int DecodeCanPowerByte(uint8_t b) {
    if (b == 0xFF) return kCanPowerChoices - 1;
    if (b >= 210 && b <= 227) return b - 210;
    return -1;
}

uint8_t EncodeCanPowerEntry(int entry) {
    if (entry == kCanPowerChoices - 1) return 0xFF;
    return static_cast<uint8_t>((entry + 210) & 0xFF);
}

NegativeFloors DecodeNegativeFloorsByte(uint8_t b) {
    if (b == 0 || b == 0xFF) return NegativeFloors{};
    return NegativeFloors{b & 0x7F, b >= 128};
}

uint8_t EncodeNegativeFloorsByte(const NegativeFloors& v, uint8_t current) {
    if (!v.hasFloorZero && v.count == 0 && current == 0xFF) return 0xFF;
    return static_cast<uint8_t>((v.count & 0x7F) | (v.hasFloorZero ? 0x80 : 0));
}

uint8_t NormalizeNegativeFloorsByte(uint8_t b) {
    return b == 0xFF ? 0 : b;
}

DBString FirmwareText(uint16_t word0) {
    const int low = word0 & 0xFF;
    return DBString(std::to_wstring(low / 10) + L"." + std::to_wstring(low % 10) + L"." +
                    std::to_wstring(word0 >> 8));
}

DBString InputChoice(int mode) {
    if (mode <= 0 || mode >= kInputChoices - 1) return _S_(mode <= 0 ? 1650 : 1688);
    if (mode <= 48) return CodeEntry(mode, 1918 + mode, mode < 10);
    return CodeEntry(mode + 2, 1602 + mode, false);
}

DBString OutputChoice(int mode) {
    return _S_(1618 + std::clamp(mode, 0, kOutputChoices - 1));
}

DBString DisplayABLChoice(int entry) {
    if (entry <= 0 || entry >= kDisplayABLChoices - 1) return _S_(1689);
    if (entry <= 48) return CodeEntry(entry, 1918 + entry, entry < 10);
    if (entry == kDisplayABLChoices - 2) return _S_(1690);
    return CodeEntry(entry + 2, 1602 + entry, false);
}

// A text is looked up and formatted each time: one entry is built where one is shown, the
// whole list only for a list.
template <typename Entry>
std::vector<DBString> Choices(int count, Entry entry) {
    std::vector<DBString> out;
    out.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) out.push_back(entry(i));
    return out;
}

std::vector<DBString> InputChoices() {
    return Choices(kInputChoices, InputChoice);
}

std::vector<DBString> OutputChoices() {
    return Choices(kOutputChoices, OutputChoice);
}

std::vector<DBString> DisplayABLChoices() {
    return Choices(kDisplayABLChoices, DisplayABLChoice);
}

std::vector<DBString> FloorsChoices(int highest) {
    std::vector<DBString> out;
    out.push_back(_S_(kTextAuto));
    for (int n = 1; n <= highest; ++n) out.push_back(Decimal(static_cast<unsigned>(n)));
    return out;
}

DBString IntervalChoice(int scale, int index) {
    char number[32];
    std::snprintf(number, sizeof number, "%g ",
                  kIntervalSeconds[static_cast<size_t>(index) % std::size(kIntervalSeconds)] * scale);
    return DBString(number) + _S_(kTextSeconds);
}

std::vector<DBString> IntervalChoices(int scale) {
    return Choices(static_cast<int>(std::size(kIntervalSeconds)),
                   [scale](int i) { return IntervalChoice(scale, i); });
}

}  // namespace NvramCodec
