#include "Thread.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <system_error>

#include "BaseLog.h"

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

std::mutex g_StdoutMutex;

int ElapsedMs(Clock::time_point since) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(Clock::now() - since).count());
}

int ElapsedMs(const BaseClock& clock, BaseClock::TimePoint since) {
    return static_cast<int>(std::chrono::duration_cast<milliseconds>(clock.Now() - since).count());
}

std::string SecondsText(milliseconds timeout) {
    if (timeout.count() % 1000 == 0) return std::to_string(timeout.count() / 1000);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.3f", static_cast<double>(timeout.count()) / 1000.0);
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// BaseTimedLock

void BaseTimedLock::Lock(const std::string& action, const Report& report) {
    std::string line;
    {
        std::unique_lock<std::mutex> lk(m_Mutex);
        if (m_Locked && m_Owner == std::this_thread::get_id()) {
            // A second lock by the holder would wait for itself until the time-out; it is
            // always a programming error, so say so at once.
            line = action + " act:" + m_Holder + " - lock already held by this thread";
        } else if (m_Free.wait_until(lk, Clock::now() + Timeout(), [&] { return !m_Locked; })) {
            m_Locked = true;
            m_Owner = std::this_thread::get_id();
            m_Holder = action;
            return;
        } else {
            line = action;
            if (!m_Holder.empty()) line += " act:" + m_Holder;
            line += " - lock during " + SecondsText(Timeout()) + " sec";
        }
    }
    report(line);
    BaseThread::AbortProcess(line);
}

void BaseTimedLock::Unlock() {
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Locked = false;
        m_Owner = std::thread::id();
    }
    m_Free.notify_one();
}

void BaseTimedLock::SetHolder(const std::string& action) {
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Holder = action;
}

std::string BaseTimedLock::Holder() const {
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_Holder;
}

const BaseClock& BaseClock::Steady() {
    static const BaseClock steady{};
    return steady;
}

// ---------------------------------------------------------------------------------------
// BaseThread

// Everything one start of a BaseThread shares with its thread. The thread keeps it alive,
// so an abandoned thread never reaches into an object that was restarted or destroyed.
struct BaseThread::Run {
    // Fixed before the thread is created.
    std::string name;
    Procedure procedure = nullptr;
    void* argument = nullptr;
    int delay = 0;
    int period = 0;
    bool log = false;
    const BaseClock* clock = nullptr;

    std::atomic<bool> running{false};
    std::atomic<bool> executing{false};

    mutable std::mutex mutex;            // guards the fields below
    std::condition_variable wake;        // break requests, for the thread
    std::condition_variable finishedCv;  // end of the body, for Stop
    bool brk = false;
    bool finished = false;
    std::string processText;
    std::thread::id tid;

    // The owner's overrides are reached only through this link; Unlink cuts it, waiting for
    // a call in progress.
    std::mutex linkMutex;
    BaseThread* owner = nullptr;

    bool Logging() const { return log || s_IsAllLog.load(); }
};

// Clears running and executing however the body ends, and tells a waiting Stop.
class BaseThread::Borders {
public:
    explicit Borders(Run& run) : m_Run(run) {}
    ~Borders() {
        m_Run.running.store(false);
        m_Run.executing.store(false);
        {
            std::lock_guard<std::mutex> lk(m_Run.mutex);
            m_Run.finished = true;
        }
        m_Run.finishedCv.notify_all();
    }
    Borders(const Borders&) = delete;
    Borders& operator=(const Borders&) = delete;

private:
    Run& m_Run;
};

std::atomic<bool> BaseThread::s_IsAllLog{false};

BaseThread::BaseThread() = default;

BaseThread::~BaseThread() {
    Shutdown();
}

long BaseThread::CurrentTid() {
    return static_cast<long>(gettid());
}

void BaseThread::WriteStdout(const std::string& text) {
    std::lock_guard<std::mutex> lk(g_StdoutMutex);
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
}

void BaseThread::AbortProcess(const std::string& line) {
    std::this_thread::sleep_for(milliseconds(512));
    WriteStdout("abort " + line + "\n");
    std::abort();
}

std::shared_ptr<BaseThread::Run> BaseThread::CurrentRun() const {
    std::lock_guard<std::mutex> lk(m_RunMutex);
    return m_Run;
}

std::string BaseThread::BaseName(const Run& run) {
    std::string text = run.name + "(" + std::to_string(run.delay) + "," + std::to_string(run.period) + ")";
    std::lock_guard<std::mutex> lk(run.mutex);
    return text + run.processText;
}

std::string BaseThread::Name() {
    const std::shared_ptr<Run> run = CurrentRun();
    if (!run) return "(0,0)";
    return BaseName(*run);
}

std::string BaseThread::ProcessText() const {
    const std::shared_ptr<Run> run = CurrentRun();
    if (!run) return std::string();
    std::lock_guard<std::mutex> lk(run->mutex);
    return run->processText;
}

bool BaseThread::IsOwnThread() const {
    const std::shared_ptr<Run> run = CurrentRun();
    if (!run) return false;
    std::lock_guard<std::mutex> lk(run->mutex);
    return run->tid == std::this_thread::get_id();
}

void BaseThread::PutLog(const std::string& line) {
    WriteStdout(Name() + " - " + line + "\n");
}

void BaseThread::PrintListProc() {}

bool BaseThread::IsRunning() const {
    const std::shared_ptr<Run> run = CurrentRun();
    return run && run->running.load();
}

bool BaseThread::IsExecuting() const {
    const std::shared_ptr<Run> run = CurrentRun();
    return run && run->executing.load();
}

bool BaseThread::IsLog() const {
    const std::shared_ptr<Run> run = CurrentRun();
    return run ? run->Logging() : s_IsAllLog.load();
}

std::string BaseThread::OwnerName(Run& run) {
    std::lock_guard<std::mutex> lk(run.linkMutex);
    return run.owner ? run.owner->Name() : BaseName(run);
}

void BaseThread::OwnerPutLog(Run& run, const std::string& line) {
    std::lock_guard<std::mutex> lk(run.linkMutex);
    if (run.owner)
        run.owner->PutLog(line);
    else
        WriteStdout(BaseName(run) + " - " + line + "\n");
}

void BaseThread::OwnerPrintList(Run& run) {
    std::lock_guard<std::mutex> lk(run.linkMutex);
    if (run.owner) run.owner->PrintListProc();
}

void BaseThread::Unlink(Run& run) {
    std::lock_guard<std::mutex> lk(run.linkMutex);
    run.owner = nullptr;
}

void BaseThread::SetBreak(Run& run) {
    {
        std::lock_guard<std::mutex> lk(run.mutex);
        run.brk = true;
    }
    run.wake.notify_all();
}

void BaseThread::BreakExec() {
    if (const std::shared_ptr<Run> run = CurrentRun()) SetBreak(*run);
}

// The thread goes on with its procedure, but its break flag ends its cycle afterwards and
// the cut link keeps it away from this object.
void BaseThread::Abandon(const std::shared_ptr<Run>& run) {
    SetBreak(*run);
    Unlink(*run);
    m_Thread.detach();
}

void BaseThread::Start(const std::string& name, Procedure procedure, void* argument, int delay, int period,
                       bool log) {
    std::lock_guard<std::mutex> control(m_ControlMutex);
    if (m_Thread.joinable()) {
        const std::shared_ptr<Run> old = CurrentRun();
        if (old->running.load() && !old->executing.load()) {
            PutLog(Name() + " - BaseThread::Start: forced stop beginning");
            StopLocked(false);
            PutLog(Name() + " - BaseThread::Start: forced stop ending");
        } else if (old->running.load()) {
            PutLog(Name() + " - BaseThread::Start: forced disconnection !!!");
            Abandon(old);
        } else {
            // The body has ended already, so this does not wait.
            m_Thread.join();
        }
    }

    auto run = std::make_shared<Run>();
    run->name = name;
    run->procedure = procedure;
    run->argument = argument;
    run->delay = delay;
    run->period = period;
    run->log = log;
    run->clock = m_Clock.load() ? m_Clock.load() : &BaseClock::Steady();
    run->owner = this;
    // Set before the thread exists, so that a Start or Stop right after this one never
    // takes the new thread for an ended one.
    run->running.store(true);
    {
        std::lock_guard<std::mutex> lk(m_RunMutex);
        m_Run = run;
    }

    if (run->Logging()) PutLog("Init  " + Name() + " launching PID: " + std::to_string(CurrentTid()));

    try {
        m_Thread = std::thread(&BaseThread::Proc, run);
    } catch (const std::system_error& e) {
        const std::string line = "std::system_error " + Name() + " what():" + e.what();
        if (run->Logging()) PutLog(line);
        AbortProcess(line);
    }
}

void BaseThread::Stop() {
    // From the procedure itself: holding the control lock here could deadlock with an owner
    // that waits for this very thread, and waiting for oneself never ends.
    if (IsOwnThread()) {
        BreakExec();
        return;
    }
    std::lock_guard<std::mutex> control(m_ControlMutex);
    StopLocked(false);
}

void BaseThread::StopLocked(bool baseLog) {
    if (!m_Thread.joinable()) return;
    const std::shared_ptr<Run> run = CurrentRun();
    if (run->Logging()) {
        const std::string name = baseLog ? BaseThread::Name() : Name();
        if (!name.empty()) {
            if (baseLog)
                BaseThread::PutLog("Stop " + name);
            else
                PutLog("Stop " + name);
        }
    }
    SetBreak(*run);

    bool ended;
    {
        std::unique_lock<std::mutex> lk(run->mutex);
        ended = run->finishedCv.wait_until(lk, Clock::now() + StopTimeout(), [&] { return run->finished; });
    }
    if (!ended) {
        const std::string line = (baseLog ? BaseThread::Name() : Name()) + " - thread not complete";
        if (baseLog)
            BaseThread::PutLog(line);
        else
            PutLog(line);
        AbortProcess(line);
    }
    m_Thread.join();
}

void BaseThread::Shutdown() {
    const std::shared_ptr<Run> run = CurrentRun();
    if (!run) return;
    // Cut the link first: from here on the thread reports through the base only, so it
    // never calls an override whose object is being taken apart.
    Unlink(*run);
    if (IsOwnThread()) {
        SetBreak(*run);
        std::lock_guard<std::mutex> control(m_ControlMutex);
        if (m_Thread.joinable()) m_Thread.detach();
        return;
    }
    std::lock_guard<std::mutex> control(m_ControlMutex);
    if (!m_Thread.joinable()) return;
    if (!run->running.load()) {
        m_Thread.join();
    } else if (!run->executing.load()) {
        BaseThread::PutLog(BaseThread::Name() + " - BaseThread::~BaseThread: forced stop beginning");
        StopLocked(true);
        BaseThread::PutLog(BaseThread::Name() + " - BaseThread::~BaseThread: forced stop ending");
    } else {
        BaseThread::PutLog(BaseThread::Name() + " - BaseThread::~BaseThread: forced disconnection !!!");
        Abandon(run);
    }
}

bool BaseThread::WaitBeforeExec(Run& run, int ms, Clock::time_point deadline) {
    if (ms > 0) {
        std::unique_lock<std::mutex> lk(run.mutex);
        return !run.clock->WaitUntil(run.wake, lk, deadline, [&] { return run.brk; });
    }
    if (ms < 0) {
        OwnerPutLog(run, "Duration of procedure is longer than timer interval " + OwnerName(run) + " " +
                             std::to_string(ms) + " " + std::to_string(run.period));
        if (run.Logging()) OwnerPrintList(run);
    }
    // A procedure that always overruns its period would otherwise never see a stop.
    std::lock_guard<std::mutex> lk(run.mutex);
    return !run.brk;
}

void BaseThread::Proc(std::shared_ptr<Run> run) {
    Borders borders(*run);
    run->running.store(true);
    run->executing.store(false);
    {
        std::lock_guard<std::mutex> lk(run->mutex);
        run->tid = std::this_thread::get_id();
        run->processText = " PID: " + std::to_string(CurrentTid()) + " ";
    }
    const std::string name = OwnerName(*run);
    if (run->Logging()) OwnerPutLog(*run, "Start " + name);

    const BaseClock& clock = *run->clock;
    if (WaitBeforeExec(*run, run->delay, clock.Now() + milliseconds(run->delay))) {
        if (run->period <= 0) {
            if (run->Logging()) OwnerPutLog(*run, "Exec " + name);
            run->executing.store(true);
            const bool result = run->procedure(run->argument);
            run->executing.store(false);
            if (!result && run->Logging()) OwnerPutLog(*run, "Avto break " + name);
        } else {
            for (;;) {
                const BaseClock::TimePoint start = clock.Now();
                if (run->Logging()) OwnerPutLog(*run, "Exec " + name);
                run->executing.store(true);
                const bool result = run->procedure(run->argument);
                run->executing.store(false);
                if (!result) {
                    if (run->Logging()) OwnerPutLog(*run, "Avto break " + name);
                    break;
                }
                // The next start is due one period after this one began, whatever the
                // procedure took, so the cycle does not drift.
                const int ms = run->period - ElapsedMs(clock, start);
                if (!WaitBeforeExec(*run, ms, start + milliseconds(run->period))) break;
            }
        }
    }
    if (run->Logging()) OwnerPutLog(*run, "End " + name);
}

// ---------------------------------------------------------------------------------------
// BasePoolThread::Thread

BasePoolThread::Thread::Thread(BasePoolThread* pool) : m_Pool(pool) {}

BasePoolThread::Thread::~Thread() {
    // The body works on this object for its whole life, so it is never abandoned: it is
    // woken (the pool no longer runs by now) and waited for.
    Wake(true);
    BaseThread::Stop();
    Shutdown();
}

std::string BasePoolThread::Thread::Name() {
    std::string taskName, activity;
    int delay, period;
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        taskName = m_TaskName;
        activity = m_Activity;
        delay = m_Delay;
        period = m_Period;
    }
    return taskName + "(" + std::to_string(delay) + "," + std::to_string(period) + ")" + ProcessText() +
           activity + " ";
}

void BasePoolThread::Thread::PutLog(const std::string& line) {
    m_Pool->PutLog(line);
}

std::string BasePoolThread::Thread::TaskName() const {
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_TaskName;
}

std::string BasePoolThread::Thread::Activity() const {
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_Activity;
}

bool BasePoolThread::Thread::IsBreak() const {
    std::lock_guard<std::mutex> lk(m_Mutex);
    return m_Break;
}

void BasePoolThread::Thread::SetActivity(const std::string& activity) {
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_Activity = activity;
}

void BasePoolThread::Thread::Assign(const std::string& name, Procedure procedure, void* argument, int delay,
                                    int period) {
    std::lock_guard<std::mutex> lk(m_Mutex);
    m_TaskName = name;
    m_Activity = "SetParamExec(" + name;
    m_Procedure = procedure;
    m_Argument = argument;
    m_Delay = delay;
    m_Period = period;
    m_Break = false;
}

void BasePoolThread::Thread::Wake(bool brk) {
    {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Task.store(true);
        if (brk) m_Break = true;
    }
    m_Wake.notify_all();
}

bool BasePoolThread::Thread::PoolThreadProc(void* self) {
    Thread* const t = static_cast<Thread*>(self);
    BasePoolThread* const pool = t->m_Pool;
    t->SetActivity("Thread begin");
    while (pool->m_Running.load()) {
        t->SetActivity("Before wait exec");
        Procedure procedure;
        void* argument;
        int delay, period;
        bool brk;
        {
            std::unique_lock<std::mutex> lk(t->m_Mutex);
            t->m_Wake.wait(lk, [&] { return t->m_Task.load() || !pool->m_Running.load(); });
            procedure = t->m_Procedure;
            argument = t->m_Argument;
            delay = t->m_Delay;
            period = t->m_Period;
            brk = t->m_Break;
        }
        t->SetActivity("After wait exec");
        if (!pool->m_Running.load()) break;
        // A null argument is a legitimate one for a procedure that needs none.
        if (t->m_Task.load() && procedure && !brk) t->Exec(procedure, argument, delay, period);
        if (pool->IsLog()) t->PutLog("Stop  " + t->Name() + " ended in pool " + pool->m_Name);
        {
            std::lock_guard<std::mutex> lk(t->m_Mutex);
            t->m_Procedure = nullptr;
            t->m_Argument = nullptr;
            t->m_Task.store(false);
        }
        // A StopProc may be waiting for this task to end.
        t->m_Wake.notify_all();
    }
    return false;
}

void BasePoolThread::Thread::WaitLeft(Procedure procedure, void* argument, Clock::time_point until) {
    std::unique_lock<std::mutex> lk(m_Mutex);
    m_Wake.wait_until(lk, until,
                      [&] { return !m_Task.load() || m_Procedure != procedure || m_Argument != argument; });
}

void BasePoolThread::Thread::Exec(Procedure procedure, void* argument, int delay, int period) {
    SetActivity("Exec begin");
    const BaseClock* set = m_Pool->m_Clock.load();
    const BaseClock& clock = set ? *set : BaseClock::Steady();
    if (WaitBeforePoolExec(clock, delay, period, clock.Now() + milliseconds(delay))) {
        for (;;) {
            const BaseClock::TimePoint start = clock.Now();
            SetActivity("Func begin");
            const bool result = procedure(argument);
            SetActivity(result ? "Func TRUE end" : "Func FALSE end");
            if (!result || period <= 0) break;
            const int ms = period - ElapsedMs(clock, start);
            if (!WaitBeforePoolExec(clock, ms, period, start + milliseconds(period))) break;
        }
    }
    SetActivity("Exec end");
}

bool BasePoolThread::Thread::WaitBeforePoolExec(const BaseClock& clock, int ms, int period,
                                                BaseClock::TimePoint deadline) {
    if (ms > 0) {
        std::unique_lock<std::mutex> lk(m_Mutex);
        return !clock.WaitUntil(m_Wake, lk, deadline, [&] { return m_Break; });
    }
    if (ms < 0)
        PutLog("Duration of procedure is longer than timer interval " + Name() + " " + std::to_string(ms) +
               " " + std::to_string(period));
    std::lock_guard<std::mutex> lk(m_Mutex);
    return !m_Break;
}

// ---------------------------------------------------------------------------------------
// BasePoolThread

class BasePoolThread::Guard {
public:
    Guard(BasePoolThread& pool, const std::string& action) : m_Pool(pool) { m_Pool.Lock(action); }
    ~Guard() { m_Pool.Unlock(); }
    Guard(const Guard&) = delete;
    Guard& operator=(const Guard&) = delete;

private:
    BasePoolThread& m_Pool;
};

BasePoolThread::BasePoolThread(const std::string& name, bool log) : m_Name(name), m_Log(log) {}

BasePoolThread::~BasePoolThread() {
    Stop();
    std::vector<std::unique_ptr<Thread>> retired;
    {
        std::lock_guard<std::mutex> lk(m_RetiredMutex);
        retired.swap(m_Retired);
    }
    retired.clear();
}

void BasePoolThread::PutLog(const std::string& line) {
    BaseThread::WriteStdout(m_Name + " - " + line + "\n");
}

void BasePoolThread::Lock(const std::string& action) {
    m_Lock.Lock(action, [this](const std::string& line) { PutLog(line); });
}

void BasePoolThread::Unlock() {
    m_Lock.Unlock();
}

std::size_t BasePoolThread::Count() const {
    auto& self = const_cast<BasePoolThread&>(*this);
    Guard guard(self, "BasePoolThread::Count");
    return m_Threads.size();
}

BasePoolThread::Thread* BasePoolThread::FindLocked(Procedure procedure, void* argument, std::string& name,
                                                   bool stop) {
    Thread* found = nullptr;
    for (const auto& t : m_Threads) {
        bool brk = false;
        {
            std::lock_guard<std::mutex> lk(t->m_Mutex);
            if (t->m_Procedure != procedure || t->m_Argument != argument) continue;
            if (!t->m_Task.load()) {
                t->m_Procedure = nullptr;
                t->m_Argument = nullptr;
                continue;
            }
            if (stop) {
                t->m_Break = true;
                brk = true;
            }
        }
        if (brk) t->m_Wake.notify_all();
        found = t.get();
        break;
    }
    if (found) name = found->Name();
    return found;
}

BasePoolThread::Thread* BasePoolThread::IsStartProc(Procedure procedure, void* argument, std::string& name,
                                                    bool stop) {
    Guard guard(*this, "BasePoolThread::IsStartProc");
    return FindLocked(procedure, argument, name, stop);
}

BasePoolThread::Thread* BasePoolThread::StartProc(const std::string& name, Procedure procedure,
                                                  void* argument, int delay, int period) {
    std::string report;
    Thread* result = nullptr;
    {
        // The look-up and the assignment happen under one hold of the lock: two callers
        // starting the same pair at once must not both find it absent.
        Guard guard(*this, "BasePoolThread::StartProc " + name);
        std::string existing;
        if (!procedure) {
            report = name + " NOT added to pool " + m_Name + " because it has no procedure";
        } else if (Thread* running = FindLocked(procedure, argument, existing, false)) {
            report = name + " NOT added to pool " + m_Name + " because there is already a thread " + existing;
            result = running;
        } else if (!m_Running.load()) {
            report = name + " NOT added to pool " + m_Name + " because the pool is stopped";
        } else {
            Thread* idle = nullptr;
            for (const auto& t : m_Threads) {
                if (!t->m_Task.load()) {
                    idle = t.get();
                    break;
                }
            }
            if (idle) {
                idle->Assign(name, procedure, argument, delay, period);
                if (m_Log) report = "Start " + idle->Name() + "not new";
            } else {
                m_Threads.push_back(std::make_unique<Thread>(this));
                idle = m_Threads.back().get();
                idle->Assign(name, procedure, argument, delay, period);
                idle->BaseThread::Start("BasePoolThread::StartProc: pool " + m_Name + " thread " + name,
                                        &Thread::PoolThreadProc, idle, 0, 0, false);
            }
            idle->Wake(false);
            result = idle;
        }
    }
    if (!report.empty()) PutLog(report);
    return result;
}

void BasePoolThread::StopProc(Procedure procedure, void* argument) {
    const Clock::time_point deadline = Clock::now() + StopTimeout();
    std::string name;
    for (;;) {
        Thread* t = IsStartProc(procedure, argument, name, true);
        if (!t) break;
        // A task that stops itself has been asked to end; waiting for itself would hang.
        if (t->IsOwnThread()) return;
        if (Clock::now() >= deadline) {
            const std::string line = name + " - thread not complete";
            PutLog(line);
            PrintProc();
            BaseThread::AbortProcess(line);
        }
        // Woken as the worker leaves the task: a link stopped at shutdown costs no polling pause.
        t->WaitLeft(procedure, argument, deadline);
    }
    if (m_Log) PutLog("Stop  " + name + " removed from pool " + m_Name);
}

void BasePoolThread::Stop() {
    std::vector<std::unique_ptr<Thread>> threads;
    {
        Guard guard(*this, "BasePoolThread::Stop");
        m_Running.store(false);
        threads.swap(m_Threads);
    }
    // The workers are waited for without the pool lock, so that a task that still uses
    // the pool can finish; the break flag ends periodic tasks at their next wait.
    for (auto& t : threads) {
        t->Wake(true);
        t->SetStopTimeout(StopTimeout());
        t->BaseThread::Stop();
    }
    std::lock_guard<std::mutex> lk(m_RetiredMutex);
    for (auto& t : threads) m_Retired.push_back(std::move(t));
}

void BasePoolThread::PrintProc() {
    std::vector<std::string> lines;
    {
        Guard guard(*this, "BasePoolThread::PrintProc");
        for (const auto& t : m_Threads)
            lines.push_back(t->Name() + (t->HasTask() ? "1" : "0") + (t->IsBreak() ? " 1" : " 0"));
    }
    for (const auto& line : lines) PutLog(line);
}

// ---------------------------------------------------------------------------------------
// ThreadPool

ThreadPool::ThreadPool(CBaseLog* log, const std::string& name)
    : BasePoolThread(name, false), m_ErrorLog(log) {}

ThreadPool::~ThreadPool() {
    // The workers report through this class; they must be gone before it is.
    Stop();
}

void ThreadPool::PutLog(const std::string& line) {
    if (CBaseLog* log = m_ErrorLog.load())
        log->PutUtf8(line);
    else
        BasePoolThread::PutLog(line);
}

// ---------------------------------------------------------------------------------------
// Thread (handle)

Thread::Thread(BasePoolThread* pool, const std::string& name, BasePoolThread::Procedure procedure,
               void* argument)
    : m_Pool(pool), m_Name(name), m_Procedure(procedure), m_Argument(argument) {}

void Thread::Set(BasePoolThread* pool, const std::string& name, BasePoolThread::Procedure procedure,
                 void* argument) {
    m_Pool = pool;
    m_Name = name;
    m_Procedure = procedure;
    m_Argument = argument;
    m_Worker = nullptr;
}

BasePoolThread::Thread* Thread::Start(int delay, int period) {
    m_Worker = m_Pool ? m_Pool->StartProc(m_Name, m_Procedure, m_Argument, delay, period) : nullptr;
    return m_Worker;
}

bool Thread::IsStart(bool stop) {
    if (!m_Pool) return false;
    std::string name;
    return m_Pool->IsStartProc(m_Procedure, m_Argument, name, stop) != nullptr;
}

void Thread::Stop() {
    if (m_Pool) m_Pool->StopProc(m_Procedure, m_Argument);
    m_Worker = nullptr;
}

// ---------------------------------------------------------------------------------------
// BaseListTimers

bool BaseListTimers::ProcTimer::Exec() {
    const Clock::time_point start = Clock::now();
    const bool result = procedure(argument);
    duration = ElapsedMs(start);
    return result;
}

BaseListTimers::~BaseListTimers() {
    Stop();
    Shutdown();
}

void BaseTimer::Lock(const std::string& action) {
    m_Lock.Lock(action, [this](const std::string& line) { PutLog(line); });
}

void BaseTimer::Unlock() {
    m_Lock.Unlock();
}

void BaseListTimers::Start(const std::string& name, int delay, int period, bool log) {
    // The old thread is ended before the list is touched: a tick waiting for the list lock
    // cannot see a break, so stopping it while holding that lock would hang.
    BaseThread::Stop();
    Lock("BaseListTimers::Start");
    m_List.clear();
    Unlock();
    BaseThread::Start(name, &BaseListTimers::ListTimersProc, this, delay, period, log);
}

bool BaseListTimers::AddProcTimer(const std::string& name, Procedure procedure, void* argument) {
    Lock("BaseListTimers::AddProcTimer " + name);
    bool added = true;
    for (const auto& entry : m_List) {
        if (entry.procedure == procedure && entry.argument == argument) {
            added = false;
            break;
        }
    }
    if (added) m_List.push_back(ProcTimer{name, procedure, argument, 0});
    if (IsLog()) PutLog("AddProcTimer to   " + Name() + " " + name + (added ? " added" : " already exists"));
    Unlock();
    return added;
}

bool BaseListTimers::DelProcTimer(Procedure procedure, void* argument) {
    Lock("BaseListTimers::DelProcTimer");
    const bool removed = EraseProc(m_List, procedure, argument);
    Unlock();
    return removed;
}

void BaseListTimers::Stop() {
    // Thread first, outside the lock: see Start.
    BaseThread::Stop();
    Lock("BaseListTimers::Stop");
    m_List.clear();
    Unlock();
}

void BaseListTimers::PrintListProc() {
    Lock("BaseListTimers::PrintListProc");
    for (const auto& entry : m_List) PutLog(entry.Name() + " - " + std::to_string(entry.duration) + " ms ");
    Unlock();
}

std::size_t BaseListTimers::Count() {
    Lock("BaseListTimers::Count");
    const std::size_t n = m_List.size();
    Unlock();
    return n;
}

std::vector<BaseListTimers::ProcTimer> BaseListTimers::Entries() {
    Lock("BaseListTimers::Entries");
    std::vector<ProcTimer> copy(m_List.begin(), m_List.end());
    Unlock();
    return copy;
}

bool BaseListTimers::ListTimersProc(void* self) {
    static_cast<BaseListTimers*>(self)->Tick();
    return true;
}

void BaseListTimers::Tick() {
    Lock("BaseListTimers::ListTimersProc ");
    for (auto it = m_List.begin(); it != m_List.end();) {
        m_Lock.SetHolder("BaseListTimers::ListTimersProc " + it->name);
        if (it->Exec()) {
            ++it;
            continue;
        }
        if (IsLog()) PutLog("AvtoEndProcTimer  " + Name() + " " + it->name);
        it = m_List.erase(it);
    }
    Unlock();
}

// ---------------------------------------------------------------------------------------
// BaseTickTimers

bool BaseTickTimers::ProcTimer::Exec() {
    if (countdown < 1) {
        countdown = repeat;
        const Clock::time_point start = Clock::now();
        const bool result = procedure(argument);
        duration = ElapsedMs(start);
        --countdown;
        return repeat >= 1 && result;
    }
    --countdown;
    return true;
}

BaseTickTimers::BaseTickTimers(const char* className, int tick) : m_Class(className), m_Tick(tick) {}

BaseTickTimers::~BaseTickTimers() {
    Stop();
    Shutdown();
}

void BaseTickTimers::StartList(const std::string& name, int delay, bool log) {
    // The old thread is ended before the list is touched: a tick waiting for the list lock
    // cannot see a break, so stopping it while holding that lock would hang.
    BaseThread::Stop();
    Lock(m_Class + "::Start");
    m_List.clear();
    Unlock();
    BaseThread::Start(name, &BaseTickTimers::ListTimersProc, this, delay, m_Tick, log);
}

bool BaseTickTimers::AddProcTimer(const std::string& name, Procedure procedure, void* argument, int first,
                                  int repeat) {
    ProcTimer entry{name, procedure, argument, 0, first, repeat};
    Lock(m_Class + "::AddProcTimer " + entry.Name());
    const std::string head = "AddProcTimer to   " + Name() + " " + entry.Name();
    bool added;
    std::string tail;
    if (first > 0) {
        added = true;
        tail = " added";
    } else {
        entry.countdown = 0;
        added = entry.Exec();
        if (added)
            tail = " executed immediately and added";
        else if (repeat < 1)
            tail = " executed immediately and not added because repeat not specified";
        else
            tail = " executed immediately and not added because no repeat needed";
    }
    if (added) m_List.push_back(entry);
    if (IsLog()) PutLog(head + tail);
    Unlock();
    return added;
}

bool BaseTickTimers::DelProcTimer(Procedure procedure, void* argument) {
    Lock(m_Class + "::DelProcTimer");
    const bool removed = EraseProc(m_List, procedure, argument);
    Unlock();
    return removed;
}

void BaseTickTimers::Stop() {
    // Thread first, outside the lock: see StartList.
    BaseThread::Stop();
    Lock(m_Class + "::Stop");
    m_List.clear();
    Unlock();
}

void BaseTickTimers::PrintListProc() {
    Lock(m_Class + "::PrintListProc");
    for (const auto& entry : m_List) PutLog(entry.Name() + " - " + std::to_string(entry.duration) + " ms ");
    Unlock();
}

std::size_t BaseTickTimers::Count() {
    Lock(m_Class + "::Count");
    const std::size_t n = m_List.size();
    Unlock();
    return n;
}

std::vector<BaseTickTimers::ProcTimer> BaseTickTimers::Entries() {
    Lock(m_Class + "::Entries");
    std::vector<ProcTimer> copy(m_List.begin(), m_List.end());
    Unlock();
    return copy;
}

bool BaseTickTimers::ListTimersProc(void* self) {
    static_cast<BaseTickTimers*>(self)->DoTick();
    return true;
}

void BaseTickTimers::DoTick() {
    const std::string action = m_Class + "::ListTimersProc ";
    Lock(action);
    for (auto it = m_List.begin(); it != m_List.end();) {
        m_Lock.SetHolder(action + it->name);
        if (it->Exec()) {
            ++it;
            continue;
        }
        if (IsLog()) PutLog("AvtoEndProcTimer  " + Name() + " " + it->name);
        it = m_List.erase(it);
    }
    Unlock();
}

// ---------------------------------------------------------------------------------------
// BaseListTimersMinute, BaseListTimersSecond

BaseListTimersMinute::BaseListTimersMinute() : BaseTickTimers("BaseListTimersMinute", 60000) {}

int BaseListTimersMinute::DelayToFullMinute(int second) {
    return (60 - second) * 1000;
}

void BaseListTimersMinute::Start(const std::string& name, bool log) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    StartList(name, DelayToFullMinute(local.tm_sec), log);
}

BaseListTimersSecond::BaseListTimersSecond(int tick) : BaseTickTimers("BaseListTimersSecond", tick) {}

void BaseListTimersSecond::Start(const std::string& name, bool log) {
    StartList(name, 0, log);
}
