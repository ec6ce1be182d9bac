// The console simulator's relay without a socket: SendMsg frames in, Msg frames out.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ConsoleSim.h"
#include "NvRam.h"
#include "Pack.h"

namespace {

// Where the tool's requests go: UM 0, slot 7, the unit at address 1, from the tool's 255/15.
const LuTarget kLu{0, 7, 1, 255, 15};

// Options as the program reads them; a value the parser refuses fails the test.
ConsoleSimOptions Options(std::vector<std::string> args) {
    args.insert(args.begin(), "console-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ConsoleSimOptions o;
    for (int i = 1; i < static_cast<int>(argv.size()); ++i) {
        std::string error;
        EXPECT_EQ(ParseConsoleSimOption(static_cast<int>(argv.size()), argv.data(), i, o, error), 1)
            << argv[i];
    }
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
        std::vector<std::string> args;
        int target, source;
        const char* named;
    } cases[] = {
        {{"--source=lift", "--lift=17"}, 99, 17, "lift 99"},
        {{"--source=lift"}, 23, 23, "lift 23"},
        {{"--source", "console", "--console", "3"}, 5, 3, "console 5"},
        {{"--source=console"}, 5, 5, "console 5"},
        {{}, 42, 42, "lift 42"},
        {{"--source=target", "--lift=17"}, 42, 42, "lift 42"},
        // By default a given lift code wins over the target (a tool with -I and -q addresses
        // console 0), and a given console number over the target.
        {{"--lift=17", "--console=3"}, 0, 17, "lift 0"},
        {{"--console=0"}, 8, 0, "console 8"},
        {{"--source=4711"}, 17, 4711, "lift 17"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.named);
        SimLu lu{SimLuOptions{}};
        const Relayed r = Relay(Options(c.args), lu, SendMsg(c.target, {*LuNvramReadMes(kLu)}));
        EXPECT_EQ(r.sources, std::vector<int>({c.source}));
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

TEST(ConsoleSimOptions, BadValuesAreRefusedAndForeignOptionsLeftAlone) {
    // The last argument is a value the console takes, then an option of the unit's.
    for (const char* arg : {"--port=70000", "--port=x", "--source=nobody", "--close-after=-5",
                            "--bind=not-an-ip", "--lift", "--lift=0", "--console=-1", "-h", "--type"}) {
        std::vector<std::string> args = {"console-sim", arg};
        char* argv[] = {args[0].data(), args[1].data()};
        ConsoleSimOptions o;
        std::string error;
        int i = 1;
        const int want = arg == std::string("-h") ? 1 : arg == std::string("--type") ? 0 : -1;
        EXPECT_EQ(ParseConsoleSimOption(2, argv, i, o, error), want) << arg;
        EXPECT_EQ(error.empty(), want >= 0) << arg;
        EXPECT_EQ(i, 1) << arg;
    }
    const ConsoleSimOptions o =
        Options({"--bind", "127.0.0.1", "--port", "4000", "--close-after=250", "--mute"});
    EXPECT_EQ(AddrText(o.bindAddr), "::ffff:127.0.0.1");
    EXPECT_EQ(std::vector<int>({o.port, o.closeAfterMs, o.mute}), std::vector<int>({4000, 250, 1}));
}

}  // namespace
