#include "ReceivV7.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>

#include "LoadRes.h"
#include "SendV7.h"
#include "Xml.h"
#include "utilities.h"

namespace {

// Nodes above this are the relay's and the programs'; at or below it, lift units.
constexpr int kLastLUNode = 9999899;
// Nodes above this are programs.
constexpr int kLastNonProgNode = 9999999;

void AppendBytes(DBString& text, const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i) text.AppendFormat(L" %02X", bytes[i]);
}

}  // namespace

CReceivV7::CReceivV7(BasePoolThread* pool)
    : m_Endpoint(
          L"CReceivV7", false,
          {[this](const wchar_t* text) { BadPut(text, false); },
           [this](const wchar_t* text, int error) { BadPutErr(text, error); },
           [this](int, const in6_addr&, int, int error) { BadPutErr(L"CReceivV7::Send sendto()", error); }}),
      m_Pool(pool) {
    m_Endpoint.SetAddress(NulIPv6(), 0);
}

CReceivV7::~CReceivV7() {
    Stop();
}

// ---------------------------------------------------------------------------------------
// Hooks a concrete endpoint may replace

CSendV7* CReceivV7::NewSender(const CIdentV7&, const in6_addr&, int, const CKeySys&, const CReceivV7*) {
    return nullptr;
}

bool CReceivV7::UnknownSender(const CIdentV7&, const in6_addr&, int, const CKeySys&) {
    return true;
}

void CReceivV7::LogPut(const CSendV7*, const in6_addr&, int, const unsigned char*, int) {}

void CReceivV7::IsChangIP(const CSendV7*) {}

bool CReceivV7::ConnReset(const wchar_t* text, int error) {
    const DBString line = DBString(text) + _S_(41094);
    BadPutErr(line.c_str(), error);
    return true;
}

bool CReceivV7::ChanDecod(const unsigned char*, int, CPackV7&, CKeySys&, bool&) {
    return false;
}

DBString CReceivV7::NameApp() const {
    return DBString(L"CReceivV7");
}

// ---------------------------------------------------------------------------------------
// Socket

int CReceivV7::Bind(DBString& err) {
    return m_Endpoint.Open(err);
}

void CReceivV7::Start() {
    if (m_Running.load()) return;
    StartWithoutLoop();
    m_Handle = m_Pool != nullptr ? m_Pool->StartProc(m_ProcName, WinSockProc, this, 0, 0) : nullptr;
    if (m_Handle == nullptr) {
        m_Running = false;
        m_Endpoint.Close();
        throw ErrorXML(L"CReceivV7::Start(): the thread pool does not run", 0);
    }
}

void CReceivV7::Stop() {
    m_Running = false;
    m_Endpoint.Wake();
    if (m_Pool != nullptr) m_Pool->StopProc(WinSockProc, this);
    m_Handle = nullptr;
    m_Endpoint.Close();
}

int CReceivV7::Send(const unsigned char* data, int len, const in6_addr& to, int port) {
    if (isNulIPv6(to)) return len;
    if (data == nullptr || len < 0 || port < 1 || port > 65535) {
        BadPutErr(L"CReceivV7::Send sendto()", EINVAL);
        return -1;
    }
    return m_Endpoint.Send(data, len, to, port);
}

// ---------------------------------------------------------------------------------------
// Receive loop

bool CReceivV7::WinSockProc(void* self) {
    static_cast<CReceivV7*>(self)->ReceiveLoop();
    return false;
}

void CReceivV7::ReceiveLoop() {
    unsigned char buf[kMaxDatagram];
    while (m_Running.load()) {
        in6_addr address{};
        int port = 0;
        int e = 0;
        const int n = m_Endpoint.Receive(buf, sizeof buf, address, port, e);
        if (!m_Running.load() || !Take(buf, n, e, address, port)) break;
    }
}

bool CReceivV7::Take(const unsigned char* buf, int n, int error, const in6_addr& address, int port) {
    if (n < 0) {
        if (error == ECONNRESET) {
            const DBString text = IPv6PortToStrW(address, port) + L"- ";
            return ConnReset(text.c_str(), ECONNRESET);
        }
        if (error == ENETRESET) return true;
        BadPutErr(L"CReceivV7::WinSockProc recvfrom()", error);
        return m_Endpoint.Rebind(false);
    }
    if (n == 0) {
        const DBString text = IPv6PortToStrW(address, port) + L"- ";
        return ConnReset(text.c_str(), 0);
    }
    if (n >= kMinDatagram) Receive(buf, n, address, port);
    return true;
}

void CReceivV7::StartWithoutLoop() {
    if (m_Running.load()) return;
    DBString err;
    const int e = m_Endpoint.Open(err);
    if (e != 0) throw ErrorXML(err, e);
    m_Running = true;
}

int CReceivV7::ReceiveWaiting(int most) {
    unsigned char buf[kMaxDatagram];
    int taken = 0;
    while (m_Running.load() && taken < most) {
        in6_addr address{};
        int port = 0;
        int e = 0;
        const int n = m_Endpoint.Receive(buf, sizeof buf, address, port, e, false);
        if (n < 0 && e == EAGAIN) return taken;
        if (!Take(buf, n, e, address, port)) {
            m_Running = false;
            return -1;
        }
        ++taken;
    }
    return taken;
}

void CReceivV7::SendDueReplies() {
    for (CSendV7* sender : m_RepliesDue) sender->SendReply();
    m_RepliesDue.clear();
}

void CReceivV7::Receive(const unsigned char* data, int n, const in6_addr& from, int port) {
    const DBString fromText = IPv6PortToStrW(from, port);

    CPackV7 pack;
    CKeySys key = m_Key;
    bool viaRelay = false;
    if (!pack.ChanDecod(data, n, m_Key)) {
        pack.Clear();
        if (!ChanDecod(data, n, pack, key, viaRelay)) {
            DBString text;
            text.Format(_S_(43308).c_str(), fromText.c_str());
            BadPutMes(text.c_str(), data, n, false);
            return;
        }
    }

    const CIdentV7 source = pack.GetSource();
    const CIdentV7 dest = pack.GetDest();
    const int sourceNode = source.GetNode();
    CSendV7* sender = GetSend(source);
    if (sender == nullptr) {
        if (!pack.IsCloseLink()) {
            if (sourceNode > kLastLUNode) {
                if (sourceNode > kLastNonProgNode) sender = NewSender(source, from, port, key, this);
            } else if (source.IsLU() && !viaRelay && source.GetDev() == 0 && dest == m_Ident &&
                       !(pack.GetClass() == CPackV7::classLink && pack.GetTyp() == CPackV7::typRefuse)) {
                sender = NewSender(source, from, port, key, this);
            }
        }
        if (sender == nullptr) {
            LogPut(GetSend(m_Ident), from, port, pack.GetBuf(), pack.GetLength() + 2);
            if (sourceNode == kRelayNode) {
                m_RelayReport = static_cast<std::int64_t>(std::time(nullptr));
                return;
            }
            if (!UnknownSender(source, from, port, key)) return;
            DBString text;
            text.Format(_S_(41095).c_str(), source.GetString().c_str(), fromText.c_str());
            AppendBytes(text, pack.GetBuf(), pack.GetLength());
            BadPut(text.c_str(), false);
            return;
        }
    }

    if (sourceNode > kLastNonProgNode) sender->SetKey(key);

    if (sender->IsDisabled()) {
        const DBString text = L"Pack from disable link Ident " + source.GetString() + L" -" + fromText;
        BadPutMes(text.c_str(), pack.GetBuf(), pack.GetLength(), false);
        return;
    }

    LogPut(sender, from, port, pack.GetBuf(), pack.GetLength() + 2);

    if (sender->GetRemoteIdent() == m_Ident) {
        DBString text;
        const DBString route = source.GetString() + L"->" + dest.GetString();
        text.Format(_S_(43307).c_str(), route.c_str(), fromText.c_str());
        BadPutMes(text.c_str(), pack.GetBuf(), pack.GetLength(), false);
        return;
    }

    if (!sender->IsViaRelay()) {
        if (viaRelay) {
            DBString text;
            text.Format(_S_(43301).c_str(), source.GetString().c_str(), fromText.c_str());
            BadPut(text.c_str(), true);
            return;
        }
        if (sender->GetRemoteIdent().GetNode() <= kLastLUNode) {
            const CKeySys own = sender->GetKey();
            int refusal = 0;
            if (own.IsEmpty())
                refusal = key == m_Key ? 0 : 43471;
            else
                refusal = key == own ? 0 : 43472;
            if (refusal != 0) {
                DBString text;
                text.Format(_S_(refusal).c_str(), source.GetString().c_str());
                BadPut(text.c_str(), true);
                return;
            }
        }
    } else if (!viaRelay) {
        DBString text;
        text.Format(_S_(43300).c_str(), source.GetString().c_str(), fromText.c_str());
        BadPut(text.c_str(), true);
        return;
    }

    if (!CheckAddress(*sender, pack, from, port, fromText)) return;

    if (dest != m_Ident) {
        if (sender->Retransmission(this, pack, from, port)) return;
        DBString text;
        text.Format(_S_(43306).c_str(), source.GetString().c_str(), dest.GetString().c_str(),
                    fromText.c_str());
        BadPutMes(text.c_str(), pack.GetBuf(), pack.GetLength(), false);
        return;
    }

    sender->MngReply(pack.GetRepl());
    bool fresh = true;
    if (pack.GetIdent() != 0) fresh = sender->MngIdentInp(static_cast<unsigned char>(pack.GetIdent())) != 0;
    if (fresh) HandlingData(pack, sender);
    if (!m_DeferReplies) {
        sender->SendReply();
    } else if (std::find(m_RepliesDue.begin(), m_RepliesDue.end(), sender) == m_RepliesDue.end()) {
        m_RepliesDue.push_back(sender);
    }
}

bool CReceivV7::CheckAddress(CSendV7& sender, const CPackV7& pack, const in6_addr& from, int port,
                             const DBString& fromText) {
    const in6_addr known = sender.GetAddress();
    const int knownPort = sender.GetPort();
    const DBString who = pack.GetSource().GetString();

    if (sender.IsFixedAddress()) {
        if (isEqIPv6(from, known)) return true;
        DBString text;
        text.Format(_S_(43302).c_str(), who.c_str(), IPv6ToStrW(from).c_str());
        text += IPv6ToStrW(known);
        BadPut(text.c_str(), true);
        return false;
    }

    if (isEqIPv6(from, known) && port == knownPort) return true;

    const CIdentV7 dest = pack.GetDest();
    DBString text;
    if (dest != m_Ident && GetSend(dest) == nullptr && sender.HasAddressChanged()) {
        text.Format(_S_(43305).c_str(), who.c_str(), fromText.c_str(), IPv6ToStrW(known).c_str(),
                    static_cast<unsigned>(knownPort), dest.GetString().c_str());
        BadPut(text.c_str(), true);
        return true;
    }
    in6_addr old{};
    int oldPort = 0;
    if (sender.MoveAddress(from, port, m_AddrChangeGuardMs, old, oldPort)) {
        text.Format(_S_(43304).c_str(), who.c_str(), fromText.c_str(), IPv6ToStrW(old).c_str(),
                    static_cast<unsigned>(oldPort));
        BadPut(text.c_str(), true);
        IsChangIP(&sender);
    } else {
        text.Format(_S_(43303).c_str(), who.c_str(), fromText.c_str(), IPv6ToStrW(known).c_str(),
                    static_cast<unsigned>(knownPort));
        BadPut(text.c_str(), true);
    }
    return true;
}
