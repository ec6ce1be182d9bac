#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AppEvents.h"
#include "DBString.h"
#include "Disp.h"
#include "Logger.h"
#include "Queue.h"
#include "ReceiveNet.h"
#include "ReceiveUtil.h"
#include "SendNet.h"
#include "SendUtil.h"
#include "Thread.h"
#include "UnitSession.h"

class CDev;
struct ToolContext;

// The tool's own console: a dispatch root holding exactly the one lift unit the tool
// services, sending that unit's messages over whichever link the start-up chose. It reads
// the start-up settings and the link objects from the context that owns it.
class MToolPult : public CDisp {
public:
    // The tool's address on the line: the sender of every message it builds.
    static constexpr int kOwnNode = 255;
    static constexpr int kOwnSub = 15;
    // Second argument of every SendMsg the tool sends: the frame carries a line packet.
    static constexpr unsigned char kSendMsgLinePacket = 8;

    explicit MToolPult(ToolContext& context);
    ~MToolPult() override;

    // Builds console, UM, slot and device from the context's numbers (dropping any tree of
    // an earlier call), starts the chosen link and opens its traffic log. A link that cannot start is logged
    // and gives false with everything that did start stopped again.
    bool Connect();
    // Stops what the chosen mode runs; harmless when nothing runs.
    void Disconnect();
    void Put(CPult* pult, CPackMes& pack) override;

    // The lift unit's record; null before Connect.
    CDev* GetDev() const { return m_Dev; }
    // Console mode runs over the console program; direct mode talks V7 to the unit.
    bool IsDirect() const;

private:
    ToolContext& m_Context;
    CDev* m_Dev = nullptr;
};

// The session's way to the unit: requests queued at the unit's record and flushed over the
// chosen link; a request the record refuses is written to the error log.
class ToolUnitLink : public CUnitSession::Link {
public:
    explicit ToolUnitLink(ToolContext& context) : m_Context(context) {}
    bool Send(const LuRequest& r) override;
    void TakeParams(const CMes& report) override;
    void Stop() override;

private:
    ToolContext& m_Context;
};

// The links' pace, whichever link runs: the period of the delivery window's timer and the wait
// before an unacknowledged packet or frame goes again. The defaults are the unit's and the
// console's own; the session's clocks count on them, so a faster session needs faster links.
struct LinkTiming {
    int windowTickMs = CWindV7::kDefaultTick;
    int repeatMs = static_cast<int>(CWindV7Core::kDefaultRepeat.count());

    // Both `factor` times as long (0.1: ten times as fast).
    LinkTiming Scaled(double factor) const;
};

// The error, dispatcher and protocol logs of one run.
struct ToolLogs {
    // All three writers finish at once; each member's own Close then only waits.
    ~ToolLogs() {
        pro.BeginClose();
        disp.BeginClose();
        bad.BeginClose();
    }
    BadLog bad;
    DispLog disp;
    ProLog pro;
};

// Everything the windows and the link threads share: the start-up settings, the two word
// images, the logs, the console object, the pool and both links. The application derives
// from it; tests and the simulators' clients use it without a window. Members are built in
// this order, and each link object only stores references to the ones it is given.
struct ToolContext {
    // With logs of its own, which Connect opens and Disconnect closes.
    ToolContext();
    // With logs shared among several contexts (one command-line run serving many units): their
    // owner opens them before the first Connect and closes them after the last context is gone,
    // so a whole fleet costs one writer thread per log, not three per unit.
    explicit ToolContext(ToolLogs& shared);
    // Stops the links and the pool before any member goes, so no worker outlives what it
    // uses whatever order the members are destroyed in.
    virtual ~ToolContext();
    ToolContext(const ToolContext&) = delete;
    ToolContext& operator=(const ToolContext&) = delete;

private:
    // Before every member that refers to the logs.
    std::unique_ptr<ToolLogs> m_OwnLogs;

public:
    std::map<int, uint16_t> nvramRead;
    std::map<int, uint16_t> nvramDefaults;
    int pultNum = -1;
    int umNum = 0;
    int slotNum = -1;
    int devAddr = 0;
    int codLift = 0;
    int utilPort = 0;
    in6_addr utilAddr{};
    int v7Id = 0;
    in6_addr v7Addr{};
    int v7Port = 0;
    DBString keyText;
    // The application's seam to its windows; link threads only post into it.
    AppEventSink events;
    BadLog& badLog;
    DispLog& dispLog;
    ProLog& proLog;
    MToolPult pult;
    ThreadPool pool;
    InpMesQueue inpMes;
    ReceiveUtil receivDisp;
    SendUtil sendDisp;
    InpQueuePackV7 inpV7;
    // The sender comes first: the receiver stops the sender's workers when it goes.
    SendNet sendV7;
    ReceiveNet receivV7;
    ToolUnitLink unitLink;
    // The one unit's load, writes and link state; the windows and the command line are its views.
    CUnitSession session;

    // Sets the pace of both links; before Connect, which starts their timers.
    void SetLinkTiming(const LinkTiming& timing);

    // Direct mode without link threads, for an owner that serves many units from one thread:
    // it waits on receivV7.Socket() itself, hands the datagrams on with
    // receivV7.ReceiveWaiting(), reads the session's input, then calls
    // receivV7.SendDueReplies() and sendV7.Pump(), and ticks sendV7.Window() at its period.
    // The session's requests leave on that thread and carry the acknowledgements. Set before
    // Connect.
    bool receiveOnCaller = false;

    // The unit's address and the tool's identity, as the settings and the V7 receiver hold them.
    UnitAddress SessionAddress() const;

    // Language flag: Russian unless the client configuration file asks for English (an "enu"
    // argument, read with the command line, switches to English later).
    static void ChooseLanguage();
    // Reads every argument after the program name into the settings fields and returns the
    // command-line text: one space, then each argument behind a space of its own.
    std::string ReadCommandLine(const std::vector<std::string>& args);

    // Chooses the mode (a V7 identity of 1 or more means direct), checks the settings of that
    // mode and prepares its link objects. Throws ErrorXML (text, 0) for a setting with which the
    // unit cannot be reached; returns the title suffix (" ID:5", " 1:0:3:5", " CodLift:17").
    DBString CheckSettings();

    // The settings back to their start values (the word images, logs and links stay).
    void ResetSettings();

    // One argument of the console program's command line: an option letter of either case with
    // its value attached ("-n5", "-Q::1", "-kphrase"; a numeric value read as strtol reads it),
    // or an argument beginning "enu", which switches the texts to English. Returns false for
    // anything else, which the caller may ignore as the window does.
    bool ReadOption(const std::string& arg);

    // Whether Connect and Disconnect open and close the traffic logs.
    bool OwnsLogs() const { return m_OwnLogs != nullptr; }

private:
    ToolContext(std::unique_ptr<ToolLogs> own, ToolLogs* shared);
};
