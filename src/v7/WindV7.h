#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "PackV7.h"
#include "Thread.h"

class CSendV7;
class CWindV7;

// A packet in the delivery window, waiting for its acknowledgement.
class CPackWindV7 : public CPackV7 {
public:
    CPackWindV7(const CPackV7& pack, CWindV7* window, int countdown)
        : CPackV7(pack), countdown(countdown), window(window) {}

    int sends = 1;  // transmissions so far
    int countdown;  // milliseconds to the next repeat
    CWindV7* window;
};

// The delivery window of one sender: at most five numbered packets in flight. A timer
// on the pool repeats those not acknowledged in time and gives them up after the
// sender's maximum number of sends; two failures without an acknowledgement between them
// mean the link is lost.
//
// Lock order: the window lock, then the sender's send lock (SendSocket), then its reply
// list. SendSocket never takes the window lock.
class CWindV7 {
public:
    static constexpr int kCapacity = 5;
    static constexpr int kDefaultTick = 500;
    // Given-up packets counted before the link is reported as not receiving.
    static constexpr int kExpiryReport = 10;

    CWindV7(CSendV7* owner, BasePoolThread* pool);
    CWindV7(const CWindV7&) = delete;
    CWindV7& operator=(const CWindV7&) = delete;
    ~CWindV7();

    // Empties the window, clears the counters and starts the timer.
    void Start();
    // Stops the timer and empties the window; a Put that waits for room returns.
    void Stop();
    void Clear();
    // Numbers and sends a packet; waits while the window is full. Called by the sender's
    // queue procedure only.
    void Put(CPackV7& p);
    // Every packet accepted from the party comes here with its acknowledgement byte.
    void MngReply(unsigned char repl);
    // True, once, after two failures.
    bool IsNoLink();
    static bool TimerProc(void* self);

    // The timer's period in milliseconds; set before Start.
    void SetTick(int ms) { m_Tick = ms; }
    int GetTick() const { return m_Tick; }

    int Count() const;
    std::vector<int> Idents() const;
    int Failures() const { return m_Failures.load(); }
    int Expired() const { return m_Expired.load(); }
    bool IsLinkUp() const { return m_LinkUp.load(); }
    bool IsRunning() const;

private:
    void Tick();

    mutable std::mutex m_Mutex;
    std::condition_variable m_Room;  // a Put may go on
    bool m_Running = false;
    BasePoolThread* m_Pool;
    const std::string m_ProcName = "CWindV7::TimerProc";
    BasePoolThread::Thread* m_Handle = nullptr;
    std::list<std::unique_ptr<CPackWindV7>> m_List;  // oldest first
    std::atomic<int> m_Failures{0};
    std::atomic<int> m_Expired{0};
    std::atomic<bool> m_LinkUp{false};
    CSendV7* m_Send;
    int m_Tick = kDefaultTick;
};
