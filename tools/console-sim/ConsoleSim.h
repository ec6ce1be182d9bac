#pragma once

// console-sim: a stand-in for the dispatcher console program. It owns one UDP socket,
// speaks the Disp link with every peer that sends to it, and relays the line packets
// of SendMsg messages to an embedded simulated LU, answering in Msg messages.

#include <netinet/in.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Idea.h"
#include "Mes.h"
#include "PackDisp.h"
#include "ReceivDisp.h"
#include "SendDisp.h"
#include "SimLu.h"

// What the source field of the Msg answers carries.
enum class ConsoleSource {
    automatic,  // the lift code when given, else the console number when given, else the target
    target,     // the target of the SendMsg being answered
    lift,       // the lift code (option --lift), else the target
    console,    // the console number (option --console), else the target
    fixed,      // a number given with --source=N, whatever the tool expects
};

struct ConsoleSimOptions {
    in6_addr bindAddr = in6addr_loopback;
    int port = 0;
    ConsoleSource source = ConsoleSource::automatic;
    int liftCode = 0;     // 0: none given
    int consoleNum = -1;  // -1: none given
    int fixedSource = 0;
    // Milliseconds after the first frame of a peer at which CloseLink goes to it; -1: never.
    int closeAfterMs = -1;
    // Neither acknowledge nor answer anything: a console that has gone away.
    bool mute = false;
    // The link windows' wait before a repeat; their timer runs at a quarter of it.
    int repeatMs = 2000;
    bool help = false;
};

// Recognises one console option at argv[i] ("--name value" or "--name=value"), the same
// way ParseSimLuOption does: 1 when handled (i on the last argument used), 0 when argv[i]
// is no console option (i unchanged), -1 for a bad or missing value (`error` set).
int ParseConsoleSimOption(int argc, char** argv, int& i, ConsoleSimOptions& options, std::string& error);
std::string ConsoleSimOptionsHelp();

// The console's relay work, free of any transport: a SendMsg in, Msg messages out.
// Not thread-safe; the link hands it one frame at a time.
class ConsoleRelay {
public:
    ConsoleRelay(const ConsoleSimOptions& options, SimLu& lu);
    ~ConsoleRelay();
    ConsoleRelay(const ConsoleRelay&) = delete;
    ConsoleRelay& operator=(const ConsoleRelay&) = delete;

    // The source a Msg answering a SendMsg to `target` carries.
    int SourceFor(int target) const;
    // Whether a SendMsg to `target` is this console's to relay: one addressed to its own number
    // or its lift's code; any target when neither is given.
    bool Serves(int target) const;
    // Whether the Msg source is the console number rather than a lift code.
    bool ByConsole() const;

    // Hands every message of the SendMsg's line packet to the LU and packs the answers,
    // in order, into as few line packets as they fit, one Msg each, appended to `out`.
    // The LU's readable lines come back in `lines`, each naming the SendMsg's target.
    // False (nothing appended) for anything but a well-formed SendMsg.
    bool HandleSendMsg(const CMesDisp& m, std::vector<CMesDisp>& out, std::vector<std::string>& lines);

private:
    ConsoleSimOptions options_;
    SimLu& lu_;
    std::vector<std::string> pending_;  // lines the LU printed during one Handle
};

// ---- the endpoint ----------------------------------------------------------------------

class ConsoleSim;

// The console's side of the link with one tool (one address and port).
class ConsolePeer : public CSendDisp, public std::enable_shared_from_this<ConsolePeer> {
public:
    ConsolePeer(ConsoleSim& owner, BasePoolThread* pool, const in6_addr& addr, int port);
    ~ConsolePeer() override;

    void LogSend(const in6_addr& addr, int port, const CPackDisp& p) override;
    void LogReceive(const in6_addr& addr, int port, const CPackDisp& p) override;
    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int code) override;
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) override;
    int Send(const unsigned char* data, int n, const in6_addr& addr, int port) override;
    void Disconnect(const in6_addr& addr, int port) override;
    void HandlingData(CPackDisp& p) override;

    // Ends the link without CloseLink: the tool closed it, or it is lost.
    void Quiet() { Shutdown(); }

    std::string Name() const;

private:
    ConsoleSim& owner_;
};

class ConsoleSim : public CReceivDisp {
public:
    // Period of the owner's Poll.
    static constexpr int kTickMs = 20;
    // Links kept at once; a new one beyond them pushes out the one silent longest, so a flood
    // of strangers costs a bounded number of threads.
    static constexpr std::size_t kMaxLinks = 32;

    ConsoleSim(BasePoolThread* pool, const ConsoleSimOptions& options, SimLu& lu);
    ~ConsoleSim() override;

    // Binds and starts receiving; throws ErrorXML when the socket cannot be bound.
    void Start();
    // CloseLink to every open link, then the socket and every link stop.
    void Stop();
    int BoundPort() const;

    // CloseLink to every open link now; `why` names the cause in the output.
    void CloseAll(const std::string& why);
    // Sends CloseLink where --close-after is due, ends links that were closed or lost,
    // and sends answers held back by --delay. Called every kTickMs by the owner.
    void Poll();

    // One line on the standard output, flushed at once; safe from any thread.
    void PrintLine(const std::string& line);
    // A time-stamped line on the standard error: the link's own failures, which must not
    // come between the listening line and the requests a reader of the output waits for.
    void PrintError(const std::string& line);
    SimFaults& Faults() { return faults_; }

    // ---- CReceivDisp ----
    void LogPut(const in6_addr& addr, int port, const unsigned char* data, int n) override;
    CSendDisp* GetSendRemote(const in6_addr& addr, int port) override;
    CSendDisp* Connect(const in6_addr& addr, int port, const unsigned char* data, int n) override;
    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int code) override;
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) override;

private:
    friend class ConsolePeer;
    using Key = std::pair<std::string, int>;
    struct Link {
        // Shared with Poll, which uses a peer outside the lock while the receiver thread may
        // push its link out.
        std::shared_ptr<ConsolePeer> peer;
        std::optional<std::chrono::steady_clock::time_point> closeAt;
        std::chrono::steady_clock::time_point lastHeard;
        bool open = true;     // frames from it are handled
        bool ending = false;  // closed or lost: to be stopped by Poll
    };
    struct Held {
        std::chrono::steady_clock::time_point due;
        std::shared_ptr<ConsolePeer> peer;
        CMesDisp msg;
    };

    // From the receiver thread: the tool's frame with SendMsg messages.
    void Relay(ConsolePeer& peer, CPackDisp& p);
    void Ending(ConsolePeer& peer, const std::string& why);
    int SendOut(const unsigned char* data, int n, const in6_addr& addr, int port);
    // The open link of that address; a new one only for a frame that deciphers (`data` given).
    ConsolePeer* Find(const in6_addr& addr, int port, const unsigned char* data = nullptr, int n = 0);
    // Under linksMutex_: takes the link silent longest out of the table.
    std::shared_ptr<ConsolePeer> TakeIdlest(std::string& line);

    BasePoolThread* pool_;
    ConsoleSimOptions options_;
    ConsoleRelay relay_;  // receiver thread only
    SimFaults faults_;
    std::mutex outMutex_;
    std::mutex linksMutex_;
    std::map<Key, Link> links_;
    std::vector<Held> held_;  // under linksMutex_
    int inCopies_ = 1;        // receiver thread only: fate of the datagram being handled
    CIdeaCtx probe_;          // receiver thread only: deciphers a stranger's first frame
};

// The address in its text form, without brackets.
std::string AddrText(const in6_addr& a);
