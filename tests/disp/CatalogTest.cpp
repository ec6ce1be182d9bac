#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "DispCatalog.h"
#include "PackDisp.h"
#include "PackV7.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Values that show up wrong when a field is dropped, swapped, narrowed or sign-cut.
const int kA = static_cast<int>(0x81020304u);
const int kB = 0xAB;
const int kC = 0xBEEF;
const int kD = 0x7F;
const int kE = 0x10203;
const int64_t kWide = static_cast<int64_t>(0xF1E2D3C4B5A69788ull);
const double kReal = -1234.5625;
const wchar_t* const kText = L"Лифт №7";
const wchar_t* const kText2 = L"B";
const unsigned char kBlock[] = {9, 8, 7, 6, 5};
const int kList[] = {1, -2, 0x7FFFFFFF, 4};

DBTime T1() {
    return DBTime(2026, 12, 4, 16, 5, 9);
}
DBTime T2() {
    return DBTime(2001, 2, 3, 4, 5, 6);
}
DBGUID Guid() {
    DBGUID g;
    g = L"00112233445566778899AABBCCDDEEFF";
    return g;
}

bool SameBlock(const unsigned char* got, int n) {
    return n == 5 && std::memcmp(got, kBlock, 5) == 0;
}
bool SameList(const int* got, int n) {
    return n == 4 && std::memcmp(got, kList, sizeof kList) == 0;
}

Bytes Of(const CMesDisp& m) {
    return Bytes(m.Data(), m.Data() + m.Len());
}

CMesDisp FromBytes(const Bytes& b) {
    CMesDisp m;
    EXPECT_TRUE(m.Assign(b.data(), static_cast<int>(b.size())));
    return m;
}

// One catalogue kind: its named builder with the values above, the length its field
// list gives (worked out from the field list, not from the code's table), the bytes
// an optional tail takes, and its named reader, which says whether it succeeded and
// whether everything came back.
struct Sample {
    std::string name;
    int code = 0;
    int len = 0;
    int optionalTail = 0;
    std::function<bool(CMesDisp&)> build;
    std::function<bool(const CMesDisp&, bool&)> parse;
};

const int kTextLen = 1 + 2 * 7;  // kText
const int kBlockLen = 1 + 5;     // u8-counted kBlock
const int kListLen = 1 + 4 * 4;  // kList

std::vector<Sample> Samples() {
    std::vector<Sample> s;
    using M = CMesDisp;
    auto add = [&](const char* name, int code, int len, int opt, std::function<bool(CMesDisp&)> build,
                   std::function<bool(const CMesDisp&, bool&)> parse) {
        s.push_back({name, code, len, opt, std::move(build), std::move(parse)});
    };
    // Kinds made of u32 and u8 fields only, by shape.
    auto u32 = [&](const char* name, int code, bool (M::*c)(int), bool (M::*p)(int&) const) {
        add(
            name, code, 3 + 4, 0, [=](M& m) { return (m.*c)(kA); },
            [=](const M& m, bool& same) {
                int a;
                bool ok = (m.*p)(a);
                same = a == kA;
                return ok;
            });
    };
    auto u32u32 = [&](const char* name, int code, bool (M::*c)(int, int), bool (M::*p)(int&, int&) const) {
        add(
            name, code, 3 + 8, 0, [=](M& m) { return (m.*c)(kA, kE); },
            [=](const M& m, bool& same) {
                int a, b;
                bool ok = (m.*p)(a, b);
                same = a == kA && b == kE;
                return ok;
            });
    };
    auto u32u8 = [&](const char* name, int code, bool (M::*c)(int, int), bool (M::*p)(int&, int&) const) {
        add(
            name, code, 3 + 5, 0, [=](M& m) { return (m.*c)(kA, kB); },
            [=](const M& m, bool& same) {
                int a, b;
                bool ok = (m.*p)(a, b);
                same = a == kA && b == kB;
                return ok;
            });
    };
    auto u32u8u8 = [&](const char* name, int code, bool (M::*c)(int, int, int),
                       bool (M::*p)(int&, int&, int&) const) {
        add(
            name, code, 3 + 6, 0, [=](M& m) { return (m.*c)(kA, kB, kD); },
            [=](const M& m, bool& same) {
                int a, b, d;
                bool ok = (m.*p)(a, b, d);
                same = a == kA && b == kB && d == kD;
                return ok;
            });
    };
    auto none = [&](const char* name, int code, bool (M::*c)(), bool (M::*p)() const) {
        add(
            name, code, 3, 0, [=](M& m) { return (m.*c)(); },
            [=](const M& m, bool& same) {
                same = true;
                return (m.*p)();
            });
    };
    auto u16 = [&](const char* name, int code, bool (M::*c)(int), bool (M::*p)(int&) const) {
        add(
            name, code, 3 + 2, 0, [=](M& m) { return (m.*c)(kC); },
            [=](const M& m, bool& same) {
                int a;
                bool ok = (m.*p)(a);
                same = a == kC;
                return ok;
            });
    };
    auto u8 = [&](const char* name, int code, bool (M::*c)(int), bool (M::*p)(int&) const) {
        add(
            name, code, 3 + 1, 0, [=](M& m) { return (m.*c)(kB); },
            [=](const M& m, bool& same) {
                int a;
                bool ok = (m.*p)(a);
                same = a == kB;
                return ok;
            });
    };
    auto u8u8 = [&](const char* name, int code, bool (M::*c)(int, int), bool (M::*p)(int&, int&) const) {
        add(
            name, code, 3 + 2, 0, [=](M& m) { return (m.*c)(kB, kD); },
            [=](const M& m, bool& same) {
                int a, b;
                bool ok = (m.*p)(a, b);
                same = a == kB && b == kD;
                return ok;
            });
    };
    auto u8u8block16 = [&](const char* name, int code, bool (M::*c)(int, int, int, const unsigned char*),
                           bool (M::*p)(int&, int&, int&, unsigned char*, int) const) {
        add(
            name, code, 3 + 2 + 2 + 5, 0, [=](M& m) { return (m.*c)(kB, kD, 5, kBlock); },
            [=](const M& m, bool& same) {
                int a, b, n;
                unsigned char buf[8];
                bool ok = (m.*p)(a, b, n, buf, 8);
                same = a == kB && b == kD && SameBlock(buf, n);
                return ok;
            });
    };
    auto u16text = [&](const char* name, int code, bool (M::*c)(int, const wchar_t*),
                       bool (M::*p)(int&, DBString&) const) {
        add(
            name, code, 3 + 2 + kTextLen, 0, [=](M& m) { return (m.*c)(kC, kText); },
            [=](const M& m, bool& same) {
                int a;
                DBString t;
                bool ok = (m.*p)(a, t);
                same = a == kC && t == kText;
                return ok;
            });
    };
    auto optU16 = [&](const char* name, int code, bool (M::*c)(int), bool (M::*p)(int&) const) {
        add(
            name, code, 3 + 2, 2, [=](M& m) { return (m.*c)(kC); },
            [=](const M& m, bool& same) {
                int a;
                bool ok = (m.*p)(a);
                same = a == kC;
                return ok;
            });
    };
    auto u32dates = [&](const char* name, int code, bool (M::*c)(int, const DBTime&, const DBTime&),
                        bool (M::*p)(int&, DBTime&, DBTime&) const) {
        add(
            name, code, 3 + 4 + 16, 0, [=](M& m) { return (m.*c)(kA, T1(), T2()); },
            [=](const M& m, bool& same) {
                int a;
                DBTime x, y;
                bool ok = (m.*p)(a, x, y);
                same = a == kA && x == T1() && y == T2();
                return ok;
            });
    };
    add(
        "GetNode", 1, 3 + 4 + 1 + 2, 2, [](M& m) { return m.Create_GetNode(kA, kB, kC); },
        [](const M& m, bool& same) {
            int a, b, c;
            bool ok = m.Parse_GetNode(a, b, c);
            same = a == kA && b == kB && c == kC;
            return ok;
        });
    add(
        "Node", 2, 3 + 4 + 1 + 2 + 1 + kTextLen, 0, [](M& m) { return m.Create_Node(kA, kB, kC, kD, kText); },
        [](const M& m, bool& same) {
            int a, b, c, d;
            DBString t;
            bool ok = m.Parse_Node(a, b, c, d, t);
            same = a == kA && b == kB && c == kC && d == kD && t == kText;
            return ok;
        });
    u32u8u8("SetGGS", 3, &M::Create_SetGGS, &M::Parse_SetGGS);
    u32u8u8("StatGGS", 4, &M::Create_StatGGS, &M::Parse_StatGGS);
    none("GetParCfg", 5, &M::Create_GetParCfg, &M::Parse_GetParCfg);
    add(
        "GetParCfgEx", 5, 3 + kTextLen + 1, 0, [](M& m) { return m.Create_GetParCfgEx(kText, kB); },
        [](const M& m, bool& same) {
            DBString t;
            int b;
            bool ok = m.Parse_GetParCfgEx(t, b);
            same = t == kText && b == kB;
            return ok;
        });
    add(
        "ParCfg", 6, 3 + 2 + 12 + kListLen, 0, [](M& m) { return m.Create_ParCfg(kC, kA, kE, kD, 4, kList); },
        [](const M& m, bool& same) {
            int a, b, c, d, n, list[8];
            bool ok = m.Parse_ParCfg(a, b, c, d, n, list, 8);
            same = a == kC && b == kA && c == kE && d == kD && SameList(list, n);
            return ok;
        });
    add(
        "Event", 7, 3 + 4 + 8 + 4 + 8 + 4 + 4 + 2 + kBlockLen + kTextLen, 0,
        [](M& m) { return m.Create_Event(kA, kWide, kE, T1(), kD, 1, 2, 3, 4, kC, 5, kBlock, kText); },
        [](const M& m, bool& same) {
            int a, c, d, e, f, g, h, i, n;
            int64_t b;
            DBTime t;
            DBString x;
            unsigned char st[64];
            bool ok = m.Parse_Event(a, b, c, t, d, e, f, g, h, i, n, st, 64, x);
            same = a == kA && b == kWide && c == kE && t == T1() && d == kD && e == 1 && f == 2 && g == 3 &&
                   h == 4 && i == kC && SameBlock(st, n) && x == kText;
            return ok;
        });
    add(
        "Notif", 8, 3 + 8 + kBlockLen, 0, [](M& m) { return m.Create_Notif(kA, kE, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, n;
            unsigned char buf[8];
            bool ok = m.Parse_Notif(a, b, n, buf, 8);
            same = a == kA && b == kE && SameBlock(buf, n);
            return ok;
        });
    none("Refresh", 9, &M::Create_Refresh, &M::Parse_Refresh);
    u32u8("SubscDial", 10, &M::Create_SubscDial, &M::Parse_SubscDial);
    u32("GetGroupErr", 11, &M::Create_GetGroupErr, &M::Parse_GetGroupErr);
    u32u32("GroupErr", 12, &M::Create_GroupErr, &M::Parse_GroupErr);
    u32("OpenScanState", 13, &M::Create_OpenScanState, &M::Parse_OpenScanState);
    u32("GetNextState", 14, &M::Create_GetNextState, &M::Parse_GetNextState);
    add(
        "NextState", 15, 3 + 4 + 3 + kTextLen, 0,
        [](M& m) { return m.Create_NextState(kA, kB, kD, 1, kText); },
        [](const M& m, bool& same) {
            int a, b, c, d;
            DBString t;
            bool ok = m.Parse_NextState(a, b, c, d, t);
            same = a == kA && b == kB && c == kD && d == 1 && t == kText;
            return ok;
        });
    u32("GetStateCar", 16, &M::Create_GetStateCar, &M::Parse_GetStateCar);
    add(
        "StateCar", 17, 3 + 4 + kTextLen + 16, 0,
        [](M& m) { return m.Create_StateCar(kA, kText, T1(), T2()); },
        [](const M& m, bool& same) {
            int a;
            DBString t;
            DBTime x, y;
            bool ok = m.Parse_StateCar(a, t, x, y);
            same = a == kA && t == kText && x == T1() && y == T2();
            return ok;
        });
    u32("CleanErr", 18, &M::Create_CleanErr, &M::Parse_CleanErr);
    add(
        "MngOutput", 19, 3 + 5 + kBlockLen, 0, [](M& m) { return m.Create_MngOutput(kA, kB, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, n;
            unsigned char buf[8];
            bool ok = m.Parse_MngOutput(a, b, n, buf, 8);
            same = a == kA && b == kB && SameBlock(buf, n);
            return ok;
        });
    u32("GradOff", 20, &M::Create_GradOff, &M::Parse_GradOff);
    u32("TestGGS", 21, &M::Create_TestGGS, &M::Parse_TestGGS);
    u32("Suspend", 22, &M::Create_Suspend, &M::Parse_Suspend);
    add(
        "OpenLog", 23, 3 + 16 + 12 + 2 + 2 + kTextLen + 3 + 1, 0,
        [](M& m) { return m.Create_OpenLog(T1(), T2(), kA, kE, 5, kB, kD, kC, kText, kText2, L""); },
        [](const M& m, bool& same) {
            DBTime x, y;
            int a, b, c, d, e, f;
            DBString t1, t2, t3 = L"stale";
            bool ok = m.Parse_OpenLog(x, y, a, b, c, d, e, f, t1, t2, t3);
            same = x == T1() && y == T2() && a == kA && b == kE && c == 5 && d == kB && e == kD && f == kC &&
                   t1 == kText && t2 == kText2 && t3.empty();
            return ok;
        });
    u32u32("StateOpenLog", 24, &M::Create_StateOpenLog, &M::Parse_StateOpenLog);
    u32("GetEventLog", 25, &M::Create_GetEventLog, &M::Parse_GetEventLog);
    none("CloseLog", 26, &M::Create_CloseLog, &M::Parse_CloseLog);
    none("CloseLink", 27, &M::Create_CloseLink, &M::Parse_CloseLink);
    add(
        "OpenLinkEx", 28, 3 + 12 + 2 + 4 + 1 + 4, 5,
        [](M& m) { return m.Create_OpenLinkEx(kList, 4, kC, kE); },
        [](const M& m, bool& same) {
            int list[8], k, a, b;
            bool ok = m.Parse_OpenLinkEx(list, 8, k, a, b);
            same = SameList(list, k) && a == kC && b == kE;
            return ok;
        });
    optU16("GetConfig", 29, &M::Create_GetConfig, &M::Parse_GetConfig);
    add(
        "Config", 30, 3 + 4 + kTextLen, 0, [](M& m) { return m.Create_Config(kC, 7, kText); },
        [](const M& m, bool& same) {
            int a, b;
            DBString t;
            bool ok = m.Parse_Config(a, b, t);
            same = a == kC && b == 7 && t == kText;
            return ok;
        });
    u32("GetTypLU", 31, &M::Create_GetTypLU, &M::Parse_GetTypLU);
    add(
        "TypLU", 32, 3 + 4 + kTextLen, 0, [](M& m) { return m.Create_TypLU(kA, kText); },
        [](const M& m, bool& same) {
            int a;
            DBString t;
            bool ok = m.Parse_TypLU(a, t);
            same = a == kA && t == kText;
            return ok;
        });
    u32dates("OpenStatist", 33, &M::Create_OpenStatist, &M::Parse_OpenStatist);
    u32u32("StateOpenStatist", 34, &M::Create_StateOpenStatist, &M::Parse_StateOpenStatist);
    u32u32("GetStatist", 35, &M::Create_GetStatist, &M::Parse_GetStatist);
    add(
        "Statist", 36, 3 + 12 + 8 + 16, 0,
        [](M& m) { return m.Create_Statist(kA, kE, 3, T2(), 4, 5, 6, -7); },
        [](const M& m, bool& same) {
            int a, b, c, d, e, f, g;
            DBTime t;
            bool ok = m.Parse_Statist(a, b, c, t, d, e, f, g);
            same = a == kA && b == kE && c == 3 && t == T2() && d == 4 && e == 5 && f == 6 && g == -7;
            return ok;
        });
    none("CloseStatist", 37, &M::Create_CloseStatist, &M::Parse_CloseStatist);
    u32dates("OpenErr", 38, &M::Create_OpenErr, &M::Parse_OpenErr);
    u32u32("StateOpenErr", 39, &M::Create_StateOpenErr, &M::Parse_StateOpenErr);
    u32u32("GetErr", 40, &M::Create_GetErr, &M::Parse_GetErr);
    add(
        "Err", 41, 3 + 16 + 8 + kBlockLen, 0,
        [](M& m) { return m.Create_Err(kA, kE, 3, 4, T1(), 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, c, d, n;
            DBTime t;
            unsigned char buf[8];
            bool ok = m.Parse_Err(a, b, c, d, t, n, buf, 8);
            same = a == kA && b == kE && c == 3 && d == 4 && t == T1() && SameBlock(buf, n);
            return ok;
        });
    add(
        "StateErr", 42, 3 + 12, 0, [](M& m) { return m.Create_StateErr(kA, kE, 3); },
        [](const M& m, bool& same) {
            int a, b, c;
            bool ok = m.Parse_StateErr(a, b, c);
            same = a == kA && b == kE && c == 3;
            return ok;
        });
    none("CloseErr", 43, &M::Create_CloseErr, &M::Parse_CloseErr);
    add(
        "SendMsg", 44, 3 + 5 + kBlockLen, 0, [](M& m) { return m.Create_SendMsg(kA, 8, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, n;
            unsigned char buf[8];
            bool ok = m.Parse_SendMsg(a, b, n, buf, 8);
            same = a == kA && b == 8 && SameBlock(buf, n);
            return ok;
        });
    u32u8("SubscMsg", 45, &M::Create_SubscMsg, &M::Parse_SubscMsg);
    add(
        "Msg", 46, 3 + 4 + kBlockLen, 0, [](M& m) { return m.Create_Msg(kA, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, n;
            unsigned char buf[8];
            bool ok = m.Parse_Msg(a, n, buf, 8);
            same = a == kA && SameBlock(buf, n);
            return ok;
        });
    u32("GetParamStatict", 47, &M::Create_GetParamStatict, &M::Parse_GetParamStatict);
    add(
        "ParamStatict", 48, 3 + 4 + 8 + 8, 0, [](M& m) { return m.Create_ParamStatict(kA, T1(), kReal); },
        [](const M& m, bool& same) {
            int a;
            DBTime t;
            double v;
            bool ok = m.Parse_ParamStatict(a, t, v);
            same = a == kA && t == T1() && v == kReal;
            return ok;
        });
    none("Execution", 49, &M::Create_Execution, &M::Parse_Execution);
    none("BegExecution", 50, &M::Create_BegExecution, &M::Parse_BegExecution);
    none("EndExecution", 51, &M::Create_EndExecution, &M::Parse_EndExecution);
    add(
        "ChangeUser", 52, 3 + kBlockLen, 0, [](M& m) { return m.Create_ChangeUser(5, kBlock); },
        [](const M& m, bool& same) {
            int n;
            unsigned char buf[8];
            bool ok = m.Parse_ChangeUser(n, buf, 8);
            same = SameBlock(buf, n);
            return ok;
        });
    u8("ResChangeUser", 53, &M::Create_ResChangeUser, &M::Parse_ResChangeUser);
    u32u8u8("SetMultiGGS", 54, &M::Create_SetMultiGGS, &M::Parse_SetMultiGGS);
    u32u8u8("StatMultiGGS", 55, &M::Create_StatMultiGGS, &M::Parse_StatMultiGGS);
    add(
        "Voice", 56, 3 + 5 + kBlockLen, 0, [](M& m) { return m.Create_Voice(kA, kB, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, n;
            unsigned char buf[8];
            bool ok = m.Parse_Voice(a, b, n, buf, 8);
            same = a == kA && b == kB && SameBlock(buf, n);
            return ok;
        });
    add(
        "VoiceExt", 56, 3 + 5 + kBlockLen + 1 + 16, 0,
        [](M& m) { return m.Create_VoiceExt(kA, kB, 5, kBlock, kD, Guid()); },
        [](const M& m, bool& same) {
            int a, b, n, c;
            unsigned char buf[8];
            DBGUID g;
            bool ok = m.Parse_VoiceExt(a, b, n, buf, 8, c, g);
            same = a == kA && b == kB && SameBlock(buf, n) && c == kD && g == Guid();
            return ok;
        });
    add(
        "GetStatLUNode", 57, 3 + 9, 0, [](M& m) { return m.Create_GetStatLUNode(kA, kB, kE); },
        [](const M& m, bool& same) {
            int a, b, c;
            bool ok = m.Parse_GetStatLUNode(a, b, c);
            same = a == kA && b == kB && c == kE;
            return ok;
        });
    add(
        "StatLUNode", 58, 3 + 5 + 28, 0,
        [](M& m) {
            const int v[7] = {1, 2, 3, 4, 5, 6, kA};
            return m.Create_StatLUNode(kE, kB, v);
        },
        [](const M& m, bool& same) {
            int a, b, v[7];
            bool ok = m.Parse_StatLUNode(a, b, v);
            same = a == kE && b == kB && v[0] == 1 && v[3] == 4 && v[5] == 6 && v[6] == kA;
            return ok;
        });
    u32("RefreshLU", 59, &M::Create_RefreshLU, &M::Parse_RefreshLU);
    add(
        "SelSaveVoice", 60, 3 + 16 + 8, 0, [](M& m) { return m.Create_SelSaveVoice(T2(), T1(), kA, kE); },
        [](const M& m, bool& same) {
            DBTime x, y;
            int a, b;
            bool ok = m.Parse_SelSaveVoice(x, y, a, b);
            same = x == T2() && y == T1() && a == kA && b == kE;
            return ok;
        });
    add(
        "ParSaveVoice", 61, 3 + 4 + 8 + 12, 0, [](M& m) { return m.Create_ParSaveVoice(kA, T1(), kE, 2, 3); },
        [](const M& m, bool& same) {
            int a, b, c, d;
            DBTime t;
            bool ok = m.Parse_ParSaveVoice(a, t, b, c, d);
            same = a == kA && t == T1() && b == kE && c == 2 && d == 3;
            return ok;
        });
    u32u8("GetSaveVoice", 62, &M::Create_GetSaveVoice, &M::Parse_GetSaveVoice);
    none("ReConnect", 63, &M::Create_ReConnect, &M::Parse_ReConnect);
    add(
        "ParReConnect", 64, 3 + 2 + 4 + kListLen, 0,
        [](M& m) { return m.Create_ParReConnect(kC, kA, 4, kList); },
        [](const M& m, bool& same) {
            int a, b, n, list[4];
            bool ok = m.Parse_ParReConnect(a, b, n, list, 4);
            same = a == kC && b == kA && SameList(list, n);
            return ok;
        });
    add(
        "AcceptProfil", 65, 3 + 3, 0, [](M& m) { return m.Create_AcceptProfil(kC, kB); },
        [](const M& m, bool& same) {
            int a, b;
            bool ok = m.Parse_AcceptProfil(a, b);
            same = a == kC && b == kB;
            return ok;
        });
    optU16("GetProfil", 66, &M::Create_GetProfil, &M::Parse_GetProfil);
    u16text("Profil", 67, &M::Create_Profil, &M::Parse_Profil);
    u16("ProfilProcessed", 68, &M::Create_ProfilProcessed, &M::Parse_ProfilProcessed);
    u16("AcceptStruct", 69, &M::Create_AcceptStruct, &M::Parse_AcceptStruct);
    optU16("GetStruct", 70, &M::Create_GetStruct, &M::Parse_GetStruct);
    u16text("Struct", 71, &M::Create_Struct, &M::Parse_Struct);
    u16("StructAccepted", 72, &M::Create_StructAccepted, &M::Parse_StructAccepted);
    add(
        "AcceptSQLAsk", 73, 3 + 3 + 2 + 5, 0,
        [](M& m) { return m.Create_AcceptSQLAsk(kB, M::typAskSQL{0x91}, kD, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, n;
            M::typAskSQL t;
            unsigned char buf[8];
            bool ok = m.Parse_AcceptSQLAsk(a, t, b, n, buf, 8);
            same = a == kB && t == M::typAskSQL{0x91} && b == kD && SameBlock(buf, n);
            return ok;
        });
    u8u8("GetSQLAsk", 74, &M::Create_GetSQLAsk, &M::Parse_GetSQLAsk);
    u8u8block16("FragSQLAsk", 75, &M::Create_FragSQLAsk, &M::Parse_FragSQLAsk);
    add(
        "AcceptSQLAnsw", 76, 3 + 3 + 2 + 5, 0,
        [](M& m) { return m.Create_AcceptSQLAnsw(kB, M::typAnswSQL{0x19}, kD, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, n;
            M::typAnswSQL t;
            unsigned char buf[8];
            bool ok = m.Parse_AcceptSQLAnsw(a, t, b, n, buf, 8);
            same = a == kB && t == M::typAnswSQL{0x19} && b == kD && SameBlock(buf, n);
            return ok;
        });
    u8u8("GetSQLAnsw", 77, &M::Create_GetSQLAnsw, &M::Parse_GetSQLAnsw);
    u8u8block16("FragSQLAnsw", 78, &M::Create_FragSQLAnsw, &M::Parse_FragSQLAnsw);
    u8("ExecuteAsk", 79, &M::Create_ExecuteAsk, &M::Parse_ExecuteAsk);
    add(
        "TCPData", 80, 3 + 16 + 1 + 8, 0,
        [](M& m) { return m.Create_TCPData(Guid(), M::typTCPData{0x42}, kA, kE); },
        [](const M& m, bool& same) {
            DBGUID g;
            M::typTCPData t;
            int a, b;
            bool ok = m.Parse_TCPData(g, t, a, b);
            same = g == Guid() && t == M::typTCPData{0x42} && a == kA && b == kE;
            return ok;
        });
    add(
        "ConfTCPData", 81, 3 + 16 + 1 + 4, 0, [](M& m) { return m.Create_ConfTCPData(Guid(), kB, kA); },
        [](const M& m, bool& same) {
            DBGUID g;
            int a, b;
            bool ok = m.Parse_ConfTCPData(g, a, b);
            same = g == Guid() && a == kB && b == kA;
            return ok;
        });
    add(
        "TimeAndGUID", 82, 3 + 5 + 16, 0, [](M& m) { return m.Create_TimeAndGUID(0xFF12345678L, Guid()); },
        [](const M& m, bool& same) {
            long t;
            DBGUID g;
            bool ok = m.Parse_TimeAndGUID(t, g);
            same = t == 0xFF12345678L && g == Guid();
            return ok;
        });
    add(
        "ClientStatus", 83, 3 + 1, 0, [](M& m) { return m.Create_ClientStatus(M::typClientStatus{0xC3}); },
        [](const M& m, bool& same) {
            M::typClientStatus t;
            bool ok = m.Parse_ClientStatus(t);
            same = t == M::typClientStatus{0xC3};
            return ok;
        });
    add(
        "SendMsgV7", 84, 3 + 6 + 2 + 5, 0, [](M& m) { return m.Create_SendMsgV7(kA, 8, 10, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, t, n;
            unsigned char buf[8];
            bool ok = m.Parse_SendMsgV7(a, b, t, n, buf, 8);
            same = a == kA && b == 8 && t == 10 && SameBlock(buf, n);
            return ok;
        });
    u32u8("SubscMsgV7", 85, &M::Create_SubscMsgV7, &M::Parse_SubscMsgV7);
    add(
        "MsgV7", 86, 3 + 6 + 2 + 5, 0, [](M& m) { return m.Create_MsgV7(kA, 3, 7, 5, kBlock); },
        [](const M& m, bool& same) {
            int a, b, t, n;
            unsigned char buf[8];
            bool ok = m.Parse_MsgV7(a, b, t, n, buf, 8);
            same = a == kA && b == 3 && t == 7 && SameBlock(buf, n);
            return ok;
        });
    return s;
}

}  // namespace

TEST(DispCatalog, EveryKindIsBuiltAndReadBack) {
    const std::vector<Sample> samples = Samples();
    std::set<int> codes;
    for (const Sample& s : samples) {
        SCOPED_TRACE(s.name);
        CMesDisp m;
        ASSERT_TRUE(s.build(m));
        EXPECT_EQ(m.TypMes(), s.code);
        EXPECT_EQ(m.Len(), s.len);
        EXPECT_STREQ(DispCatalog::Name(s.code), s.name == "GetParCfgEx" ? "GetParCfg"
                                                : s.name == "VoiceExt"  ? "Voice"
                                                                        : s.name.c_str());
        bool same = false;
        EXPECT_TRUE(s.parse(m, same));
        EXPECT_TRUE(same);
        codes.insert(s.code);
    }
    EXPECT_EQ(codes.size(), 86u);
    EXPECT_EQ(*codes.begin(), 1);
    EXPECT_EQ(*codes.rbegin(), 86);
}

TEST(DispCatalog, ReadersRefuseShortMessagesAndOtherCodes) {
    for (const Sample& s : Samples()) {
        SCOPED_TRACE(s.name);
        CMesDisp whole;
        ASSERT_TRUE(s.build(whole));
        Bytes b = Of(whole);
        for (int len = 3; len < whole.Len(); ++len) {
            Bytes cut(b.begin(), b.begin() + len);
            cut[0] = static_cast<unsigned char>(len);
            cut[1] = 0;
            bool same = true;
            const bool ok = s.parse(FromBytes(cut), same);
            // Only the cut that drops exactly an optional tail still reads.
            EXPECT_EQ(ok, s.optionalTail > 0 && len == whole.Len() - s.optionalTail) << len;
        }
        Bytes other = b;
        other[2] = static_cast<unsigned char>(s.code % 86 + 1);
        bool same = true;
        EXPECT_FALSE(s.parse(FromBytes(other), same));
        CMesDisp empty;
        EXPECT_FALSE(s.parse(empty, same));
    }
}

TEST(DispCatalog, OptionalFieldsAreOmittedAndReportedWithTheirDefault) {
    CMesDisp m;
    int a = 0, b = 0, c = 0;
    ASSERT_TRUE(m.Create_GetNode(kA, kB));
    EXPECT_EQ(m.Len(), 8);
    ASSERT_TRUE(m.Parse_GetNode(a, b, c));
    EXPECT_EQ(c, -1);
    // Six bytes do not hold the first field.
    EXPECT_FALSE(FromBytes({6, 0, 1, 4, 3, 2}).Parse_GetNode(a, b, c));
    EXPECT_EQ(a, 0);

    ASSERT_TRUE(m.Create_GetConfig());
    EXPECT_EQ(m.Len(), 3);
    ASSERT_TRUE(m.Parse_GetConfig(a));
    EXPECT_EQ(a, -1);
    ASSERT_TRUE(m.Create_GetProfil());
    a = 9;
    ASSERT_TRUE(m.Parse_GetProfil(a));
    EXPECT_EQ(a, 0);
    ASSERT_TRUE(m.Create_GetStruct(-1));
    a = 9;
    ASSERT_TRUE(m.Parse_GetStruct(a));
    EXPECT_EQ(a, 0);

    // OpenLinkEx: without a list length the tail is left out; a list shorter than
    // three values still sends three, the missing ones as 0.
    const int three[3] = {5, 6, 7};
    int list[6] = {}, k = 0;
    ASSERT_TRUE(m.Create_OpenLinkEx(three, -1, 1, 2));
    EXPECT_EQ(m.Len(), 3 + 12 + 2 + 4);
    ASSERT_TRUE(m.Parse_OpenLinkEx(list, 6, k, a, b));
    EXPECT_EQ(k, -1);
    EXPECT_EQ(list[2], 7);
    ASSERT_TRUE(m.Create_OpenLinkEx(three, 2, 1, 2));
    EXPECT_EQ(Of(m)[3 + 8], 0);           // third value
    EXPECT_EQ(Of(m)[3 + 12 + 2 + 4], 0);  // tail count 0, not 2 - 3
    ASSERT_TRUE(m.Parse_OpenLinkEx(list, 6, k, a, b));
    EXPECT_EQ(k, 3);
    EXPECT_FALSE(m.Create_OpenLinkEx(three, -2, 1, 2));
    EXPECT_FALSE(m.Parse_OpenLinkEx(list, 2, k, a, b));

    // VoiceExt reads as Voice; a plain Voice is no VoiceExt.
    ASSERT_TRUE(m.Create_VoiceExt(1, 2, 5, kBlock, 3, Guid()));
    int n = 0;
    unsigned char buf[8];
    EXPECT_TRUE(m.Parse_Voice(a, b, n, buf, 8));
    ASSERT_TRUE(m.Create_Voice(1, 2, 5, kBlock));
    DBGUID g;
    EXPECT_FALSE(m.Parse_VoiceExt(a, b, n, buf, 8, c, g));
}

TEST(DispCatalog, HandWrittenBytesMatchTheLayout) {
    // SendMsg: u32 target, u8 kind, u8 n, the line packet.
    CMesDisp m;
    const unsigned char packet[] = {0x21, 0x85, 0x0C, 0x3F, 0x01};
    ASSERT_TRUE(m.Create_SendMsg(0x12345678, 8, 5, packet));
    const Bytes sendMsg = {14, 0, 44, 0x78, 0x56, 0x34, 0x12, 8, 5, 0x21, 0x85, 0x0C, 0x3F, 0x01};
    EXPECT_EQ(Of(m), sendMsg);

    // Msg from the console, read from bytes: the block must fit the caller's buffer
    // and lie within the message.
    const Bytes msg = {11, 0, 46, 0x07, 0, 0, 0, 3, 0xAA, 0xBB, 0xCC};
    int source = 0, n = 0;
    unsigned char buf[4] = {};
    ASSERT_TRUE(FromBytes(msg).Parse_Msg(source, n, buf, 4));
    EXPECT_EQ(source, 7);
    EXPECT_EQ(Bytes(buf, buf + n), (Bytes{0xAA, 0xBB, 0xCC}));
    EXPECT_FALSE(FromBytes(msg).Parse_Msg(source, n, buf, 2));
    EXPECT_EQ(n, 0);
    EXPECT_EQ(source, 0);
    EXPECT_FALSE(FromBytes({11, 0, 46, 0x07, 0, 0, 0, 4, 0xAA, 0xBB, 0xCC}).Parse_Msg(source, n, buf, 4));

    // A text with the bytes FE FF in front is big-endian: "A", Cyrillic A, "c".
    const Bytes typLU = {3 + 4 + 1 + 8, 0, 32, 1, 0, 0, 0, 4, 0xFE, 0xFF, 0x00, 0x41, 0x04, 0x10, 0x00, 0x63};
    int id = 0;
    DBString text;
    ASSERT_TRUE(FromBytes(typLU).Parse_TypLU(id, text));
    EXPECT_EQ(text, DBString(L"A\u0410c"));
    // The same text little-endian, and characters beyond 16 bits cut to 16.
    ASSERT_TRUE(m.Create_TypLU(1, L"A\u0410c"));
    EXPECT_EQ(Of(m), (Bytes{14, 0, 32, 1, 0, 0, 0, 3, 0x41, 0, 0x10, 0x04, 0x63, 0}));
    ASSERT_TRUE(m.Create_TypLU(1, L"\U0001F600"));
    EXPECT_EQ(Of(m), (Bytes{10, 0, 32, 1, 0, 0, 0, 1, 0x00, 0xF6}));
    // A lone mark reads as the empty text.
    ASSERT_TRUE(FromBytes({10, 0, 32, 1, 0, 0, 0, 1, 0xFE, 0xFF}).Parse_TypLU(id, text));
    EXPECT_TRUE(text.empty());

    // ParamStatict: the OLE date of 2000-01-01 12:00 local time, then an f64.
    Bytes ps = {3 + 4 + 16, 0, 48, 2, 0, 0, 0};
    for (double v : {36526.5, -0.25}) {
        const uint64_t bits = std::bit_cast<uint64_t>(v);
        for (int i = 0; i < 8; ++i) ps.push_back(static_cast<unsigned char>(bits >> (8 * i)));
    }
    DBTime when;
    double value = 0;
    ASSERT_TRUE(FromBytes(ps).Parse_ParamStatict(id, when, value));
    EXPECT_EQ(when, DBTime(2000, 1, 1, 12, 0, 0));
    EXPECT_EQ(value, -0.25);

    // OpenLinkEx with five values: three, u16, u32, then the count 2 and two values.
    const int five[5] = {1, 2, 3, 4, 5};
    ASSERT_TRUE(m.Create_OpenLinkEx(five, 5, 0x0102, 0x0A0B0C0D));
    EXPECT_EQ(Of(m), (Bytes{30, 0, 28,   1,    0,    0,    0, 2, 0, 0, 0, 3, 0, 0, 0,
                            2,  1, 0x0D, 0x0C, 0x0B, 0x0A, 2, 4, 0, 0, 0, 5, 0, 0, 0}));

    // FragSQLAsk: two u8, then a block behind a u16 count.
    ASSERT_TRUE(m.Create_FragSQLAsk(1, 2, 3, packet));
    EXPECT_EQ(Of(m), (Bytes{10, 0, 75, 1, 2, 3, 0, 0x21, 0x85, 0x0C}));

    // Event: the u64 sits between two u32 fields.
    ASSERT_TRUE(m.Create_Event(1, 0x0807060504030201LL, 9, DBTime(), 0, 0, 0, 0, 0, 0, 0, nullptr, L""));
    const Bytes event = Of(m);
    EXPECT_EQ(Bytes(event.begin() + 3, event.begin() + 19),
              (Bytes{1, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0, 0, 0}));
}

TEST(DispCatalog, VariablePartsStopAtTheirLimits) {
    CMesDisp m;
    const Bytes big(CMesDisp::kBufSize, 0x5A);
    std::vector<int> ints(130, 3);

    struct Limit {
        const char* name;
        int limit;
        std::function<bool(int)> build;
    };
    const std::vector<Limit> limits = {
        {"SendMsg", 255, [&](int n) { return m.Create_SendMsg(1, 8, n, big.data()); }},
        {"Msg", 255, [&](int n) { return m.Create_Msg(1, n, big.data()); }},
        {"Notif", 255, [&](int n) { return m.Create_Notif(1, 2, n, big.data()); }},
        {"ChangeUser", 255, [&](int n) { return m.Create_ChangeUser(n, big.data()); }},
        {"Event state", 64,
         [&](int n) { return m.Create_Event(1, 2, 3, DBTime(), 4, 5, 6, 7, 8, 9, n, big.data(), L"x"); }},
        {"ParCfg", 118, [&](int n) { return m.Create_ParCfg(1, 2, 3, 4, n, ints.data()); }},
        {"ParReConnect", 120, [&](int n) { return m.Create_ParReConnect(1, 2, n, ints.data()); }},
        {"OpenLinkEx", 120, [&](int n) { return m.Create_OpenLinkEx(ints.data(), n, 1, 2); }},
        {"AcceptSQLAsk", 482,
         [&](int n) { return m.Create_AcceptSQLAsk(1, CMesDisp::typAskSQL{2}, 3, n, big.data()); }},
        {"FragSQLAnsw", 483, [&](int n) { return m.Create_FragSQLAnsw(1, 2, n, big.data()); }},
        {"SendMsgV7", 479, [&](int n) { return m.Create_SendMsgV7(1, 8, 1, n, big.data()); }},
    };
    for (const Limit& l : limits) {
        SCOPED_TRACE(l.name);
        EXPECT_TRUE(l.build(l.limit));
        const Bytes before = Of(m);
        EXPECT_FALSE(l.build(l.limit + 1));
        EXPECT_EQ(Of(m), before);  // a refused build leaves the message as it was
        EXPECT_FALSE(l.build(-2));
    }
    EXPECT_FALSE(m.Create_SendMsg(1, 8, 3, nullptr));

    // A text is limited by the room left in the 490 bytes.
    const std::wstring text(242, L'x');
    ASSERT_TRUE(m.Create_TypLU(1, text.c_str() + 1));
    EXPECT_EQ(m.Len(), CMesDisp::kBufSize);
    EXPECT_FALSE(m.Create_TypLU(1, text.c_str()));
    EXPECT_EQ(m.Len(), CMesDisp::kBufSize);
    // Three texts that fit one by one but not together.
    const std::wstring third(150, L'y');
    EXPECT_FALSE(m.Create_OpenLog(DBTime(), DBTime(), 1, 2, 3, 4, 5, 6, third.c_str(), third.c_str(), L"z"));
    EXPECT_TRUE(m.Create_OpenLog(DBTime(), DBTime(), 1, 2, 3, 4, 5, 6, third.c_str(), L"z", L"z"));
}

TEST(DispCatalog, V7CarriersTakeOnlyDataPackets) {
    const unsigned char data[6] = {0x10, 0x20, 0x30, 0x40, 0x50, 0x60};
    CPackV7 p;
    ASSERT_NE(p.SetData(static_cast<CPackV7::typPack>(20), data, 6), 0);
    ASSERT_EQ(p.GetLength(), 19);

    CMesDisp m;
    ASSERT_TRUE(m.Create_SendMsgV7(0x0102, 8, p));
    EXPECT_EQ(m.Len(), p.GetLength() - 2);
    EXPECT_EQ(Of(m), (Bytes{17, 0, 84, 2, 1, 0, 0, 8, 20, 6, 0, 0x10, 0x20, 0x30, 0x40, 0x50, 0x60}));
    ASSERT_TRUE(m.Create_MsgV7(3, 1, p));
    int source, kind, typ, n;
    unsigned char buf[8];
    ASSERT_TRUE(m.Parse_MsgV7(source, kind, typ, n, buf, 8));
    EXPECT_EQ(typ, 20);
    EXPECT_EQ(Bytes(buf, buf + n), Bytes(data, data + 6));

    // A link packet is no data packet: refused, the message stays as it was.
    CPackV7 link;
    ASSERT_NE(link.SetLink(CPackV7::typCloseLink, data, 4), 0);
    const Bytes before = Of(m);
    EXPECT_FALSE(m.Create_SendMsgV7(1, 8, link));
    EXPECT_FALSE(m.Create_MsgV7(1, 8, CPackV7()));
    EXPECT_EQ(Of(m), before);
}
