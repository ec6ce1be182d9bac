#include "LuSimV7.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// The tool's receiver drops anything shorter: no header, CRC and trailer fit.
constexpr int kMinDatagram = 15;
// Packets in flight per party before further answers wait.
constexpr std::size_t kWindow = 5;
// Idents remembered per party for the repeat filter, and for how long.
constexpr std::size_t kReplies = 10;
constexpr auto kReplyLifetime = std::chrono::seconds(60);
// The highest node an LU may have; programs are far above it.
constexpr int kMaxLuNode = CIdentV7::kMaxLU;
// Parties the unit keeps a link with; a new one beyond them pushes out the one silent longest,
// so a flood of strangers costs a bounded table.
constexpr std::size_t kMaxPeers = 32;
// Units in one process at most.
constexpr long kMaxUnits = 1000;

bool ParseNumber(const std::string& text, long lo, long hi, long& out) {
    if (text.empty() || text[0] == ' ') return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
    out = v;
    return true;
}

std::string AddressText(const in6_addr& a, int port) {
    char buf[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &a, buf, sizeof buf);
    return std::string("[") + buf + "]:" + std::to_string(port);
}

std::string IdentText(const CIdentV7& id) {
    return std::to_string(id.GetNode()) + "." + std::to_string(id.GetDev());
}

}  // namespace

// ---- Options ---------------------------------------------------------------------------

int ParseLuSimV7Option(int argc, char** argv, int& i, LuSimV7Options& o, std::string& error) {
    if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    static const char* const kNames[] = {"--node", "--key", "--bind", "--port", "--repeat-ms", "--units"};
    if (std::find_if(std::begin(kNames), std::end(kNames), [&name](const char* n) { return name == n; }) ==
        std::end(kNames)) {
        return 0;
    }
    std::string value;
    int last = i;
    if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
    } else if (i + 1 < argc && argv[i + 1] != nullptr) {
        value = argv[i + 1];
        last = i + 1;
    } else {
        error = name + " needs a value";
        return -1;
    }
    long v = 0;
    if (name == "--node") {
        if (!ParseNumber(value, 1, kMaxLuNode, v)) {
            error = "--node: '" + value + "' is no LU node (1.." + std::to_string(kMaxLuNode) + ")";
            return -1;
        }
        o.node = static_cast<int>(v);
    } else if (name == "--key") {
        o.keyText = value;
    } else if (name == "--bind") {
        in6_addr a{};
        if (!LuSimParseAddress(value, a)) {
            error = "--bind: '" + value + "' is no IPv6 or IPv4 address";
            return -1;
        }
        o.bindAddress = value;
    } else if (name == "--port") {
        if (!ParseNumber(value, 0, 65535, v)) {
            error = "--port: '" + value + "' is no port (0..65535, 0: any free port)";
            return -1;
        }
        o.port = static_cast<int>(v);
    } else if (name == "--repeat-ms") {
        if (!ParseNumber(value, 10, 60000, v)) {
            error = "--repeat-ms: '" + value + "' is not 10..60000";
            return -1;
        }
        o.repeatMs = static_cast<int>(v);
    } else if (name == "--units") {
        if (!ParseNumber(value, 1, kMaxUnits, v)) {
            error = "--units: '" + value + "' is no count of units (1.." + std::to_string(kMaxUnits) + ")";
            return -1;
        }
        o.units = static_cast<int>(v);
    }
    i = last;
    return 1;
}

std::string LuSimV7OptionsHelp() {
    return "V7 link:\n"
           "  --node N            the unit's V7 node, 1..9999899 (default 1001); the tool's -g\n"
           "  --key TEXT          link key: 32 upper-case hex digits, or a pass phrase, exactly\n"
           "                      as the tool's -k (default: the empty phrase, as the tool)\n"
           "  --bind ADDR         address to listen on, IPv6 or IPv4 (default ::1)\n"
           "  --port N            UDP port, 0 = any free port (default 0); the tool's -h\n"
           "  --repeat-ms MS      time between sends of an unacknowledged answer (default 2000)\n"
           "  --units N           N units in this one process (1..1000, default 1): nodes\n"
           "                      --node, --node+1, ...; ports --port, --port+1, ... (0: each\n"
           "                      any free port); one listening line each, in that order;\n"
           "                      request lines begin with the unit's node. Not with --save\n";
}

CKeySys LuSimKeyFromText(const std::string& text) {
    CKeySys key;
    const bool hex = text.size() == 32 && std::all_of(text.begin(), text.end(), [](char c) {
                         return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
                     });
    const std::wstring wide(text.begin(), text.end());
    if (hex) {
        key.Set(wide.c_str());
    } else {
        // The phrase as the tool turns it into a key: its own conversion of the text.
        const DBString phrase(text);
        key.Create(phrase.c_str());
    }
    return key;
}

bool LuSimParseAddress(const std::string& text, in6_addr& out) {
    if (::inet_pton(AF_INET6, text.c_str(), &out) == 1) return true;
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        std::memset(&out, 0, sizeof out);
        out.s6_addr[10] = 0xFF;
        out.s6_addr[11] = 0xFF;
        std::memcpy(&out.s6_addr[12], &v4, 4);
        return true;
    }
    return false;
}

// ---- Endpoint --------------------------------------------------------------------------

LuSimV7::LuSimV7(SimLu& lu, SimFaults& faults, LuSimV7Options options, bool refuse)
    : lu_(lu),
      faults_(faults),
      options_(std::move(options)),
      refuse_(refuse),
      ident_(options_.node, 0),
      key_(LuSimKeyFromText(options_.keyText)) {}

LuSimV7::~LuSimV7() {
    if (socket_ >= 0) ::close(socket_);
}

bool LuSimV7::Open(std::string& error) {
    if (!LuSimParseAddress(options_.bindAddress, bindAddress_)) {
        error = "bad bind address " + options_.bindAddress;
        return false;
    }
    socket_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (socket_ < 0) {
        error = std::string("socket(): ") + std::strerror(errno);
        return false;
    }
    // Mapped IPv4 addresses only work on a dual-stack socket.
    const int off = 0;
    ::setsockopt(socket_, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = bindAddress_;
    sa.sin6_port = htons(static_cast<uint16_t>(options_.port));
    if (::bind(socket_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "bind(" + AddressText(bindAddress_, options_.port) + "): " + std::strerror(errno);
        ::close(socket_);
        socket_ = -1;
        return false;
    }
    socklen_t len = sizeof sa;
    if (::getsockname(socket_, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
        error = std::string("getsockname(): ") + std::strerror(errno);
        ::close(socket_);
        socket_ = -1;
        return false;
    }
    port_ = ntohs(sa.sin6_port);
    return true;
}

std::string LuSimV7::ListenLine() const {
    char buf[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET6, &bindAddress_, buf, sizeof buf);
    return std::string("lu-sim: listening on [") + buf + "]:" + std::to_string(port_);
}

int LuSimV7::NextTimeout(int limitMs) const {
    auto next = Clock::now() + std::chrono::milliseconds(limitMs);
    for (const auto& [node, peer] : peers_) {
        for (const auto& f : peer.window) next = std::min(next, f.next);
    }
    for (const auto& d : delayed_) next = std::min(next, d.due);
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(ms, 0, limitMs));
}

void LuSimV7::Step(int timeoutMs) {
    if (socket_ < 0) return;
    pollfd p{socket_, POLLIN, 0};
    const int r = ::poll(&p, 1, NextTimeout(timeoutMs));
    Serve(r > 0 && (p.revents & POLLIN));
}

void LuSimV7::Serve(bool readable) {
    if (socket_ < 0) return;
    if (readable) {
        unsigned char buf[CPackV7::kBufSize];
        sockaddr_in6 from{};
        socklen_t len = sizeof from;
        const ssize_t n =
            ::recvfrom(socket_, buf, sizeof buf, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &len);
        if (n >= 0) {
            const int copies = faults_.Copies(SimDirection::In);
            if (copies > 0 && lu_.IsDown()) {
                lu_.Print("ignored: datagram from " + AddressText(from.sin6_addr, ntohs(from.sin6_port)) +
                          " while the unit restarts");
            } else {
                for (int c = 0; c < copies; ++c) {
                    Receive(buf, static_cast<int>(n), from.sin6_addr, ntohs(from.sin6_port));
                }
            }
        } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            lu_.Print(std::string("receive error: ") + std::strerror(errno));
        }
    }
    for (const auto& send : faults_.Overdue()) send();
    Timers();
}

void LuSimV7::Receive(const unsigned char* data, int n, const in6_addr& from, int port) {
    if (n < kMinDatagram) {
        lu_.Print("ignored: " + std::to_string(n) + "-byte datagram from " + AddressText(from, port));
        return;
    }
    CPackV7 pack;
    if (!pack.ChanDecod(data, n, key_)) {
        lu_.Print("ignored: datagram from " + AddressText(from, port) +
                  " does not decode with this unit's key");
        return;
    }
    HandlePacket(pack, from, port);
}

void LuSimV7::HandlePacket(const CPackV7& pack, const in6_addr& from, int port) {
    const CIdentV7 src = pack.GetSource();
    const CIdentV7 dst = pack.GetDest();
    const long long node = src.GetBigNode();

    if (pack.IsCloseLink()) {
        // The tool also says goodbye to 0.0 at the same address.
        if (dst.GetNode() != ident_.GetNode() && dst.GetNode() != 0) return;
        auto it = peers_.find(node);
        if (it != peers_.end()) {
            lu_.Print("link closed by " + PeerText(it->second));
            peers_.erase(it);
            std::erase_if(delayed_, [node](const Delayed& d) { return d.node == node; });
        }
        return;
    }
    if (dst.GetNode() != ident_.GetNode()) {
        lu_.Print("ignored: packet from " + IdentText(src) + " for node " + std::to_string(dst.GetNode()) +
                  ", this unit is node " + std::to_string(ident_.GetNode()));
        return;
    }
    if (pack.GetClass() != CPackV7::classData) {
        lu_.Print("ignored: packet of class " + std::to_string(pack.GetClass()) + " type " +
                  std::to_string(pack.GetTyp()) + " from " + IdentText(src));
        return;
    }

    auto [it, added] = peers_.try_emplace(node);
    Peer& peer = it->second;
    peer.ident = src;
    peer.address = from;
    peer.port = port;
    peer.lastHeard = Clock::now();
    if (added && peers_.size() > kMaxPeers) DropIdlest(node);

    if (refuse_) {
        if (!peer.refused) {
            lu_.Print("link from " + PeerText(peer) + " refused: all links busy (fault)");
            peer.refused = true;
        }
        CPackV7 refusal;
        const unsigned char busy = 1;
        refusal.SetID(ident_, src);
        refusal.SetLink(CPackV7::typRefuse, &busy, 1);
        Transmit(peer, refusal);
        return;
    }
    if (added) lu_.Print("link from " + PeerText(peer));

    Acknowledged(peer, pack.GetRepl());

    bool fresh = true;
    if (pack.GetIdent() != 0) {
        fresh = AddReply(peer, pack.GetIdent()) == 1;
        if (!fresh) {
            lu_.Print("repeat of packet " + std::to_string(pack.GetIdent()) + " from " + IdentText(src) +
                      " acknowledged again");
        }
    }
    if (fresh) {
        if (pack.GetTyp() == CPackV7::typMes) {
            CMes request;
            if (pack.GetMes(request)) {
                const std::vector<CMes> answers = lu_.Handle(request);
                if (lu_.TakeLinkReset()) {
                    // Restarted: every link is gone, this one too, with all it had in flight.
                    lu_.Print("links forgotten: " + std::to_string(peers_.size()) + " parties");
                    peers_.clear();
                    delayed_.clear();
                    return;
                }
                for (const CMes& answer : answers) Queue(peer, answer);
            } else {
                lu_.Print("ignored: malformed message packet from " + IdentText(src));
            }
        } else if (pack.IsRestart()) {
            lu_.Print("restart requested by V7 command");
        } else if (pack.GetTyp() != CPackV7::typEmpty) {
            lu_.Print("ignored: V7 packet type " + std::to_string(pack.GetTyp()) + " from " + IdentText(src));
        }
    }
    Pump(peer);
    SendPendingAck(peer);
}

int LuSimV7::AddReply(Peer& peer, int ident) {
    const auto now = Clock::now();
    peer.replies.remove_if([now](const Reply& r) { return now - r.arrived > kReplyLifetime; });
    for (auto& r : peer.replies) {
        if (r.ident == ident) {
            r.sent = false;
            r.arrived = now;
            return 0;
        }
    }
    while (peer.replies.size() >= kReplies) peer.replies.pop_front();
    peer.replies.push_back({ident, false, now});
    return 1;
}

void LuSimV7::Acknowledged(Peer& peer, int repl) {
    if (repl == 0) return;
    for (auto it = peer.window.begin(); it != peer.window.end(); ++it) {
        if (it->pack.GetIdent() == repl) {
            // Older packets still waiting are probably lost: send them again now.
            for (auto older = peer.window.begin(); older != it; ++older) older->next = Clock::now();
            peer.window.erase(it);
            return;
        }
    }
}

void LuSimV7::Queue(Peer& peer, const CMes& answer) {
    if (faults_.DelayMs() > 0) {
        delayed_.push_back(
            {Clock::now() + std::chrono::milliseconds(faults_.DelayMs()), peer.ident.GetBigNode(), answer});
        return;
    }
    CPackV7 pack(answer);
    peer.queue.push_back(pack);
}

void LuSimV7::Pump(Peer& peer) {
    while (peer.window.size() < kWindow && !peer.queue.empty()) {
        CPackV7 pack = peer.queue.front();
        peer.queue.pop_front();
        peer.identCounter = (peer.identCounter + 1) & 127;
        if (peer.identCounter == 0) peer.identCounter = 1;
        pack.SetIdent(peer.identCounter);
        pack.SetID(ident_, peer.ident);
        Transmit(peer, pack);
        peer.window.push_back({pack, 1, Clock::now() + std::chrono::milliseconds(options_.repeatMs)});
    }
}

void LuSimV7::SendPendingAck(Peer& peer) {
    if (std::none_of(peer.replies.begin(), peer.replies.end(), [](const Reply& r) { return !r.sent; })) {
        return;
    }
    Transmit(peer, CPackV7(ident_, peer.ident));
}

void LuSimV7::Timers() {
    const auto now = Clock::now();
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (it->due <= now) {
            auto p = peers_.find(it->node);
            if (p != peers_.end()) p->second.queue.push_back(CPackV7(it->mes));
            it = delayed_.erase(it);
        } else {
            ++it;
        }
    }
    for (auto& [node, peer] : peers_) {
        for (auto it = peer.window.begin(); it != peer.window.end();) {
            if (it->next > now) {
                ++it;
            } else if (it->sends < options_.maxSends) {
                Transmit(peer, it->pack);
                ++it->sends;
                it->next = now + std::chrono::milliseconds(options_.repeatMs);
                ++it;
            } else {
                lu_.Print("answer " + std::to_string(it->pack.GetIdent()) + " to " + IdentText(peer.ident) +
                          " given up after " + std::to_string(it->sends) + " sends");
                it = peer.window.erase(it);
            }
        }
        Pump(peer);
    }
}

void LuSimV7::Transmit(Peer& peer, CPackV7 pack) {
    pack.SetID(ident_, peer.ident);
    // One acknowledgement per packet; the oldest waiting one goes first.
    if (pack.GetRepl() == 0) {
        for (auto& r : peer.replies) {
            if (!r.sent) {
                pack.AddRepl(static_cast<unsigned char>(r.ident));
                r.sent = true;
                break;
            }
        }
    }
    // A bare packet with nothing to acknowledge carries nothing at all.
    if (pack.GetClass() == CPackV7::classData && pack.GetIdent() == 0 && pack.GetRepl() == 0 &&
        pack.GetLength() <= CPackV7::kHeadSize) {
        return;
    }
    unsigned char out[CPackV7::kBufSize];
    const int n = pack.ChanCod(out, sizeof out, key_);
    if (n <= 0) {
        lu_.Print("cannot code a packet of " + std::to_string(pack.GetLength()) + " bytes");
        return;
    }
    SendRaw(out, n, peer.address, peer.port);
}

void LuSimV7::SendRaw(const unsigned char* data, int n, const in6_addr& to, int port) {
    const int copies = faults_.Copies(SimDirection::Out);
    sockaddr_in6 sa{};
    sa.sin6_family = AF_INET6;
    sa.sin6_addr = to;
    sa.sin6_port = htons(static_cast<uint16_t>(port));
    // A datagram held back by the faults goes out later, from Step: it keeps its own bytes.
    auto send = [this, sa, bytes = std::vector<unsigned char>(data, data + n)] {
        if (::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&sa),
                     sizeof sa) < 0) {
            lu_.Print("send to " + AddressText(sa.sin6_addr, ntohs(sa.sin6_port)) +
                      " failed: " + std::strerror(errno));
        }
    };
    for (int c = 0; c < copies; ++c) {
        for (const auto& due : faults_.Reorder(send)) due();
    }
}

void LuSimV7::DropIdlest(long long keep) {
    auto idlest = peers_.end();
    for (auto it = peers_.begin(); it != peers_.end(); ++it) {
        if (it->first != keep && (idlest == peers_.end() || it->second.lastHeard < idlest->second.lastHeard))
            idlest = it;
    }
    if (idlest == peers_.end()) return;
    const auto idle =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - idlest->second.lastHeard);
    lu_.Print("link with " + PeerText(idlest->second) + " dropped: silent for " +
              std::to_string(idle.count()) + " ms, and " + std::to_string(kMaxPeers) + " links at most");
    const long long node = idlest->first;
    std::erase_if(delayed_, [node](const Delayed& d) { return d.node == node; });
    peers_.erase(idlest);
}

void LuSimV7::Close() {
    for (auto& [node, peer] : peers_) {
        if (peer.refused) continue;
        CPackV7 close;
        unsigned char wire[CIdentV7::kWireSize];
        ident_.GetValue(wire);
        close.SetID(ident_, peer.ident);
        close.SetLink(CPackV7::typCloseLink, wire, CIdentV7::kWireSize);
        // Twice, as the tool does: a lost close-link would leave the peer waiting for
        // its link to time out.
        Transmit(peer, close);
        Transmit(peer, close);
        lu_.Print("close-link sent to " + PeerText(peer));
    }
    peers_.clear();
    delayed_.clear();
}

std::string LuSimV7::PeerText(const Peer& peer) const {
    return IdentText(peer.ident) + " at " + AddressText(peer.address, peer.port);
}
