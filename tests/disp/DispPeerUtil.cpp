#include "DispPeerUtil.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "KeySys.h"
#include "SendDisp.h"

namespace {

sockaddr_in6 Loopback(int port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    return sa;
}

}  // namespace

CIdeaCtx LinkCipher() {
    CIdeaKey key;
    key.Set2(L"", L"", L"", CSendDisp::m_Maska);
    return CIdeaCtx(key.Get());
}

DispPeer::DispPeer() : m_Ctx(LinkCipher()) {
    m_Socket = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_Socket < 0) throw std::runtime_error("DispPeer: socket()");
    sockaddr_in6 sa = Loopback(0);
    socklen_t len = sizeof sa;
    if (::bind(m_Socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ::close(m_Socket);
        throw std::runtime_error("DispPeer: bind()");
    }
    m_Port = ntohs(sa.sin6_port);
}

DispPeer::~DispPeer() {
    ::close(m_Socket);
}

bool DispPeer::ReceiveRaw(std::vector<unsigned char>& out, int timeoutMs) {
    pollfd p{m_Socket, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    unsigned char buf[2048];
    const ssize_t n = ::recv(m_Socket, buf, sizeof buf, 0);
    if (n < 0) return false;
    out.assign(buf, buf + n);
    return true;
}

bool DispPeer::Receive(CPackDisp& out, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        std::vector<unsigned char> raw;
        if (left < 0 || !ReceiveRaw(raw, static_cast<int>(left))) return false;
        CPackDisp p;
        p.Decoding(raw.data(), static_cast<int>(raw.size()), &m_Ctx);
        if (p.valid) {
            out = p;
            return true;
        }
        ++m_Undecodable;
    }
}

bool DispPeer::ReceiveWithMessages(CPackDisp& out, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0 || !Receive(out, static_cast<int>(left))) return false;
        if (out.HasMessages()) return true;
    }
}

std::vector<CPackDisp> DispPeer::Drain(int quietMs) {
    std::vector<CPackDisp> got;
    CPackDisp p;
    while (Receive(p, quietMs)) got.push_back(p);
    return got;
}

bool DispPeer::Send(CPackDisp p, int port) {
    unsigned char out[CPackDisp::kWireSize + 1];
    const int n = p.Encoding(out, sizeof out, &m_Ctx);
    return n > 0 && SendRaw(out, n, port);
}

bool DispPeer::SendRaw(const unsigned char* bytes, int n, int port) {
    const sockaddr_in6 sa = Loopback(port);
    return ::sendto(m_Socket, bytes, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&sa),
                    sizeof sa) == n;
}

CPackDisp PeerFrame(const std::vector<CMesDisp>& messages, int ident,
                    const std::vector<unsigned char>& acks) {
    CPackDisp p;
    for (const CMesDisp& m : messages) p.AddMes(m);
    if (!acks.empty()) p.AddReply(acks.data(), static_cast<int>(acks.size()));
    p.SetIdent(ident);
    return p;
}

CMesDisp NumberedMes(int number) {
    const unsigned char line[6] = {0x05, 0x11, 0x22, 0x33, static_cast<unsigned char>(number & 0x3F), 0x01};
    CMesDisp m;
    m.Create_SendMsg(number, 8, 6, line);
    return m;
}

std::vector<int> Numbers(CPackDisp p) {
    std::vector<int> numbers;
    CMesDisp m;
    p.BegGet();
    while (p.GetMes(m)) {
        int target = 0, kind = 0, n = 0;
        unsigned char buf[255];
        if (m.Parse_SendMsg(target, kind, n, buf, sizeof buf)) numbers.push_back(target);
    }
    return numbers;
}

std::vector<int> Codes(CPackDisp p) {
    std::vector<int> codes;
    CMesDisp m;
    p.BegGet();
    while (p.GetMes(m)) codes.push_back(m.TypMes());
    return codes;
}

std::vector<unsigned char> Acks(const CPackDisp& p) {
    int n = 0;
    const unsigned char* r = p.GetReply(n);
    return std::vector<unsigned char>(r, r + n);
}
