// The simulated faults that hang on time and order, on a clock of the test's own: a datagram
// held back goes after the next one, or alone once held too long; a blackout loses both ways
// for its span; a unit that restarts after N writes keeps the N-th byte and answers nothing
// while it is down.

#include <gtest/gtest.h>

#include "NvRam.h"
#include "SimLu.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

TEST(SimFaultTiming, AHeldDatagramGoesAfterTheNextOneOrAloneWhenNoneFollows) {
    SimLuOptions o;
    o.reorder = 100;
    SimFaults faults(o);
    Clock::time_point now{};
    faults.SetClock([&now] { return now; });
    std::string sent;
    auto pass = [&](char c) {
        for (const auto& send : faults.Reorder([&sent, c] { sent += c; })) send();
    };
    pass('a');
    pass('b');
    pass('c');
    now += SimFaults::kMaxHold - 1ms;
    for (const auto& send : faults.Overdue()) send();
    EXPECT_EQ(sent, "ba");
    now += 1ms;
    for (const auto& send : faults.Overdue()) send();
    EXPECT_EQ(sent, "bac");
    EXPECT_EQ(faults.Reordered(), 1);
}

TEST(SimFaultTiming, ABlackoutLosesBothWaysForItsSpanAfterTheFirstDatagramIn) {
    SimLuOptions o;
    o.blackoutAtMs = 100;
    o.blackoutMs = 300;
    SimFaults faults(o);
    const Clock::time_point start{100s};
    Clock::time_point now = start;
    faults.SetClock([&now] { return now; });
    const struct {
        int atMs;
        SimDirection way;
        int copies;
    } table[] = {{0, SimDirection::In, 1},    {99, SimDirection::Out, 1}, {100, SimDirection::In, 0},
                 {399, SimDirection::Out, 0}, {400, SimDirection::In, 1}, {400, SimDirection::Out, 1}};
    for (const auto& t : table) {
        now = start + std::chrono::milliseconds(t.atMs);
        EXPECT_EQ(faults.Copies(t.way), t.copies) << t.atMs << " ms";
    }
    EXPECT_EQ(faults.BlackedOut(), 2);
}

TEST(SimFaultTiming, AUnitRestartingAfterWritesKeepsTheBytesAndIsSilentWhileDown) {
    SimLuOptions o;
    o.restartAfterWrites = 2;
    o.restartSilentMs = 1000;
    SimLu lu(o);
    Clock::time_point now{};
    lu.SetClock([&now] { return now; });
    LuTarget t;
    t.destNode = 3;
    t.destSub = 7;
    t.dev = 5;
    EXPECT_EQ(lu.Handle(*LuByteWriteMes(t, 6, 0x12)).size(), 1u);
    EXPECT_FALSE(lu.TakeLinkReset());
    EXPECT_TRUE(lu.Handle(*LuByteWriteMes(t, 7, 0x34)).empty()) << "the restarting write is not answered";
    EXPECT_TRUE(lu.TakeLinkReset());
    EXPECT_FALSE(lu.TakeLinkReset()) << "told once";
    now += 999ms;
    EXPECT_TRUE(lu.IsDown());
    EXPECT_TRUE(lu.Handle(*LuByteWriteMes(t, 8, 0x56)).empty());
    now += 1ms;
    EXPECT_FALSE(lu.IsDown());
    EXPECT_EQ(lu.Handle(*LuNvramReadMes(t)).size(), 1u);
    EXPECT_EQ(lu.Nvram()[3], 0x3412) << "both bytes before the restart stay";
    EXPECT_EQ(lu.Nvram()[4], SimLuBuiltinNvram(o)[4]) << "the write while down never arrived";
}

}  // namespace
