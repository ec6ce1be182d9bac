#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <memory>

#include "ProbeUtil.h"
#include "Thread.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using testutil::Ms;
using testutil::Probe;

template <class Condition>
bool Eventually(Condition condition, std::chrono::milliseconds timeout = 2000ms) {
    const auto until = Clock::now() + timeout;
    while (!condition()) {
        if (Clock::now() > until) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Keeps the lines a thread reports.
class RecordingThread : public BaseThread {
public:
    ~RecordingThread() override { Shutdown(); }

    void PutLog(const std::string& line) override {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Lines.push_back(line);
    }

    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_Lines;
    }

    // Index of the first line beginning with prefix at or after from, or -1.
    int Find(const std::string& prefix, int from = 0) {
        const auto lines = Lines();
        for (int i = from; i < static_cast<int>(lines.size()); ++i)
            if (lines[i].rfind(prefix, 0) == 0) return i;
        return -1;
    }

    bool WaitLine(const std::string& prefix, std::chrono::milliseconds timeout = 2000ms) {
        return Eventually([&] { return Find(prefix) >= 0; }, timeout);
    }
    // Between executions: the procedure has returned and the thread waits.
    bool WaitIdle() {
        return Eventually([&] { return !IsExecuting(); });
    }
    bool WaitEnded(std::chrono::milliseconds timeout = 2000ms) {
        return Eventually([&] { return !IsRunning(); }, timeout);
    }

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
};

}  // namespace

TEST(BaseThread, SingleExecutionAtOnceOrAfterItsDelay) {
    Probe now, later;
    RecordingThread t;
    const auto begin = Clock::now();
    t.Start("Now", &Probe::Proc, &now, 0, 0, false);
    ASSERT_TRUE(now.WaitStarts(1));
    EXPECT_LT(Ms(now.Starts()[0] - begin), 200);
    ASSERT_TRUE(t.WaitEnded());
    EXPECT_EQ(now.Count(), 1u);

    const auto again = Clock::now();
    t.Start("Later", &Probe::Proc, &later, 60, 0, false);
    ASSERT_TRUE(later.WaitStarts(1));
    EXPECT_GE(Ms(later.Starts()[0] - again), 59);
    ASSERT_TRUE(t.WaitEnded());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(later.Count(), 1u);
    EXPECT_EQ(now.Count(), 1u);
}

TEST(BaseThread, PeriodIsKeptFromStartToStartWithoutDrift) {
    Probe p;
    RecordingThread t;
    p.sleepMs = 12;
    const int period = 25;
    t.Start("Tick", &Probe::Proc, &p, 0, period, false);
    ASSERT_TRUE(p.WaitStarts(9));
    t.Stop();
    const auto starts = p.Starts();
    for (std::size_t i = 1; i < starts.size(); ++i)
        EXPECT_GE(Ms(starts[i] - starts[i - 1]), period - 1) << "execution " << i << " came early";
    // Waiting a whole period after the procedure would take 8 * 37 ms.
    const long span = Ms(starts[8] - starts[0]);
    EXPECT_GE(span, 8 * period - 1);
    EXPECT_LT(span, 8 * period + 70);
}

TEST(BaseThread, ProcedureReturningFalseEndsTheCycleAndTheLogTellsTheLife) {
    Probe p;
    RecordingThread t;
    p.falseAt = 3;
    t.Start("Auto", &Probe::Proc, &p, 0, 10, true);
    ASSERT_TRUE(t.WaitLine("End "));
    EXPECT_FALSE(t.IsRunning());
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(p.Count(), 3u);

    const std::string name = "Auto(0,10) PID: " + std::to_string(p.FirstTid()) + " ";
    const int init = t.Find("Init  Auto(0,10) launching PID: ");
    const int start = t.Find("Start " + name);
    const int exec1 = t.Find("Exec " + name);
    const int exec3 = t.Find("Exec " + name, t.Find("Exec " + name, exec1 + 1) + 1);
    const int avto = t.Find("Avto break " + name);
    const int end = t.Find("End " + name);
    EXPECT_EQ(init, 0);
    EXPECT_GT(start, init);
    EXPECT_GT(exec1, start);
    EXPECT_GT(exec3, exec1);
    EXPECT_EQ(t.Find("Exec ", exec3 + 1), -1) << "no execution after the one that returned false";
    EXPECT_GT(avto, exec3);
    EXPECT_EQ(end, avto + 1);
}

TEST(BaseThread, QuietThreadWritesNothingUnlessAllLogIsOn) {
    Probe p, q;
    RecordingThread t;
    t.Start("Quiet", &Probe::Proc, &p, 0, 0, false);
    ASSERT_TRUE(p.WaitReturned(1));
    ASSERT_TRUE(t.WaitEnded());
    t.Stop();
    EXPECT_TRUE(t.Lines().empty());

    BaseThread::s_IsAllLog = true;
    t.Start("Loud", &Probe::Proc, &q, 0, 0, false);
    const bool logged = t.WaitLine("End Loud(0,0) PID: ");
    BaseThread::s_IsAllLog = false;
    EXPECT_TRUE(logged);
    EXPECT_GE(t.Find("Exec Loud(0,0) PID: "), 0);
}

TEST(BaseThread, OverrunIsReportedAndTheNextRunFollowsAtOnce) {
    Probe p;
    RecordingThread t;
    p.sleepFirstMs = 60;
    p.falseAt = 2;
    t.Start("Slow", &Probe::Proc, &p, 0, 30, false);
    ASSERT_TRUE(p.WaitReturned(2));
    ASSERT_TRUE(t.WaitEnded());

    const auto starts = p.Starts();
    ASSERT_EQ(starts.size(), 2u);
    // Waiting another period after the overrun would put the second run near 90 ms.
    EXPECT_LT(Ms(starts[1] - starts[0]), 82);

    // Reported even with logging off.
    const std::string head = "Duration of procedure is longer than timer interval Slow(0,30) PID: " +
                             std::to_string(p.FirstTid()) + "  ";
    const int at = t.Find(head);
    ASSERT_GE(at, 0);
    const std::string line = t.Lines()[at];
    const std::string rest = line.substr(head.size());
    const auto space = rest.find(' ');
    ASSERT_NE(space, std::string::npos);
    const int ms = std::atoi(rest.substr(0, space).c_str());
    EXPECT_LE(ms, -29);
    EXPECT_GT(ms, -500);
    EXPECT_EQ(rest.substr(space), " 30");
}

TEST(BaseThread, StopCutsALongDelayShortWithoutExecuting) {
    Probe p;
    RecordingThread t;
    t.Start("Wait", &Probe::Proc, &p, 5000, 0, false);
    std::this_thread::sleep_for(10ms);
    const auto begin = Clock::now();
    t.Stop();
    EXPECT_LT(Ms(Clock::now() - begin), 200);
    EXPECT_FALSE(t.IsRunning());
    EXPECT_EQ(p.Count(), 0u);
    t.Stop();  // nothing held any more
}

TEST(BaseThread, StopFromAnotherThreadWaitsForTheRunningProcedure) {
    Probe p;
    RecordingThread t;
    p.Hold();
    t.Start("Busy", &Probe::Proc, &p, 0, 10, false);
    ASSERT_TRUE(p.WaitStarts(1));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        t.Stop();
        stopped = true;
    });
    std::this_thread::sleep_for(40ms);
    EXPECT_FALSE(stopped.load()) << "Stop returned while the procedure was still running";
    p.Release();
    stopper.join();
    EXPECT_FALSE(t.IsRunning());
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(p.Count(), 1u);
}

TEST(BaseThread, BreakExecFromAnotherThreadEndsTheWaitBetweenExecutions) {
    Probe p;
    RecordingThread t;
    t.Start("Cycle", &Probe::Proc, &p, 0, 5000, false);
    ASSERT_TRUE(p.WaitReturned(1));
    std::thread([&] { t.BreakExec(); }).join();
    EXPECT_TRUE(t.WaitEnded(300ms));
    EXPECT_EQ(p.Count(), 1u);
}

TEST(BaseThread, ProcedureThatAlwaysOverrunsCanStillBeStopped) {
    Probe p;
    RecordingThread t;
    t.SetStopTimeout(1s);
    p.sleepMs = 20;
    t.Start("Late", &Probe::Proc, &p, 0, 10, false);
    ASSERT_TRUE(p.WaitReturned(2));
    const auto begin = Clock::now();
    t.Stop();
    EXPECT_LT(Ms(Clock::now() - begin), 200);
    const std::size_t runs = p.Count();
    std::this_thread::sleep_for(40ms);
    EXPECT_EQ(p.Count(), runs);
}

TEST(BaseThread, ProcedureMayStopItsOwnThread) {
    struct Self {
        RecordingThread thread;
        std::atomic<int> runs{0};
        static bool Proc(void* self) {
            auto* s = static_cast<Self*>(self);
            ++s->runs;
            s->thread.Stop();
            return true;
        }
    } self;
    self.thread.Start("Self", &Self::Proc, &self, 0, 5, false);
    ASSERT_TRUE(self.thread.WaitEnded());
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(self.runs.load(), 1);
}

TEST(BaseThread, RestartOfAWaitingThreadStopsItAndRunsTheNewParameters) {
    Probe first, second;
    RecordingThread t;
    t.Start("A", &Probe::Proc, &first, 0, 1000, false);
    ASSERT_TRUE(first.WaitReturned(1));
    ASSERT_TRUE(t.WaitIdle());
    const std::string oldName = t.Name();

    t.Start("B", &Probe::Proc, &second, 0, 10, false);
    ASSERT_TRUE(second.WaitStarts(3));
    EXPECT_EQ(first.Count(), 1u);
    EXPECT_EQ(t.Find(oldName + " - BaseThread::Start: forced stop beginning"), 0);
    EXPECT_GE(t.Find(oldName + " - BaseThread::Start: forced stop ending"), 1);
    EXPECT_EQ(t.Name(), "B(0,10) PID: " + std::to_string(second.FirstTid()) + " ");
    EXPECT_NE(first.FirstTid(), second.FirstTid());
    t.Stop();
}

TEST(BaseThread, RestartDuringTheProcedureAbandonsTheOldThreadForGood) {
    Probe old, fresh;
    RecordingThread t;
    old.Hold();
    t.Start("Old", &Probe::Proc, &old, 0, 10, false);
    ASSERT_TRUE(old.WaitStarts(1));
    const std::string oldName = t.Name();

    const auto begin = Clock::now();
    t.Start("New", &Probe::Proc, &fresh, 0, 10, false);
    EXPECT_LT(Ms(Clock::now() - begin), 200) << "Start waited for the busy procedure";
    EXPECT_GE(t.Find(oldName + " - BaseThread::Start: forced disconnection !!!"), 0);
    ASSERT_TRUE(fresh.WaitStarts(2));

    old.Release();
    ASSERT_TRUE(old.WaitReturned(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(old.Count(), 1u) << "the abandoned thread went on with its cycle";
    EXPECT_TRUE(t.IsRunning());
    EXPECT_TRUE(t.Name().rfind("New(0,10)", 0) == 0);
    t.Stop();
    EXPECT_FALSE(t.IsRunning());
}

TEST(BaseThread, DestructionStopsAWaitingThreadAndLeavesABusyOneHarmless) {
    Probe waiting;
    auto w = std::make_unique<RecordingThread>();
    w->Start("W", &Probe::Proc, &waiting, 0, 1000, false);
    ASSERT_TRUE(waiting.WaitReturned(1));
    ASSERT_TRUE(w->WaitIdle());
    const auto stopBegin = Clock::now();
    w.reset();
    EXPECT_LT(Ms(Clock::now() - stopBegin), 200) << "the period wait was not cut short";
    std::this_thread::sleep_for(20ms);
    EXPECT_EQ(waiting.Count(), 1u);

    // The abandoned thread outlives the object; under the sanitizers any touch of the freed
    // object would show.
    Probe busy;
    busy.Hold();
    auto t = std::make_unique<RecordingThread>();
    t->Start("D", &Probe::Proc, &busy, 0, 10, false);
    ASSERT_TRUE(busy.WaitStarts(1));
    const auto begin = Clock::now();
    t.reset();
    EXPECT_LT(Ms(Clock::now() - begin), 200);
    busy.Release();
    ASSERT_TRUE(busy.WaitReturned(1));
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(busy.Count(), 1u);
}

TEST(BaseThreadDeathTest, ThreadThatDoesNotEndIsReportedAndTheProcessAborted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            RecordingThread t;
            t.SetStopTimeout(50ms);
            Probe p;
            p.sleepMs = 5000;
            t.Start("Hung", &Probe::Proc, &p, 0, 0, false);
            p.WaitStarts(1);
            t.Stop();
        },
        testing::KilledBySignal(SIGABRT), "abort Hung\\(0,0\\) PID: [0-9]+  - thread not complete");
}
