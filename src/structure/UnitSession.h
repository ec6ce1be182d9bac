#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <vector>

#include "IdentV7.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackV7.h"
#include "Queue.h"

// Message numbers of what the session reports.
enum : int {
    kTextNotResponding = 1104,
    kTextRefused = 1105,
    kTextLinkLost = 1106,
    kTextWriteVerified = 1111,
    kTextUnitClosedLink = 1131,
    kTextUnitStoppedAnswering = 1132,
};

// Where the unit sits and how its answers are told from everything else on the link.
struct UnitAddress {
    // V7 to the unit itself; otherwise line packets relayed by the console program.
    bool direct = false;
    int pultNum = 0;
    int umNum = 0;
    int slotNum = 0;
    int devAddr = 0;
    int codLift = 0;
    // The tool's own V7 identity and the unit's node: a refusal must name both.
    CIdentV7 own;
    int v7Id = 0;
};

// The session's clocks. The defaults are the unit's pace; tests and the loss bench shorten them.
struct UnitSessionTiming {
    // Parameters, then NVRAM reads, are asked again at this pace while answers are missing.
    std::chrono::milliseconds tick{3000};
    // Parameter requests repeated after the first before the unit counts as silent.
    int paramRetries = 5;
    // A read-back that makes no progress for this long ends the write unverified.
    std::chrono::milliseconds verifyBound{15000};
    // While nothing else travels, a unit silent for this long is asked for a sign of life...
    std::chrono::milliseconds probeAfter{10000};
    // ...and one silent for this long has gone.
    std::chrono::milliseconds lostAfter{30000};

    // Every clock `factor` times as long (0.1: ten times as fast); the retry count stays.
    UnitSessionTiming Scaled(double factor) const;
};

enum class typUnitState {
    Idle,       // nothing asked yet
    Loading,    // parameters, then the 32 words and their defaults
    Ready,      // the words are in; edits may be written
    Writing,    // byte writes sent, waiting for the first answer after them
    Verifying,  // reading every word back
    Silent,     // the unit never answered the parameters request, or reported an error to it
    Refused,    // the unit has all its links busy
    Lost,       // the link stopped carrying answers
    Closed,     // the unit, or the console for it, closed the link
};

enum class typWriteResult { Verified, Mismatch, Unverified };

struct WordMismatch {
    int word = 0;
    uint16_t wanted = 0;
    uint16_t read = 0;
    bool operator==(const WordMismatch&) const = default;
};

// What the session tells the window or the command line; they decide what to show.
struct UnitEvent {
    enum class typKind {
        State,   // the state changed (State() and Reason() tell to what and why)
        Params,  // the device-parameters report arrived
        Word,    // a word of the load arrived (`word`)
        Written  // a write ended (`result`, `mismatches`)
    };
    explicit UnitEvent(typKind k = typKind::State) : kind(k) {}

    typKind kind;
    int word = -1;
    typWriteResult result = typWriteResult::Verified;
    std::vector<WordMismatch> mismatches;
    // The words read back by the write's verification (all 32 unless Unverified).
    WordMap readBack;
};

// One unit over either link, without any window: the load of its parameters and words, the
// verified write of changed bytes, the restart, and an honest link state. It runs on one
// thread (the window's or the command line's); the link threads only fill the input queues
// and post events, and the host then calls Poll, LinkLost or LinkClosed. Its clock is
// injected and it never sleeps: the host calls Tick no later than NextDeadline.
class CUnitSession {
public:
    using Clock = std::chrono::steady_clock;
    using Listener = std::function<void(const UnitEvent&)>;

    // What the session needs of the link to the unit.
    class Link {
    public:
        virtual ~Link() = default;
        // Queues one request for the unit; false when the link refused it.
        virtual bool Send(const LuRequest& r) = 0;
        // The unit's device-parameters report, for its record in the structure.
        virtual void TakeParams(const CMes& /*report*/) {}
        // The unit refused the link, closed it or stopped acknowledging: nothing more will
        // come over it.
        virtual void Stop() {}
    };

    // The words read and their defaults live in the caller's maps (the application's
    // nvramRead and nvramDefaults); the session fills and replaces them.
    CUnitSession(Link& link, WordMap& read, WordMap& defaults);

    void SetClock(std::function<Clock::time_point()> now) { m_Now = std::move(now); }
    void SetTiming(const UnitSessionTiming& timing) { m_Timing = timing; }
    const UnitSessionTiming& Timing() const { return m_Timing; }
    // Called on the session's thread for every event; may call back into the session.
    void SetListener(Listener listener) { m_Listener = std::move(listener); }

    // Forgets the words and starts loading: the parameters are asked at once.
    void Start(const UnitAddress& address);
    // Back to idle, as before the first Start; the words stay in their maps.
    void Reset();
    // Runs whatever is due. The host calls it at NextDeadline (earlier does no harm).
    void Tick();
    Clock::time_point NextDeadline() const;

    // Takes every packet waiting in the link's input queues.
    void Poll(InpQueuePackV7& v7, InpMesQueue& lines);
    void TakeV7(const CPackV7& pack);
    void TakeLinePacket(CPackMes& pack);
    // One message that the link's filters have already matched to the unit.
    void TakeMes(const CMes& m);
    // The V7 sender gave up: two packets went unacknowledged.
    void LinkLost();
    // The console closed the link, or gave it up.
    void LinkClosed();

    // Writes the bytes in which `edited` differs from the unit's words, low byte first, then
    // reads every word back. Returns the number of bytes queued (0: nothing differs), or -1
    // when the session is not Ready or a request could not be queued.
    int Write(const WordMap& edited);
    // Asks the unit to restart; nothing is awaited. False when the link is not usable.
    bool Restart();

    typUnitState State() const { return m_State; }
    // The message number that says why the session is in its state (0 for none).
    int Reason() const { return m_Reason; }
    // Ready: a write or a restart may be asked.
    bool IsReady() const { return m_State == typUnitState::Ready; }
    // Writing or verifying.
    bool IsBusy() const { return m_State == typUnitState::Writing || m_State == typUnitState::Verifying; }
    // The load ended in a state the session cannot leave again.
    bool HasEnded() const;
    const WordMap& Read() const { return m_Read; }
    const WordMap& Defaults() const { return m_Defaults; }
    // The unit reported a default for every word.
    bool DefaultsComplete() const { return m_Defaults.size() == static_cast<size_t>(kLuWords); }
    bool ParamsReceived() const { return m_ParamsReceived; }
    int Retries() const { return m_Retries; }
    // Words read back so far in the running verification.
    int ReadBackCount() const { return static_cast<int>(m_ReadBack.size()); }

    // A refusal of the link by the unit, meant for this tool and this unit: a short one names
    // nobody, a long one names the tool's node and the unit's node.
    static bool IsRefusalFor(const CPackV7& pack, const CIdentV7& own, int unitNode);
    // Whether a line message from the console is the unit's answer.
    static bool IsFromUnit(const CMes& m, const UnitAddress& address);

private:
    void TakeAnswer(const CMes& m);
    void TakeWord(const CMes& m);
    void TakeParams(const CMes& m);
    void TakeReadBack(int index, uint16_t value);
    void ResendDiffering();
    void FinishWrite(typWriteResult result);
    void SendRead();
    void SendParams();
    bool SendRequest(const LuRequest& r);
    void Fail(typUnitState state, int reason);
    void SetState(typUnitState state, int reason);
    void Emit(UnitEvent event);
    Clock::time_point Now() const { return m_Now(); }

    Link& m_Link;
    WordMap& m_Read;
    WordMap& m_Defaults;
    UnitAddress m_Address;
    UnitSessionTiming m_Timing;
    std::function<Clock::time_point()> m_Now = [] { return Clock::now(); };
    Listener m_Listener;

    typUnitState m_State = typUnitState::Idle;
    int m_Reason = 0;
    bool m_ParamsReceived = false;
    int m_Retries = 0;
    Clock::time_point m_NextTick{};
    // Last sign of life from the unit, and the last probe sent for one.
    Clock::time_point m_LastHeard{};
    Clock::time_point m_LastProbe{};
    // The write in progress: the words asked for, those read back, and when it last moved on.
    WordMap m_Wanted;
    WordMap m_ReadBack;
    Clock::time_point m_LastProgress{};
    // Words that still differ once all were read back are read again at a gentle pace, so
    // that a late write shows up without flooding the unit.
    bool m_PacedRead = false;
    Clock::time_point m_NextPacedRead{};
    // The byte writes the link took, and when they last went out, first or again.
    std::vector<LuByteWrite> m_Sent;
    Clock::time_point m_LastWrite{};
    // How often each address was sent again, and the words sent again and not read back since.
    std::map<int, int> m_Resends;
    std::set<int> m_Unconfirmed;
};

// "loading", "ready", ... for logs and the command line.
const char* UnitStateName(typUnitState state);
