// The console simulator's relay without a socket: SendMsg frames in, Msg frames out.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "ConsoleSim.h"
#include "NvRam.h"
#include "Pack.h"

namespace {

// Where the tool's requests go: UM 0, slot 7, the unit at address 1, from the tool's 255/15.
const LuTarget kLu{0, 7, 1, 255, 15};

// Runs the option parser over a command line (arguments split at blanks) as the program
// would; gives its result for the last argument it looked at.
int Parse(const std::string& line, ConsoleSimOptions& o, std::string* error = nullptr) {
    std::vector<std::string> args = {"console-sim"};
    for (size_t at = 0, end; at < line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        args.push_back(line.substr(at, end - at));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int result = 1;
    std::string why;
    for (int i = 1; i < static_cast<int>(argv.size()) && result == 1; ++i)
        result = ParseConsoleSimOption(static_cast<int>(argv.size()), argv.data(), i, o, why);
    if (error) *error = why;
    return result;
}
ConsoleSimOptions Options(const std::string& line) {
    ConsoleSimOptions o;
    EXPECT_EQ(Parse(line, o), 1) << line;
    return o;
}

CMesDisp SendMsg(int target, const std::vector<CMes>& requests) {
    CPackMes pack(15, 7, -1);
    for (const CMes& m : requests) EXPECT_TRUE(pack.AddMes(m));
    CMesDisp m;
    EXPECT_TRUE(m.Create_SendMsg(target, 8, pack.len, pack.buf));
    return m;
}

struct Relayed {
    std::vector<int> sources;
    std::vector<std::vector<CMes>> packs;  // the line packet of each Msg
    std::vector<std::string> lines;
};

Relayed Relay(const ConsoleSimOptions& options, SimLu& lu, const CMesDisp& sendMsg) {
    ConsoleRelay relay(options, lu);
    std::vector<CMesDisp> out;
    Relayed r;
    EXPECT_TRUE(relay.HandleSendMsg(sendMsg, out, r.lines));
    for (const CMesDisp& msg : out) {
        int source = 0, n = 0;
        unsigned char bytes[CMesDisp::kBufSize];
        EXPECT_TRUE(msg.TypMes() == CMesDisp::mesMsg && msg.Parse_Msg(source, n, bytes, sizeof bytes));
        CPackMes pack(n, bytes, 255);
        r.sources.push_back(source);
        r.packs.emplace_back();
        for (CMes m; pack.GetMes(m);) r.packs.back().push_back(m);
    }
    return r;
}

TEST(ConsoleRelay, AnswersCarryTheSourceTheOptionsChoose) {
    struct Case {
        const char* options;
        int target, source;
        const char* named;
    } cases[] = {
        {"--source=lift --lift=17", 99, 17, "lift 99"},
        {"--source=lift", 23, 23, "lift 23"},
        {"--source console --console 3", 5, 3, "console 5"},
        {"--source=console", 5, 5, "console 5"},
        {"", 42, 42, "lift 42"},
        {"--source=target --lift=17", 42, 42, "lift 42"},
        // By default a given lift code wins over the target (a tool with -I and -q addresses
        // console 0), and a given console number over the target.
        {"--lift=17 --console=3", 0, 17, "lift 0"},
        {"--console=0", 8, 0, "console 8"},
        {"--source=4711", 17, 4711, "lift 17"},
    };
    for (const Case& c : cases) {
        SimLu lu{SimLuOptions{}};
        const Relayed r = Relay(Options(c.options), lu, SendMsg(c.target, {*LuNvramReadMes(kLu)}));
        EXPECT_EQ(r.sources, std::vector<int>({c.source})) << c.options;
        ASSERT_EQ(r.lines.size(), 1u);
        EXPECT_NE(r.lines[0].find(std::string("SendMsg to ") + c.named + ": read word 0 -> 0x"),
                  std::string::npos)
            << r.lines[0];
    }
}

TEST(ConsoleRelay, AnswersGoBackInOrderInAsFewLinePacketsAsHoldThem) {
    SimLu lu{SimLuOptions{}};
    const uint16_t want = static_cast<uint16_t>(lu.Nvram()[5] ^ 0xA55A);
    // Two word answers of 16 units fill a line packet far enough that the long parameters
    // report of 30 units needs a second one.
    const Relayed r = Relay(Options({}), lu,
                            SendMsg(17, {*LuByteWriteMes(kLu, 10, want & 0xFF),
                                         *LuByteWriteMes(kLu, 11, want >> 8), *LuDevParamsMes(kLu)}));
    ASSERT_EQ(r.packs.size(), 2u);
    ASSERT_EQ(r.packs[0].size(), 2u);
    ASSERT_EQ(r.packs[1].size(), 1u);
    int index = -1;
    unsigned short value = 0;
    bool isWord = false;
    ASSERT_TRUE(r.packs[0][1].GetLbNVRAM(index, value, isWord) && isWord);
    EXPECT_EQ(index * 0x10000 + value, 5 * 0x10000 + want);
    const CMes& params = r.packs[1][0];
    EXPECT_EQ(
        std::vector<int>({params.ask, params.destNode, params.destSub, params.origNode, params.origSub}),
        std::vector<int>({CMes::askDevParam, 255, 15, 0, 7}))
        << "back to the tool, from the unit's place";
    EXPECT_EQ(r.sources, std::vector<int>({17, 17}));
    ASSERT_EQ(r.lines.size(), 3u);
    EXPECT_NE(r.lines[1].find("SendMsg to lift 17: write byte 11 := 0x"), std::string::npos) << r.lines[1];

    // Anything but a SendMsg is no work for the relay; an empty line packet is said so.
    ConsoleRelay relay(Options({}), lu);
    std::vector<CMesDisp> out;
    std::vector<std::string> lines;
    CMesDisp close;
    ASSERT_TRUE(close.Create_CloseLink());
    EXPECT_FALSE(relay.HandleSendMsg(close, out, lines));
    EXPECT_TRUE(relay.HandleSendMsg(SendMsg(17, {}), out, lines));
    EXPECT_TRUE(out.empty());
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("no message in the line packet"), std::string::npos) << lines[0];
}

TEST(ConsoleSimOptions, BadValuesAreRefusedAndTheUnitsOptionsLeftAlone) {
    std::string error;
    for (const char* bad : {"--port=70000", "--port=x", "--source=nobody", "--close-after=-5",
                            "--bind=not-an-ip", "--lift", "--lift=0", "--console=-1"}) {
        ConsoleSimOptions o;
        EXPECT_EQ(Parse(bad, o, &error), -1) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    ConsoleSimOptions o;
    EXPECT_EQ(Parse("--type 12", o), 0);
    o = Options("--bind 127.0.0.1 --port 4000 --close-after=250 --mute -h");
    EXPECT_EQ(AddrText(o.bindAddr) + " " + std::to_string(o.port) + " " + std::to_string(o.closeAfterMs),
              "::ffff:127.0.0.1 4000 250");
    EXPECT_TRUE(o.mute && o.help);
}

}  // namespace
