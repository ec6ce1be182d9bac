#include "ReceivV7.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

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

sockaddr_in6 SocketAddress(const in6_addr& address, int port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<std::uint16_t>(port));
    sa.sin6_addr = address;
    return sa;
}

void AppendBytes(DBString& text, const unsigned char* bytes, int count) {
    for (int i = 0; i < count; ++i) text.AppendFormat(L" %02X", bytes[i]);
}

}  // namespace

CReceivV7::CReceivV7(BasePoolThread* pool) : m_Pool(pool) {
    ClearIPv6(m_BindAddr);
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

int CReceivV7::OpenAndBind(int port, DBString& err) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int e = errno;
        err = L"CReceivV7::Bind(): socket()";
        BadPutErr(err.c_str(), e);
        return e;
    }
    // IPv4 peers must reach the same socket in mapped form, whatever the system's default.
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);

    const sockaddr_in6 sa = SocketAddress(m_BindAddr, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int e = errno;
        ::close(fd);
        err = L"CReceivV7::Bind(): bind()";
        BadPutErr(err.c_str(), e);
        return e;
    }
    int bound = port;
    if (port == 0) {
        sockaddr_in6 got{};
        socklen_t len = sizeof got;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&got), &len) != 0) {
            const int e = errno;
            ::close(fd);
            throw ErrorXML(L"CReceivV7::Bind(): getsockname()", e);
        }
        bound = ntohs(got.sin6_port);
    }
    m_BoundPort = bound;
    m_Socket = fd;
    return 0;
}

void CReceivV7::CloseSocket() {
    const int fd = m_Socket.exchange(-1);
    if (fd >= 0) ::close(fd);
}

int CReceivV7::Bind(DBString& err) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    CloseSocket();
    return OpenAndBind(m_BindPort, err);
}

void CReceivV7::Start() {
    if (m_Running.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        CloseSocket();
        DBString err;
        const int e = OpenAndBind(m_BindPort, err);
        if (e != 0) throw ErrorXML(err, e);
    }
    {
        std::lock_guard<std::mutex> lock(m_RunMutex);
        m_Running = true;
    }
    m_Handle = m_Pool != nullptr ? m_Pool->StartProc(m_ProcName, WinSockProc, this, 0, 0) : nullptr;
    if (m_Handle == nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_RunMutex);
            m_Running = false;
        }
        std::lock_guard<std::mutex> lock(m_SendMutex);
        CloseSocket();
        throw ErrorXML(L"CReceivV7::Start(): the thread pool does not run", 0);
    }
}

void CReceivV7::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_RunMutex);
        m_Running = false;
    }
    m_RunCv.notify_all();
    {
        // Closing the socket would not end a recvfrom blocked in another thread, and its
        // number could be handed out again while that thread still uses it. Shutting the
        // receiving side down wakes the receive at once; the socket is closed only after
        // the loop has ended.
        std::lock_guard<std::mutex> lock(m_SendMutex);
        const int fd = m_Socket.load();
        if (fd >= 0) ::shutdown(fd, SHUT_RD);
    }
    if (m_Pool != nullptr) m_Pool->StopProc(WinSockProc, this);
    m_Handle = nullptr;
    std::lock_guard<std::mutex> lock(m_SendMutex);
    CloseSocket();
}

int CReceivV7::Send(const unsigned char* data, int len, const in6_addr& to, int port) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (isNulIPv6(to)) return len;
    if (data == nullptr || len < 0 || port < 1 || port > 65535) {
        BadPutErr(L"CReceivV7::Send sendto()", EINVAL);
        return -1;
    }
    const sockaddr_in6 sa = SocketAddress(to, port);
    const ssize_t n = ::sendto(m_Socket.load(), data, static_cast<std::size_t>(len), 0,
                               reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (n < 0) {
        BadPutErr(L"CReceivV7::Send sendto()", errno);
        return -1;
    }
    return static_cast<int>(n);
}

// ---------------------------------------------------------------------------------------
// Receive loop

bool CReceivV7::WinSockProc(void* self) {
    static_cast<CReceivV7*>(self)->ReceiveLoop();
    return false;
}

bool CReceivV7::Rebind() {
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        CloseSocket();
    }
    {
        // The pause is waited out without the send lock, so that neither the senders nor
        // Stop are held up by it.
        std::unique_lock<std::mutex> lock(m_RunMutex);
        m_RunCv.wait_for(lock, std::chrono::seconds(1), [this] { return !m_Running.load(); });
    }
    std::lock_guard<std::mutex> lock(m_SendMutex);
    // Checked under the send lock: a Stop that has not yet shut the socket down will find
    // the new one, a Stop that has is seen here.
    if (!m_Running.load()) return false;
    DBString err;
    // The bound port, not the configured one: with a configured 0 the party would
    // otherwise lose the endpoint it knows.
    return OpenAndBind(m_BoundPort.load(), err) == 0;
}

void CReceivV7::ReceiveLoop() {
    unsigned char buf[kMaxDatagram];
    while (m_Running.load()) {
        sockaddr_in6 from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n =
            ::recvfrom(m_Socket.load(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (!m_Running.load()) break;
        const int e = errno;
        const in6_addr address = from.sin6_addr;
        const int port = ntohs(from.sin6_port);
        if (n < 0) {
            if (e == ECONNRESET) {
                const DBString text = IPv6PortToStrW(address, port) + L"- ";
                if (!ConnReset(text.c_str(), ECONNRESET)) break;
                continue;
            }
            // A signal is not a reason to stop listening: Stop is told by m_Running.
            if (e == ENETRESET || e == EINTR) continue;
            BadPutErr(L"CReceivV7::WinSockProc recvfrom()", e);
            if (!Rebind()) break;
            continue;
        }
        if (n == 0) {
            const DBString text = IPv6PortToStrW(address, port) + L"- ";
            if (!ConnReset(text.c_str(), 0)) break;
            continue;
        }
        if (n < kMinDatagram) continue;
        Receive(buf, static_cast<int>(n), address, port);
    }
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
    sender->SendReply();
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
