#pragma once

#include <poll.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "CliOptions.h"
#include "MToolPult.h"
#include "UnitSession.h"

// What a unit is asked to do once its words are in.
struct UnitJob {
    enum class typWork { Read, Write, Restart };
    typWork work = typWork::Read;
    // Write: the words the unit is to hold.
    WordMap image;
    // Write: restart once the unit holds them (after a verified write, or at once when it
    // held them already).
    bool restartAfter = false;
};

// How one unit's run ended.
struct UnitResult {
    int exit = kExitDone;
    // Why it did not end well, in the current language; empty when it did.
    std::string reason;
    // The unit's words as loaded, then as read back by a write; its defaults.
    WordMap read;
    WordMap defaults;
    bool defaultsComplete = false;
    int devType = 0;
    std::string typeName;
    // Bytes sent by the write: 0 when the unit held the image already, -1 when no write was
    // asked (a read, a dry run, a write not confirmed).
    int bytesWritten = -1;
    std::optional<typWriteResult> written;
    // From the start of the link to the last word of the load; empty when the load never ended.
    std::optional<std::chrono::steady_clock::duration> loadTime;
    std::vector<WordMismatch> mismatches;
    bool restarted = false;
};

// The decision taken once the unit's words are in and a write would change them.
enum class typGate { Go, Stop, Ask };

class CFleet;

// One unit: its link objects (built when it starts, released when it ends, so a long list
// costs only the links of the units running), its session and what it is asked to do. Driven
// by the fleet's thread alone; the link threads of a unit reached through the console only post
// events to the fleet, and a direct unit has none.
class CUnitRun {
public:
    using Clock = CUnitSession::Clock;
    using Gate = std::function<typGate(const CUnitRun&)>;

    CUnitRun(std::string name, std::vector<std::string> link, UnitJob job);
    ~CUnitRun();
    CUnitRun(const CUnitRun&) = delete;
    CUnitRun& operator=(const CUnitRun&) = delete;

    // Called once the words are in, for a write that would change something.
    void SetGate(Gate gate) { m_Gate = std::move(gate); }

    const std::string& Name() const { return m_Name; }
    const UnitJob& Job() const { return m_Job; }
    const UnitResult& Result() const { return m_Result; }
    bool IsDone() const { return m_Phase == typPhase::Done; }
    bool IsRunning() const { return m_Phase != typPhase::Idle && m_Phase != typPhase::Done; }
    bool IsAsking() const { return m_Phase == typPhase::Asking; }
    // For progress: words loaded, or read back by the running write's verification.
    int WordsIn() const;
    bool IsVerifying() const;

private:
    friend class CFleet;
    enum class typPhase { Idle, Loading, Asking, Writing, Flushing, Done };

    void Start(CFleet& fleet, size_t index, ToolLogs& logs, const UnitSessionTiming& timing,
               const LinkTiming& links);
    // The socket the fleet waits on for this unit, -1 when the unit has none (console mode,
    // not running); then what came, handed to the link; then the acknowledgements that the
    // answers did not carry.
    int Socket() const;
    void Receive();
    void SendDueReplies();
    void OnLinkEvents(unsigned events);
    void Confirm(bool yes);
    void Step(Clock::time_point now);
    Clock::time_point Deadline() const;
    // Disconnects and lets the link objects go.
    void Finish();
    void End(int exit, std::string reason);

    void OnSessionEvent(const UnitEvent& event);
    void OnLoaded();
    void BeginWrite();
    void AfterWrite(const UnitEvent& event);
    void BeginRestart();
    void EndBySession();
    bool LinkIdle() const;

    std::string m_Name;
    std::vector<std::string> m_Link;
    UnitJob m_Job;
    Gate m_Gate;
    UnitResult m_Result;
    CFleet* m_Fleet = nullptr;
    size_t m_Index = 0;
    std::unique_ptr<ToolContext> m_Ctx;
    typPhase m_Phase = typPhase::Idle;
    // Loading: when the last word came; a load that stops moving for kStallTicks ticks has
    // lost its unit, although the session would ask on for ever.
    Clock::time_point m_LastProgress{};
    Clock::time_point m_Started{};
    Clock::duration m_Tick{};
    Clock::time_point m_FlushUntil{};
    // The delivery window of a direct unit is ticked here: its repeats and give-ups.
    Clock::duration m_WindowTick{};
    Clock::time_point m_NextWindowTick{};
    std::optional<UnitEvent> m_Written;
};

// Runs units on the calling thread, at most `parallel` at once. The thread waits in one poll on
// the direct units' sockets and on a wake-up descriptor that other threads (console links,
// delivery windows, the prompt) signal through Post, until the earliest deadline of the
// units' sessions: a datagram is received, answered and acknowledged on this thread without
// a hand-off. A unit that needs a yes or no gets it from a prompt thread reading the
// terminal, so the sessions go on meanwhile.
class CFleet {
public:
    // Events the link threads post, per unit.
    enum : unsigned {
        kEvPackets = 1,
        kEvNoLink = 2,
        kEvClosed = 4,
        kEvYes = 8,
        kEvNo = 16,
    };

    CFleet(ToolLogs& logs, int parallel, UnitSessionTiming timing, LinkTiming links = {});
    ~CFleet();

    void Add(std::unique_ptr<CUnitRun> unit) { m_Units.push_back(std::move(unit)); }
    // Until every unit has ended, or `stop` is set (then the running units are cut short and
    // the rest never start).
    void Run(const std::atomic<bool>& stop);
    // From any thread.
    void Post(size_t unit, unsigned events);

    const std::vector<std::unique_ptr<CUnitRun>>& Units() const { return m_Units; }
    size_t Finished() const { return m_Finished; }
    // Called on the fleet's thread after a step in which something moved.
    std::function<void(const CFleet&)> onProgress;

private:
    friend class CUnitRun;
    void AskTerminal(size_t unit);

    ToolLogs& m_Logs;
    const int m_Parallel;
    const UnitSessionTiming m_Timing;
    const LinkTiming m_Links;
    std::vector<std::unique_ptr<CUnitRun>> m_Units;
    size_t m_Finished = 0;

    // Waits for a datagram, a post or the deadline.
    void Wait(std::chrono::steady_clock::time_point due, std::vector<size_t>& received);

    std::mutex m_Lock;
    std::vector<unsigned> m_Pending;   // per unit, guarded by m_Lock
    int m_WakeFd = -1;                 // an eventfd, written by posts from other threads
    std::vector<pollfd> m_PollFds;     // the wake-up descriptor, then the direct units' sockets
    std::vector<size_t> m_PollOwners;  // the unit of each socket
    std::thread::id m_Thread;          // the thread in Run

    std::thread m_Prompt;
    std::atomic<bool> m_PromptCancel{false};
};

// Waits for a line at standard input and takes it as yes or no; no at the end of input or once
// `cancel` is set.
bool ReadYes(const std::atomic<bool>& cancel);
