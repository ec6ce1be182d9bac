#pragma once

// Worker threads, the thread pool that runs every link activity, and lists of timed
// procedures.
//
// Lifetime rule shared by every class here: a thread never holds a plain pointer into
// state that its owner may free or reset. What one start of a BaseThread needs lives in a
// per-start record shared with the thread, so a thread that had to be abandoned (its
// procedure was still running when the owner restarted or went away) only ever touches its
// own record, and reaches the owner's virtual operations only while the owner is linked to
// it. A subclass that overrides Name(), PutLog() or PrintListProc(), or whose members the
// procedure uses, must end the thread (Stop) and call Shutdown() first thing in its
// destructor, before its own members go. An abandoned procedure still owns its argument:
// whoever passed it must keep it alive until the procedure returns.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class CBaseLog;

// The timed lock behind the pool and the timer lists. A lock that cannot be had within
// the time-out means something holds it for good; the process is reported and ended rather
// than left hanging.
class BaseTimedLock {
public:
    using Report = std::function<void(const std::string& line)>;

    static constexpr std::chrono::milliseconds s_DefaultTimeout{30000};

    BaseTimedLock() = default;
    BaseTimedLock(const BaseTimedLock&) = delete;
    BaseTimedLock& operator=(const BaseTimedLock&) = delete;

    // Takes the lock and records the action as its holder. On time-out, or when the
    // calling thread already holds it (which would never end), the line goes to report,
    // then the process is aborted.
    void Lock(const std::string& action, const Report& report);
    void Unlock();
    // Renames the present holder, so that a time-out names the step that holds the lock.
    void SetHolder(const std::string& action);
    std::string Holder() const;

    void SetTimeout(std::chrono::milliseconds timeout) { m_TimeoutMs = timeout.count(); }
    std::chrono::milliseconds Timeout() const { return std::chrono::milliseconds(m_TimeoutMs.load()); }

private:
    // A flag under a plain mutex rather than a timed mutex: waits on the steady clock this
    // way are seen by the thread sanitizer, timed locking of a mutex is not.
    mutable std::mutex m_Mutex;
    std::condition_variable m_Free;
    bool m_Locked = false;
    std::thread::id m_Owner;
    std::string m_Holder;
    std::atomic<long long> m_TimeoutMs{s_DefaultTimeout.count()};
};

// The time base of the delays and periods of BaseThread and of the pool's tasks: the steady
// clock unless a test sets another. A clock that stands still until a procedure spends time
// and jumps to every deadline lets delays, cycles and overruns be checked exactly and at once.
// Stop and lock time-outs always run on the steady clock.
class BaseClock {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    virtual ~BaseClock() = default;
    virtual TimePoint Now() const { return std::chrono::steady_clock::now(); }
    // Waits on cv, with lk held, until the deadline or until stop() holds; returns stop().
    virtual bool WaitUntil(std::condition_variable& cv, std::unique_lock<std::mutex>& lk, TimePoint deadline,
                           const std::function<bool()>& stop) const {
        return cv.wait_until(lk, deadline, stop);
    }
    static const BaseClock& Steady();
};

class BaseThread {
public:
    using Procedure = bool (*)(void*);

    // Acts as if every thread's log flag were set.
    static std::atomic<bool> s_IsAllLog;
    static constexpr std::chrono::milliseconds s_DefaultStopTimeout{31000};

    BaseThread();
    BaseThread(const BaseThread&) = delete;
    BaseThread& operator=(const BaseThread&) = delete;

    virtual void PrintListProc();
    // name(delay,period) followed by the process text, e.g. "Recv(0,100) PID: 4711 ".
    virtual std::string Name();
    virtual void PutLog(const std::string& line);
    virtual ~BaseThread();

    // (Re)starts the thread: the procedure runs once after delay ms, or every period ms
    // while it returns true. A thread still held from an earlier start is stopped first,
    // or abandoned when its procedure is running at that moment.
    void Start(const std::string& name, Procedure procedure, void* argument, int delay, int period, bool log);
    // Asks the thread to stop and waits for it. A thread that does not end within the stop
    // time-out is reported and the process is aborted. Called from the thread's own
    // procedure it only sets the break flag: waiting for oneself would never end.
    void Stop();
    // Asks the thread to stop without waiting.
    void BreakExec();

    bool IsRunning() const;
    bool IsExecuting() const;
    // The log flag of the present start, or s_IsAllLog.
    bool IsLog() const;

    void SetStopTimeout(std::chrono::milliseconds timeout) { m_StopTimeoutMs = timeout.count(); }
    std::chrono::milliseconds StopTimeout() const {
        return std::chrono::milliseconds(m_StopTimeoutMs.load());
    }
    // The clock of the delay and period from the next Start on; null for the steady clock.
    // It must outlive the thread.
    void SetClock(const BaseClock* clock) { m_Clock = clock; }

    // The kernel thread id of the calling thread.
    static long CurrentTid();
    // Waits 512 ms (so that queued log lines get out), writes "abort " and the line to the
    // standard output and ends the process abnormally.
    [[noreturn]] static void AbortProcess(const std::string& line);
    // Writes text to the standard output as one piece, flushed.
    static void WriteStdout(const std::string& text);

protected:
    // What the destructor does: unlinks the thread from this object's overrides, stops a
    // waiting thread, abandons one whose procedure runs. Its lines go to the standard
    // output. Safe to call more than once.
    void Shutdown();
    // " PID: <kernel thread id> " once the thread has begun, else empty.
    std::string ProcessText() const;
    // True when called on this object's thread.
    bool IsOwnThread() const;

private:
    struct Run;
    class Borders;

    static void Proc(std::shared_ptr<Run> run);
    static bool WaitBeforeExec(Run& run, int ms, std::chrono::steady_clock::time_point deadline);
    static std::string BaseName(const Run& run);
    static std::string OwnerName(Run& run);
    static void OwnerPutLog(Run& run, const std::string& line);
    static void OwnerPrintList(Run& run);
    static void Unlink(Run& run);
    static void SetBreak(Run& run);

    std::shared_ptr<Run> CurrentRun() const;
    void StopLocked(bool baseLog);
    void Abandon(const std::shared_ptr<Run>& run);

    mutable std::mutex m_RunMutex;  // guards m_Run
    std::shared_ptr<Run> m_Run;
    std::mutex m_ControlMutex;  // serialises Start, Stop and Shutdown
    std::thread m_Thread;
    std::atomic<long long> m_StopTimeoutMs{s_DefaultStopTimeout.count()};
    std::atomic<const BaseClock*> m_Clock{nullptr};
};

class BasePoolThread {
public:
    using Procedure = BaseThread::Procedure;

    // One worker of the pool. It lives until the pool stops and runs one task after the
    // other.
    class Thread : public BaseThread {
    public:
        explicit Thread(BasePoolThread* pool);
        ~Thread() override;

        // task(delay,period), the process text, the activity and a space.
        std::string Name() override;
        void PutLog(const std::string& line) override;

        std::string TaskName() const;
        std::string Activity() const;
        bool HasTask() const { return m_Task.load(); }
        bool IsBreak() const;

    private:
        friend class BasePoolThread;

        static bool PoolThreadProc(void* self);
        void Exec(Procedure procedure, void* argument, int delay, int period);
        bool WaitBeforePoolExec(const BaseClock& clock, int ms, int period, BaseClock::TimePoint deadline);
        void SetActivity(const std::string& activity);
        void Assign(const std::string& name, Procedure procedure, void* argument, int delay, int period);
        void Wake(bool brk);
        // Waits until this worker no longer runs the pair, at most until `until`.
        void WaitLeft(Procedure procedure, void* argument, std::chrono::steady_clock::time_point until);

        BasePoolThread* m_Pool;
        std::atomic<bool> m_Task{false};
        // Guards the task's fields and the break flag; m_Wake signals a new task, a break
        // or the end of the pool.
        mutable std::mutex m_Mutex;
        std::condition_variable m_Wake;
        Procedure m_Procedure = nullptr;
        void* m_Argument = nullptr;
        std::string m_TaskName = "constructor";
        std::string m_Activity = "constructor";
        int m_Delay = 0;
        int m_Period = 0;
        bool m_Break = false;
    };

    explicit BasePoolThread(const std::string& name, bool log = false);
    BasePoolThread(const BasePoolThread&) = delete;
    BasePoolThread& operator=(const BasePoolThread&) = delete;
    virtual ~BasePoolThread();

    virtual void PutLog(const std::string& line);

    // Starts the task of the pair on an idle worker, or on a new one. When a worker runs
    // the pair already the task is not added and that worker is returned. A stopped pool
    // and a null procedure are refused with nullptr.
    Thread* StartProc(const std::string& name, Procedure procedure, void* argument, int delay, int period);
    // The worker whose present task is the pair, or nullptr; name gets its Name(). With
    // stop, that task is also asked to end.
    Thread* IsStartProc(Procedure procedure, void* argument, std::string& name, bool stop);
    // Ends the task of the pair and waits for it; a task that does not end within the stop
    // time-out is reported and the process is aborted. From the task itself it only asks.
    void StopProc(Procedure procedure, void* argument);
    // Ends every worker. Workers are released when the pool is destroyed, so pointers
    // returned by StartProc stay valid for the pool's life.
    void Stop();
    void PrintProc();

    void Lock(const std::string& action);
    void Unlock();

    const std::string& PoolName() const { return m_Name; }
    bool IsLog() const { return m_Log; }
    bool IsRunning() const { return m_Running.load(); }
    // Workers created and not yet stopped.
    std::size_t Count() const;

    void SetLockTimeout(std::chrono::milliseconds timeout) { m_Lock.SetTimeout(timeout); }
    void SetStopTimeout(std::chrono::milliseconds timeout) { m_StopTimeoutMs = timeout.count(); }
    std::chrono::milliseconds StopTimeout() const {
        return std::chrono::milliseconds(m_StopTimeoutMs.load());
    }
    // The clock of the tasks' delays and periods; null for the steady clock. It must outlive
    // the pool.
    void SetClock(const BaseClock* clock) { m_Clock = clock; }

private:
    class Guard;

    Thread* FindLocked(Procedure procedure, void* argument, std::string& name, bool stop);

    const std::string m_Name;
    const bool m_Log;
    std::vector<std::unique_ptr<Thread>> m_Threads;  // guarded by m_Lock
    std::vector<std::unique_ptr<Thread>> m_Retired;  // guarded by m_RetiredMutex
    std::mutex m_RetiredMutex;
    BaseTimedLock m_Lock;
    std::atomic<bool> m_Running{true};
    std::atomic<long long> m_StopTimeoutMs{BaseThread::s_DefaultStopTimeout.count()};
    std::atomic<const BaseClock*> m_Clock{nullptr};
};

// The application's pool: its diagnostics become time-stamped lines of the error log, or
// go to the standard output while no log is set.
class ThreadPool : public BasePoolThread {
public:
    explicit ThreadPool(CBaseLog* log, const std::string& name = "TolvaneApp");
    ~ThreadPool() override;

    void PutLog(const std::string& line) override;
    void SetLog(CBaseLog* log) { m_ErrorLog = log; }

private:
    std::atomic<CBaseLog*> m_ErrorLog;
};

// A handle on one pool task: the pool, the task's name and its (procedure, argument) pair.
class Thread {
public:
    Thread() = default;
    Thread(BasePoolThread* pool, const std::string& name, BasePoolThread::Procedure procedure,
           void* argument);

    void Set(BasePoolThread* pool, const std::string& name, BasePoolThread::Procedure procedure,
             void* argument);
    // Starts the task; returns the worker that runs it (nullptr when the pool refused).
    BasePoolThread::Thread* Start(int delay, int period);
    // Whether the task runs now; with stop, it is also asked to end.
    bool IsStart(bool stop);
    // Ends the task and waits for it.
    void Stop();

    BasePoolThread::Thread* Worker() const { return m_Worker; }
    const std::string& TaskName() const { return m_Name; }

private:
    BasePoolThread* m_Pool = nullptr;
    std::string m_Name;
    BasePoolThread::Procedure m_Procedure = nullptr;
    void* m_Argument = nullptr;
    BasePoolThread::Thread* m_Worker = nullptr;
};

class BaseTimer : public BaseThread {
public:
    // The list lock: obtained within the time-out or the process is aborted with a report.
    void Lock(const std::string& action);
    void Unlock();
    void SetLockTimeout(std::chrono::milliseconds timeout) { m_Lock.SetTimeout(timeout); }

protected:
    // Removes the first entry with the pair, logging either way; the caller holds the list lock.
    template <class List>
    bool EraseProc(List& list, Procedure procedure, void* argument) {
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->procedure == procedure && it->argument == argument) {
                if (IsLog()) PutLog("DelProcTimer from " + Name() + " " + it->Name() + " deleted");
                list.erase(it);
                return true;
            }
        }
        if (IsLog()) PutLog("DelProcTimer from " + Name() + " does not exist");
        return false;
    }

    BaseTimedLock m_Lock;
};

// A list whose every entry runs at every tick of the period given to Start.
class BaseListTimers : public BaseTimer {
public:
    struct ProcTimer {
        std::string name;
        BaseThread::Procedure procedure = nullptr;
        void* argument = nullptr;
        int duration = 0;  // of the last execution, ms

        std::string Name() const { return name; }
        // Runs the procedure once, timing it; the procedure's result.
        bool Exec();
    };

    BaseListTimers() = default;
    ~BaseListTimers() override;

    void Start(const std::string& name, int delay, int period, bool log);
    // False when an entry with the same pair is there already.
    bool AddProcTimer(const std::string& name, Procedure procedure, void* argument);
    // False when no entry has the pair.
    bool DelProcTimer(Procedure procedure, void* argument);
    void Stop();
    void PrintListProc() override;

    std::size_t Count();
    std::vector<ProcTimer> Entries();

private:
    static bool ListTimersProc(void* self);
    void Tick();

    std::list<ProcTimer> m_List;  // guarded by m_Lock
};

// What the minute and the second lists share: a fixed tick, and per entry a countdown in
// ticks to its next execution and a repeat count.
class BaseTickTimers : public BaseTimer {
public:
    struct ProcTimer {
        std::string name;
        BaseThread::Procedure procedure = nullptr;
        void* argument = nullptr;
        int duration = 0;   // of the last execution, ms
        int countdown = 0;  // ticks until the next execution
        int repeat = 0;     // ticks between executions; 0 or less: once

        std::string Name() const { return name; }
        // One tick. Runs the procedure when due; false when the entry is to go: it ran
        // without a repeat count, or its procedure returned false.
        bool Exec();
    };

    ~BaseTickTimers() override;

    // first: ticks before the first execution (0 or less: at once, on the calling thread);
    // repeat: ticks between executions (0 or less: none). True when the entry stays listed.
    bool AddProcTimer(const std::string& name, Procedure procedure, void* argument, int first, int repeat);
    // Removes the first entry with the pair; false when there is none.
    bool DelProcTimer(Procedure procedure, void* argument);
    void Stop();
    void PrintListProc() override;

    std::size_t Count();
    std::vector<ProcTimer> Entries();
    int Tick() const { return m_Tick; }

protected:
    BaseTickTimers(const char* className, int tick);
    void StartList(const std::string& name, int delay, bool log);

private:
    static bool ListTimersProc(void* self);
    void DoTick();

    const std::string m_Class;
    const int m_Tick;
    std::list<ProcTimer> m_List;  // guarded by m_Lock
};

// Ticks once a minute, on the full minute of the local time.
class BaseListTimersMinute : public BaseTickTimers {
public:
    BaseListTimersMinute();
    void Start(const std::string& name, bool log);
    // Milliseconds from the given second of a minute to the next full minute.
    static int DelayToFullMinute(int second);
};

// Ticks once a second, the first tick at once. The tick may be shortened for tests.
class BaseListTimersSecond : public BaseTickTimers {
public:
    explicit BaseListTimersSecond(int tick = 1000);
    void Start(const std::string& name, bool log);
};
