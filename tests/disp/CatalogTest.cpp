#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <functional>
#include <set>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

#include "PackDisp.h"

namespace {

using Bytes = std::vector<unsigned char>;
using M = CMesDisp;

// Field letters, in the order of the builder's arguments (which is the wire order):
// 1 2 4 8 unsigned integers of that many bytes, e a one-byte selector, T the 40-bit
// time, f f64, d date, t text, g identifier, b and B a block behind a u8 or u16
// count, l a u8-counted list of u32, 7 seven u32; o makes the field after it optional.
//
// Field k of a kind gets a value no other field of the kind has, with the top bit of
// its width set, so that a dropped, swapped, narrowed or sign-cut field shows.
int64_t Int(char f, int k) {
    if (f == '1' || f == 'e') return 0x80 + 9 * k;
    if (f == '2') return 0x8000 + 0x111 * k;
    if (f == '4') return static_cast<int32_t>(0x81000000u + 0x10203u * static_cast<unsigned>(k));
    if (f == '8') return static_cast<int64_t>(0xF1E2D3C4B5A69788ull) + k;
    if (f == 'T') return 0xFF12345678LL + k;
    return f == 'l' ? 4 : 5;  // the count of a list or a block
}
const auto Real = [](int k) { return -1234.5625 - k; };
const auto Date = [](int k) { return DBTime(2026, 12, 4, 16, 5, 9 + k); };
const std::array<std::wstring, 16> kTexts = [] {
    std::array<std::wstring, 16> t;
    for (int k = 0; k < 16; ++k) t[k] = L"Лифт №" + std::to_wstring(k);
    return t;
}();
const unsigned char kBlock[5] = {9, 8, 7, 6, 5};
const int kList[4] = {1, -2, 0x7FFFFFFF, 4};
const int kSeven[7] = {1, 2, 3, 4, 5, 6, -7};
const unsigned char kGuidBytes[16] = {0x10, 0x21, 0x32, 0x43, 0x54, 0x65, 0x76, 0x87,
                                      0x98, 0xA9, 0xBA, 0xCB, 0xDC, 0xED, 0xFE, 0x0F};
const auto Guid = [] { return DBGUID() = kGuidBytes; };
const auto IsCount = [](char f) { return f == 'b' || f == 'B' || f == 'l'; };

// Walks a field list while the arguments of a builder or a reader are made or checked.
struct Cursor {
    const char* row;
    int k = 0;
    char Field() { return row[k] == 'o' ? row[++k] : row[k]; }
};

// The sample of field k, as whatever argument type a builder or reader asks for.
struct Value {
    char f;
    int k;
    operator const unsigned char*() const { return kBlock; }
    operator const int*() const { return f == '7' ? kSeven : kList; }
    operator const wchar_t*() const { return kTexts[k].c_str(); }
    operator DBTime() const { return Date(k); }
    operator DBGUID() const { return Guid(); }
    operator double() const { return Real(k); }
    template <class T>
    requires std::is_integral_v<T> || std::is_enum_v<T>
    operator T() const { return static_cast<T>(Int(f, k)); }
};

template <class T>
T Make(Cursor& c) {
    const Value v{c.Field(), c.k};
    c.k += std::is_same_v<T, int> && IsCount(v.f) ? 0 : 1;  // the block itself follows its count
    return v;
}

// A reader's argument: an output, or the capacity of the buffer before it.
template <class P>
struct Slot {
    std::conditional_t<std::is_pointer_v<P>, std::remove_pointer_t<std::remove_cvref_t<P>>[8],
                       std::remove_cvref_t<P>>
        v {};
    P Arg() {
        if constexpr (std::is_same_v<P, int>)
            return 8;
        else
            return v;
    }
};

template <class P>
bool Same(Slot<P>& s, Cursor& c) {
    if constexpr (std::is_same_v<P, int>) {
        return true;  // a capacity, no field
    } else if constexpr (std::is_pointer_v<P>) {
        const int n = c.Field() == '7' ? 7 : c.Field() == 'l' ? 4 : 5;
        const auto* want = Make<const std::remove_pointer_t<P>*>(c);
        return std::equal(want, want + n, s.v);
    } else if constexpr (std::is_same_v<P, DBString&>) {
        return s.v == Make<const wchar_t*>(c);
    } else {
        return s.v == Make<std::remove_cvref_t<P>>(c);
    }
}

// The message a field list gives, written here byte by byte.
Bytes Expected(int code, const char* row, int& tail) {
    Bytes b = {0, 0, static_cast<unsigned char>(code)};
    auto le = [&](uint64_t v, int n) {
        for (int i = 0; i < n; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
    };
    std::size_t optionalFrom = 0;
    for (int k = 0; row[k] != 0; ++k) {
        const char f = row[k];
        if (f == 'o') optionalFrom = b.size();
        const auto width = std::string("-12-4T--8").find(f);  // of a number
        if (f == 'e' || width != std::string::npos) le(Int(f, k), f == 'e' ? 1 : static_cast<int>(width));
        if (f == 'f') le(std::bit_cast<uint64_t>(Real(k)), 8);
        if (f == 'd') le(std::bit_cast<uint64_t>(Date(k).ToDATE(false, 0)), 8);
        if (f == 't') le(kTexts[k].size(), 1);
        for (wchar_t ch : f == 't' ? kTexts[k] : L"") le(ch, 2);
        if (f == 'g') b.insert(b.end(), kGuidBytes, kGuidBytes + 16);
        if (f == 'b' || f == 'B') le(5, f == 'b' ? 1 : 2);
        if (f == 'b' || f == 'B') b.insert(b.end(), kBlock, kBlock + 5);
        if (f == 'l') le(4, 1);
        const std::vector<int> values = f == 'l'   ? std::vector<int>(kList, kList + 4)
                                        : f == '7' ? std::vector<int>(kSeven, kSeven + 7)
                                                   : std::vector<int>();
        for (int v : values) le(v, 4);
    }
    b[0] = static_cast<unsigned char>(b.size());
    b[1] = static_cast<unsigned char>(b.size() >> 8);
    tail = optionalFrom == 0 ? 0 : static_cast<int>(b.size() - optionalFrom);
    return b;
}

struct Kind {
    int code;
    std::string name;
    Bytes bytes;
    int tail;  // bytes of the optional field
    std::function<bool(M&)> build;
    std::function<bool(const M&, bool& same)> parse;
};

template <class... A, class... P>
Kind K(int code, const char* name, const char* row, bool (M::*create)(A...), bool (M::*parse)(P...) const) {
    Kind kind{code, name, {}, 0, nullptr, nullptr};
    kind.bytes = Expected(code, row, kind.tail);
    kind.build = [=](M& m) {
        [[maybe_unused]] Cursor c{row};
        std::tuple<std::decay_t<A>...> args{Make<std::decay_t<A>>(c)...};
        return std::apply([&](auto&... a) { return (m.*create)(a...); }, args);
    };
    kind.parse = [=](const M& m, bool& same) {
        std::tuple<Slot<P>...> slots;
        const bool ok = std::apply([&](auto&... s) { return (m.*parse)(s.Arg()...); }, slots);
        Cursor c{row};
        same = std::apply([&](auto&... s) { return (... && Same(s, c)); }, slots);
        return ok;
    };
    return kind;
}

// A kind whose builder and reader carry its name.
#define KIND(code, name, row) K(code, #name, row, &M::Create_##name, &M::Parse_##name)
using V7Create = bool (M::*)(int, unsigned char, int, int, const unsigned char*);

std::vector<Kind> Kinds() {
    // clang-format off
    std::vector<Kind> k = {
        KIND(1, GetNode, "41o2"), KIND(2, Node, "4121t"), KIND(3, SetGGS, "411"), KIND(4, StatGGS, "411"),
        KIND(5, GetParCfg, ""), KIND(5, GetParCfgEx, "t1"), KIND(6, ParCfg, "2444l"),
        KIND(7, Event, "484d411112bt"), KIND(8, Notif, "44b"), KIND(9, Refresh, ""),
        KIND(10, SubscDial, "41"), KIND(11, GetGroupErr, "4"), KIND(12, GroupErr, "44"),
        KIND(13, OpenScanState, "4"), KIND(14, GetNextState, "4"), KIND(15, NextState, "4111t"),
        KIND(16, GetStateCar, "4"), KIND(17, StateCar, "4tdd"), KIND(18, CleanErr, "4"),
        KIND(19, MngOutput, "41b"), KIND(20, GradOff, "4"), KIND(21, TestGGS, "4"), KIND(22, Suspend, "4"),
        KIND(23, OpenLog, "dd444112ttt"), KIND(24, StateOpenLog, "44"), KIND(25, GetEventLog, "4"),
        KIND(26, CloseLog, ""), KIND(27, CloseLink, ""), KIND(29, GetConfig, "o2"), KIND(30, Config, "22t"),
        KIND(31, GetTypLU, "4"), KIND(32, TypLU, "4t"), KIND(33, OpenStatist, "4dd"),
        KIND(34, StateOpenStatist, "44"), KIND(35, GetStatist, "44"), KIND(36, Statist, "444d4444"),
        KIND(37, CloseStatist, ""), KIND(38, OpenErr, "4dd"), KIND(39, StateOpenErr, "44"),
        KIND(40, GetErr, "44"), KIND(41, Err, "4444db"), KIND(42, StateErr, "444"), KIND(43, CloseErr, ""),
        KIND(44, SendMsg, "41b"), KIND(45, SubscMsg, "41"), KIND(46, Msg, "4b"),
        KIND(47, GetParamStatict, "4"), KIND(48, ParamStatict, "4df"), KIND(49, Execution, ""),
        KIND(50, BegExecution, ""), KIND(51, EndExecution, ""), KIND(52, ChangeUser, "b"),
        KIND(53, ResChangeUser, "1"), KIND(54, SetMultiGGS, "411"), KIND(55, StatMultiGGS, "411"),
        KIND(56, Voice, "41b"), KIND(56, VoiceExt, "41b1g"), KIND(57, GetStatLUNode, "414"),
        KIND(58, StatLUNode, "417"), KIND(59, RefreshLU, "4"), KIND(60, SelSaveVoice, "dd44"),
        KIND(61, ParSaveVoice, "4d444"), KIND(62, GetSaveVoice, "41"), KIND(63, ReConnect, ""),
        KIND(64, ParReConnect, "24l"), KIND(65, AcceptProfil, "21"), KIND(66, GetProfil, "o2"),
        KIND(67, Profil, "2t"), KIND(68, ProfilProcessed, "2"), KIND(69, AcceptStruct, "2"),
        KIND(70, GetStruct, "o2"), KIND(71, Struct, "2t"), KIND(72, StructAccepted, "2"),
        KIND(73, AcceptSQLAsk, "1e1B"), KIND(74, GetSQLAsk, "11"), KIND(75, FragSQLAsk, "11B"),
        KIND(76, AcceptSQLAnsw, "1e1B"), KIND(77, GetSQLAnsw, "11"), KIND(78, FragSQLAnsw, "11B"),
        KIND(79, ExecuteAsk, "1"), KIND(80, TCPData, "ge44"), KIND(81, ConfTCPData, "g14"),
        KIND(82, TimeAndGUID, "Tg"), KIND(83, ClientStatus, "e"),
        K(84, "SendMsgV7", "411B", static_cast<V7Create>(&M::Create_SendMsgV7), &M::Parse_SendMsgV7),
        KIND(85, SubscMsgV7, "41"),
        K(86, "MsgV7", "411B", static_cast<V7Create>(&M::Create_MsgV7), &M::Parse_MsgV7),
    };
    // clang-format on
    // OpenLinkEx takes its list first, but sends three values of it, two fields, and
    // then the count and the rest of the list as the optional tail.
    const int five[5] = {1, 2, 3, 4, 5};
    Kind open{28, "OpenLinkEx", {30, 0, 28, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0, 2, 1}, 9, nullptr, nullptr};
    open.bytes.insert(open.bytes.end(), {0x0D, 0x0C, 0x0B, 0x0A, 2, 4, 0, 0, 0, 5, 0, 0, 0});
    open.build = [five](M& m) { return m.Create_OpenLinkEx(five, 5, 0x0102, 0x0A0B0C0D); };
    open.parse = [five](const M& m, bool& same) {
        int list[8], n, a, b;
        const bool ok = m.Parse_OpenLinkEx(list, 8, n, a, b);
        same = n == 5 && std::equal(five, five + 5, list) && a == 0x0102 && b == 0x0A0B0C0D;
        return ok;
    };
    k.push_back(open);
    return k;
}

}  // namespace

TEST(DispCatalog, EveryKindIsWrittenByteForByteReadBackAndRefusedWhenCut) {
    std::set<int> codes;
    for (const Kind& k : Kinds()) {
        SCOPED_TRACE(k.name);
        M m;
        ASSERT_TRUE(k.build(m));
        EXPECT_EQ(Bytes(m.Data(), m.Data() + m.Len()), k.bytes);
        bool same = false;
        EXPECT_TRUE(k.parse(m, same) && same);
        codes.insert(m.TypMes());
        for (int len = 3; len < static_cast<int>(k.bytes.size()); ++len) {
            Bytes cut(k.bytes.begin(), k.bytes.begin() + len);
            cut[0] = static_cast<unsigned char>(len);
            cut[1] = 0;
            ASSERT_TRUE(m.Assign(cut.data(), len));
            // Only the cut that drops exactly the optional field still reads.
            EXPECT_EQ(k.parse(m, same), k.tail > 0 && len == static_cast<int>(k.bytes.size()) - k.tail)
                << len;
        }
        Bytes other = k.bytes;
        other[2] = static_cast<unsigned char>(k.code % 86 + 1);
        ASSERT_TRUE(m.Assign(other.data(), static_cast<int>(other.size())));
        EXPECT_FALSE(k.parse(m, same) || k.parse(M(), same));
    }
    EXPECT_EQ(codes.size(), 86u);
}

TEST(DispCatalog, ReadersOfOptionalFieldsTextsAndBlocks) {
    M m;
    int a = 9, b = 9, c = 9, list[6] = {};
    EXPECT_TRUE(m.Create_GetNode(1, 2) && m.Parse_GetNode(a, b, c) && c == -1);
    EXPECT_TRUE(m.Create_GetConfig() && m.Parse_GetConfig(a) && a == -1);
    EXPECT_TRUE(m.Create_GetProfil() && m.Parse_GetProfil(a) && a == 0);
    EXPECT_TRUE(m.Create_GetStruct(-1) && m.Parse_GetStruct(a) && a == 0);
    EXPECT_TRUE(m.Create_OpenLinkEx(list, -1, 1, 2) && m.Parse_OpenLinkEx(list, 6, c, a, b) && c == -1);
    auto from = [&m](Bytes bytes) -> const M& {
        EXPECT_TRUE(m.Assign(bytes.data(), static_cast<int>(bytes.size())));
        return m;
    };
    // FE FF in front: the text is big-endian, "A", Cyrillic A, "c"; a lone mark is empty.
    DBString text;
    EXPECT_TRUE(
        from({16, 0, 32, 1, 0, 0, 0, 4, 0xFE, 0xFF, 0, 0x41, 0x04, 0x10, 0, 0x63}).Parse_TypLU(a, text));
    EXPECT_EQ(text, DBString(L"A\u0410c"));
    EXPECT_TRUE(from({10, 0, 32, 1, 0, 0, 0, 1, 0xFE, 0xFF}).Parse_TypLU(a, text) && text.empty());
    // A block must fit the caller's buffer.
    unsigned char buf[4];
    EXPECT_TRUE(from({11, 0, 46, 7, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}).Parse_Msg(a, b, buf, 4));
    EXPECT_FALSE(from({11, 0, 46, 7, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC}).Parse_Msg(a, b, buf, 2));
}
