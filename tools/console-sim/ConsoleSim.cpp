#include "ConsoleSim.h"

#include <arpa/inet.h>

#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "DispCatalog.h"
#include "KeySys.h"
#include "Pack.h"

namespace {

// Whole-string decimal integer within [lo, hi].
bool ParseInt(const std::string& text, int lo, int hi, int& out) {
    int v = 0;
    const char* b = text.data();
    const char* e = b + text.size();
    auto [p, ec] = std::from_chars(b, e, v);
    if (text.empty() || ec != std::errc() || p != e || v < lo || v > hi) return false;
    out = v;
    return true;
}

// Matches "--name", "--name=value" and "--name value" at argv[i]; for a flag (no value
// wanted) only "--name". Returns 0 when argv[i] is another option, 1 when it matched
// (i moved past a separate value), -1 when the value is missing.
int Match(int argc, char** argv, int& i, const char* name, bool wantValue, std::string& value) {
    const std::string arg = argv[i];
    const std::string n(name);
    if (arg.compare(0, n.size(), n) != 0) return 0;
    if (arg.size() == n.size()) {
        if (!wantValue) return 1;
        if (i + 1 >= argc) return -1;
        value = argv[++i];
        return 1;
    }
    if (!wantValue || arg[n.size()] != '=') return 0;
    value = arg.substr(n.size() + 1);
    return 1;
}

}  // namespace

int ParseConsoleSimOption(int argc, char** argv, int& i, ConsoleSimOptions& o, std::string& error) {
    if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
    const int at = i;
    std::string v;
    auto bad = [&](const std::string& text) {
        error = text;
        i = at;
        return -1;
    };
    auto missing = [&](const char* name) { return bad(std::string(name) + ": a value is missing"); };

    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
        o.help = true;
        return 1;
    }
    if (int r = Match(argc, argv, i, "--mute", false, v)) {
        if (r < 0) return missing("--mute");
        o.mute = true;
        return 1;
    }
    if (int r = Match(argc, argv, i, "--bind", true, v)) {
        if (r < 0) return missing("--bind");
        in6_addr a{};
        in_addr a4{};
        if (inet_pton(AF_INET6, v.c_str(), &a) == 1) {
            o.bindAddr = a;
        } else if (inet_pton(AF_INET, v.c_str(), &a4) == 1) {
            // An IPv4 address is bound in its mapped form on the one IPv6 socket.
            a = in6addr_any;
            a.s6_addr[10] = 0xFF;
            a.s6_addr[11] = 0xFF;
            std::memcpy(&a.s6_addr[12], &a4, 4);
            o.bindAddr = a;
        } else {
            return bad("--bind: not an IPv6 or IPv4 address: '" + v + "'");
        }
        return 1;
    }
    if (int r = Match(argc, argv, i, "--port", true, v)) {
        if (r < 0) return missing("--port");
        if (!ParseInt(v, 0, 65535, o.port)) return bad("--port: expected 0..65535, got '" + v + "'");
        return 1;
    }
    if (int r = Match(argc, argv, i, "--lift", true, v)) {
        if (r < 0) return missing("--lift");
        if (!ParseInt(v, 1, 2147483647, o.liftCode))
            return bad("--lift: expected a lift code 1 or more, got '" + v + "'");
        return 1;
    }
    if (int r = Match(argc, argv, i, "--console", true, v)) {
        if (r < 0) return missing("--console");
        if (!ParseInt(v, 0, 2147483647, o.consoleNum))
            return bad("--console: expected a console number 0 or more, got '" + v + "'");
        return 1;
    }
    if (int r = Match(argc, argv, i, "--source", true, v)) {
        if (r < 0) return missing("--source");
        if (v == "auto") {
            o.source = ConsoleSource::automatic;
        } else if (v == "target") {
            o.source = ConsoleSource::target;
        } else if (v == "lift") {
            o.source = ConsoleSource::lift;
        } else if (v == "console") {
            o.source = ConsoleSource::console;
        } else if (ParseInt(v, -2147483647 - 1, 2147483647, o.fixedSource)) {
            o.source = ConsoleSource::fixed;
        } else {
            return bad("--source: expected auto, target, lift, console or a number, got '" + v + "'");
        }
        return 1;
    }
    if (int r = Match(argc, argv, i, "--repeat-ms", true, v)) {
        if (r < 0) return missing("--repeat-ms");
        if (!ParseInt(v, 40, 60000, o.repeatMs))
            return bad("--repeat-ms: expected 40..60000, got '" + v + "'");
        return 1;
    }
    if (int r = Match(argc, argv, i, "--close-after", true, v)) {
        if (r < 0) return missing("--close-after");
        if (!ParseInt(v, 0, 86400000, o.closeAfterMs))
            return bad("--close-after: expected milliseconds 0..86400000, got '" + v + "'");
        return 1;
    }
    return 0;
}

std::string ConsoleSimOptionsHelp() {
    return "  --help, -h            this text\n"
           "  --bind ADDR           address to listen on (default ::1; IPv4 is bound in mapped form)\n"
           "  --port N              UDP port to listen on, 0 = any free port (default 0)\n"
           "  --source WHAT         source of the Msg answers: auto (default: the --lift code when\n"
           "                        given, else the --console number when given, else the SendMsg's\n"
           "                        target), target, lift (the --lift code, else the target),\n"
           "                        console (the --console number, else the target) or a number\n"
           "  --lift N              lift code of the served LU, 1 or more\n"
           "  --console N           console number, 0 or more\n"
           "  --close-after MS      send CloseLink MS milliseconds after the first frame of a peer\n"
           "  --repeat-ms MS        wait before a frame is sent again, 40..60000 (default 2000)\n"
           "  --mute                never acknowledge nor answer anything (the LU's --silent only\n"
           "                        keeps the LU from answering; the link still acknowledges)\n"
           "Signals: SIGUSR1 sends CloseLink to every peer at once; SIGINT and SIGTERM end the program.\n";
}

ConsoleRelay::ConsoleRelay(const ConsoleSimOptions& options, SimLu& lu) : options_(options), lu_(lu) {
    lu_.SetPrinter([this](const std::string& line) { pending_.push_back(line); });
}

ConsoleRelay::~ConsoleRelay() {
    lu_.SetPrinter(nullptr);
}

int ConsoleRelay::SourceFor(int target) const {
    const bool lift = options_.liftCode > 0, console = options_.consoleNum >= 0;
    switch (options_.source) {
        case ConsoleSource::automatic:
            return lift ? options_.liftCode : console ? options_.consoleNum : target;
        case ConsoleSource::lift:
            return lift ? options_.liftCode : target;
        case ConsoleSource::console:
            return console ? options_.consoleNum : target;
        case ConsoleSource::fixed:
            return options_.fixedSource;
        case ConsoleSource::target:
            break;
    }
    return target;
}

bool ConsoleRelay::Serves(int target) const {
    const bool lift = options_.liftCode > 0, console = options_.consoleNum >= 0;
    if (!lift && !console) return true;
    return (lift && target == options_.liftCode) || (console && target == options_.consoleNum);
}

bool ConsoleRelay::ByConsole() const {
    return options_.source == ConsoleSource::console || (options_.source == ConsoleSource::automatic &&
                                                         options_.liftCode <= 0 && options_.consoleNum >= 0);
}

bool ConsoleRelay::HandleSendMsg(const CMesDisp& m, std::vector<CMesDisp>& out,
                                 std::vector<std::string>& lines) {
    int target = 0, kind = 0, n = 0;
    unsigned char bytes[CMesDisp::kBufSize];
    if (m.TypMes() != CMesDisp::mesSendMsg || !m.Parse_SendMsg(target, kind, n, bytes, sizeof bytes))
        return false;

    // The target travels as u32; a console number or lift code is never negative.
    const std::string head = "SendMsg to " + std::string(ByConsole() ? "console " : "lift ") +
                             std::to_string(static_cast<uint32_t>(target)) + ": ";
    // The LU's lines open with their time stamp; the target goes right behind it.
    auto named = [&](const std::string& line) {
        const size_t sp = line.find(' ');
        if (sp == std::string::npos) return head + line;
        return line.substr(0, sp + 1) + head + line.substr(sp + 1);
    };

    if (!Serves(target)) {
        lines.push_back(SimTimeStamp() + " " + head +
                        "not relayed: neither this console's number nor its lift's code");
        return true;
    }

    CPackMes in(n, bytes, -1);
    // Answers go back the way the request came: the address nibbles swap.
    const int orig = in.GetDest(), dest = in.GetOrig();
    const int source = SourceFor(target);

    std::vector<CPackMes> packs;
    CPackMes cur(orig, dest, -1);
    bool any = false;
    in.BegGet();
    CMes req;
    while (in.GetMes(req)) {
        any = true;
        pending_.clear();
        const std::vector<CMes> answers = lu_.Handle(req);
        for (const auto& l : pending_) lines.push_back(named(l));
        pending_.clear();
        for (const CMes& a : answers) {
            if (cur.AddMes(a)) continue;
            if (!cur.IsEmpty()) {
                packs.push_back(cur);
                cur = CPackMes(orig, dest, -1);
            }
            if (!cur.AddMes(a))
                lines.push_back(SimTimeStamp() + " " + head + "an answer of " + std::to_string(a.len) +
                                " units fits no line packet and is dropped");
        }
    }
    if (!any)
        lines.push_back(SimTimeStamp() + " " + head + "no message in the line packet of " +
                        std::to_string(n) + " bytes");
    if (!cur.IsEmpty()) packs.push_back(cur);

    for (const CPackMes& p : packs) {
        CMesDisp msg;
        if (msg.Create_Msg(source, p.len, p.buf)) out.push_back(msg);
    }
    return true;
}

// ---- the endpoint ----------------------------------------------------------------------

std::string AddrText(const in6_addr& a) {
    char b[INET6_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET6, &a, b, sizeof b) == nullptr) return "?";
    return b;
}

namespace {

std::string Narrow(const wchar_t* text) {
    return DBString(text).ToStr();
}

std::string PeerText(const in6_addr& a, int port) {
    return "[" + AddrText(a) + "]:" + std::to_string(port);
}

}  // namespace

ConsolePeer::ConsolePeer(ConsoleSim& owner, BasePoolThread* pool, const in6_addr& addr, int port)
    : CSendDisp(pool, addr, port, 1, nullptr), owner_(owner) {}

ConsolePeer::~ConsolePeer() {
    Halt();
}

std::string ConsolePeer::Name() const {
    return PeerText(GetPeerAddr(), GetPeerPort());
}

void ConsolePeer::LogSend(const in6_addr&, int, const CPackDisp&) {}
void ConsolePeer::LogReceive(const in6_addr&, int, const CPackDisp&) {}

void ConsolePeer::BadPut(const wchar_t* text) {
    owner_.BadPut(text);
}
void ConsolePeer::BadPutErr(const wchar_t* text, int code) {
    owner_.BadPutErr(text, code);
}
void ConsolePeer::BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) {
    owner_.BadPutMes(text, bytes, n);
}

int ConsolePeer::Send(const unsigned char* data, int n, const in6_addr& addr, int port) {
    return owner_.SendOut(data, n, addr, port);
}

void ConsolePeer::Disconnect(const in6_addr&, int) {
    owner_.Ending(*this, "link lost: " + std::to_string(CDispWind::kLostLimit) + " frames given up");
}

void ConsolePeer::HandlingData(CPackDisp& p) {
    owner_.Relay(*this, p);
}

ConsoleSim::ConsoleSim(BasePoolThread* pool, const ConsoleSimOptions& options, SimLu& lu)
    : CReceivDisp(pool, false), pool_(pool), options_(options), relay_(options, lu), faults_(lu.Options()) {
    SetOwnAddress(options.bindAddr, options.port);
    // The key every peer's link is keyed with, for a look at a stranger's first frame.
    CIdeaKey key;
    key.Set2(L"", L"", L"", CSendDisp::m_Maska);
    probe_.Key(key.Get());
}

ConsoleSim::~ConsoleSim() {
    Stop();
}

void ConsoleSim::Start() {
    CReceivDisp::Start();
}

int ConsoleSim::BoundPort() const {
    return CReceivDisp::GetPort();
}

void ConsoleSim::Stop() {
    // CloseLink goes out while the socket is still there.
    CloseAll("ending");
    CReceivDisp::Stop();
    std::map<Key, Link> links;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        links.swap(links_);
        held_.clear();
    }
    for (auto& [key, link] : links) link.peer->Halt();
}

void ConsoleSim::PrintLine(const std::string& line) {
    std::lock_guard<std::mutex> lock(outMutex_);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void ConsoleSim::PrintError(const std::string& line) {
    std::lock_guard<std::mutex> lock(outMutex_);
    std::fputs((SimTimeStamp() + " " + line + "\n").c_str(), stderr);
    std::fflush(stderr);
}

void ConsoleSim::BadPut(const wchar_t* text) {
    PrintError(Narrow(text));
}

void ConsoleSim::BadPutErr(const wchar_t* text, int code) {
    PrintError(Narrow(text) + ": " + std::to_string(code) + " - " + std::strerror(code));
}

void ConsoleSim::BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) {
    std::string s = Narrow(text);
    char b[4];
    for (int i = 0; i < n && bytes != nullptr; ++i) {
        std::snprintf(b, sizeof b, " %02X", bytes[i]);
        s += b;
    }
    PrintError(s);
}

int ConsoleSim::SendOut(const unsigned char* data, int n, const in6_addr& addr, int port) {
    const int copies = faults_.Copies(SimDirection::Out);
    // A dropped or held datagram counts as sent: the loss or the lateness is the network's, not
    // the socket's. One held goes out later from another thread, with bytes of its own.
    auto send = [this, addr, port, bytes = std::vector<unsigned char>(data, data + n)] {
        CReceivDisp::Send(bytes.data(), static_cast<int>(bytes.size()), addr, port);
    };
    for (int i = 0; i < copies; ++i)
        for (const auto& due : faults_.Reorder(send)) due();
    return n;
}

ConsolePeer* ConsoleSim::Find(const in6_addr& addr, int port, const unsigned char* data, int n) {
    const auto now = std::chrono::steady_clock::now();
    const Key key{AddrText(addr), port};
    std::shared_ptr<ConsolePeer> pushedOut;
    std::string pushedLine;
    ConsolePeer* found = nullptr;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        auto it = links_.find(key);
        if (it == links_.end()) {
            if (data == nullptr) return nullptr;
            // A link costs two threads: only a frame that deciphers and passes its checks
            // earns one.
            CPackDisp probe;
            probe.Decoding(data, n, &probe_);
            if (!probe.valid) return nullptr;
            if (links_.size() >= kMaxLinks) pushedOut = TakeIdlest(pushedLine);
            Link link;
            link.peer = std::make_shared<ConsolePeer>(*this, pool_, addr, port);
            link.peer->Window().SetResendInterval(options_.repeatMs);
            link.peer->Window().SetTick(std::max(1, options_.repeatMs / 4));
            if (options_.closeAfterMs >= 0)
                link.closeAt = now + std::chrono::milliseconds(options_.closeAfterMs);
            link.peer->Start();
            it = links_.emplace(key, std::move(link)).first;
            PrintLine(SimTimeStamp() + " link with " + PeerText(addr, port) + " opened");
        }
        it->second.lastHeard = now;
        if (it->second.open) found = it->second.peer.get();
    }
    if (pushedOut) {
        // Its threads end outside the lock: one of them may be on its way into Ending.
        pushedOut->Halt();
        PrintLine(pushedLine);
    }
    return found;
}

std::shared_ptr<ConsolePeer> ConsoleSim::TakeIdlest(std::string& line) {
    auto idlest = links_.end();
    for (auto it = links_.begin(); it != links_.end(); ++it)
        if (idlest == links_.end() || it->second.lastHeard < idlest->second.lastHeard) idlest = it;
    if (idlest == links_.end()) return nullptr;
    std::shared_ptr<ConsolePeer> peer = std::move(idlest->second.peer);
    const auto idle = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                            idlest->second.lastHeard);
    links_.erase(idlest);
    std::erase_if(held_, [&peer](const Held& h) { return h.peer == peer; });
    line = SimTimeStamp() + " link with " + peer->Name() + " dropped: silent for " +
           std::to_string(idle.count()) + " ms, and " + std::to_string(kMaxLinks) + " links at most";
    return peer;
}

void ConsoleSim::LogPut(const in6_addr& addr, int port, const unsigned char* data, int n) {
    if (options_.mute) {
        PrintLine(SimTimeStamp() + " mute: " + std::to_string(n) + " bytes from " + PeerText(addr, port) +
                  " ignored");
        inCopies_ = 0;
        return;
    }
    inCopies_ = faults_.Copies(SimDirection::In);
    if (inCopies_ == 0) {
        PrintLine(SimTimeStamp() + " fault: datagram of " + std::to_string(n) + " bytes from " +
                  PeerText(addr, port) + " dropped");
    } else if (inCopies_ > 1 && n >= CReceivDisp::kMinDatagram) {
        // The second copy is handled here, right before the one the receiver hands on.
        if (ConsolePeer* peer = Find(addr, port, data, n)) peer->Handling(data, n);
    }
}

CSendDisp* ConsoleSim::GetSendRemote(const in6_addr& addr, int port) {
    if (inCopies_ == 0) return nullptr;
    return Find(addr, port);
}

CSendDisp* ConsoleSim::Connect(const in6_addr& addr, int port, const unsigned char* data, int n) {
    if (inCopies_ == 0) return nullptr;
    return Find(addr, port, data, n);
}

void ConsoleSim::Relay(ConsolePeer& peer, CPackDisp& p) {
    p.BegGet();
    CMesDisp m;
    while (p.GetMes(m)) {
        const int code = m.TypMes();
        if (code == CMesDisp::mesSendMsg) {
            std::vector<CMesDisp> answers;
            std::vector<std::string> lines;
            if (!relay_.HandleSendMsg(m, answers, lines)) {
                PrintLine(SimTimeStamp() + " malformed SendMsg from " + peer.Name() + " ignored");
                continue;
            }
            for (const auto& l : lines) PrintLine(l);
            const int delay = faults_.DelayMs();
            if (delay > 0) {
                const auto due = std::chrono::steady_clock::now() + std::chrono::milliseconds(delay);
                std::lock_guard<std::mutex> lock(linksMutex_);
                for (auto& a : answers) held_.push_back({due, peer.shared_from_this(), a});
            } else {
                for (auto& a : answers) peer.SendMes(a);
            }
        } else if (code == CMesDisp::mesCloseLink) {
            Ending(peer, "CloseLink from the tool");
        } else {
            PrintLine(SimTimeStamp() + " " + DispCatalog::Name(code) + " (" + std::to_string(code) +
                      ") from " + peer.Name() + " ignored");
        }
    }
}

void ConsoleSim::Ending(ConsolePeer& peer, const std::string& why) {
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        for (auto& [key, link] : links_) {
            if (link.peer.get() != &peer || !link.open) continue;
            link.open = false;
            link.ending = true;
        }
    }
    PrintLine(SimTimeStamp() + " link with " + peer.Name() + " closed: " + why);
}

void ConsoleSim::CloseAll(const std::string& why) {
    std::vector<std::shared_ptr<ConsolePeer>> closing;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        for (auto& [key, link] : links_) {
            if (!link.open) continue;
            link.open = false;
            closing.push_back(link.peer);
        }
    }
    // Stop sends the CloseLink frame.
    for (const auto& p : closing) {
        p->Stop();
        PrintLine(SimTimeStamp() + " CloseLink sent to " + p->Name() + " (" + why + ")");
    }
}

void ConsoleSim::Poll() {
    const auto now = std::chrono::steady_clock::now();
    std::vector<std::shared_ptr<ConsolePeer>> closing, ending;
    std::vector<Held> due;
    {
        std::lock_guard<std::mutex> lock(linksMutex_);
        for (auto& [key, link] : links_) {
            if (link.open && link.closeAt && *link.closeAt <= now) {
                link.open = false;
                closing.push_back(link.peer);
            }
            if (link.ending) {
                link.ending = false;
                ending.push_back(link.peer);
            }
        }
        for (auto it = held_.begin(); it != held_.end();) {
            if (it->due <= now) {
                due.push_back(*it);
                it = held_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const auto& p : ending) p->Quiet();
    for (const auto& p : closing) {
        p->Stop();
        PrintLine(SimTimeStamp() + " CloseLink sent to " + p->Name() + " (after " +
                  std::to_string(options_.closeAfterMs) + " ms)");
    }
    for (auto& h : due) h.peer->SendMes(h.msg);
    for (const auto& send : faults_.Overdue()) send();
}
