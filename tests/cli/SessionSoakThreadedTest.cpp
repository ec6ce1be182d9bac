// Many load-and-close cycles of the command line's session against the simulated unit in one
// process: the threads, file descriptors and resident memory at the end are those after the
// first cycle, within a small bound, and every cycle's start has its "Stop" in the error log.
// The unit's V7 endpoint runs on a thread of the test, so no output of a simulator process
// piles up in it. The suite runs a short form; TOLVANE_SOAK_CYCLES sets the long one
// (bench/soak.sh runs 500).

#include <dirent.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "LoadRes.h"
#include "LuSimV7.h"
#include "ScopedHomeUtil.h"
#include "UnitRun.h"

namespace {

struct Usage {
    long threads = 0;
    long descriptors = 0;
    long residentKb = 0;
};

Usage Measure() {
    Usage u;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) u.threads = std::atol(line.c_str() + 8);
        if (line.rfind("VmRSS:", 0) == 0) u.residentKb = std::atol(line.c_str() + 6);
    }
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++u.descriptors;
        ::closedir(d);
    }
    return u;
}

// Real time, a few milliseconds a cycle: each is a whole connect, load and disconnect against a
// live unit.
TEST(SessionSoak, LoadsAndClosesLeaveNothingBehind) {
    g_StringENU = true;
    ScopedHome home;
    SimLu lu(SimLuOptions{});
    SimFaults faults;
    LuSimV7Options v7;
    v7.node = 4711;
    LuSimV7 unit(lu, faults, v7, false);
    std::string error;
    ASSERT_TRUE(unit.Open(error)) << error;
    std::atomic<bool> unitStop{false};
    std::thread unitThread([&] { unit.Run(unitStop); });
    const char* wanted = std::getenv("TOLVANE_SOAK_CYCLES");
    const int cycles = wanted != nullptr && std::atoi(wanted) > 0 ? std::atoi(wanted) : 40;
    const std::vector<std::string> link{"-g4711", "-e::1", "-h" + std::to_string(unit.Port())};
    Usage first, last;
    {
        ToolLogs logs;
        logs.bad.Open("C", "log");
        std::atomic<bool> stop{false};
        for (int cycle = 0; cycle < cycles; ++cycle) {
            logs.bad.PutUtf8("Start soak " + std::to_string(cycle));
            CFleet fleet(logs, 1, UnitSessionTiming{});
            fleet.Add(std::make_unique<CUnitRun>("soak", link, UnitJob{}));
            fleet.Run(stop);
            EXPECT_EQ(fleet.Units().front()->Result().read.size(), 32u) << "cycle " << cycle;
            logs.bad.PutUtf8("Stop");
            // The first cycle settles the logs' files and the allocator; growth counts from there.
            if (cycle == 0) first = Measure();
        }
        last = Measure();
    }
    unitStop = true;
    unitThread.join();
    std::printf(
        "session soak, %d cycles: threads %ld -> %ld, descriptors %ld -> %ld, resident %ld -> %ld kB\n",
        cycles, first.threads, last.threads, first.descriptors, last.descriptors, first.residentKb,
        last.residentKb);
    EXPECT_LE(last.threads, first.threads);
    EXPECT_LE(last.descriptors, first.descriptors);
    EXPECT_LE(last.residentKb, first.residentKb + 1024);
    int stops = 0;
    const std::string dir = home.Path() + "/ZARN/logs/Tolvane/bad";
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(file.path());
        for (std::string line; std::getline(in, line);) stops += line.ends_with(" Stop") ? 1 : 0;
    }
    EXPECT_EQ(stops, cycles);
}

}  // namespace
