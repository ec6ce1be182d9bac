#include "ReceivDisp.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "SendDisp.h"
#include "Xml.h"
#include "utilities.h"

namespace {

sockaddr_in6 SocketAddress(const in6_addr& addr, int port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    sa.sin6_flowinfo = 0;
    sa.sin6_addr = addr;
    sa.sin6_scope_id = 0;
    return sa;
}

}  // namespace

CReceivDisp::CReceivDisp(BasePoolThread* pool, bool bigBuffers)
    : m_BigBuffers(bigBuffers), m_Thread(pool, "CReceivDisp::WinSockProc", WinSockProc, this), m_Pool(pool) {
    ClearIPv6(m_OwnAddr);
}

CReceivDisp::~CReceivDisp() {
    Stop();
}

void CReceivDisp::LogPut(const in6_addr&, int, const unsigned char*, int) {}

CSendDisp* CReceivDisp::Connect(const in6_addr&, int, const unsigned char*, int) {
    return nullptr;
}

DBString CReceivDisp::NameApp() const {
    return DBString(L"CReceivDisp");
}

void CReceivDisp::SetOwnAddress(const in6_addr& addr, int port) {
    m_OwnAddr = addr;
    m_OwnPort = port;
}

int CReceivDisp::OpenAndBind(int port, DBString& text) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int e = errno;
        text = L"CReceivDisp::Bind(): socket()";
        BadPutErr(text.c_str(), e);
        return e;
    }
    // IPv4 consoles must reach the same socket in mapped form.
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);

    if (m_BigBuffers) {
        auto report = [&](int option, const wchar_t* sizeText, const wchar_t* failText) {
            int size = 0;
            socklen_t len = sizeof size;
            if (::getsockopt(fd, SOL_SOCKET, option, &size, &len) != 0) {
                BadPutErr(failText, errno);
                return;
            }
            DBString line;
            line.Format(sizeText, size);
            BadPut(line.c_str());
        };
        auto enlarge = [&](int option, const wchar_t* failText) {
            const int size = kBigBuffer;
            if (::setsockopt(fd, SOL_SOCKET, option, &size, sizeof size) != 0) BadPutErr(failText, errno);
        };
        const wchar_t* rcvSize = L"CReceivUser::Bind(): SO_RCVBUF %d";
        const wchar_t* sndSize = L"CReceivUser::Bind(): SO_SNDBUF %d";
        const wchar_t* rcvGet = L"CReceivUser::Bind(): getsockopt(.. SO_RCVBUF  ...)";
        const wchar_t* sndGet = L"CReceivUser::Bind(): getsockopt(.. SO_SNDBUF  ...)";
        report(SO_RCVBUF, rcvSize, rcvGet);
        report(SO_SNDBUF, sndSize, sndGet);
        enlarge(SO_RCVBUF, L"CReceivUser::Bind(): setsockopt(.. SO_RCVBUF  ...)");
        enlarge(SO_SNDBUF, L"CReceivUser::Bind(): setsockopt(.. SO_SNDBUF  ...)");
        report(SO_RCVBUF, rcvSize, rcvGet);
        report(SO_SNDBUF, sndSize, sndGet);
    }

    const sockaddr_in6 sa = SocketAddress(m_OwnAddr, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int e = errno;
        ::close(fd);
        text = L"CReceivDisp::Bind(): bind()";
        BadPutErr(text.c_str(), e);
        return e;
    }
    int bound = port;
    if (port == 0) {
        sockaddr_in6 got{};
        socklen_t len = sizeof got;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&got), &len) != 0) {
            const int e = errno;
            ::close(fd);
            throw ErrorXML(L"CReceivDisp::Bind(): getsockname()", e);
        }
        bound = ntohs(got.sin6_port);
    }
    m_BoundPort = bound;
    m_Socket = fd;
    return 0;
}

void CReceivDisp::CloseSocket() {
    const int fd = m_Socket.exchange(-1);
    if (fd >= 0) ::close(fd);
}

int CReceivDisp::Bind(DBString& text) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    CloseSocket();
    return OpenAndBind(m_OwnPort, text);
}

void CReceivDisp::Start() {
    if (m_Running.load()) return;
    DBString text;
    const int e = Bind(text);
    if (e != 0) throw ErrorXML(DBString(), e);
    {
        std::lock_guard<std::mutex> lock(m_RunMutex);
        m_Running = true;
    }
    if (m_Thread.Start(0, 0) == nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_RunMutex);
            m_Running = false;
        }
        std::lock_guard<std::mutex> lock(m_SendMutex);
        CloseSocket();
        throw ErrorXML(L"CReceivDisp::Start(): the thread pool does not run", 0);
    }
}

void CReceivDisp::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_RunMutex);
        m_Running = false;
    }
    m_RunCv.notify_all();
    {
        // Closing would not wake a recvfrom blocked in the task, and the number could be
        // handed out again while the task still uses it: the receiving side is shut
        // down to wake it, and the socket closed once the task has ended.
        std::lock_guard<std::mutex> lock(m_SendMutex);
        const int fd = m_Socket.load();
        if (fd >= 0) ::shutdown(fd, SHUT_RD);
    }
    if (m_Pool != nullptr) m_Pool->StopProc(WinSockProc, this);
    std::lock_guard<std::mutex> lock(m_SendMutex);
    CloseSocket();
}

int CReceivDisp::Send(const unsigned char* data, int n, const in6_addr& addr, int port) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    const sockaddr_in6 sa = SocketAddress(addr, port);
    const ssize_t sent = ::sendto(m_Socket.load(), data, static_cast<std::size_t>(n < 0 ? 0 : n), 0,
                                  reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (sent < 0) {
        const int e = errno;
        DBString text;
        text.Format(L"CReceivDisp::Send sendto() aLen=%d, IP:Port=", n);
        text += IPv6PortToStrW(addr, port);
        BadPutErr(text.c_str(), e);
        errno = e;
        return -1;
    }
    return static_cast<int>(sent);
}

bool CReceivDisp::WinSockProc(void* self) {
    static_cast<CReceivDisp*>(self)->ReceiveLoop();
    return false;
}

bool CReceivDisp::Rebind() {
    {
        std::lock_guard<std::mutex> lock(m_SendMutex);
        CloseSocket();
    }
    {
        // Waited out without the send lock, so that neither the senders nor Stop wait
        // for it.
        std::unique_lock<std::mutex> lock(m_RunMutex);
        m_RunCv.wait_for(lock, std::chrono::seconds(1), [this] { return !m_Running.load(); });
    }
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (!m_Running.load()) return false;
    DBString text;
    // The port the console knows first; the configured one (the system's choice) only
    // when that is taken meanwhile.
    const int previous = m_BoundPort.load();
    if (previous != 0 && previous != m_OwnPort && OpenAndBind(previous, text) == 0) return true;
    return OpenAndBind(m_OwnPort, text) == 0;
}

void CReceivDisp::ReceiveLoop() {
    unsigned char buf[kMaxDatagram];
    while (m_Running.load()) {
        sockaddr_in6 from{};
        socklen_t fromLen = sizeof from;
        const ssize_t n =
            ::recvfrom(m_Socket.load(), buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
        const int e = errno;
        if (!m_Running.load()) break;
        if (n < 0) {
            // A signal does not end the link: the receiver would stay deaf without a word.
            if (e == ENETRESET || e == ECONNRESET || e == EINTR) continue;
            BadPutErr(L"CReceivDisp::WinSockProc recvfrom()", e);
            if (e == EMSGSIZE) continue;
            if (!Rebind()) break;
            continue;
        }
        if (n == 0) continue;
        const in6_addr addr = from.sin6_addr;
        const int port = ntohs(from.sin6_port);
        LogPut(addr, port, buf, static_cast<int>(n));
        if (n < kMinDatagram) continue;
        CSendDisp* send = GetSendRemote(addr, port);
        if (send == nullptr) send = Connect(addr, port, buf, static_cast<int>(n));
        if (send != nullptr) send->Handling(buf, static_cast<int>(n));
    }
    m_Running = false;
}
