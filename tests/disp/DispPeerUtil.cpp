#include "DispPeerUtil.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

#include "KeySys.h"

namespace {

sockaddr_in6 Loopback(int port) {
    return sockaddr_in6{AF_INET6, htons(static_cast<uint16_t>(port)), 0, in6addr_loopback, 0};
}

}  // namespace

CIdeaCtx LinkCipher() {
    CIdeaKey key;
    key.Set2(L"", L"", L"", CSendDisp::m_Maska);
    return CIdeaCtx(key.Get());
}

DispPeer::DispPeer() : m_Ctx(LinkCipher()), m_Socket(::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in6 sa = Loopback(0);
    socklen_t len = sizeof sa;
    ::bind(m_Socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    ::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&sa), &len);
    m_Port = ntohs(sa.sin6_port);
}

bool DispPeer::Receive(CPackDisp& out, int timeoutMs, bool withMessages) {
    using namespace std::chrono;
    const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
    auto left = [&] {
        return static_cast<int>(std::max<int64_t>(0, (deadline - steady_clock::now()) / 1ms));
    };
    for (pollfd p{m_Socket, POLLIN, 0}; ::poll(&p, 1, left()) > 0;) {
        unsigned char buf[2048];
        const ssize_t n = ::recv(m_Socket, buf, sizeof buf, 0);
        out.Decoding(buf, static_cast<int>(std::max<ssize_t>(n, 0)), &m_Ctx);
        if (out.valid && (!withMessages || out.HasMessages())) return true;
    }
    return false;
}

std::vector<CPackDisp> DispPeer::Drain(int quietMs) {
    std::vector<CPackDisp> got;
    for (CPackDisp p; Receive(p, quietMs);) got.push_back(p);
    return got;
}

bool DispPeer::Send(CPackDisp p, int port) {
    unsigned char out[CPackDisp::kWireSize];
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
    p.AddReply(acks.data(), static_cast<int>(acks.size()));
    p.SetIdent(ident);
    return p;
}

CMesDisp NumberedMes(int number) {
    const unsigned char line[6] = {0x05, 0x11, 0x22, 0x33, static_cast<unsigned char>(number & 0x3F), 0x01};
    CMesDisp m;
    m.Create_SendMsg(number, 8, 6, line);
    return m;
}

std::vector<int> Codes(CPackDisp p) {
    std::vector<int> codes;
    CMesDisp m;
    for (p.BegGet(); p.GetMes(m);) codes.push_back(m.TypMes());
    return codes;
}

std::vector<unsigned char> Acks(const CPackDisp& p) {
    int n = 0;
    const unsigned char* r = p.GetReply(n);
    return std::vector<unsigned char>(r, r + n);
}

int CapturingSender::Send(const unsigned char* data, int n, const in6_addr&, int) {
    errno = EHOSTUNREACH;
    if (fail) return -1;
    const CIdeaCtx ctx = LinkCipher();
    sent.emplace_back().Decoding(data, n, &ctx);
    return n;
}

void CapturingSender::Receive(CPackDisp frame, int flip) {
    unsigned char out[CPackDisp::kWireSize];
    const CIdeaCtx ctx = LinkCipher();
    const int n = frame.Encoding(out, sizeof out, &ctx);
    if (flip >= 0) out[flip] ^= 0x40;
    Handling(out, n);
}
