#pragma once

// The dispatcher message catalogue as data: the field list of every kind, and the one
// encoder and one decoder that serve all of them. CMesDisp's named builders and
// readers only map their typed arguments onto a row of this table; the argument
// types are checked against the row at compile time.

#include <cstdint>
#include <iterator>
#include <type_traits>
#include <utility>

#include "DBGUID.h"
#include "DBString.h"
#include "DBTime.h"
#include "PackDisp.h"

namespace DispCatalog {

enum class Field : uint8_t {
    None,  // ends a row
    U8,
    U16,
    U32,
    U64,
    F64,
    Date,     // f64 OLE date, local time as held
    Text,     // u8 count of UTF-16 units, then the units
    Guid,     // 16 bytes as the identifier lies in memory
    Time40,   // u32 low bits, then u8 bits 32..39
    Block8,   // u8 n, n bytes
    Block16,  // u16 n, n bytes
    List8,    // u8 n, n x u32
};

struct FieldSpec {
    Field kind = Field::None;
    int16_t limit = 0;  // largest count of a block or list
    int8_t absent = 0;  // what a reader reports for an omitted optional field
    bool optional = false;

    constexpr FieldSpec() = default;
    constexpr FieldSpec(Field k) : kind(k) {}
    constexpr FieldSpec(Field k, int lim, int abs, bool opt)
        : kind(k), limit(static_cast<int16_t>(lim)), absent(static_cast<int8_t>(abs)), optional(opt) {}
};

inline constexpr int kMaxFields = 12;

struct KindSpec {
    int code = 0;
    const char* name = nullptr;
    FieldSpec fields[kMaxFields] = {};

    constexpr int Count() const {
        int n = 0;
        while (n < kMaxFields && fields[n].kind != Field::None) ++n;
        return n;
    }
};

// Wire size of a fixed field, or of the count in front of a variable one.
constexpr int HeadSize(Field f) {
    switch (f) {
        case Field::U8:
        case Field::Text:
        case Field::Block8:
        case Field::List8:
            return 1;
        case Field::U16:
        case Field::Block16:
            return 2;
        case Field::U32:
            return 4;
        case Field::Time40:
            return 5;
        case Field::U64:
        case Field::F64:
        case Field::Date:
            return 8;
        case Field::Guid:
            return 16;
        case Field::None:
            return 0;
    }
    return 0;
}

// Bytes of one unit of a block or list.
constexpr int UnitSize(Field f) {
    return f == Field::List8 ? 4 : (f == Field::Block8 || f == Field::Block16) ? 1 : 0;
}

namespace rows {
inline constexpr FieldSpec u8{Field::U8}, u16{Field::U16}, u32{Field::U32}, u64{Field::U64}, f64{Field::F64},
    date{Field::Date}, text{Field::Text}, guid{Field::Guid}, time40{Field::Time40};
constexpr FieldSpec opt(Field f, int absent) {
    return {f, 0, absent, true};
}
constexpr FieldSpec block8(int limit) {
    return {Field::Block8, limit, 0, false};
}
constexpr FieldSpec block16(int limit) {
    return {Field::Block16, limit, 0, false};
}
constexpr FieldSpec list8(int limit) {
    return {Field::List8, limit, 0, false};
}
constexpr FieldSpec optList8(int limit, int absent) {
    return {Field::List8, limit, absent, true};
}
}  // namespace rows

// A block behind a one-byte count cannot be longer than the count can say, however
// much room the message would have: a longer one would go out with its count cut to
// eight bits and the peer would read the rest of the message out of place.
inline constexpr int kByteCounted = 255;

// Rows 0..85 are codes 1..86; two codes have a second form, kept behind them.
inline constexpr int kGetParCfgEx = 86;
inline constexpr int kVoiceExt = 87;
constexpr int Row(CMesDisp::typMes code) {
    return static_cast<int>(code) - 1;
}

// clang-format off
inline constexpr KindSpec kKinds[] = {
    {1, "GetNode", {rows::u32, rows::u8, rows::opt(Field::U16, -1)}},
    {2, "Node", {rows::u32, rows::u8, rows::u16, rows::u8, rows::text}},
    {3, "SetGGS", {rows::u32, rows::u8, rows::u8}},
    {4, "StatGGS", {rows::u32, rows::u8, rows::u8}},
    {5, "GetParCfg", {}},
    {6, "ParCfg", {rows::u16, rows::u32, rows::u32, rows::u32, rows::list8(118)}},
    {7, "Event", {rows::u32, rows::u64, rows::u32, rows::date, rows::u32, rows::u8, rows::u8, rows::u8, rows::u8,
                  rows::u16, rows::block8(64), rows::text}},
    {8, "Notif", {rows::u32, rows::u32, rows::block8(kByteCounted)}},
    {9, "Refresh", {}},
    {10, "SubscDial", {rows::u32, rows::u8}},
    {11, "GetGroupErr", {rows::u32}},
    {12, "GroupErr", {rows::u32, rows::u32}},
    {13, "OpenScanState", {rows::u32}},
    {14, "GetNextState", {rows::u32}},
    {15, "NextState", {rows::u32, rows::u8, rows::u8, rows::u8, rows::text}},
    {16, "GetStateCar", {rows::u32}},
    {17, "StateCar", {rows::u32, rows::text, rows::date, rows::date}},
    {18, "CleanErr", {rows::u32}},
    {19, "MngOutput", {rows::u32, rows::u8, rows::block8(kByteCounted)}},
    {20, "GradOff", {rows::u32}},
    {21, "TestGGS", {rows::u32}},
    {22, "Suspend", {rows::u32}},
    {23, "OpenLog", {rows::date, rows::date, rows::u32, rows::u32, rows::u32, rows::u8, rows::u8, rows::u16,
                     rows::text, rows::text, rows::text}},
    {24, "StateOpenLog", {rows::u32, rows::u32}},
    {25, "GetEventLog", {rows::u32}},
    {26, "CloseLog", {}},
    {27, "CloseLink", {}},
    {28, "OpenLinkEx", {rows::u32, rows::u32, rows::u32, rows::u16, rows::u32, rows::optList8(117, -1)}},
    {29, "GetConfig", {rows::opt(Field::U16, -1)}},
    {30, "Config", {rows::u16, rows::u16, rows::text}},
    {31, "GetTypLU", {rows::u32}},
    {32, "TypLU", {rows::u32, rows::text}},
    {33, "OpenStatist", {rows::u32, rows::date, rows::date}},
    {34, "StateOpenStatist", {rows::u32, rows::u32}},
    {35, "GetStatist", {rows::u32, rows::u32}},
    {36, "Statist", {rows::u32, rows::u32, rows::u32, rows::date, rows::u32, rows::u32, rows::u32, rows::u32}},
    {37, "CloseStatist", {}},
    {38, "OpenErr", {rows::u32, rows::date, rows::date}},
    {39, "StateOpenErr", {rows::u32, rows::u32}},
    {40, "GetErr", {rows::u32, rows::u32}},
    {41, "Err", {rows::u32, rows::u32, rows::u32, rows::u32, rows::date, rows::block8(kByteCounted)}},
    {42, "StateErr", {rows::u32, rows::u32, rows::u32}},
    {43, "CloseErr", {}},
    {44, "SendMsg", {rows::u32, rows::u8, rows::block8(kByteCounted)}},
    {45, "SubscMsg", {rows::u32, rows::u8}},
    {46, "Msg", {rows::u32, rows::block8(kByteCounted)}},
    {47, "GetParamStatict", {rows::u32}},
    {48, "ParamStatict", {rows::u32, rows::date, rows::f64}},
    {49, "Execution", {}},
    {50, "BegExecution", {}},
    {51, "EndExecution", {}},
    {52, "ChangeUser", {rows::block8(kByteCounted)}},
    {53, "ResChangeUser", {rows::u8}},
    {54, "SetMultiGGS", {rows::u32, rows::u8, rows::u8}},
    {55, "StatMultiGGS", {rows::u32, rows::u8, rows::u8}},
    {56, "Voice", {rows::u32, rows::u8, rows::block8(kByteCounted)}},
    {57, "GetStatLUNode", {rows::u32, rows::u8, rows::u32}},
    {58, "StatLUNode", {rows::u32, rows::u8, rows::u32, rows::u32, rows::u32, rows::u32, rows::u32, rows::u32,
                        rows::u32}},
    {59, "RefreshLU", {rows::u32}},
    {60, "SelSaveVoice", {rows::date, rows::date, rows::u32, rows::u32}},
    {61, "ParSaveVoice", {rows::u32, rows::date, rows::u32, rows::u32, rows::u32}},
    {62, "GetSaveVoice", {rows::u32, rows::u8}},
    {63, "ReConnect", {}},
    {64, "ParReConnect", {rows::u16, rows::u32, rows::list8(120)}},
    {65, "AcceptProfil", {rows::u16, rows::u8}},
    {66, "GetProfil", {rows::opt(Field::U16, 0)}},
    {67, "Profil", {rows::u16, rows::text}},
    {68, "ProfilProcessed", {rows::u16}},
    {69, "AcceptStruct", {rows::u16}},
    {70, "GetStruct", {rows::opt(Field::U16, 0)}},
    {71, "Struct", {rows::u16, rows::text}},
    {72, "StructAccepted", {rows::u16}},
    {73, "AcceptSQLAsk", {rows::u8, rows::u8, rows::u8, rows::block16(482)}},
    {74, "GetSQLAsk", {rows::u8, rows::u8}},
    {75, "FragSQLAsk", {rows::u8, rows::u8, rows::block16(483)}},
    {76, "AcceptSQLAnsw", {rows::u8, rows::u8, rows::u8, rows::block16(482)}},
    {77, "GetSQLAnsw", {rows::u8, rows::u8}},
    {78, "FragSQLAnsw", {rows::u8, rows::u8, rows::block16(483)}},
    {79, "ExecuteAsk", {rows::u8}},
    {80, "TCPData", {rows::guid, rows::u8, rows::u32, rows::u32}},
    {81, "ConfTCPData", {rows::guid, rows::u8, rows::u32}},
    {82, "TimeAndGUID", {rows::time40, rows::guid}},
    {83, "ClientStatus", {rows::u8}},
    {84, "SendMsgV7", {rows::u32, rows::u8, rows::u8, rows::block16(479)}},
    {85, "SubscMsgV7", {rows::u32, rows::u8}},
    {86, "MsgV7", {rows::u32, rows::u8, rows::u8, rows::block16(479)}},
    {5, "GetParCfgEx", {rows::text, rows::u8}},
    {56, "VoiceExt", {rows::u32, rows::u8, rows::block8(kByteCounted), rows::u8, rows::guid}},
};
// clang-format on

inline constexpr int kRows = static_cast<int>(std::size(kKinds));

// Bytes of a message of that row with every variable part empty.
constexpr int MinSize(const KindSpec& k) {
    int n = CMesDisp::kHeadSize;
    for (int i = 0; i < k.Count(); ++i)
        if (!k.fields[i].optional) n += HeadSize(k.fields[i].kind);
    return n;
}

// Bytes with every block and list at its limit, texts and optional fields left out.
constexpr int MaxSize(const KindSpec& k) {
    int n = CMesDisp::kHeadSize;
    for (int i = 0; i < k.Count(); ++i)
        if (!k.fields[i].optional)
            n += HeadSize(k.fields[i].kind) + k.fields[i].limit * UnitSize(k.fields[i].kind);
    return n;
}

constexpr bool TableIsSound() {
    for (int i = 0; i < kRows; ++i) {
        const KindSpec& k = kKinds[i];
        if (i < CMesDisp::kKinds && k.code != i + 1) return false;
        if (k.code < 1 || k.code > CMesDisp::kKinds) return false;
        bool seenOptional = false;
        for (int f = 0; f < k.Count(); ++f) {
            const FieldSpec& s = k.fields[f];
            // An omitted field must be the last one, or the fields behind it would shift.
            if (seenOptional) return false;
            seenOptional = s.optional;
            if ((UnitSize(s.kind) != 0) != (s.limit > 0)) return false;
            if (s.kind == Field::Block8 || s.kind == Field::List8) {
                if (s.limit > 255) return false;
            }
        }
        if (MaxSize(k) > CMesDisp::kBufSize) return false;
    }
    return kKinds[kGetParCfgEx].code == CMesDisp::mesGetParCfg &&
           kKinds[kVoiceExt].code == CMesDisp::mesVoice;
}
static_assert(kRows == CMesDisp::kKinds + 2);
static_assert(TableIsSound());

// The first row of a code, or null.
const KindSpec* FindCode(int code);
// The kind's name ("?" for an unknown code).
const char* Name(int code);

// ---- arguments of the generic encoder and decoder ----

// What a typed argument is, independent of its width on the wire.
enum class Cat : uint8_t { Int, Int64, Byte, Real, Date, Text, Guid, Block, List };

struct BlockIn {
    int n;
    const unsigned char* p;
};
struct ListIn {
    int n;  // -1: omit an optional list
    const int* p;
};
struct BlockOut {
    int& n;
    unsigned char* p;
    int size;
};
struct ListOut {
    int& n;
    int* p;
    int size;
};

struct FieldIn {
    Cat cat = Cat::Int;
    int64_t num = 0;
    double real = 0;
    const void* ptr = nullptr;
    int count = 0;
};

struct FieldOut {
    Cat cat = Cat::Int;
    void* target = nullptr;
    int* count = nullptr;
    int size = 0;
};

template <class T>
inline constexpr bool kUnsupported = false;

template <class T>
constexpr Cat InCat() {
    if constexpr (std::is_same_v<T, double>)
        return Cat::Real;
    else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>)
        return Cat::Int;
    else if constexpr (std::is_same_v<T, DBTime>)
        return Cat::Date;
    else if constexpr (std::is_convertible_v<T, const wchar_t*>)
        return Cat::Text;
    else if constexpr (std::is_same_v<T, DBGUID>)
        return Cat::Guid;
    else if constexpr (std::is_same_v<T, BlockIn>)
        return Cat::Block;
    else if constexpr (std::is_same_v<T, ListIn>)
        return Cat::List;
    else
        static_assert(kUnsupported<T>, "no field kind takes this argument type");
}

template <class T>
constexpr Cat OutCat() {
    if constexpr (std::is_same_v<T, int>)
        return Cat::Int;
    else if constexpr (std::is_same_v<T, int64_t>)
        return Cat::Int64;
    else if constexpr (std::is_enum_v<T> && sizeof(T) == 1)
        return Cat::Byte;
    else if constexpr (std::is_same_v<T, double>)
        return Cat::Real;
    else if constexpr (std::is_same_v<T, DBTime>)
        return Cat::Date;
    else if constexpr (std::is_same_v<T, DBString>)
        return Cat::Text;
    else if constexpr (std::is_same_v<T, DBGUID>)
        return Cat::Guid;
    else if constexpr (std::is_same_v<T, BlockOut>)
        return Cat::Block;
    else if constexpr (std::is_same_v<T, ListOut>)
        return Cat::List;
    else
        static_assert(kUnsupported<T>, "no field kind reads into this type");
}

constexpr bool AcceptsIn(Field f, Cat c) {
    switch (f) {
        case Field::U8:
        case Field::U16:
        case Field::U32:
        case Field::U64:
        case Field::Time40:
            return c == Cat::Int;
        case Field::F64:
            return c == Cat::Real;
        case Field::Date:
            return c == Cat::Date;
        case Field::Text:
            return c == Cat::Text;
        case Field::Guid:
            return c == Cat::Guid;
        case Field::Block8:
        case Field::Block16:
            return c == Cat::Block;
        case Field::List8:
            return c == Cat::List;
        case Field::None:
            return false;
    }
    return false;
}

// Readers take no narrowing: 64-bit fields need a 64-bit output, a byte output takes
// only a byte field.
constexpr bool AcceptsOut(Field f, Cat c) {
    switch (f) {
        case Field::U8:
            return c == Cat::Int || c == Cat::Byte;
        case Field::U16:
        case Field::U32:
            return c == Cat::Int;
        case Field::U64:
        case Field::Time40:
            return c == Cat::Int64;
        default:
            return AcceptsIn(f, c);
    }
}

template <class T>
FieldIn MakeIn(const T& v) {
    FieldIn in;
    in.cat = InCat<T>();
    if constexpr (std::is_same_v<T, double>)
        in.real = v;
    else if constexpr (std::is_integral_v<T> || std::is_enum_v<T>)
        in.num = static_cast<int64_t>(v);
    else if constexpr (std::is_same_v<T, DBTime>)
        in.real = v.ToDATE(false, 0);
    else if constexpr (std::is_convertible_v<T, const wchar_t*>)
        in.ptr = static_cast<const wchar_t*>(v);
    else if constexpr (std::is_same_v<T, DBGUID>)
        in.ptr = &v;
    else {  // BlockIn, ListIn
        in.ptr = v.p;
        in.count = v.n;
    }
    return in;
}

template <class T>
FieldOut MakeOut(T&& v) {
    using U = std::remove_cvref_t<T>;
    FieldOut out;
    out.cat = OutCat<U>();
    if constexpr (std::is_same_v<U, BlockOut> || std::is_same_v<U, ListOut>) {
        out.target = v.p;
        out.count = &v.n;
        out.size = v.size;
    } else {
        out.target = &v;
    }
    return out;
}

template <int R, class... A>
consteval bool ArgsMatch(bool out) {
    constexpr Cat cats[] = {A::value..., Cat::Int};
    for (int i = 0; i < kKinds[R].Count(); ++i) {
        const Field f = kKinds[R].fields[i].kind;
        if (!(out ? AcceptsOut(f, cats[i]) : AcceptsIn(f, cats[i]))) return false;
    }
    return true;
}

template <class T>
using InTag = std::integral_constant<Cat, InCat<std::remove_cvref_t<T>>()>;
template <class T>
using OutTag = std::integral_constant<Cat, OutCat<std::remove_cvref_t<T>>()>;

// Writes the fields of row k into a fresh message and, only when everything fits,
// replaces m with it. An optional field whose argument is -1 is omitted.
bool Encode(const KindSpec& k, const FieldIn* in, int n, CMesDisp& m);
// Reads message m as row k into the outputs; every output is reset first and stays
// reset on false.
bool Decode(const KindSpec& k, const FieldOut* out, int n, const CMesDisp& m);

// One field at buf[pos]: the position behind it, or -1 when it does not fit into
// cap bytes (nothing is written then) or is malformed.
int PutField(const FieldSpec& s, const FieldIn& in, unsigned char* buf, int pos, int cap);
// One field from buf[pos .. end-1]: the position behind it, or -1.
int GetField(const FieldSpec& s, const FieldOut& out, const unsigned char* buf, int pos, int end);
void ResetOut(const FieldOut& out);

template <int R, class... A>
bool Build(CMesDisp& m, const A&... args) {
    static_assert(sizeof...(A) == kKinds[R].Count(), "argument count differs from the row");
    static_assert(ArgsMatch<R, InTag<A>...>(false), "argument type differs from the row");
    const FieldIn in[sizeof...(A) + 1] = {MakeIn(args)...};
    return Encode(kKinds[R], in, static_cast<int>(sizeof...(A)), m);
}

template <int R, class... A>
bool Read(const CMesDisp& m, A&&... args) {
    static_assert(sizeof...(A) == kKinds[R].Count(), "output count differs from the row");
    static_assert(ArgsMatch<R, OutTag<A>...>(true), "output type differs from the row");
    const FieldOut out[sizeof...(A) + 1] = {MakeOut(std::forward<A>(args))...};
    return Decode(kKinds[R], out, static_cast<int>(sizeof...(A)), m);
}

}  // namespace DispCatalog
