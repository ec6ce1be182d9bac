// The simulators as real processes on ::1, driven by the tool's own links and unit session:
// what only a process shows. It starts and says where it listens, serves the tool over real
// UDP (taking every datagram twice), ends on SIGTERM with its timing line, explains itself and
// refuses a bad option. What the simulated unit and the console's relay answer is tested in
// memory beside this file.

#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "Dev.h"
#include "MToolPult.h"
#include "ScopedHomeUtil.h"
#include "SimProcessUtil.h"
#include "utilities.h"

#if defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Sim {
    const char* path;
    std::string name;
    bool direct;
    std::vector<std::string> args;
};
void PrintTo(const Sim& s, std::ostream* os) {
    *os << s.name;
}
const Sim kSims[] = {
    {TOLVANE_LU_SIM_PATH,
     "lu-sim",
     true,
     {"--node=4711", "--key=00112233445566778899AABBCCDDEEFF", "--dup-in=100"}},
    {TOLVANE_CONSOLE_SIM_PATH, "console-sim", false, {"--lift=17", "--dup-in=100"}},
};

// The tool's side, set up from its settings as the application does, its session run the way
// the windows run it.
struct Tool {
    Tool(const Sim& sim, int port) {
        ctx.events.Install([this](typAppEvent e) { closed = closed || e == typAppEvent::CloseTopWindow; });
        if (sim.direct) {
            ctx.v7Id = 4711;
            ctx.v7Addr = LocalHostIPv6();
            ctx.v7Port = port;
            ctx.keyText = L"00112233445566778899AABBCCDDEEFF";
        } else {
            ctx.utilPort = port;
            ctx.codLift = 17;
        }
        ctx.CheckSettings();
        EXPECT_TRUE(ctx.pult.Connect());
        ctx.session.Start(ctx.SessionAddress());
    }
    ~Tool() { ctx.pult.Disconnect(); }

    bool RunUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
        for (const auto end = Clock::now() + timeout; Clock::now() < end; std::this_thread::sleep_for(2ms)) {
            ctx.session.Poll(ctx.inpV7, ctx.inpMes);
            if (Clock::now() >= ctx.session.NextDeadline()) ctx.session.Tick();
            if (done()) return true;
        }
        return false;
    }

    ScopedHome home;
    ToolContext ctx;
    std::atomic<bool> closed{false};
};

std::string Output(const SimProcess& p) {
    std::string all = p.FirstLine() + "\n";
    for (const auto& l : p.Lines()) all += l + "\n";
    for (const auto& l : p.ErrLines()) all += "stderr: " + l + "\n";
    return all;
}

class Simulator : public ::testing::TestWithParam<Sim> {};

TEST_P(Simulator, ServesTheToolOverUdpAndEndsOnSigtermWithItsTiming) {
    const Sim& s = GetParam();
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start(s.path, s.args, 5000ms, &error)) << error;
    EXPECT_EQ(sim.FirstLine(), s.name + ": listening on [::1]:" + std::to_string(sim.Port()));
    {
        Tool tool(s, sim.Port());
        ASSERT_TRUE(tool.RunUntil([&] { return tool.ctx.session.State() == typUnitState::Ready; }, 5000ms))
            << UnitStateName(tool.ctx.session.State()) << "\n"
            << Output(sim);
        EXPECT_EQ(tool.ctx.pult.GetDev()->Typ(), CDev::devLB14);
        EXPECT_EQ(GetWord(tool.ctx.nvramRead, 0), 0x0515) << "firmware 2.1.5";
        EXPECT_TRUE(tool.ctx.session.DefaultsComplete());

        // Ending, the simulator closes the link: the unit itself, or the console for it.
        ASSERT_TRUE(sim.Signal(SIGTERM));
        EXPECT_EQ(sim.WaitExitCode(5000ms), 0);
        EXPECT_TRUE(tool.RunUntil([&] { return tool.ctx.session.HasEnded() || tool.closed; }, 2000ms));
    }
    ASSERT_TRUE(sim.WaitOutputClosed(2000ms));
    std::string timing;
    ASSERT_TRUE(sim.WaitForLineContaining(": first request to answer of word 32: ", 0ms, &timing))
        << Output(sim);
    double ms = -1;
    EXPECT_EQ(std::sscanf(timing.c_str(), "%*[^:]: first request to answer of word 32: %lf ms", &ms), 1)
        << timing;
    EXPECT_GT(ms, 0.0);
    // Every datagram the tool sent was taken twice, on the way in only, and handled once.
    std::string faults;
    ASSERT_TRUE(sim.WaitForLineContaining(" in: 0 dropped, ", 0ms, &faults)) << Output(sim);
    int in = 0, outDropped = -1, outDuplicated = -1;
    const char* at = faults.c_str() + faults.find(" in: ");
    EXPECT_EQ(std::sscanf(at, " in: 0 dropped, %d duplicated; out: %d dropped, %d duplicated", &in,
                          &outDropped, &outDuplicated),
              3);
    EXPECT_GT(in, 0);
    EXPECT_EQ(outDropped + outDuplicated, 0) << faults;
    EXPECT_TRUE(sim.ErrLines().empty()) << Output(sim);
}

TEST_P(Simulator, ExplainsItsOptionsAndRefusesABadOne) {
    const Sim& s = GetParam();
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"--bogus"}, {"--type=99"}}) {
        SCOPED_TRACE(args[0]);
        SimProcess p;
        ASSERT_TRUE(p.Launch(s.path, args));
        const bool help = args[0] == "--help";
        EXPECT_EQ(p.WaitExitCode(5000ms), help ? 0 : 2);
        ASSERT_TRUE(p.WaitOutputClosed(2000ms));
        std::string out = p.FirstLine();
        for (const auto& l : p.Lines()) out += "\n" + l;
        for (const char* option :
             {"--port", "--type", "--nvram", "--drop-in", s.direct ? "--node" : "--source"})
            EXPECT_EQ(out.find(option) != std::string::npos, help) << option;
        EXPECT_EQ(p.ErrLines().empty(), help);
        EXPECT_TRUE(help || p.ErrLines()[0].rfind(s.name + ": ", 0) == 0) << Output(p);
        EXPECT_NE(p.FirstLine().rfind(s.name + ": listening", 0), 0u) << "it must not start serving";
    }
}

INSTANTIATE_TEST_SUITE_P(Both, Simulator, ::testing::ValuesIn(kSims),
                         [](const ::testing::TestParamInfo<Sim>& i) {
                             return std::string(i.param.direct ? "LuSim" : "ConsoleSim");
                         });

}  // namespace

#endif
