#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "BaseLog.h"
#include "ProbeUtil.h"
#include "Thread.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using testutil::Ms;
using Task = testutil::Probe;

class RecordingPool : public BasePoolThread {
public:
    explicit RecordingPool(bool log = false) : BasePoolThread("P", log) {}
    ~RecordingPool() override { Stop(); }

    void PutLog(const std::string& line) override {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Lines.push_back(line);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_Lines;
    }
    std::vector<std::string> LinesStarting(const std::string& prefix) {
        std::vector<std::string> found;
        for (const auto& line : Lines())
            if (line.rfind(prefix, 0) == 0) found.push_back(line);
        return found;
    }

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
};

bool WaitIdle(BasePoolThread& pool, Task& task, std::chrono::milliseconds timeout = 2000ms) {
    const auto until = Clock::now() + timeout;
    std::string name;
    while (pool.IsStartProc(&Task::Proc, &task, name, false)) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

}  // namespace

TEST(BasePoolThread, SingleTaskRunsOnceAfterItsDelayAndLeavesItsWorkerIdle) {
    Task task;
    RecordingPool pool;
    const auto begin = Clock::now();
    BasePoolThread::Thread* worker = pool.StartProc("once", &Task::Proc, &task, 40, 0);
    ASSERT_NE(worker, nullptr);
    ASSERT_TRUE(task.WaitReturned(1));
    EXPECT_GE(Ms(task.FirstStart() - begin), 39);
    ASSERT_TRUE(WaitIdle(pool, task));
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(task.Count(), 1u);
    EXPECT_EQ(pool.Count(), 1u);
    EXPECT_FALSE(worker->HasTask());
}

TEST(BasePoolThread, PeriodicTaskEndsAtTheRunThatReturnsFalse) {
    Task task;
    RecordingPool pool;
    task.falseAt = 3;
    BasePoolThread::Thread* worker = pool.StartProc("per", &Task::Proc, &task, 0, 15);
    ASSERT_TRUE(task.WaitReturned(3));
    ASSERT_TRUE(WaitIdle(pool, task));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(task.Count(), 3u);
    EXPECT_FALSE(worker->HasTask());
    EXPECT_EQ(worker->Activity(), "Before wait exec");
}

TEST(BasePoolThread, SecondStartOfARunningPairIsRefusedWithTheRunningWorker) {
    Task task, other;
    RecordingPool pool;
    BasePoolThread::Thread* first = pool.StartProc("first", &Task::Proc, &task, 5000, 0);
    ASSERT_NE(first, nullptr);
    BasePoolThread::Thread* second = pool.StartProc("second", &Task::Proc, &task, 0, 0);
    EXPECT_EQ(second, first);
    EXPECT_EQ(pool.Count(), 1u);

    const auto refused = pool.LinesStarting("second NOT added to pool P because there is already a thread ");
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_NE(refused[0].find("thread first(5000,0)"), std::string::npos) << refused[0];
    EXPECT_EQ(first->TaskName(), "first");

    // The same procedure with another argument is another task.
    BasePoolThread::Thread* third = pool.StartProc("third", &Task::Proc, &other, 0, 0);
    EXPECT_NE(third, first);
    EXPECT_TRUE(other.WaitReturned(1));

    const auto begin = Clock::now();
    pool.StopProc(&Task::Proc, &task);
    EXPECT_LT(Ms(Clock::now() - begin), 200);
    EXPECT_EQ(task.Count(), 0u);
}

TEST(BasePoolThread, SimultaneousStartsOfOnePairRunItOnce) {
    Task task;
    RecordingPool pool;
    task.Hold();
    constexpr int callers = 8;
    std::atomic<bool> go{false};
    std::vector<BasePoolThread::Thread*> results(callers, nullptr);
    std::vector<std::thread> threads;
    for (int i = 0; i < callers; ++i)
        threads.emplace_back([&, i] {
            while (!go.load()) std::this_thread::yield();
            results[i] = pool.StartProc("same", &Task::Proc, &task, 0, 0);
        });
    go = true;
    for (auto& t : threads) t.join();
    ASSERT_TRUE(task.WaitStarts(1));
    std::this_thread::sleep_for(30ms);
    task.Release();
    ASSERT_TRUE(task.WaitReturned(1));

    EXPECT_EQ(task.Count(), 1u);
    EXPECT_EQ(task.MaxInside(), 1);
    EXPECT_EQ(pool.Count(), 1u);
    for (auto* r : results) EXPECT_EQ(r, results[0]);
    EXPECT_EQ(pool.LinesStarting("same NOT added to pool P").size(), static_cast<std::size_t>(callers - 1));
}

TEST(BasePoolThread, EndedTaskIsFollowedByTheNextOnTheSameWorker) {
    Task a, b, c, d;
    RecordingPool pool(true);
    BasePoolThread::Thread* wa = pool.StartProc("A", &Task::Proc, &a, 0, 0);
    ASSERT_TRUE(a.WaitReturned(1));
    ASSERT_TRUE(WaitIdle(pool, a));

    BasePoolThread::Thread* wb = pool.StartProc("B", &Task::Proc, &b, 0, 0);
    EXPECT_EQ(wb, wa);
    EXPECT_EQ(pool.Count(), 1u);
    ASSERT_TRUE(b.WaitReturned(1));
    EXPECT_EQ(wb->TaskName(), "B");

    const auto reused = pool.LinesStarting("Start B(0,0) PID: ");
    ASSERT_EQ(reused.size(), 1u);
    EXPECT_NE(reused[0].find("SetParamExec(B not new"), std::string::npos) << reused[0];

    ASSERT_TRUE(WaitIdle(pool, b));
    const auto ended = pool.Lines();
    int endedA = 0;
    for (const auto& line : ended)
        if (line.rfind("Stop  A(0,0) PID: ", 0) == 0 && line.find(" ended in pool P") != std::string::npos)
            ++endedA;
    EXPECT_EQ(endedA, 1);

    // Two tasks at once need two workers.
    c.Hold();
    d.Hold();
    BasePoolThread::Thread* wc = pool.StartProc("C", &Task::Proc, &c, 0, 0);
    BasePoolThread::Thread* wd = pool.StartProc("D", &Task::Proc, &d, 0, 0);
    EXPECT_EQ(wc, wa);
    EXPECT_NE(wd, wc);
    EXPECT_EQ(pool.Count(), 2u);
    ASSERT_TRUE(c.WaitStarts(1));
    ASSERT_TRUE(d.WaitStarts(1));
    c.Release();
    d.Release();
}

TEST(BasePoolThread, StopProcOfAnAbsentPairReturnsAtOnce) {
    Task absent, busy;
    RecordingPool pool;
    auto begin = Clock::now();
    pool.StopProc(&Task::Proc, &absent);
    EXPECT_LT(Ms(Clock::now() - begin), 50);

    busy.Hold();
    pool.StartProc("busy", &Task::Proc, &busy, 0, 0);
    ASSERT_TRUE(busy.WaitStarts(1));
    begin = Clock::now();
    pool.StopProc(&Task::Proc, &absent);
    EXPECT_LT(Ms(Clock::now() - begin), 50);
    std::string name;
    EXPECT_NE(pool.IsStartProc(&Task::Proc, &busy, name, false), nullptr);
    busy.Release();
}

TEST(BasePoolThread, StopProcEndsAWaitingPeriodicTaskWithoutAnotherRun) {
    Task task;
    RecordingPool pool(true);
    BasePoolThread::Thread* worker = pool.StartProc("per", &Task::Proc, &task, 0, 5000);
    ASSERT_TRUE(task.WaitReturned(1));
    const auto begin = Clock::now();
    pool.StopProc(&Task::Proc, &task);
    EXPECT_LT(Ms(Clock::now() - begin), 200);
    EXPECT_FALSE(worker->HasTask());
    EXPECT_EQ(task.Count(), 1u);
    const auto removed = pool.LinesStarting("Stop  per(0,5000) PID: ");
    bool found = false;
    for (const auto& line : removed) found = found || line.find(" removed from pool P") != std::string::npos;
    EXPECT_TRUE(found);
}

TEST(BasePoolThread, TaskThatAlwaysOverrunsCanStillBeStopped) {
    Task task;
    RecordingPool pool;
    pool.SetStopTimeout(1s);
    task.body = [] { std::this_thread::sleep_for(20ms); };
    pool.StartProc("late", &Task::Proc, &task, 0, 10);
    ASSERT_TRUE(task.WaitReturned(2));
    const auto begin = Clock::now();
    pool.StopProc(&Task::Proc, &task);
    EXPECT_LT(Ms(Clock::now() - begin), 200);
    const int runs = task.Returned();
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(task.Returned(), runs);
    EXPECT_FALSE(
        pool.LinesStarting("Duration of procedure is longer than timer interval late(0,10) PID: ").empty());
}

TEST(BasePoolThread, StopProcWaitsForTheRunningProcedure) {
    Task task;
    RecordingPool pool;
    task.Hold();
    pool.StartProc("long", &Task::Proc, &task, 0, 10);
    ASSERT_TRUE(task.WaitStarts(1));
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        task.Release();
    });
    const auto begin = Clock::now();
    pool.StopProc(&Task::Proc, &task);
    const long waited = Ms(Clock::now() - begin);
    releaser.join();
    EXPECT_GE(waited, 45);
    EXPECT_EQ(task.Returned(), 1);
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(task.Count(), 1u);
}

TEST(BasePoolThread, IsStartProcFindsTheTaskAndCanAskItToEnd) {
    Task task;
    RecordingPool pool;
    std::string name;
    EXPECT_EQ(pool.IsStartProc(&Task::Proc, &task, name, false), nullptr);

    BasePoolThread::Thread* worker = pool.StartProc("look", &Task::Proc, &task, 0, 5000);
    ASSERT_TRUE(task.WaitReturned(1));
    EXPECT_EQ(pool.IsStartProc(&Task::Proc, &task, name, false), worker);
    EXPECT_EQ(name.rfind("look(0,5000) PID: ", 0), 0u) << name;
    EXPECT_FALSE(worker->IsBreak());

    EXPECT_EQ(pool.IsStartProc(&Task::Proc, &task, name, true), worker);
    ASSERT_TRUE(WaitIdle(pool, task, 300ms));
    EXPECT_EQ(task.Count(), 1u);
}

TEST(BasePoolThread, PrintProcShowsEveryWorkerWithItsTaskAndBreakFlags) {
    Task idle, busy, quiet;
    RecordingPool pool;
    pool.StartProc("idle", &Task::Proc, &idle, 0, 0);
    ASSERT_TRUE(idle.WaitReturned(1));
    ASSERT_TRUE(WaitIdle(pool, idle));
    busy.Hold();
    // The idle worker takes this task; a second one is created for the next.
    pool.StartProc("busy", &Task::Proc, &busy, 0, 0);
    quiet.Hold();
    pool.StartProc("quiet", &Task::Proc, &quiet, 0, 0);
    ASSERT_TRUE(busy.WaitStarts(1));
    ASSERT_TRUE(quiet.WaitStarts(1));
    std::string name;
    pool.IsStartProc(&Task::Proc, &quiet, name, true);

    pool.PrintProc();
    const auto lines = pool.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("busy(0,0) PID: ", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 4), " 1 0") << lines[0];
    EXPECT_EQ(lines[1].rfind("quiet(0,0) PID: ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[1].substr(lines[1].size() - 4), " 1 1") << lines[1];
    busy.Release();
    quiet.Release();
    ASSERT_TRUE(WaitIdle(pool, busy));
    pool.PrintProc();
    const auto after = pool.Lines();
    ASSERT_EQ(after.size(), 4u);
    EXPECT_EQ(after[2].substr(after[2].size() - 4), " 0 0") << after[2];
}

TEST(BasePoolThread, TaskMayUsePoolOperationsAndStopItself) {
    Task self, helper;
    RecordingPool pool;
    std::atomic<bool> sawItself{false};
    self.body = [&] {
        std::string name;
        sawItself = pool.IsStartProc(&Task::Proc, &self, name, false) != nullptr;
        pool.StartProc("helper", &Task::Proc, &helper, 0, 0);
        pool.StopProc(&Task::Proc, &self);  // must neither wait for itself nor deadlock
    };
    pool.StartProc("self", &Task::Proc, &self, 0, 10);
    ASSERT_TRUE(self.WaitReturned(1));
    ASSERT_TRUE(helper.WaitReturned(1));
    ASSERT_TRUE(WaitIdle(pool, self));
    std::this_thread::sleep_for(30ms);
    EXPECT_TRUE(sawItself.load());
    EXPECT_EQ(self.Count(), 1u);
    EXPECT_EQ(pool.Count(), 2u);
}

TEST(BasePoolThread, StopEndsPeriodicTasksAtOnceAndRefusesLaterStarts) {
    Task p1, p2, done, late;
    RecordingPool pool;
    BasePoolThread::Thread* w1 = pool.StartProc("p1", &Task::Proc, &p1, 0, 5000);
    pool.StartProc("p2", &Task::Proc, &p2, 2000, 0);
    pool.StartProc("done", &Task::Proc, &done, 0, 0);
    ASSERT_TRUE(p1.WaitReturned(1));
    ASSERT_TRUE(done.WaitReturned(1));

    const auto begin = Clock::now();
    pool.Stop();
    EXPECT_LT(Ms(Clock::now() - begin), 300);
    EXPECT_FALSE(pool.IsRunning());
    EXPECT_EQ(pool.Count(), 0u);
    EXPECT_EQ(p1.Count(), 1u);
    EXPECT_EQ(p2.Count(), 0u);
    EXPECT_FALSE(w1->IsRunning()) << "workers outlive the stop as records only";

    EXPECT_EQ(pool.StartProc("late", &Task::Proc, &late, 0, 0), nullptr);
    EXPECT_EQ(pool.LinesStarting("late NOT added to pool P").size(), 1u);
    pool.Stop();  // a second stop finds nothing to do
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(late.Count(), 0u);
}

TEST(BasePoolThread, TaskWithoutArgumentRunsAndNullProcedureIsRefused) {
    RecordingPool pool;
    static std::atomic<int> runs{0};
    runs = 0;
    auto proc = [](void* argument) -> bool {
        if (argument == nullptr) ++runs;
        return true;
    };
    ASSERT_NE(pool.StartProc("noarg", proc, nullptr, 0, 0), nullptr);
    const auto until = Clock::now() + 2s;
    while (runs.load() == 0 && Clock::now() < until) std::this_thread::sleep_for(1ms);
    EXPECT_EQ(runs.load(), 1);
    EXPECT_EQ(pool.StartProc("none", nullptr, nullptr, 0, 0), nullptr);
}

TEST(PoolTaskHandle, StartsAsksAndStopsItsTask) {
    Task task;
    RecordingPool pool;
    task.Hold();
    Thread handle(&pool, "handle", &Task::Proc, &task);
    EXPECT_FALSE(handle.IsStart(false));
    BasePoolThread::Thread* worker = handle.Start(0, 20);
    ASSERT_NE(worker, nullptr);
    EXPECT_EQ(handle.Worker(), worker);
    ASSERT_TRUE(task.WaitStarts(1));
    EXPECT_TRUE(handle.IsStart(false));

    std::thread releaser([&] {
        std::this_thread::sleep_for(30ms);
        task.Release();
    });
    handle.Stop();
    releaser.join();
    EXPECT_FALSE(handle.IsStart(false));
    EXPECT_EQ(handle.Worker(), nullptr);
    EXPECT_EQ(task.Returned(), 1);

    // Started again, it takes the idle worker.
    EXPECT_EQ(handle.Start(0, 0), worker);
    EXPECT_TRUE(task.WaitReturned(2));

    Thread unset;
    EXPECT_EQ(unset.Start(0, 0), nullptr);
    EXPECT_FALSE(unset.IsStart(true));
    unset.Stop();
}

namespace {

class TempLog : public CBaseLog {
public:
    explicit TempLog(const std::string& dir) : CBaseLog(1000, 0), m_Dir(dir) {}
    ~TempLog() override { Close(); }
    DBString Dir() override { return DBString(m_Dir); }

private:
    std::string m_Dir;
};

}  // namespace

TEST(ThreadPool, DiagnosticsBecomeTimeStampedLinesOfTheErrorLog) {
    char pattern[] = "/tmp/tolvane_pool_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    {
        TempLog log(dir);
        ASSERT_TRUE(log.Open("C", "log"));
        {
            Task task;
            ThreadPool pool(&log);
            EXPECT_EQ(pool.PoolName(), "TolvaneApp");
            EXPECT_FALSE(pool.IsLog());
            task.Hold();
            pool.StartProc("recv", &Task::Proc, &task, 0, 0);
            ASSERT_TRUE(task.WaitStarts(1));
            pool.StartProc("recv", &Task::Proc, &task, 0, 0);
            task.Release();
        }
        log.Close();
    }
    std::ifstream in(dir + "/C0000001.log");
    std::stringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    std::filesystem::remove_all(dir);

    const std::string refusal =
        "recv NOT added to pool TolvaneApp because there is already a thread recv(0,0) PID: ";
    const auto at = content.find(refusal);
    ASSERT_NE(at, std::string::npos) << content;
    // "dd.mm.yyyy hh:mm:ss " in front of the text.
    ASSERT_EQ(at, 20u) << content;
    EXPECT_EQ(content[2], '.');
    EXPECT_EQ(content[13], ':');
}

TEST(BasePoolThreadDeathTest, LockHeldTooLongIsReportedAndTheProcessAborted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            RecordingPool pool;
            pool.SetLockTimeout(50ms);
            pool.Lock("holder");
            Task task;
            std::thread other([&] { pool.StartProc("blocked", &Task::Proc, &task, 0, 0); });
            other.join();
        },
        testing::KilledBySignal(SIGABRT),
        "abort BasePoolThread::StartProc blocked act:holder - lock during 0.050 sec");
}

TEST(BasePoolThreadDeathTest, TaskThatDoesNotEndIsReportedAndTheProcessAborted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            RecordingPool pool;
            pool.SetStopTimeout(50ms);
            Task task;
            task.Hold();
            pool.StartProc("stuck", &Task::Proc, &task, 0, 0);
            task.WaitStarts(1);
            pool.StopProc(&Task::Proc, &task);
        },
        testing::KilledBySignal(SIGABRT),
        "abort stuck\\(0,0\\) PID: [0-9]+ Func begin  - thread not complete");
}
