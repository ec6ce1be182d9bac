// Many load-and-close cycles of the command line's session against lu-sim in one process: the
// threads, file descriptors and resident memory at the end are those after the first cycle,
// within a small bound, and every cycle's start has its "Stop" in the error log. lu-sim is
// quiet, so its lines do not pile up in the test's process. The suite runs a short form;
// TOLVANE_SOAK_CYCLES sets the long one (bench/soak.sh runs 500).

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <fstream>

#include "LoadRes.h"
#include "ScopedHomeUtil.h"
#include "SimProcessUtil.h"
#include "UnitRun.h"

#if defined(TOLVANE_LU_SIM_PATH)

namespace {

// Threads, open descriptors and resident kilobytes of this process.
std::array<long, 3> Usage() {
    std::array<long, 3> u{0, std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}), 0};
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) u[0] = std::atol(line.c_str() + 8);
        if (line.rfind("VmRSS:", 0) == 0) u[2] = std::atol(line.c_str() + 6);
    }
    return u;
}

// Real time, a few milliseconds a cycle: each is a whole connect, load and disconnect against a
// live unit.
TEST(SessionSoak, LoadsAndClosesLeaveNothingBehind) {
    g_StringENU = true;
    ScopedHome home;
    SimProcess sim;
    ASSERT_TRUE(sim.Start(TOLVANE_LU_SIM_PATH, {"--node", "4711", "--port", "0", "--quiet"}));
    const char* wanted = std::getenv("TOLVANE_SOAK_CYCLES");
    const int cycles = wanted != nullptr && std::atoi(wanted) > 0 ? std::atoi(wanted) : 40;
    const std::vector<std::string> link{"-g4711", "-e::1", "-h" + std::to_string(sim.Port())};
    std::array<long, 3> first{}, last{};
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
            if (cycle == 0) first = Usage();
        }
        last = Usage();
    }
    std::printf(
        "session soak, %d cycles: threads %ld -> %ld, descriptors %ld -> %ld, resident %ld -> %ld kB\n",
        cycles, first[0], last[0], first[1], last[1], first[2], last[2]);
    EXPECT_LE(last[0], first[0]);
    EXPECT_LE(last[1], first[1]);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
    // The sanitizers' allocators hold freed memory back on purpose; their leak check is at exit.
    EXPECT_LE(last[2], first[2] + 1024);
#endif
    int stops = 0;
    const std::string dir = home.Path() + "/ZARN/logs/Tolvane/bad";
    for (const auto& file : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(file.path());
        for (std::string line; std::getline(in, line);) stops += line.ends_with(" Stop") ? 1 : 0;
    }
    EXPECT_EQ(stops, cycles);
}

}  // namespace

#endif
