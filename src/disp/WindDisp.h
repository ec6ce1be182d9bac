#pragma once

#include <atomic>
#include <condition_variable>
#include <list>
#include <memory>
#include <mutex>
#include <vector>

#include "PackDisp.h"
#include "Thread.h"

class CSendDisp;

// A numbered frame sent to the console and not yet acknowledged.
class CPackDispWind : public CPackDisp {
public:
    CPackDispWind(const CPackDisp& p, int countdown) : CPackDisp(p), countdown(countdown) {}

    int resends = 0;  // repeats so far, the first transmission not counted
    int countdown;    // milliseconds to the next repeat
};

// The delivery window of the dispatcher link: at most seven numbered frames in flight.
// A pool timer repeats the frames the console has not acknowledged in time and gives
// them up after five repeats; eleven frames given up without a sign of life from the
// console mean the link is lost, and the sender is told to disconnect.
//
// Lock order: the window lock, then the sender's send lock, its reply list and its
// cipher lock. The sender never takes the window lock while holding one of those.
class CDispWind {
public:
    static constexpr int kCapacity = 7;
    static constexpr int kDefaultTick = 500;
    static constexpr int kDefaultResend = 2000;
    static constexpr int kMaxResends = 5;
    static constexpr int kLostLimit = 11;

    CDispWind(CSendDisp* owner, BasePoolThread* pool);
    CDispWind(const CDispWind&) = delete;
    CDispWind& operator=(const CDispWind&) = delete;
    ~CDispWind();

    // Starts the timer unless the window runs already.
    void Start();
    // Tells the console the link is closed when the window ran, stops the timer and
    // frees the window. From the timer's own procedure the timer is only asked to end.
    void Stop();
    // As Stop, without telling the console; for the owner's destructor.
    void Halt();
    // Frees the window; a Put that waits for room goes on.
    void Clear();
    // Numbers, sends and keeps a frame that holds messages; waits while seven are
    // outstanding. A frame without messages or with a voice message goes out once,
    // without an ident. True also when nothing was sent because the window is stopped.
    bool Put(CPackDisp& p);
    // The console acknowledged the frames whose idents are in ids[0 .. n-1].
    void MngReply(int n, const unsigned char* ids);
    static bool TimerProc(void* self);

    // Intervals in milliseconds; the tick is read when the timer starts.
    void SetTick(int ms) { m_Tick = ms; }
    int GetTick() const { return m_Tick.load(); }
    void SetResendInterval(int ms) { m_Resend = ms; }
    int GetResendInterval() const { return m_Resend.load(); }

    int Count() const;
    std::vector<int> Idents() const;
    bool IsRunning() const;

private:
    bool Tick();
    void StopTimer();

    mutable std::mutex m_Mutex;
    std::condition_variable m_Room;  // a Put may go on
    bool m_Running = false;
    BasePoolThread* m_Pool;
    Thread m_Timer;
    std::list<std::unique_ptr<CPackDispWind>> m_List;  // oldest first
    CSendDisp* m_Send;
    std::atomic<int> m_Tick{kDefaultTick};
    std::atomic<int> m_Resend{kDefaultResend};
};
