#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "PackV7.h"
#include "Thread.h"

class CSendV7;

// A packet in the delivery window, waiting for its acknowledgement.
class CPackWindV7 : public CPackV7 {
public:
    CPackWindV7(const CPackV7& pack, std::chrono::milliseconds countdown)
        : CPackV7(pack), countdown(countdown) {}

    int sends = 1;                        // transmissions so far
    std::chrono::milliseconds countdown;  // to the next repeat
};

// The rules of the delivery window and nothing else: at most five numbered packets in
// flight, each repeated until acknowledged and given up after the maximum number of
// sends; two failures without an acknowledgement between them mean the link is lost.
// No socket, thread, lock or clock in here: the caller passes the time and serialises
// the calls, and everything that goes out leaves through the Link.
class CWindV7Core {
public:
    using Ms = std::chrono::milliseconds;

    static constexpr std::size_t kCapacity = 5;
    static constexpr int kDefaultMaxSends = 5;
    static constexpr Ms kDefaultRepeat{2000};
    // Given-up packets counted before the party is reported as not receiving.
    static constexpr int kExpiryReport = 10;
    static constexpr int kNoLinkFailures = 2;

    // The sender's side of the window; called from inside Put and Tick.
    class Link {
    public:
        virtual int NextIdent() = 0;
        // Codes and transmits p (which may gain an acknowledgement on the way); false when
        // it did not reach the socket.
        virtual bool Transmit(CPackV7& p) = 0;
        // Too many packets given up since the party last answered.
        virtual void NotReceiving() = 0;

    protected:
        ~Link() = default;
    };

    explicit CWindV7Core(Link& link) : m_Link(link) {}

    // Empty window, counters cleared; now is where the first tick counts from.
    void Start(Ms now);
    void Clear() { m_List.clear(); }
    bool IsFull() const { return m_List.size() >= kCapacity; }
    // Numbers and transmits p. Only our own numbered packets stay for repeats; a failed
    // first transmission counts as a failure and keeps nothing. False, with nothing done,
    // when the window is full.
    bool Put(CPackV7& p, const CIdentV7& own);
    // Every packet accepted from the party comes here with its acknowledgement byte. True
    // when the acknowledged packet was in the window.
    bool MngReply(unsigned char repl);
    // Countdowns by the time passed since the previous tick: repeats and give-ups.
    void Tick(Ms now);
    // True, once, after two failures.
    bool IsNoLink();

    void SetMaxSends(int sends) { m_MaxSends = sends; }
    int GetMaxSends() const { return m_MaxSends; }
    void SetRepeat(Ms interval) { m_Repeat = interval; }
    Ms GetRepeat() const { return m_Repeat; }

    std::size_t Count() const { return m_List.size(); }
    std::vector<int> Idents() const;
    int Failures() const { return m_Failures; }
    int Expired() const { return m_Expired; }
    bool IsLinkUp() const { return m_LinkUp; }

private:
    void GiveUp();

    Link& m_Link;
    std::list<CPackWindV7> m_List;  // oldest first
    int m_Failures = 0;
    int m_Expired = 0;
    bool m_LinkUp = false;
    Ms m_LastTick{0};
    int m_MaxSends = kDefaultMaxSends;
    Ms m_Repeat = kDefaultRepeat;
};

// The delivery window of one sender: the core above behind one lock, driven by a timer on
// the pool and the steady clock. Put waits while the window is full, which holds back the
// sender's whole queue: that is the flow control.
//
// Lock order: the window lock, then the sender's send lock (the core transmits under the
// window lock). The sender never takes the window lock while it holds its send lock.
class CWindV7 : private CWindV7Core::Link {
public:
    static constexpr int kCapacity = static_cast<int>(CWindV7Core::kCapacity);
    static constexpr int kDefaultTick = 500;
    static constexpr int kExpiryReport = CWindV7Core::kExpiryReport;

    CWindV7(CSendV7* owner, BasePoolThread* pool);
    CWindV7(const CWindV7&) = delete;
    CWindV7& operator=(const CWindV7&) = delete;
    ~CWindV7();

    // Empties the window, clears the counters and starts the timer; without timer the owner
    // calls Tick every GetTick() milliseconds.
    void Start(bool timer = true);
    // Stops the timer and empties the window; a Put that waits for room returns.
    void Stop();
    void Clear();
    // Numbers and sends a packet; waits while the window is full. Called by the sender's
    // queue procedure only.
    void Put(CPackV7& p);
    // Put without the wait: false, with nothing done, when the window is full.
    bool TryPut(CPackV7& p);
    // Every packet accepted from the party comes here with its acknowledgement byte.
    void MngReply(unsigned char repl);
    // True, once, after two failures.
    bool IsNoLink();
    static bool TimerProc(void* self);
    // Repeats and give-ups by the time passed since the previous tick.
    void Tick();

    // The timer's period in milliseconds; set before Start.
    void SetTick(int ms);
    int GetTick() const;
    void SetMaxSends(int sends);
    int GetMaxSends() const;
    void SetRepeatInterval(int ms);
    int GetRepeatInterval() const;

    int Count() const;
    std::vector<int> Idents() const;
    int Failures() const;
    int Expired() const;
    bool IsLinkUp() const;
    bool IsRunning() const;

private:
    int NextIdent() override;
    bool Transmit(CPackV7& p) override;
    void NotReceiving() override;
    static CWindV7Core::Ms Now();

    mutable std::mutex m_Mutex;
    std::condition_variable m_Room;  // a Put may go on
    bool m_Running = false;
    BasePoolThread* m_Pool;
    const std::string m_ProcName = "CWindV7::TimerProc";
    BasePoolThread::Thread* m_Handle = nullptr;
    CSendV7* m_Send;
    int m_Tick = kDefaultTick;
    CWindV7Core m_Core{*this};
};
