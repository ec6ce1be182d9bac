// The simulated faults that hang on time and order, on a clock of the test's own: a datagram
// held back goes after the next one, or alone once held too long; a unit that restarts after N
// writes keeps the N-th byte and takes nothing while it is down. (The loss matrix sees the
// blackout's datagrams lost, and the bench its three seconds.)

#include <gtest/gtest.h>

#include "NvRam.h"
#include "SimLu.h"

namespace {

using namespace std::chrono_literals;

TEST(SimFaultTiming, AHeldDatagramGoesAfterTheNextOneOrAloneWhenNoneFollows) {
    SimLuOptions o;
    o.reorder = 100;
    SimFaults faults(o);
    SimFaults::Clock::time_point now{};
    faults.SetClock([&now] { return now; });
    std::string sent;
    auto run = [](const std::vector<SimFaults::Send>& sends) {
        for (const auto& send : sends) send();
    };
    for (char c : std::string("abc")) run(faults.Reorder([&sent, c] { sent += c; }));
    now += SimFaults::kMaxHold - 1ms;
    run(faults.Overdue());
    EXPECT_EQ(sent, "ba");
    now += 1ms;
    run(faults.Overdue());
    EXPECT_EQ(sent, "bac");
}

TEST(SimFaultTiming, AUnitRestartingAfterWritesKeepsTheBytesAndTakesNothingWhileDown) {
    SimLuOptions o;
    o.restartAfterWrites = 2;
    o.restartSilentMs = 1000;
    SimLu lu(o);
    SimLu::Clock::time_point now{};
    lu.SetClock([&now] { return now; });
    EXPECT_EQ(lu.Handle(*LuByteWriteMes({}, 6, 0x12)).size(), 1u);
    EXPECT_TRUE(lu.Handle(*LuByteWriteMes({}, 7, 0x34)).empty()) << "the restarting write is not answered";
    EXPECT_TRUE(lu.TakeLinkReset());
    now += 999ms;
    EXPECT_TRUE(lu.Handle(*LuByteWriteMes({}, 8, 0x56)).empty());
    now += 1ms;
    EXPECT_EQ(lu.Handle(*LuNvramReadMes({})).size(), 1u);
    EXPECT_EQ(lu.Nvram()[3], 0x3412) << "both bytes before the restart stay";
    EXPECT_EQ(lu.Nvram()[4], SimLuBuiltinNvram(o)[4]) << "the write while down never arrived";
}

}  // namespace
