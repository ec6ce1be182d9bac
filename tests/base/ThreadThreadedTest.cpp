#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <memory>
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

class RecordingThread : public BaseThread {
public:
    ~RecordingThread() override { Shutdown(); }
    void PutLog(const std::string& line) override { lines.Add(line); }
    bool WaitEnded() {
        return Eventually([&] { return !IsRunning(); });
    }
    testutil::LogLines lines;
};

}  // namespace

TEST(BaseThread, DelayPeriodAndOverrunOnTheThreadsClock) {
    const struct {
        int delay, period, first, spend, falseAt;  // first: ms the first run takes, spend: the others
        std::vector<long long> starts;
        const char* overrun;  // the end of the report line, which comes even with logging off
    } cases[] = {
        {0, 0, 0, 0, 0, {0}, ""},                      // once, at once
        {60, 0, 0, 0, 0, {60}, ""},                    // once, after the delay
        {0, 100, 30, 30, 3, {0, 100, 200}, ""},        // start to start, without drift
        {10, 20, 0, 0, 4, {10, 30, 50, 70}, ""},       //
        {0, 100, 150, 0, 2, {0, 150}, "  -50 100\n"},  // reported, and the next run follows at once
    };
    for (const auto& c : cases) {
        JumpClock clock;
        Probe p;
        p.clock = &clock;
        p.falseAt = c.falseAt;
        p.body = [&] { clock.Spend(p.Get(&Probe::returned) == 0 ? c.first : c.spend); };
        RecordingThread t;
        t.SetClock(&clock);
        t.Start("T", &Probe::Proc, &p, c.delay, c.period, false);
        ASSERT_TRUE(t.WaitEnded());
        const std::string lines = t.lines.Text();
        const auto at = lines.find("  ");  // the report from the double space behind the name on
        EXPECT_EQ(std::make_tuple(p.Get(&Probe::starts), lines.substr(at == std::string::npos ? 0 : at)),
                  std::make_tuple(c.starts, std::string(c.overrun)))
            << c.delay << "," << c.period << ": " << lines;
    }
}

TEST(BaseThread, StopEndsWaitsAtOnceAndWaitsForTheProcedure) {
    Probe late, busy, over;
    RecordingThread a, b, c;
    a.Start("Late", &Probe::Proc, &late, 5000, 0, false);
    const auto begin = std::chrono::steady_clock::now();
    a.Stop();  // a long delay is cut short, without executing
    EXPECT_EQ(std::make_tuple(Ms(begin) < 1000, a.IsRunning(), late.Get(&Probe::returned)),
              std::make_tuple(true, false, 0));
    busy.Hold(true);
    b.Start("Busy", &Probe::Proc, &busy, 0, 10, false);
    ASSERT_TRUE(busy.WaitStarts(1));
    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        b.Stop();
        stopped = true;
    });
    std::this_thread::sleep_for(30ms);  // time for a Stop that does not wait to return
    EXPECT_FALSE(stopped.load()) << "Stop returned while the procedure was still running";
    busy.Hold(false);
    stopper.join();
    JumpClock clock;  // a procedure that always overruns never waits, yet sees the break
    over.body = [&] { clock.Spend(20); };
    c.SetClock(&clock);
    c.SetStopTimeout(2s);  // a Stop that is never seen ends the process
    c.Start("Over", &Probe::Proc, &over, 0, 10, false);
    ASSERT_TRUE(over.WaitReturned(2));
    c.Stop();
    EXPECT_EQ(busy.Get(&Probe::returned), 1);
}

TEST(BaseThread, RestartAndDestructionStopAWaitingThreadAndAbandonABusyOne) {
    Probe first, second, old, fresh;
    RecordingThread t;
    t.Start("A", &Probe::Proc, &first, 0, 1000, false);
    ASSERT_TRUE(first.WaitReturned(1) && Eventually([&] { return !t.IsExecuting(); }));
    const std::string a = t.Name();
    t.Start("B", &Probe::Proc, &second, 0, 1000, false);
    ASSERT_TRUE(second.WaitReturned(1));
    EXPECT_EQ(t.lines.Text(), a + " - BaseThread::Start: forced stop beginning\n" + a +
                                  " - BaseThread::Start: forced stop ending\n");
    old.Hold(true);
    auto u = std::make_unique<RecordingThread>();
    u->Start("Old", &Probe::Proc, &old, 0, 10, false);
    ASSERT_TRUE(old.WaitStarts(1));
    const std::string o = u->Name();
    u->Start("New", &Probe::Proc, &fresh, 0, 10, false);  // does not wait for the busy procedure
    EXPECT_EQ(u->lines.Text(), o + " - BaseThread::Start: forced disconnection !!!\n");
    ASSERT_TRUE(fresh.WaitStarts(2));
    u.reset();  // stops New, or abandons it in its procedure; t stops B when the test ends
    old.Hold(false);
    ASSERT_TRUE(old.WaitReturned(1));
    std::this_thread::sleep_for(30ms);  // time for an abandoned thread that went on to run again
    ASSERT_TRUE(fresh.Until([&] { return fresh.starts.size() == static_cast<std::size_t>(fresh.returned); }));
    EXPECT_EQ(std::make_tuple(old.Get(&Probe::returned), first.Get(&Probe::returned)), std::make_tuple(1, 1));
}

TEST(TickTimerEntry, RunsAfterItsFirstCountAndThenEveryRepeatTicks) {
    // first, repeat, run that returns false; per tick: r ran, . waited, g ran and is to go.
    const std::tuple<int, int, int, const char*> cases[] = {
        {2, 3, 0, "..r..r..r"}, {0, 1, 0, "rrrrrrrrr"},
        {1, 4, 0, ".r...r..."}, {3, 0, 0, "...g"},  // no repeat: runs once and goes
        {0, 2, 2, "r.g"},                           // the procedure returned false at its second run
    };
    for (const auto& [first, repeat, falseAt, want] : cases) {
        Probe p;
        p.falseAt = falseAt;
        BaseTickTimers::ProcTimer entry{"e", &Probe::Proc, &p, 0, first, repeat};
        std::string got;
        for (int tick = 1; tick <= 9 && got.find_first_of("g-") == std::string::npos; ++tick) {
            const int before = p.Get(&Probe::returned);
            const bool keep = entry.Exec();
            got += p.Get(&Probe::returned) != before ? (keep ? 'r' : 'g') : (keep ? '.' : '-');
        }
        EXPECT_EQ(got, want) << first << " " << repeat;
    }
    using Minute = BaseListTimersMinute;  // the first tick falls on the next full minute
    EXPECT_EQ(std::make_tuple(Minute::DelayToFullMinute(45), Minute::DelayToFullMinute(0), Minute().Tick()),
              std::make_tuple(15000, 60000, 60000));
}

TEST(BaseThreadDeathTest, ThreadThatDoesNotEndInTimeIsReportedAndTheProcessAborted) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            RecordingThread t;
            t.SetStopTimeout(50ms);
            Probe p;
            p.Hold(true);
            t.Start("Hung", &Probe::Proc, &p, 0, 0, false);
            p.WaitStarts(1);
            t.Stop();
        },
        testing::KilledBySignal(SIGABRT), "abort Hung\\(0,0\\) PID: [0-9]+  - thread not complete");
}
