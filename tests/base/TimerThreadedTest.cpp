#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>

#include "ProbeUtil.h"
#include "Thread.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

using testutil::Ms;

// A timed procedure: records each run and its thread, may take a while, and returns false
// at a chosen run.
struct Job {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> runs;
    std::vector<std::thread::id> threads;
    int sleepMs = 0;
    int falseAt = 0;  // 1-based; 0: never
    std::function<void()> body;

    static bool Proc(void* self) { return static_cast<Job*>(self)->Run(); }

    bool Run() {
        if (sleepMs) std::this_thread::sleep_for(std::chrono::milliseconds(sleepMs));
        if (body) body();
        std::lock_guard<std::mutex> lk(mutex);
        runs.push_back(Clock::now());
        threads.push_back(std::this_thread::get_id());
        changed.notify_all();
        return falseAt == 0 || static_cast<int>(runs.size()) < falseAt;
    }

    bool WaitRuns(std::size_t n, std::chrono::milliseconds timeout = 2000ms) {
        std::unique_lock<std::mutex> lk(mutex);
        return changed.wait_for(lk, timeout, [&] { return runs.size() >= n; });
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lk(mutex);
        return runs.size();
    }
    std::vector<Clock::time_point> Runs() {
        std::lock_guard<std::mutex> lk(mutex);
        return runs;
    }
    std::thread::id FirstThread() {
        std::lock_guard<std::mutex> lk(mutex);
        return threads.front();
    }
};

template <class List>
class Recording : public List {
public:
    using List::List;
    ~Recording() override {
        List::Stop();
        this->Shutdown();
    }

    void PutLog(const std::string& line) override {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Lines.push_back(line);
    }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_Lines;
    }
    // Lines that begin with head and end with tail.
    int CountLines(const std::string& head, const std::string& tail = "") {
        int n = 0;
        for (const auto& line : Lines())
            if (line.rfind(head, 0) == 0 && line.size() >= tail.size() &&
                line.compare(line.size() - tail.size(), tail.size(), tail) == 0)
                ++n;
        return n;
    }
    bool WaitLine(const std::string& head, const std::string& tail = "",
                  std::chrono::milliseconds timeout = 2000ms) {
        const auto until = Clock::now() + timeout;
        while (CountLines(head, tail) == 0) {
            if (Clock::now() > until) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

private:
    std::mutex m_Mutex;
    std::vector<std::string> m_Lines;
};

using SecondList = Recording<BaseListTimersSecond>;
using PlainList = Recording<BaseListTimers>;

bool Noop(void*) {
    return true;
}

}  // namespace

TEST(TickTimerEntry, RunsAfterItsFirstCountAndThenEveryRepeatTicks) {
    struct Case {
        int first, repeat, falseAt;
        std::vector<int> dueTicks;  // 1-based ticks at which the procedure runs
        int goneAfter;              // tick after which Exec said the entry is to go; 0: never
    };
    const std::vector<Case> cases = {
        {2, 3, 0, {3, 6, 9}, 0}, {0, 1, 0, {1, 2, 3, 4, 5, 6, 7, 8, 9}, 0},
        {1, 4, 0, {2, 6}, 0},    {3, 0, 0, {4}, 4},  // no repeat: runs once and goes
        {0, 2, 2, {1, 3}, 3},                        // procedure returned false at its second run
    };
    for (const auto& c : cases) {
        Job job;
        job.falseAt = c.falseAt;
        BaseTickTimers::ProcTimer entry{"e", &Job::Proc, &job, 0, c.first, c.repeat};
        std::vector<int> ran;
        int gone = 0;
        for (int tick = 1; tick <= 9 && !gone; ++tick) {
            const std::size_t before = job.Count();
            const bool keep = entry.Exec();
            if (job.Count() != before) ran.push_back(tick);
            if (!keep) gone = tick;
        }
        EXPECT_EQ(ran, c.dueTicks) << "first " << c.first << " repeat " << c.repeat;
        EXPECT_EQ(gone, c.goneAfter) << "first " << c.first << " repeat " << c.repeat;
    }
}

TEST(BaseListTimersMinute, FirstTickFallsOnTheNextFullMinute) {
    EXPECT_EQ(BaseListTimersMinute::DelayToFullMinute(45), 15000);
    EXPECT_EQ(BaseListTimersMinute::DelayToFullMinute(0), 60000);
    EXPECT_EQ(BaseListTimersMinute::DelayToFullMinute(59), 1000);

    Recording<BaseListTimersMinute> list;
    EXPECT_EQ(list.Tick(), 60000);
    list.Start("minute", false);
    const std::string name = list.Name();
    // name(delay,60000): the delay is what is left of the present minute.
    const auto open = name.find('(');
    const auto comma = name.find(',');
    ASSERT_NE(comma, std::string::npos);
    const int delay = std::stoi(name.substr(open + 1, comma - open - 1));
    EXPECT_GE(delay, 1000);
    EXPECT_LE(delay, 60000);
    EXPECT_EQ(delay % 1000, 0);
    EXPECT_EQ(name.substr(comma, 7), ",60000)");
    list.Stop();
    EXPECT_FALSE(list.IsRunning());
}

TEST(BaseListTimersSecond, ImmediateEntriesRunOnTheCallerAndStayOnlyWithARepeat) {
    Job once, refuses, repeats;
    SecondList list(20);
    list.Start("sec", true);

    EXPECT_FALSE(list.AddProcTimer("once", &Job::Proc, &once, 0, 0));
    ASSERT_EQ(once.Count(), 1u);
    EXPECT_EQ(once.FirstThread(), std::this_thread::get_id());
    EXPECT_EQ(list.CountLines("AddProcTimer to   sec(0,20)",
                              " once executed immediately and not added because repeat not specified"),
              1);

    refuses.falseAt = 1;
    EXPECT_FALSE(list.AddProcTimer("refuses", &Job::Proc, &refuses, 0, 2));
    EXPECT_EQ(refuses.Count(), 1u);
    EXPECT_EQ(list.CountLines("AddProcTimer to   ",
                              " refuses executed immediately and not added because no repeat needed"),
              1);

    EXPECT_TRUE(list.AddProcTimer("repeats", &Job::Proc, &repeats, 0, 3));
    EXPECT_EQ(repeats.Count(), 1u);
    EXPECT_EQ(list.CountLines("AddProcTimer to   ", " repeats executed immediately and added"), 1);
    EXPECT_EQ(list.Count(), 1u);

    ASSERT_TRUE(repeats.WaitRuns(3));
    const auto runs = repeats.Runs();
    // Every third tick of 20 ms.
    EXPECT_GE(Ms(runs[2] - runs[1]), 57);
    EXPECT_LT(Ms(runs[2] - runs[1]), 160);
    std::this_thread::sleep_for(10ms);
    EXPECT_EQ(once.Count(), 1u);
    EXPECT_EQ(refuses.Count(), 1u);
}

TEST(BaseListTimersSecond, EntryWhoseProcedureReturnsFalseIsGoneAfterThatTick) {
    Job stays, ends;
    SecondList list(10);
    list.Start("sec", true);
    ends.falseAt = 2;
    ASSERT_TRUE(list.AddProcTimer("stays", &Job::Proc, &stays, 1, 1));
    ASSERT_TRUE(list.AddProcTimer("ends", &Job::Proc, &ends, 1, 1));
    EXPECT_EQ(list.CountLines("AddProcTimer to   sec(0,10)", " ends added"), 1);
    ASSERT_TRUE(ends.WaitRuns(2));
    ASSERT_TRUE(list.WaitLine("AvtoEndProcTimer  sec(0,10) PID: ", " ends"));
    const std::size_t endsRuns = ends.Count();
    ASSERT_TRUE(stays.WaitRuns(endsRuns + 3));
    EXPECT_EQ(ends.Count(), 2u);
    EXPECT_EQ(list.Count(), 1u);
    ASSERT_EQ(list.Entries().size(), 1u);
    EXPECT_EQ(list.Entries()[0].name, "stays");
}

TEST(BaseListTimersSecond, DelProcTimerRemovesOnlyARegisteredPair) {
    Job a, b, stranger;
    SecondList list(10);
    list.Start("sec", true);
    ASSERT_TRUE(list.AddProcTimer("a", &Job::Proc, &a, 5, 1));
    ASSERT_TRUE(list.AddProcTimer("b", &Job::Proc, &b, 5, 1));

    EXPECT_FALSE(list.DelProcTimer(&Job::Proc, &stranger));
    EXPECT_FALSE(list.DelProcTimer(&Noop, &a));
    EXPECT_EQ(list.Count(), 2u);
    EXPECT_EQ(list.CountLines("DelProcTimer from sec(0,10)", " does not exist"), 2);

    EXPECT_TRUE(list.DelProcTimer(&Job::Proc, &a));
    EXPECT_EQ(list.CountLines("DelProcTimer from sec(0,10)", " a deleted"), 1);
    ASSERT_TRUE(b.WaitRuns(3));
    EXPECT_EQ(a.Count(), 0u);
    ASSERT_EQ(list.Entries().size(), 1u);
    EXPECT_EQ(list.Entries()[0].name, "b");
}

TEST(BaseListTimersSecond, StopAndRestartEmptyTheList) {
    Job job;
    SecondList list(10);
    list.Start("sec", false);
    ASSERT_TRUE(list.AddProcTimer("job", &Job::Proc, &job, 1, 1));
    ASSERT_TRUE(job.WaitRuns(2));
    list.Stop();
    EXPECT_FALSE(list.IsRunning());
    EXPECT_EQ(list.Count(), 0u);

    ASSERT_TRUE(list.AddProcTimer("job", &Job::Proc, &job, 1, 1));
    list.Start("again", false);
    EXPECT_EQ(list.Count(), 0u);
    const std::size_t runs = job.Count();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(job.Count(), runs);
    EXPECT_TRUE(list.IsRunning());
}

TEST(BaseListTimers, EveryEntryRunsAtEveryTickAndDuplicatesAreRefused) {
    Job a, b, ends;
    PlainList list;
    list.Start("plain", 0, 60, true);
    a.sleepMs = 4;
    ends.falseAt = 2;
    EXPECT_TRUE(list.AddProcTimer("a", &Job::Proc, &a));
    EXPECT_TRUE(list.AddProcTimer("b", &Job::Proc, &b));
    EXPECT_FALSE(list.AddProcTimer("a again", &Job::Proc, &a));
    EXPECT_TRUE(list.AddProcTimer("ends", &Job::Proc, &ends));
    EXPECT_EQ(list.CountLines("AddProcTimer to   plain(0,60)", " a again already exists"), 1);
    EXPECT_EQ(list.CountLines("AddProcTimer to   plain(0,60)", " b added"), 1);

    ASSERT_TRUE(a.WaitRuns(4));
    ASSERT_TRUE(b.WaitRuns(4));
    // a and b share every tick: b follows a within the same tick, well before the next one.
    // The period is long so that a loaded machine cannot blur one tick into the next.
    // b may have been added a tick after a, so match b's run with a's run of the same tick.
    const auto ra = a.Runs(), rb = b.Runs();
    long gap = 1000000;
    for (const auto& t : ra)
        if (t <= rb[1]) gap = std::min(gap, Ms(rb[1] - t));
    EXPECT_LT(gap, 40);
    EXPECT_EQ(ends.Count(), 2u);
    EXPECT_EQ(list.CountLines("AvtoEndProcTimer  plain(0,60) PID: ", " ends"), 1);

    const auto entries = list.Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].name, "a");
    EXPECT_GE(entries[0].duration, 3);
    EXPECT_EQ(entries[1].name, "b");
}

TEST(BaseListTimers, OverrunListsTheEntriesWithTheirDurations) {
    Job slow;
    PlainList list;
    slow.sleepMs = 40;
    list.AddProcTimer("ignored before start", &Job::Proc, &slow);
    list.Start("plain", 0, 20, true);
    EXPECT_EQ(list.Count(), 0u) << "Start empties the list";
    ASSERT_TRUE(list.AddProcTimer("slow", &Job::Proc, &slow));
    ASSERT_TRUE(
        list.WaitLine("Duration of procedure is longer than timer interval plain(0,20) PID: ", " 20"));
    ASSERT_TRUE(list.WaitLine("slow - ", " ms "));
    for (const auto& line : list.Lines()) {
        if (line.rfind("slow - ", 0) == 0) {
            EXPECT_GE(std::stoi(line.substr(7)), 39) << line;
        }
    }
    list.Stop();
    EXPECT_EQ(list.Count(), 0u);
}

TEST(BaseListTimers, DestructionWhileTickingStopsTheProcedures) {
    Job job;
    job.sleepMs = 3;
    {
        auto list = std::make_unique<PlainList>();
        list->Start("plain", 0, 5, false);
        list->AddProcTimer("job", &Job::Proc, &job);
        ASSERT_TRUE(job.WaitRuns(3));
        const auto begin = Clock::now();
        list.reset();
        EXPECT_LT(Ms(Clock::now() - begin), 200);
    }
    const std::size_t runs = job.Count();
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(job.Count(), runs);
}

TEST(BaseListTimersDeathTest, ProcedureThatAddsToItsOwnListAborts) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            SecondList list(10);
            Job job;
            job.body = [&] { list.AddProcTimer("inner", &Noop, nullptr, 1, 1); };
            list.AddProcTimer("outer", &Job::Proc, &job, 0, 1);
        },
        testing::KilledBySignal(SIGABRT),
        "abort BaseListTimersSecond::AddProcTimer inner act:BaseListTimersSecond::AddProcTimer outer - "
        "lock already held by this thread");
}
