// Strangers at the simulators' door: junk, then well-formed traffic, from 200 local ports each.
// Only the well-formed opens links, at most 32 are kept, the process's threads stay bounded, and
// the tool itself loads the unit afterwards.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "DispPeerUtil.h"
#include "LoadRes.h"
#include "MToolPult.h"
#include "ScopedHomeUtil.h"
#include "ScriptedPeerUtil.h"
#include "SimProcessUtil.h"

#if defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

namespace {

using namespace std::chrono_literals;

int Threads(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Threads:", 0) == 0) return std::stoi(line.substr(8));
    return -1;
}

size_t Count(const SimProcess& sim, const std::string& text) {
    size_t n = 0;
    for (const std::string& line : sim.Lines()) n += line.find(text) != std::string::npos ? 1 : 0;
    return n;
}

// The tool's own link and session against the simulator: how many words it loads.
size_t ToolLoads(const std::vector<std::string>& link) {
    ToolContext ctx;
    for (const std::string& option : link) ctx.ReadOption(option);
    ctx.CheckSettings();
    ctx.events.Install([](typAppEvent) {});
    if (!ctx.pult.Connect()) return 0;
    ctx.session.Start(ctx.SessionAddress());
    for (auto end = std::chrono::steady_clock::now() + 5s;
         !ctx.session.IsReady() && !ctx.session.HasEnded() && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(1ms);
        ctx.session.Poll(ctx.inpV7, ctx.inpMes);
        ctx.session.Tick();
    }
    ctx.pult.Disconnect();
    return ctx.session.Read().size();
}

// Real time, about a second per simulator: 400 datagrams through real sockets, then a load.
TEST(SimFlood, JunkOpensNoLinkAndTheLinksAndThreadsStayBounded) {
    g_StringENU = true;
    ScopedHome home;
    const unsigned char junk[] = "no frame, no packet";
    for (bool console : {false, true}) {
        SCOPED_TRACE(console ? "console-sim" : "lu-sim");
        SimProcess sim;
        ASSERT_TRUE(console ? sim.Start(TOLVANE_CONSOLE_SIM_PATH, {"--port", "0", "--lift", "17"})
                            : sim.Start(TOLVANE_LU_SIM_PATH, {"--port", "0", "--node", "123456", "--key",
                                                              "00112233445566778899AABBCCDDEEFF"}));
        const int before = Threads(sim.Pid());
        // The last line a well-formed datagram brings.
        const std::string handled = console ? "not relayed" : "link from";
        size_t next = 0;
        for (int i = 0; i < 200; ++i) {
            auto disp = std::make_unique<DispPeer>();
            auto v7 = std::make_unique<ScriptedPeer>(LinkKey());
            ASSERT_TRUE(console ? disp->SendRaw(junk, sizeof junk, sim.Port())
                                : v7->SendRaw(junk, sizeof junk, sim.Port()));
            // A SendMsg to lift 1000 + i: well formed, and for another lift.
            ASSERT_TRUE(console ? disp->Send(PeerFrame({NumberedMes(1000 + i)}, 1), sim.Port())
                                : v7->Send(PeerPacket(CIdentV7(20000000 + i, 0), kUnit, 1), sim.Port()));
            // One at a time: a burst of 400 would overflow the simulator's socket buffer.
            ASSERT_TRUE(sim.WaitForLineContaining(handled, 2s, nullptr, next)) << i;
            next = sim.LineCount();
        }
        EXPECT_EQ(Count(sim, console ? "opened" : "link from"), 200u) << "junk opens no link";
        EXPECT_EQ(Count(sim, "dropped: silent for"), 168u) << "32 links kept";
        EXPECT_EQ(Count(sim, "not relayed"), console ? 200u : 0u);
        EXPECT_LE(Threads(sim.Pid()), before + 2 * 32 + 2);
        EXPECT_EQ(ToolLoads(console ? std::vector<std::string>{"-v" + std::to_string(sim.Port()), "-I17"}
                                    : std::vector<std::string>{"-g123456", "-e::1",
                                                               "-h" + std::to_string(sim.Port()),
                                                               "-k00112233445566778899AABBCCDDEEFF"}),
                  32u);
    }
}

}  // namespace

#endif
