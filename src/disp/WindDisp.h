#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <mutex>
#include <utility>
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

// The delivery window of the dispatcher link as a state machine: frames and
// acknowledgements go in, the time goes in, datagrams come out through `send`.
// It holds no lock, thread, socket or clock, so every case is a sequence of calls.
//
// At most seven numbered frames are in flight. A frame not acknowledged within the
// repeat interval goes out again, up to five repeats; the next update gives it up.
// Eleven frames given up without a sign of life from the console mean the link is
// lost: `linkLost` is called once and the window is emptied.
class CDispWindCore {
public:
    static constexpr int kCapacity = 7;
    static constexpr int kDefaultResend = 2000;
    static constexpr int kMaxResends = 5;
    static constexpr int kLostLimit = 11;
    static constexpr int kMaxIdent = 255;

    struct Output {
        // One datagram to the console; false when it could not go out.
        std::function<bool(const CPackDisp&)> send;
        std::function<void()> linkLost;
    };

    explicit CDispWindCore(Output out) : m_Out(std::move(out)) {}

    // Empties the window; `now` is where the first update counts from.
    void Start(int64_t now);
    void Stop();
    void Clear();
    bool IsRunning() const { return m_Running; }
    bool HasRoom() const { return m_List.size() < kCapacity; }

    // A frame with messages and no voice is numbered, sent and kept; it needs room.
    // Any other frame goes out once without an ident. While the window is stopped
    // nothing is sent and the answer is true; false when the frame found no room
    // or its send failed.
    bool Put(CPackDisp& p);
    // A good frame came from the console, a sign of life; it acknowledges the idents
    // ids[0 .. n-1], maybe none.
    void Acknowledge(int n, const unsigned char* ids);
    // Repeats what is due and gives up what has been repeated enough.
    void Update(int64_t now);

    // 1..255, then 1 again: the console takes 0 for "no acknowledgement wanted".
    int NextIdent();
    void SetResendInterval(int ms) { m_Resend = ms; }
    int ResendInterval() const { return m_Resend; }
    int Lost() const { return m_Lost; }
    int Count() const { return static_cast<int>(m_List.size()); }
    std::vector<int> Idents() const;

private:
    Output m_Out;
    std::list<CPackDispWind> m_List;  // oldest first
    bool m_Running = false;
    int64_t m_Last = 0;  // time of the last update
    int m_Resend = kDefaultResend;
    int m_Ident = 0;  // last ident given
    int m_Lost = 0;   // frames given up since the last sign of life
};

// The window's shell: one lock around the core, the pool timer that updates it from
// the steady clock, and the wait of a Put for room. Frames go out through the owning
// sender; a lost link is reported to it (BadPut, then Disconnect) outside the lock.
//
// Lock order: the window lock, then the sender's send lock, its reply list and its
// cipher lock. The sender never takes the window lock while holding one of those.
class CDispWind {
public:
    static constexpr int kCapacity = CDispWindCore::kCapacity;
    static constexpr int kDefaultTick = 500;
    static constexpr int kDefaultResend = CDispWindCore::kDefaultResend;
    static constexpr int kMaxResends = CDispWindCore::kMaxResends;
    static constexpr int kLostLimit = CDispWindCore::kLostLimit;

    // The clock is the steady clock in milliseconds unless one is given.
    CDispWind(CSendDisp* owner, BasePoolThread* pool, std::function<int64_t()> clock = {});
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
    // Waits while seven frames are outstanding, then hands the frame to the core.
    // True also when nothing was sent because the window or the sender is stopped.
    bool Put(CPackDisp& p);
    // A good frame came from the console, acknowledging the idents ids[0 .. n-1].
    void MngReply(int n, const unsigned char* ids);
    int NextIdent();
    static bool TimerProc(void* self);

    // Intervals in milliseconds; the tick is read when the timer starts.
    void SetTick(int ms);
    int GetTick() const;
    void SetResendInterval(int ms);
    int GetResendInterval() const;

    int Count() const;
    int Lost() const;
    std::vector<int> Idents() const;
    bool IsRunning() const;

private:
    bool Tick();
    void StopTimer();
    // Stops the core; true when it was running.
    bool Shut();

    mutable std::mutex m_Mutex;
    std::condition_variable m_Room;  // a Put may go on
    CDispWindCore m_Core;
    bool m_LinkLost = false;  // set by the core during an update
    int m_Tick = kDefaultTick;
    std::function<int64_t()> m_Clock;
    BasePoolThread* m_Pool;
    Thread m_Timer;
    CSendDisp* m_Send;
};
