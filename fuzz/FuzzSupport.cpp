#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "Dev.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackDisp.h"
#include "PackV7.h"
#include "SendDisp.h"

void FuzzFail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, what);
    std::abort();
}

// ---- FuzzInput ----------------------------------------------------------------------------

uint8_t FuzzInput::U8() {
    return m_Pos < m_Size ? m_Data[m_Pos++] : 0;
}

uint16_t FuzzInput::U16() {
    const uint16_t lo = U8();
    return static_cast<uint16_t>(lo | (U8() << 8));
}

uint32_t FuzzInput::U32() {
    const uint32_t lo = U16();
    return lo | (static_cast<uint32_t>(U16()) << 16);
}

int FuzzInput::Int(int lo, int hi) {
    const auto range = static_cast<uint32_t>(hi - lo) + 1;
    return lo + static_cast<int>(U32() % range);
}

std::span<const uint8_t> FuzzInput::Bytes(size_t n) {
    const size_t take = std::min(n, m_Size - m_Pos);
    const std::span<const uint8_t> out(m_Data + m_Pos, take);
    m_Pos += take;
    return out;
}

void FuzzInput::Fill(void* out, size_t n) {
    const auto got = Bytes(n);
    auto* bytes = static_cast<uint8_t*>(out);
    std::copy(got.begin(), got.end(), bytes);
    std::fill(bytes + got.size(), bytes + n, uint8_t{0});
}

// ---- keys ---------------------------------------------------------------------------------

const CKeySys& FuzzLinkKey() {
    static const CKeySys key = [] {
        CKeySys k;
        k.SetDefault();
        return k;
    }();
    return key;
}

const CKeySys& FuzzOtherKey() {
    static const CKeySys key = [] {
        CKeySys k;
        k.Set(L"00112233445566778899AABBCCDDEEFF");
        return k;
    }();
    return key;
}

const CIdeaCtx& FuzzDispCipher() {
    static const CIdeaCtx ctx = [] {
        CIdeaKey key;
        key.Set2(L"", L"", L"", CSendDisp::m_Maska);
        return CIdeaCtx(key.Get());
    }();
    return ctx;
}

// ---- V7 packets ---------------------------------------------------------------------------

bool BuildV7Packet(FuzzInput& in, CPackV7& p, bool& oversized) {
    const int builder = in.U8() % 7;
    const auto type = static_cast<CPackV7::typPack>(in.U8());
    const int askByte = in.U8();
    const int ident = in.U8();
    const int repl = in.U8();
    unsigned char wire[2 * CIdentV7::kWireSize];
    in.Fill(wire, sizeof wire);
    CIdentV7 source, dest;
    source.SetValue(wire);
    dest.SetValue(wire + CIdentV7::kWireSize);
    if (builder == 6) {
        p = CPackV7(source, dest);
        oversized = false;
        return true;
    }
    p.SetID(source, dest);
    p.SetIdent(ident);
    p.AddRepl(static_cast<unsigned char>(repl));

    const auto payload = in.Bytes(CPackV7::kMaxPayload + 1);
    const unsigned char* bytes = payload.data();
    const int n = static_cast<int>(payload.size());
    oversized = n > (builder == 0 || builder == 3 ? CPackV7::kMaxPayload : CPackV7::kMaxData);
    switch (builder) {
        case 0:
            return p.SetLink(type, bytes, n) != 0;
        case 1:
            return p.SetData(type, bytes, n) != 0;
        case 2:
            return p.SetAsk(type, static_cast<CPackV7::typAsk>(askByte & 127),
                            static_cast<CPackV7::typDirAsk>(askByte >> 7), bytes, n) != 0;
        case 3:
            return p.SetVoice(type, bytes, n) != 0;
        case 4:
            oversized = false;
            return p.SetMes(CMes(std::min(n, CMes::kMaxLoad), bytes)) != 0;
        default: {
            oversized = false;
            unsigned char voice[CPackV7::kVoiceBytes] = {};
            std::copy_n(bytes, std::min(n, CPackV7::kVoiceBytes), voice);
            return p.SetVoiceToLU(voice) != 0;
        }
    }
}

// ---- messages -----------------------------------------------------------------------------

namespace {

void ReadNvramAnswer(const CMes& m) {
    int index = 0;
    unsigned short value = 0;
    bool isWord = false;
    const bool short3 = m.GetLbNVRAM(index, value, isWord);
    int index5 = 0;
    unsigned short value5 = 0, value2 = 0;
    bool isWord5 = false, has2 = false;
    const bool ok = m.GetLbNVRAM(index5, value5, isWord5, value2, has2);
    // Both forms read the same answer; only the longer one also gives the default.
    FUZZ_CHECK(short3 == ok && index == index5 && value == value5 && isWord == isWord5);
    FUZZ_CHECK(ok || (index5 == 0 && value5 == 0 && isWord5 && !has2 && value2 == 0));
    FUZZ_CHECK(!has2 || isWord5);
    // A word index travels in 7 bits, a byte address in 13 and the byte in 8.
    if (isWord5)
        FUZZ_CHECK(index5 >= 0 && index5 < 128);
    else
        FUZZ_CHECK(index5 >= 0 && index5 <= kLbNvramMaxAddr && value5 <= 255);
}

void ReadDeviceParameters(const CMes& m) {
    for (const bool chosenLanguage : {false, true}) {
        CDev dev(m.dev, nullptr, CDev::devNone, nullptr);
        dev.SetLanguage(chosenLanguage);
        dev.SetParDev(m);
        int a = 0, b = 0, c = 0, d = 0;
        dev.GetVers(a, b, c, d);
        bool known = false;
        dev.TypLB();
        dev.NameController(dev.Variant());
        dev.TypTerm7(dev.TypTerm(), &known);
        dev.HardBoot();
        dev.IsKnovExt();
    }
}

void ReadOtherFields(const CMes& m) {
    int index = 0, addr = 0, count = 0;
    unsigned short value = 0;
    m.GetNVRAM(index, value);
    unsigned char bytes[CMes::kMaxUnits] = {};
    for (const int room : {0, 5, static_cast<int>(sizeof bytes)}) {
        m.GetNVRAM(addr, count, bytes, room);
        FUZZ_CHECK(count >= 0 && count <= room);
        FUZZ_CHECK(m.GetIAP(bytes, room) <= room);
        FUZZ_CHECK(m.GetAlert(bytes, room) <= room);
    }
    float a = 0, b = 0, c = 0, d = 0;
    m.GetSTAT(a, b, c, d);
    m.LvlAsk10();
    m.CurLvl();
    m.Mode();
    m.CodDmamge();
    for (int bit = -1; bit <= 8; ++bit) m.TestBit(static_cast<CMes::bitExtended>(bit));
    for (int n = 0; n <= 25; ++n) {
        m.TestAsk(n);
        m.TestCmd(n);
    }
    for (int i = -1; i <= CMes::kMaxUnits; ++i) m[i];
    m.Str(L"fuzz");
}

}  // namespace

void ReadMessage(const CMes& m) {
    FUZZ_CHECK(m.len >= 0 && m.len <= CMes::kMaxUnits);
    m.IsGood();
    ReadNvramAnswer(m);
    ReadDeviceParameters(m);
    ReadOtherFields(m);
}

void ReadLinePacket(CPackMes& p) {
    FUZZ_CHECK(p.len >= 0 && p.len < CPackMes::kBufSize);
    p.GetOrig();
    p.GetDest();
    p.Str();
    p.BegGet();
    const bool valid = p.IsValid();
    CMes m;
    while (p.GetMes(m)) {
        FUZZ_CHECK(p.pos <= p.len);
        ReadMessage(m);
    }
    // The window trusts a valid packet to be made of whole messages only.
    FUZZ_CHECK(valid == (p.pos == p.len));
}

void ReadV7Packet(const CPackV7& p) {
    FUZZ_CHECK(p.GetLength() >= 0 && p.GetLength() <= CPackV7::kBufSize);
    CPackV7 q = p;
    CMes m;
    if (q.GetMes(m)) ReadMessage(m);
    CMsgV7 record;
    q.BegGet();
    while (q.GetMes(record)) {
        FUZZ_CHECK(record.GetKind() >= 0 && record.GetKind() <= CMsgV7::kMaxKind);
        FUZZ_CHECK(record.GetSize() >= 0 && q.GetOffset() <= q.GetLength());
    }
    CIdentV7 who;
    q.IsCloseLink(who);
    who.GetString();
    if (q.IsRefuse() && q.GetLength() >= 22) {
        // The long refusal names the refused program and the refusing unit.
        CIdentV7 program, unit;
        program.SetValue(q.GetBuf() + 14);
        unit.SetValue(q.GetBuf() + 18);
    }
    q.IsRestart();
    q.IsOnOffGGS();
    q.IsInIdent();
    q.ToString(L"fuzz");
}

void ReadDispMessage(const CMesDisp& m, int room) {
    room = std::clamp(room, 0, CMesDisp::kBufSize);
    const int listRoom = std::clamp(room, 3, 130);
    const int code = m.TypMes();
    auto only = [code](int own, bool ok) { FUZZ_CHECK(!ok || code == own); };
    // A block or list reader never reports more than the caller's buffer holds.
    auto within = [&](int own, bool ok, int n, int limit) {
        only(own, ok);
        FUZZ_CHECK(ok ? n >= 0 && n <= limit : n == 0);
    };
    int a = 0, b = 0, c = 0, d = 0, e = 0, f = 0, g = 0, h = 0, i = 0, n = 0, k = 0;
    int64_t w = 0;
    long t = 0;
    double x = 0;
    DBString s1, s2, s3;
    DBTime t1, t2;
    DBGUID guid;
    unsigned char buf[CMesDisp::kBufSize];
    int list[130];
    int seven[7];
    CMesDisp::typAskSQL askSql{};
    CMesDisp::typAnswSQL answSql{};
    CMesDisp::typTCPData tcp{};
    CMesDisp::typClientStatus status{};

    only(1, m.Parse_GetNode(a, b, c));
    only(2, m.Parse_Node(a, b, c, d, s1));
    only(3, m.Parse_SetGGS(a, b, c));
    only(4, m.Parse_StatGGS(a, b, c));
    only(5, m.Parse_GetParCfg());
    only(5, m.Parse_GetParCfgEx(s1, b));
    within(6, m.Parse_ParCfg(a, b, c, d, n, list, listRoom), n, listRoom);
    within(7, m.Parse_Event(a, w, c, t1, d, e, f, g, h, i, n, buf, room, s1), n, room);
    within(8, m.Parse_Notif(a, b, n, buf, room), n, room);
    only(9, m.Parse_Refresh());
    only(10, m.Parse_SubscDial(a, b));
    only(11, m.Parse_GetGroupErr(a));
    only(12, m.Parse_GroupErr(a, b));
    only(13, m.Parse_OpenScanState(a));
    only(14, m.Parse_GetNextState(a));
    only(15, m.Parse_NextState(a, b, c, d, s1));
    only(16, m.Parse_GetStateCar(a));
    only(17, m.Parse_StateCar(a, s1, t1, t2));
    only(18, m.Parse_CleanErr(a));
    within(19, m.Parse_MngOutput(a, b, n, buf, room), n, room);
    only(20, m.Parse_GradOff(a));
    only(21, m.Parse_TestGGS(a));
    only(22, m.Parse_Suspend(a));
    only(23, m.Parse_OpenLog(t1, t2, a, b, c, d, e, f, s1, s2, s3));
    only(24, m.Parse_StateOpenLog(a, b));
    only(25, m.Parse_GetEventLog(a));
    only(26, m.Parse_CloseLog());
    only(27, m.Parse_CloseLink());
    only(28, m.Parse_OpenLinkEx(list, listRoom, k, a, b));
    FUZZ_CHECK(k >= -1 && k <= listRoom);
    only(29, m.Parse_GetConfig(a));
    only(30, m.Parse_Config(a, b, s1));
    only(31, m.Parse_GetTypLU(a));
    only(32, m.Parse_TypLU(a, s1));
    only(33, m.Parse_OpenStatist(a, t1, t2));
    only(34, m.Parse_StateOpenStatist(a, b));
    only(35, m.Parse_GetStatist(a, b));
    only(36, m.Parse_Statist(a, b, c, t1, d, e, f, g));
    only(37, m.Parse_CloseStatist());
    only(38, m.Parse_OpenErr(a, t1, t2));
    only(39, m.Parse_StateOpenErr(a, b));
    only(40, m.Parse_GetErr(a, b));
    within(41, m.Parse_Err(a, b, c, d, t1, n, buf, room), n, room);
    only(42, m.Parse_StateErr(a, b, c));
    only(43, m.Parse_CloseErr());
    within(44, m.Parse_SendMsg(a, b, n, buf, room), n, room);
    only(45, m.Parse_SubscMsg(a, b));
    within(46, m.Parse_Msg(a, n, buf, room), n, room);
    only(47, m.Parse_GetParamStatict(a));
    only(48, m.Parse_ParamStatict(a, t1, x));
    only(49, m.Parse_Execution());
    only(50, m.Parse_BegExecution());
    only(51, m.Parse_EndExecution());
    within(52, m.Parse_ChangeUser(n, buf, room), n, room);
    only(53, m.Parse_ResChangeUser(a));
    only(54, m.Parse_SetMultiGGS(a, b, c));
    only(55, m.Parse_StatMultiGGS(a, b, c));
    within(56, m.Parse_Voice(a, b, n, buf, room), n, room);
    within(56, m.Parse_VoiceExt(a, b, n, buf, room, c, guid), n, room);
    only(57, m.Parse_GetStatLUNode(a, b, c));
    only(58, m.Parse_StatLUNode(a, b, seven));
    only(59, m.Parse_RefreshLU(a));
    only(60, m.Parse_SelSaveVoice(t1, t2, a, b));
    only(61, m.Parse_ParSaveVoice(a, t1, b, c, d));
    only(62, m.Parse_GetSaveVoice(a, b));
    only(63, m.Parse_ReConnect());
    within(64, m.Parse_ParReConnect(a, b, n, list, listRoom), n, listRoom);
    only(65, m.Parse_AcceptProfil(a, b));
    only(66, m.Parse_GetProfil(a));
    only(67, m.Parse_Profil(a, s1));
    only(68, m.Parse_ProfilProcessed(a));
    only(69, m.Parse_AcceptStruct(a));
    only(70, m.Parse_GetStruct(a));
    only(71, m.Parse_Struct(a, s1));
    only(72, m.Parse_StructAccepted(a));
    within(73, m.Parse_AcceptSQLAsk(a, askSql, b, n, buf, room), n, room);
    only(74, m.Parse_GetSQLAsk(a, b));
    within(75, m.Parse_FragSQLAsk(a, b, n, buf, room), n, room);
    within(76, m.Parse_AcceptSQLAnsw(a, answSql, b, n, buf, room), n, room);
    only(77, m.Parse_GetSQLAnsw(a, b));
    within(78, m.Parse_FragSQLAnsw(a, b, n, buf, room), n, room);
    only(79, m.Parse_ExecuteAsk(a));
    only(80, m.Parse_TCPData(guid, tcp, a, b));
    only(81, m.Parse_ConfTCPData(guid, a, b));
    only(82, m.Parse_TimeAndGUID(t, guid));
    only(83, m.Parse_ClientStatus(status));
    within(84, m.Parse_SendMsgV7(a, b, c, n, buf, room), n, room);
    only(85, m.Parse_SubscMsgV7(a, b));
    within(86, m.Parse_MsgV7(a, b, c, n, buf, room), n, room);
}
