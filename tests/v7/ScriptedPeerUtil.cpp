#include "ScriptedPeerUtil.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

namespace {

sockaddr_in6 Loopback(int port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    return sa;
}

}  // namespace

ScriptedPeer::ScriptedPeer(const CKeySys& key) : m_Key(key) {
    m_Socket = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (m_Socket < 0) throw std::runtime_error("ScriptedPeer: socket()");
    sockaddr_in6 sa = Loopback(0);
    socklen_t len = sizeof sa;
    if (::bind(m_Socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ::close(m_Socket);
        throw std::runtime_error("ScriptedPeer: bind()");
    }
    m_Port = ntohs(sa.sin6_port);
}

ScriptedPeer::~ScriptedPeer() {
    ::close(m_Socket);
}

bool ScriptedPeer::ReceiveRaw(std::vector<unsigned char>& out, int timeoutMs) {
    pollfd p{m_Socket, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    unsigned char buf[65536];
    const ssize_t n = ::recv(m_Socket, buf, sizeof buf, 0);
    if (n < 0) return false;
    out.assign(buf, buf + n);
    return true;
}

bool ScriptedPeer::Receive(CPackV7& out, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        std::vector<unsigned char> raw;
        if (left < 0 || !ReceiveRaw(raw, static_cast<int>(left))) return false;
        CPackV7 p;
        if (p.ChanDecod(raw.data(), static_cast<int>(raw.size()), m_Key)) {
            out = p;
            return true;
        }
        ++m_Undecodable;
    }
}

std::vector<CPackV7> ScriptedPeer::Drain(int quietMs) {
    std::vector<CPackV7> got;
    CPackV7 p;
    while (Receive(p, quietMs)) got.push_back(p);
    return got;
}

bool ScriptedPeer::Send(CPackV7 p, int port) {
    unsigned char out[CPackV7::kBufSize];
    const int n = p.ChanCod(out, sizeof out, m_Key);
    return n > 0 && SendRaw(out, n, port);
}

bool ScriptedPeer::SendRaw(const unsigned char* bytes, int n, int port) {
    const sockaddr_in6 sa = Loopback(port);
    return ::sendto(m_Socket, bytes, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&sa),
                    sizeof sa) == n;
}

bool ScriptedPeer::SendRelay(CPackV7 p, const CKeySys& carried, int port) {
    unsigned char out[CPackV7::kBufSize];
    const int n = p.ChanCloudProCod(out, sizeof out, carried);
    return n > 0 && SendRaw(out, n, port);
}

bool ScriptedPeer::ReceiveRelay(CPackV7& out, CKeySys& carried, int timeoutMs) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        std::vector<unsigned char> raw;
        if (left < 0 || !ReceiveRaw(raw, static_cast<int>(left))) return false;
        CPackV7 p;
        CKeySys k;
        if (p.ChanCloudProDecod(raw.data(), static_cast<int>(raw.size()), k)) {
            out = p;
            carried = k;
            return true;
        }
        ++m_Undecodable;
    }
}

CPackV7 PeerPacket(const CIdentV7& from, const CIdentV7& to, int ident, int repl) {
    CPackV7 p(from, to);
    p.SetIdent(ident);
    if (repl != 0) p.AddRepl(static_cast<unsigned char>(repl));
    return p;
}

CPackV7 NumberedPacket(int number) {
    const unsigned char data[2] = {static_cast<unsigned char>(number & 0xFF),
                                   static_cast<unsigned char>((number >> 8) & 0xFF)};
    CPackV7 p;
    p.SetData(static_cast<CPackV7::typPack>(2), data, 2);
    return p;
}

int PacketNumber(const CPackV7& p) {
    if (p.GetClass() != CPackV7::classData || p.GetTyp() != 2 || p.GetLength() != CPackV7::kHeadSize + 2)
        return -1;
    return p.GetBuf()[13] | (p.GetBuf()[14] << 8);
}
