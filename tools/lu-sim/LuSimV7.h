#pragma once

// The simulated unit's V7 endpoint: one UDP socket, one thread. It decodes the tool's
// datagrams with the link key, acknowledges every numbered packet, filters repeats,
// hands line messages to the SimLu core, numbers its own answers, repeats them until
// acknowledged (five sends, 2 s apart) and says close-link when it stops.

#include <netinet/in.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "IdentV7.h"
#include "KeySys.h"
#include "PackV7.h"
#include "SimLu.h"

struct LuSimV7Options {
    int node = 1001;      // the unit's V7 node (device 0)
    std::string keyText;  // as the tool's -k: 32 upper-case hex digits, else a pass phrase
    std::string bindAddress = "::1";
    int port = 0;         // 0: any free port
    int repeatMs = 2000;  // between sends of one unacknowledged packet
    int maxSends = 5;     // sends of one packet before it is given up
    int units = 1;        // a hall: this many units, nodes and ports counted up (lu-sim only)
};

// Recognises one endpoint option at argv[i]; same contract as ParseSimLuOption.
int ParseLuSimV7Option(int argc, char** argv, int& i, LuSimV7Options& options, std::string& error);
std::string LuSimV7OptionsHelp();

// The key the tool derives from the same text: 32 hex digits in upper case are the key
// itself, anything else (the empty text included) is a pass phrase.
CKeySys LuSimKeyFromText(const std::string& text);

// An address text: IPv6, or dotted IPv4 (taken in mapped form). False for anything else.
bool LuSimParseAddress(const std::string& text, in6_addr& out);

class LuSimV7 {
public:
    using Clock = std::chrono::steady_clock;

    // `lu` and `faults` outlive the endpoint. `refuse`: answer every link with a refusal.
    LuSimV7(SimLu& lu, SimFaults& faults, LuSimV7Options options, bool refuse);
    ~LuSimV7();
    LuSimV7(const LuSimV7&) = delete;
    LuSimV7& operator=(const LuSimV7&) = delete;

    // Opens and binds the socket. False with `error`.
    bool Open(std::string& error);
    int Port() const { return port_; }
    // "lu-sim: listening on [::1]:40000"
    std::string ListenLine() const;
    const CIdentV7& Ident() const { return ident_; }
    const CKeySys& Key() const { return key_; }

    // One round: waits up to timeoutMs for a datagram, handles it and the timers.
    void Step(int timeoutMs);
    // The round without the wait, for a loop that waits on many endpoints at once: the
    // datagram waiting when `readable`, then the timers. Socket() is what to wait on, and
    // Timeout(limitMs) how long Step would wait at most.
    void Serve(bool readable);
    int Socket() const { return socket_; }
    int Timeout(int limitMs) const { return NextTimeout(limitMs); }
    // Sends close-link to every party that has a link, then forgets them.
    void Close();

    std::size_t PeerCount() const { return peers_.size(); }

private:
    struct InFlight {
        CPackV7 pack;
        int sends = 0;
        Clock::time_point next;
    };
    struct Reply {
        int ident = 0;
        bool sent = false;
        Clock::time_point arrived;
    };
    struct Peer {
        CIdentV7 ident;
        in6_addr address{};
        int port = 0;
        int identCounter = 0;
        bool refused = false;
        Clock::time_point lastHeard;
        std::deque<CPackV7> queue;
        std::list<InFlight> window;
        std::list<Reply> replies;
    };
    struct Delayed {
        Clock::time_point due;
        long long node = 0;
        CMes mes;
    };

    void Receive(const unsigned char* data, int n, const in6_addr& from, int port);
    void HandlePacket(const CPackV7& pack, const in6_addr& from, int port);
    // 1 for a new ident, 0 for a repeat (acknowledged again, not handled again).
    int AddReply(Peer& peer, int ident);
    void Acknowledged(Peer& peer, int repl);
    void Queue(Peer& peer, const CMes& answer);
    void Pump(Peer& peer);
    void Timers();
    void SendPendingAck(Peer& peer);
    // Source, destination, one acknowledgement; coded and sent (through the faults).
    void Transmit(Peer& peer, CPackV7 pack);
    void SendRaw(const unsigned char* data, int n, const in6_addr& to, int port);
    // Forgets the party silent longest, other than `keep`.
    void DropIdlest(long long keep);
    std::string PeerText(const Peer& peer) const;
    int NextTimeout(int limitMs) const;

    SimLu& lu_;
    SimFaults& faults_;
    LuSimV7Options options_;
    bool refuse_;
    CIdentV7 ident_;
    CKeySys key_;
    in6_addr bindAddress_{};
    int socket_ = -1;
    int port_ = 0;
    std::map<long long, Peer> peers_;
    std::vector<Delayed> delayed_;
};
