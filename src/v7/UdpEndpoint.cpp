#include "UdpEndpoint.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "Xml.h"

namespace {

sockaddr_in6 SocketAddress(const in6_addr& address, int port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_port = htons(static_cast<std::uint16_t>(port));
    sa.sin6_flowinfo = 0;
    sa.sin6_addr = address;
    sa.sin6_scope_id = 0;
    return sa;
}

}  // namespace

CUdpEndpoint::CUdpEndpoint(std::wstring owner, bool bigBuffers, Reports reports)
    : m_Owner(std::move(owner)), m_BigBuffers(bigBuffers), m_Reports(std::move(reports)) {}

CUdpEndpoint::~CUdpEndpoint() {
    Close();
}

void CUdpEndpoint::SetAddress(const in6_addr& address, int port) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Address = address;
    m_Port = port;
}

in6_addr CUdpEndpoint::GetAddress() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Address;
}

int CUdpEndpoint::GetPort() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Port;
}

bool CUdpEndpoint::IsOpen() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Socket >= 0;
}

bool CUdpEndpoint::IsRebinding() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Rebinding;
}

// ---------------------------------------------------------------------------------------
// Opening and closing

int CUdpEndpoint::Open(DBString& text) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    CloseLocked();
    m_Woken = false;
    return OpenLocked(m_Port, text);
}

int CUdpEndpoint::OpenLocked(int port, DBString& text) {
    const int fd = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        const int e = errno;
        text = m_Owner + L"::Bind(): socket()";
        m_Reports.error(text.c_str(), e);
        return e;
    }
    // IPv4 peers must reach the same socket in mapped form, whatever the system's default.
    int off = 0;
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    if (m_BigBuffers) EnlargeBuffers(fd);

    const sockaddr_in6 sa = SocketAddress(m_Address, port);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) != 0) {
        const int e = errno;
        ::close(fd);
        text = m_Owner + L"::Bind(): bind()";
        m_Reports.error(text.c_str(), e);
        return e;
    }
    int bound = port;
    if (port == 0) {
        sockaddr_in6 got{};
        socklen_t len = sizeof got;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&got), &len) != 0) {
            const int e = errno;
            ::close(fd);
            throw ErrorXML(m_Owner + L"::Bind(): getsockname()", e);
        }
        bound = ntohs(got.sin6_port);
    }
    m_BoundPort = bound;
    m_Socket = fd;
    return 0;
}

void CUdpEndpoint::EnlargeBuffers(int fd) {
    auto report = [&](int option, const wchar_t* sizeText, const wchar_t* failText) {
        int size = 0;
        socklen_t len = sizeof size;
        if (::getsockopt(fd, SOL_SOCKET, option, &size, &len) != 0) {
            m_Reports.error(failText, errno);
            return;
        }
        DBString line;
        line.Format(sizeText, size);
        m_Reports.note(line.c_str());
    };
    auto enlarge = [&](int option, const wchar_t* failText) {
        const int size = kBigBuffer;
        if (::setsockopt(fd, SOL_SOCKET, option, &size, sizeof size) != 0) m_Reports.error(failText, errno);
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

void CUdpEndpoint::CloseLocked() {
    if (m_Socket >= 0) ::close(m_Socket);
    m_Socket = -1;
}

void CUdpEndpoint::Close() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    CloseLocked();
    m_Held.clear();
}

void CUdpEndpoint::Wake() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Woken = true;
        // Closing would not end a recvfrom blocked in another thread; shutting the
        // receiving side down does, at once.
        if (m_Socket >= 0) ::shutdown(m_Socket, SHUT_RD);
    }
    m_WakeCv.notify_all();
}

// ---------------------------------------------------------------------------------------
// Receiving

int CUdpEndpoint::Socket() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Socket;
}

int CUdpEndpoint::Receive(unsigned char* buf, int size, in6_addr& from, int& port, int& error, bool wait) {
    for (;;) {
        int fd = -1;
        {
            std::lock_guard<std::mutex> lock(m_Mutex);
            if (m_Woken) return 0;
            // Only the receiving thread replaces the socket, so it stays valid below.
            fd = m_Socket;
        }
        sockaddr_in6 sa{};
        socklen_t len = sizeof sa;
        const ssize_t n = ::recvfrom(fd, buf, static_cast<std::size_t>(size < 0 ? 0 : size),
                                     wait ? 0 : MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&sa), &len);
        const int e = errno;
        // A signal is not a reason to stop listening: Wake is.
        if (n < 0 && e == EINTR) continue;
        if (n < 0 && !wait && (e == EAGAIN || e == EWOULDBLOCK)) {
            error = EAGAIN;
            return -1;
        }
        from = sa.sin6_addr;
        port = ntohs(sa.sin6_port);
        if (const int injected = m_Injected.exchange(0); injected != 0) {
            error = injected;
            return -1;
        }
        if (n < 0) {
            error = e;
            return -1;
        }
        return static_cast<int>(n);
    }
}

bool CUdpEndpoint::Rebind(bool configuredIfTaken) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    CloseLocked();
    m_Rebinding = true;
    // The pause releases the lock: senders hold their datagrams meanwhile instead of
    // waiting, and Wake cuts it short.
    m_WakeCv.wait_for(lock, kRebindPause, [this] { return m_Woken; });
    bool bound = false;
    if (!m_Woken) {
        DBString text;
        const int previous = m_BoundPort.load();
        try {
            bound = OpenLocked(previous, text) == 0 ||
                    (configuredIfTaken && previous != m_Port && OpenLocked(m_Port, text) == 0);
        } catch (const ErrorXML& e) {
            m_Reports.error(e.Text().c_str(), e.Number());
        }
    }
    m_Rebinding = false;
    std::vector<Held> held;
    held.swap(m_Held);
    if (bound) {
        for (const Held& h : held) SendLocked(h.bytes.data(), static_cast<int>(h.bytes.size()), h.to, h.port);
    }
    return bound;
}

// ---------------------------------------------------------------------------------------
// Sending

int CUdpEndpoint::Send(const unsigned char* data, int n, const in6_addr& to, int port) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    if (!m_Rebinding) return SendLocked(data, n, to, port);
    if (m_Held.size() >= kMaxHeld) {
        m_Reports.sendFailed(n, to, port, ENOBUFS);
        errno = ENOBUFS;
        return -1;
    }
    const int count = n < 0 || data == nullptr ? 0 : n;
    m_Held.push_back(Held{std::vector<unsigned char>(data, data + count), to, port});
    return count;
}

int CUdpEndpoint::SendLocked(const unsigned char* data, int n, const in6_addr& to, int port) {
    const sockaddr_in6 sa = SocketAddress(to, port);
    const ssize_t sent = ::sendto(m_Socket, data, static_cast<std::size_t>(n < 0 ? 0 : n), 0,
                                  reinterpret_cast<const sockaddr*>(&sa), sizeof sa);
    if (sent < 0) {
        const int e = errno;
        m_Reports.sendFailed(n, to, port, e);
        errno = e;
        return -1;
    }
    return static_cast<int>(sent);
}
