#include "MToolPult.h"

#include <netinet/in.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <memory>

#include "ClientCFG.h"
#include "Dev.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "PackDisp.h"
#include "PackV7.h"
#include "Pult.h"
#include "Slot.h"
#include "Um.h"
#include "Xml.h"
#include "utilities.h"

MToolPult::MToolPult(ToolContext& context) : m_Context(context) {}

LinkTiming LinkTiming::Scaled(double factor) const {
    auto scaled = [factor](int ms) { return std::max(1, static_cast<int>(ms * factor)); };
    return {scaled(windowTickMs), scaled(repeatMs)};
}

MToolPult::~MToolPult() = default;

bool MToolPult::IsDirect() const {
    return m_Context.v7Id >= 1;
}

bool MToolPult::Connect() {
    ToolContext& c = m_Context;
    // A second Connect starts from an empty tree again: the tool services one unit.
    m_Dev = nullptr;
    PultTab().Clear();
    try {
        auto pultRecord = std::make_unique<CPult>(c.pultNum);
        CPult* pult = pultRecord.get();
        // Every slot sends its own messages: there is no root slot to route through.
        pult->SetRoute(false);
        pult->SetDisp(this);
        PultTab().Insert(std::move(pultRecord));

        auto umRecord = std::make_unique<CUM>(c.umNum, pult);
        CUM* um = umRecord.get();
        pult->UMTab().Insert(std::move(umRecord));

        auto slotRecord = std::make_unique<CSlot>(c.slotNum, um, CSlot::slotLine, nullptr);
        CSlot* slot = slotRecord.get();
        um->SlotTab().Insert(std::move(slotRecord));

        auto devRecord = std::make_unique<CDev>(c.devAddr, slot, CDev::devNone, nullptr);
        m_Dev = devRecord.get();
        slot->DevTab().Insert(std::move(devRecord));

        pult->UMTab().SetLink();

        if (IsDirect()) {
            c.receivV7.SetDeferReplies(c.receiveOnCaller);
            c.sendV7.SetDriven(c.receiveOnCaller);
            if (c.receiveOnCaller)
                c.receivV7.StartWithoutLoop();
            else
                c.receivV7.Start();
            c.sendV7.Start();
            if (c.OwnsLogs()) c.proLog.Open("C", "log");
        } else {
            c.sendDisp.SetAcceptance(c.codLift, c.pultNum, !IN6_IS_ADDR_UNSPECIFIED(&c.utilAddr));
            c.receivDisp.Start();
            c.sendDisp.Start();
            if (c.OwnsLogs()) c.dispLog.Open("C", "log");
        }
        pult->SetOwn(kOwnNode, kOwnSub);
        return true;
    } catch (const ErrorXML& e) {
        Disconnect();
        if (!e.Text().empty()) c.badLog.PutErr(e.Text().c_str(), e.Number(), false);
        return false;
    }
}

void MToolPult::Disconnect() {
    ToolContext& c = m_Context;
    // The traffic log closes last, so the close-link datagrams the sender still sends are
    // in it too.
    if (IsDirect()) {
        c.sendV7.Stop();
        c.receivV7.Stop();
        if (c.OwnsLogs()) c.proLog.Close();
    } else {
        c.sendDisp.Stop();
        c.receivDisp.Stop();
        if (c.OwnsLogs()) c.dispLog.Close();
    }
}

void MToolPult::Put(CPult* /*pult*/, CPackMes& pack) {
    ToolContext& c = m_Context;
    if (IsDirect()) {
        pack.BegGet();
        CMes m;
        while (pack.GetMes(m)) {
            CPackV7 p(m);
            c.sendV7.Put(p);
        }
        return;
    }
    CMesDisp mes;
    const int target = IN6_IS_ADDR_UNSPECIFIED(&c.utilAddr) ? c.codLift : c.pultNum;
    if (mes.Create_SendMsg(target, kSendMsgLinePacket, pack.len, pack.buf)) c.sendDisp.SendMes(mes);
}

bool ToolUnitLink::Send(const LuRequest& r) {
    CDev* dev = m_Context.pult.GetDev();
    if (dev == nullptr || !dev->AddMes(r)) {
        DBString text;
        text.Format(
            L"ToolUnitLink::Send(): CDev::AddMes refused the request (sub-address %d, %d units) "
            L"to the unit %d:%d:%d:%d",
            static_cast<int>(r.ask), r.n, m_Context.pultNum, m_Context.umNum, m_Context.slotNum,
            m_Context.devAddr);
        m_Context.badLog.Put(text.c_str(), false);
        return false;
    }
    dev->Put();
    return true;
}

void ToolUnitLink::TakeParams(const CMes& report) {
    if (CDev* dev = m_Context.pult.GetDev()) dev->SetParDev(report);
}

void ToolUnitLink::Stop() {
    // A console link is the console's to close; a V7 link to a unit that refused, closed or
    // went silent is stopped so that nothing more arrives from it.
    if (!m_Context.pult.IsDirect()) return;
    m_Context.sendV7.Stop();
    m_Context.receivV7.Stop();
}

namespace {

// 32 upper-case hexadecimal digits are the key itself; anything else is a pass phrase.
bool IsKeyDigits(const DBString& text) {
    if (text.size() != 32) return false;
    for (wchar_t c : text) {
        if (!((c >= L'0' && c <= L'9') || (c >= L'A' && c <= L'F'))) return false;
    }
    return true;
}

// A value that no request could carry to the unit: refused at start-up rather than left for
// the unit to seem silent after the whole retry time.
void CheckReach(const wchar_t* option, int value, int low, int high) {
    if (value >= low && value <= high) return;
    DBString text;
    text.Format(_S_(1130).c_str(), option, value, low, high);
    throw ErrorXML(text, 0);
}

// strtol's reading, held to the range of int: a value too large for the field must not
// wrap into a small or negative one.
int OptionInt(const std::string& text) {
    const long value = std::strtol(text.c_str(), nullptr, 10);
    return static_cast<int>(std::clamp<long>(value, INT_MIN, INT_MAX));
}

// In the C library's encoding, as the console program hands it over; failing that, UTF-8.
DBString OptionText(const std::string& text) {
    std::wstring wide(text.size() + 1, L'\0');
    const size_t n = std::mbstowcs(wide.data(), text.c_str(), wide.size());
    if (n == static_cast<size_t>(-1)) return DBString(text);
    wide.resize(n);
    return DBString(std::move(wide));
}

constexpr int kMaxPort = 65535;
constexpr int kMaxUm = 255;
constexpr int kMaxSlot = 15;
constexpr int kLastLuNode = 9999899;

}  // namespace

DBString ToolContext::CheckSettings() {
    DBString suffix;
    if (v7Id < 1) {
        if (utilPort == 0) throw ErrorXML(L"Missing -v<Dorvik port>", 0);
        CheckReach(L"-v", utilPort, 1, kMaxPort);
        sendDisp.SetPeer(isNulIPv6(utilAddr) ? LocalHostIPv6() : utilAddr, utilPort);
        if (codLift > 0) {
            pultNum = 0;
            umNum = 0;
            slotNum = 7;
            devAddr = 1;
            suffix.Format(L" CodLift:%d", codLift);
            return suffix;
        }
        if (pultNum < 0) throw ErrorXML(_S_(1100), 0);
        if (umNum < 0) throw ErrorXML(_S_(1101), 0);
        if (slotNum < 0) throw ErrorXML(_S_(1102), 0);
        if (devAddr == 0) throw ErrorXML(_S_(1103), 0);
        CheckReach(L"-u", umNum, 0, kMaxUm);
        CheckReach(L"-s", slotNum, 0, kMaxSlot);
        CheckReach(L"-a", devAddr, 1, kLuMaxDev);
        suffix.Format(L" %d:%d:%d:%d", pultNum, umNum, slotNum, devAddr);
        return suffix;
    }

    CheckReach(L"-g", v7Id, 1, kLastLuNode);
    CheckReach(L"-h", v7Port, 1, kMaxPort);
    // The unit is reached by its V7 identity and the line address inside its messages is not
    // checked, so the structure numbers may be left out; given, they must fit their units.
    if (slotNum == -1) slotNum = 0;
    pultNum = std::max(pultNum, 0);
    CheckReach(L"-u", umNum, 0, kMaxUm);
    CheckReach(L"-s", slotNum, 0, kMaxSlot);
    CheckReach(L"-a", devAddr, 0, kLuMaxDev);
    CIdentV7 own;
    own.SetUnique();
    CKeySys key;
    if (IsKeyDigits(keyText))
        key.Set(keyText.c_str());
    else
        key.Create(keyText.c_str());
    receivV7.SetKey(key);
    receivV7.SetIdent(own);
    receivV7.SetBindAddress(NulIPv6());
    sendV7.SetAddress(v7Addr, v7Port);
    CIdentV7 unit;
    unit.Set(v7Id, 0);
    sendV7.SetRemoteIdent(unit);
    suffix.Format(L" ID:%d", v7Id);
    return suffix;
}

bool ToolContext::ReadOption(const std::string& arg) {
    if (arg.compare(0, 3, "enu") == 0) {
        g_StringENU = true;
        return true;
    }
    if (arg.size() < 2 || arg[0] != '-') return false;
    const std::string value = arg.substr(2);
    switch (arg[1]) {
        case 'u':
        case 'U':
            umNum = OptionInt(value);
            return true;
        case 's':
        case 'S':
            slotNum = OptionInt(value);
            return true;
        case 'a':
        case 'A':
            devAddr = OptionInt(value);
            return true;
        case 'p':
        case 'P':
            return true;  // the console program passes it; it means nothing here
        case 'n':
        case 'N':
            pultNum = OptionInt(value);
            return true;
        case 'i':
        case 'I':
            codLift = OptionInt(value);
            return true;
        case 'v':
        case 'V':
            utilPort = OptionInt(value);
            return true;
        case 'q':
        case 'Q':
            utilAddr = IP6FromStr(value);
            return true;
        case 'g':
        case 'G':
            v7Id = OptionInt(value);
            return true;
        case 'e':
        case 'E':
            v7Addr = IP6FromStr(value);
            return true;
        case 'h':
        case 'H':
            v7Port = OptionInt(value);
            return true;
        case 'k':
        case 'K':
            keyText = OptionText(value);
            return true;
        default:
            return false;
    }
}

std::string ToolContext::ReadCommandLine(const std::vector<std::string>& args) {
    std::string text = " ";
    for (const std::string& arg : args) {
        text += ' ';
        text += arg;
        ReadOption(arg);
    }
    return text;
}

void ToolContext::ChooseLanguage() {
    g_StringENU = false;
    try {
        CClientCFG::SetDefLanguage();
    } catch (const ErrorXML&) {
        // No readable configuration: the texts stay Russian.
    }
}

void ToolContext::SetLinkTiming(const LinkTiming& timing) {
    sendV7.SetRepeatInterval(timing.repeatMs);
    sendV7.Window().SetTick(timing.windowTickMs);
    sendDisp.Window().SetResendInterval(timing.repeatMs);
    sendDisp.Window().SetTick(timing.windowTickMs);
}

UnitAddress ToolContext::SessionAddress() const {
    UnitAddress a;
    a.direct = pult.IsDirect();
    a.pultNum = pultNum;
    a.umNum = umNum;
    a.slotNum = slotNum;
    a.devAddr = devAddr;
    a.codLift = codLift;
    a.own = receivV7.GetIdent();
    a.v7Id = v7Id;
    return a;
}

ToolContext::ToolContext() : ToolContext(std::make_unique<ToolLogs>(), nullptr) {}

ToolContext::ToolContext(ToolLogs& shared) : ToolContext(nullptr, &shared) {}

ToolContext::ToolContext(std::unique_ptr<ToolLogs> own, ToolLogs* shared)
    : m_OwnLogs(std::move(own)),
      badLog((m_OwnLogs ? m_OwnLogs.get() : shared)->bad),
      dispLog((m_OwnLogs ? m_OwnLogs.get() : shared)->disp),
      proLog((m_OwnLogs ? m_OwnLogs.get() : shared)->pro),
      pult(*this),
      pool(&badLog),
      receivDisp(&pool, sendDisp, badLog, dispLog),
      sendDisp(&pool, receivDisp, inpMes, dispLog, badLog, events),
      sendV7(&pool, receivV7, proLog, badLog, events),
      receivV7(&pool, sendV7, inpV7, proLog, badLog, events),
      unitLink(*this),
      session(unitLink, nvramRead, nvramDefaults) {}

ToolContext::~ToolContext() {
    events.Remove();
    receivV7.Stop();
    sendV7.StopOnly();
    // The sender's CloseLink still needs the receiver's socket.
    sendDisp.Stop();
    receivDisp.Stop();
    pool.Stop();
}

void ToolContext::ResetSettings() {
    pultNum = -1;
    umNum = 0;
    slotNum = -1;
    devAddr = 0;
    codLift = 0;
    utilPort = 0;
    utilAddr = in6_addr{};
    v7Id = 0;
    v7Addr = in6_addr{};
    v7Port = 0;
    keyText = DBString();
}
