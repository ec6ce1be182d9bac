// Strangers at the simulators' door: junk, then well-formed traffic, from 200 local ports each.
// Only the well-formed opens links, at most 32 are kept, the process's threads stay bounded, and
// the command line reads the unit afterwards.

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

#include "DispPeerUtil.h"
#include "ScopedHomeUtil.h"
#include "ScriptedPeerUtil.h"
#include "SimProcessUtil.h"

#if defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH) && defined(TOLVANE_CLI_PATH)

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

// Real time, about a second: 800 datagrams through real sockets, then a read of each unit.
TEST(SimFlood, JunkOpensNoLinkAndTheLinksAndThreadsStayBounded) {
    ScopedHome home;
    const unsigned char junk[] = "no frame, no packet";
    const std::string key = "00112233445566778899AABBCCDDEEFF";  // LinkKey()
    for (bool console : {false, true}) {
        SCOPED_TRACE(console ? "console-sim" : "lu-sim");
        SimProcess sim;
        ASSERT_TRUE(console
                        ? sim.Start(TOLVANE_CONSOLE_SIM_PATH, {"--port", "0", "--lift", "17"})
                        : sim.Start(TOLVANE_LU_SIM_PATH, {"--port", "0", "--node", "123456", "--key", key}));
        const int before = Threads(sim.Pid());
        // The last line a well-formed datagram brings.
        const std::string handled = console ? "not relayed" : "link from";
        // All kept open, so that no two of them share a port.
        std::vector<std::unique_ptr<DispPeer>> disps;
        std::vector<std::unique_ptr<ScriptedPeer>> v7s;
        for (int i = 0; i < 200; ++i) {
            auto& disp = disps.emplace_back(std::make_unique<DispPeer>());
            auto& v7 = v7s.emplace_back(std::make_unique<ScriptedPeer>(LinkKey()));
            const size_t lines = sim.LineCount();
            // The junk from another port than the well-formed datagram.
            ASSERT_TRUE(console ? v7->SendRaw(junk, sizeof junk, sim.Port())
                                : disp->SendRaw(junk, sizeof junk, sim.Port()));
            // A SendMsg to lift 1000 + i, well formed and for another lift; a packet of a party.
            ASSERT_TRUE(console ? disp->Send(PeerFrame({NumberedMes(1000 + i)}, 1), sim.Port())
                                : v7->Send(PeerPacket(CIdentV7(20000000 + i, 0), kUnit, 1), sim.Port()));
            // One at a time: a burst of 400 would overflow the simulator's socket buffer.
            ASSERT_TRUE(sim.WaitForLineContaining(handled, 2s, nullptr, lines)) << i;
        }
        EXPECT_EQ(Count(sim, console ? "opened" : "link from"), 200u) << "junk opens no link";
        EXPECT_EQ(Count(sim, "dropped: silent for"), 168u) << "32 links kept";
        EXPECT_EQ(Count(sim, "not relayed"), console ? 200u : 0u);
        EXPECT_LE(Threads(sim.Pid()), before + 2 * 32 + 2);
        SimProcess cli;
        const std::string port = std::to_string(sim.Port());
        ASSERT_TRUE(cli.Launch(
            TOLVANE_CLI_PATH,
            console ? std::vector<std::string>{"read", "-v" + port, "-I17"}
                    : std::vector<std::string>{"read", "-g123456", "-e::1", "-h" + port, "-k" + key}));
        EXPECT_EQ(cli.WaitExitCode(10s), 0);
    }
}

}  // namespace

#endif
