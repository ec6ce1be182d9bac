#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <string>
#include <tuple>
#include <vector>

#include "ProbeUtil.h"
#include "Thread.h"

using namespace std::chrono_literals;
using testutil::Eventually;
using testutil::JumpClock;
using testutil::Ms;
using testutil::Probe;

namespace {

class RecordingPool : public BasePoolThread {
public:
    explicit RecordingPool(bool log = false) : BasePoolThread("P", log) {}
    ~RecordingPool() override { Stop(); }
    void PutLog(const std::string& line) override { lines.Add(line); }
    bool Runs(Probe& p) {
        std::string name;
        return IsStartProc(&Probe::Proc, &p, name, false) != nullptr;
    }
    testutil::LogLines lines;
};

}  // namespace

TEST(BasePoolThread, TasksRunAfterTheirDelayEveryPeriodUntilFalseAndTheWorkerIsReused) {
    JumpClock clock;
    Probe once, periodic;
    once.clock = periodic.clock = &clock;
    periodic.falseAt = 3;
    RecordingPool pool(true);
    pool.SetClock(&clock);
    BasePoolThread::Thread* worker = pool.StartProc("once", &Probe::Proc, &once, 40, 0);
    ASSERT_TRUE(once.WaitReturned(1) && Eventually([&] { return !pool.Runs(once); }));
    EXPECT_EQ(pool.StartProc("per", &Probe::Proc, &periodic, 0, 15), worker);  // the idle worker takes it
    ASSERT_TRUE(periodic.WaitReturned(3) &&
                Eventually([&] { return worker->Activity() == "Before wait exec"; }));
    EXPECT_EQ(
        std::make_tuple(once.Get(&Probe::starts), periodic.Get(&Probe::starts), pool.Count(),
                        worker->HasTask(), pool.lines.Count("Stop  once(40,0) PID: ", " ended in pool P"),
                        pool.lines.Count("Start per(0,15) PID: ", "SetParamExec(per not new")),
        std::make_tuple(std::vector<long long>{40}, std::vector<long long>{40, 55, 70}, 1u, false, 1, 1));
}

TEST(BasePoolThread, APairRunsOnOneWorkerOnlyHoweverOftenItIsStarted) {
    Probe task, other;
    RecordingPool pool;
    task.Hold(true);
    std::vector<BasePoolThread::Thread*> got(8);
    std::vector<std::thread> callers;
    for (int i = 0; i < 8; ++i)
        callers.emplace_back([&, i] { got[i] = pool.StartProc("same", &Probe::Proc, &task, 0, 0); });
    for (auto& c : callers) c.join();
    ASSERT_TRUE(task.WaitStarts(1));
    // The same procedure with another argument is another task, on another worker.
    BasePoolThread::Thread* second = pool.StartProc("other", &Probe::Proc, &other, 0, 0);
    ASSERT_TRUE(other.WaitReturned(1));
    task.Hold(false);
    ASSERT_TRUE(task.WaitReturned(1) && Eventually([&] { return !pool.Runs(task); }));
    EXPECT_EQ(std::make_tuple(
                  std::count(got.begin(), got.end(), got[0]), second != got[0], pool.Count(),
                  task.Get(&Probe::starts).size(),
                  pool.lines.Count("same NOT added to pool P because there is already a thread same(0,0)")),
              std::make_tuple(8, true, 2u, 1u, 7));
}

TEST(BasePoolThread, StopProcReturnsAtOnceOrWaitsForTheRunningProcedure) {
    Probe absent, waiting, busy;
    RecordingPool pool(true);
    Thread handle(&pool, "wait", &Probe::Proc, &waiting), unset;  // as the links hold their tasks
    auto begin = std::chrono::steady_clock::now();
    pool.StopProc(&Probe::Proc, &absent);  // a pair that does not run
    BasePoolThread::Thread* worker = handle.Start(0, 5000);
    ASSERT_TRUE(waiting.WaitReturned(1));
    EXPECT_EQ(std::make_tuple(handle.Worker(), handle.IsStart(false), unset.Start(0, 0), unset.IsStart(true)),
              std::make_tuple(worker, true, static_cast<BasePoolThread::Thread*>(nullptr), false));
    handle.Stop();  // a periodic task between two runs
    EXPECT_EQ(std::make_tuple(Ms(begin) < 1000, handle.IsStart(false), waiting.Get(&Probe::returned),
                              pool.lines.Count("Stop  wait(0,5000) PID: ", " removed from pool P")),
              std::make_tuple(true, false, 1, 1));
    busy.Hold(true);
    pool.StartProc("busy", &Probe::Proc, &busy, 0, 0);  // period 0: one long execution, as a receiver's
    ASSERT_TRUE(busy.WaitStarts(1));
    std::thread releaser([&] {
        std::this_thread::sleep_for(50ms);
        busy.Hold(false);
    });
    begin = std::chrono::steady_clock::now();
    pool.StopProc(&Probe::Proc, &busy);
    const long waited = Ms(begin);
    releaser.join();
    EXPECT_GE(waited, 45) << "StopProc returned while the procedure ran";
    EXPECT_EQ(std::make_tuple(busy.Get(&Probe::returned), pool.Runs(busy)), std::make_tuple(1, false));
}

TEST(BasePoolThread, TaskMayUsePoolOperationsAndStopItselfAndStopEndsThemAll) {
    Probe self, helper, periodic, late;
    RecordingPool pool;
    self.body = [&] {
        pool.StartProc("helper", &Probe::Proc, &helper, 0, 0);
        pool.StopProc(&Probe::Proc, &self);  // must neither wait for itself nor deadlock
    };
    pool.StartProc("self", &Probe::Proc, &self, 0, 10);
    pool.StartProc("periodic", &Probe::Proc, &periodic, 0, 5000);
    ASSERT_TRUE(helper.WaitReturned(1) && periodic.WaitReturned(1) &&
                Eventually([&] { return !pool.Runs(self); }));
    const auto begin = std::chrono::steady_clock::now();
    pool.Stop();  // the periodic task's wait is cut short
    EXPECT_EQ(std::make_tuple(Ms(begin) < 1000, pool.StartProc("late", &Probe::Proc, &late, 0, 0)),
              std::make_tuple(true, nullptr));
    pool.Stop();  // a second stop finds nothing to do
    EXPECT_EQ(std::make_tuple(self.Get(&Probe::returned), periodic.Get(&Probe::returned), pool.Count(),
                              pool.lines.Count("late NOT added")),
              std::make_tuple(1, 1, 0u, 1));
}

TEST(BasePoolThreadDeathTest, LockHeldTooLongIsReportedAndTheProcessAborted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            RecordingPool pool;
            pool.SetLockTimeout(50ms);
            pool.Lock("holder");
            Probe task;
            std::thread other([&] { pool.StartProc("blocked", &Probe::Proc, &task, 0, 0); });
            other.join();
        },
        testing::KilledBySignal(SIGABRT),
        "abort BasePoolThread::StartProc blocked act:holder - lock during 0.050 sec");
}
