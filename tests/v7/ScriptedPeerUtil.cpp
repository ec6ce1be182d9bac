#include "ScriptedPeerUtil.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

#include "LoadRes.h"
#include "utilities.h"

static sockaddr_in6 Loopback(int port) {
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = in6addr_loopback;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    return sa;
}

ScriptedPeer::ScriptedPeer(const CKeySys& key) : m_Key(key) {
    m_Socket = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in6 sa = Loopback(0);
    socklen_t len = sizeof sa;
    if (m_Socket < 0 || ::bind(m_Socket, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        ::close(m_Socket);
        throw std::runtime_error("ScriptedPeer: no socket on ::1");
    }
    m_Port = ntohs(sa.sin6_port);
}

ScriptedPeer::~ScriptedPeer() {
    ::close(m_Socket);
}

bool ScriptedPeer::ReceiveRaw(std::vector<unsigned char>& out, int timeoutMs) {
    pollfd p{m_Socket, POLLIN, 0};
    unsigned char buf[65536];
    const ssize_t n = ::poll(&p, 1, timeoutMs) > 0 ? ::recv(m_Socket, buf, sizeof buf, 0) : -1;
    if (n >= 0) out.assign(buf, buf + n);
    return n >= 0;
}

bool ScriptedPeer::Receive(CPackV7& out, int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (std::vector<unsigned char> raw;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
        if (ms < 0 || !ReceiveRaw(raw, ms)) return false;
        if (out.ChanDecod(raw.data(), static_cast<int>(raw.size()), m_Key)) return true;
    }
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

CPackV7 PeerPacket(const CIdentV7& from, const CIdentV7& to, int ident) {
    CPackV7 p(from, to);
    p.SetIdent(ident);
    return p;
}

CPackV7 NumberedPacket(int number) {
    const unsigned char data[2] = {static_cast<unsigned char>(number & 0xFF),
                                   static_cast<unsigned char>(number >> 8)};
    CPackV7 p;
    p.SetData(static_cast<CPackV7::typPack>(2), data, 2);
    return p;
}

int PacketNumber(const CPackV7& p) {
    if (p.GetClass() != CPackV7::classData || p.GetTyp() != 2 || p.GetLength() != CPackV7::kHeadSize + 2)
        return -1;
    return p.GetBuf()[13] | (p.GetBuf()[14] << 8);
}

CKeySys LinkKey(bool other) {
    CKeySys k;
    k.Set(other ? L"FFEEDDCCBBAA99887766554433221100" : L"00112233445566778899AABBCCDDEEFF");
    return k;
}

LinkRig::LinkRig(int unitPort) {
    g_StringENU = true;
    events.Install([this](typAppEvent e) { rec.Add(L"event " + std::to_wstring(static_cast<int>(e))); });
    receiv.SetIdent(kTool);
    receiv.SetKey(LinkKey());
    receiv.SetBindAddress(LocalHostIPv6());
    send.SetAddress(LocalHostIPv6(), unitPort);
    send.SetRemoteIdent(kUnit);
}
