// The simulators' cores without sockets: the simulated unit's answers, lines, settings files,
// options and the fate of its datagrams; the console's relay of SendMsg frames to it. The unit
// session's tests load and write every word through the unit in each answer form.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "ConsoleSim.h"
#include "Dev.h"
#include "LuSimV7.h"
#include "NvRam.h"
#include "Pack.h"
#include "SimLu.h"

namespace {

// The tool's view of the unit: UM 3, slot 7, device 5; the tool is console 255.15.
const LuTarget kLu{3, 7, 5};

// Runs one option parser over a command line (arguments split at blanks) as the program
// would; gives its result for the last argument it looked at.
template <class Options, class Parser>
int Parse(Parser parse, const std::string& line, Options& o, std::string* error = nullptr) {
    std::vector<std::string> args = {"sim"};
    for (size_t at = 0, end; at < line.size(); at = end + 1) {
        end = std::min(line.find(' ', at), line.size());
        args.push_back(line.substr(at, end - at));
    }
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    int result = 1;
    std::string why;
    for (int i = 1; i < static_cast<int>(argv.size()) && result == 1; ++i)
        result = parse(static_cast<int>(argv.size()), argv.data(), i, o, why);
    if (error) *error = why;
    return result;
}
SimLuOptions Options(const std::string& line) {
    SimLuOptions o;
    EXPECT_EQ(Parse(ParseSimLuOption, line, o), 1) << line;
    return o;
}

std::string TempPath(const std::string& tag) {
    return ::testing::TempDir() + "lusim_" + tag + "_" + std::to_string(::getpid()) + ".046";
}
void WriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(LuSim, TheParametersReportAsTheDeviceRecordReadsIt) {
    struct Case {
        const char* options;
        int len, type, variant, vers;
    } cases[] = {
        {"--type=14", 30, 14, 0, 21 | 5 << 8},
        {"--type 12 --variant 229 --fw-version 6.4.33", 30, 12, 229, 64 | 33 << 8},
        {"--type 12 --variant 37 --fw-version 6.4.33 --report short", 14, 12, 37, 0},
        {"--param-error", 9, -1, 0, 0},
    };
    for (const Case& c : cases) {
        SimLu lu(Options(c.options));
        const std::vector<CMes> answers = lu.Handle(*LuDevParamsMes(kLu));
        ASSERT_EQ(answers.size(), 1u);
        const CMes& a = answers[0];
        // Back to the sender of the request, from the unit's own place.
        EXPECT_EQ(
            std::vector<int>({a.typ, a.ask, a.destNode, a.destSub, a.origNode, a.origSub, a.dev, a.len}),
            std::vector<int>({CMes::mesDevAnswer, CMes::askDevParam, 255, 15, 3, 7, 5, c.len}));
        EXPECT_EQ(a.IsGood(), c.type >= 0) << c.options;
        if (c.type < 0) continue;
        CDev dev(5, nullptr, CDev::devNone, nullptr);
        EXPECT_EQ(dev.SetParDev(a), 1);
        EXPECT_EQ(std::vector<int>({dev.Typ(), dev.Variant(), dev.Vers(), dev.IsLongReport()}),
                  std::vector<int>({c.type, c.variant, c.vers, c.len > 14}));
    }
}

TEST(LuSim, WordAnswersInEachFormCarryTheWordAndTheReportBit) {
    SimLuWords words{};
    words[0] = 0xFFFF;  // the top bit of the high byte falls into the last unit of the bare form
    words[1] = 0x7F7F;
    for (int form : {16, 13, 12}) {
        SimLuOptions o = Options("--word-form=" + std::to_string(form));
        o.nvram = words;
        SimLu lu(o);
        for (int i = 0; i < 2; ++i) {
            const std::vector<CMes> a = lu.Handle(*LuNvramReadMes(kLu));
            int index = -1;
            unsigned short value = 0, def = 0;
            bool isWord = false, hasDefault = false;
            ASSERT_TRUE(a.size() == 1 && a[0].GetLbNVRAM(index, value, isWord, def, hasDefault) && isWord);
            EXPECT_EQ(std::vector<int>({a[0].len, index, value, hasDefault, a[0].IsGood()}),
                      std::vector<int>({form, i, words[i], form == 16, i == 1 || form != 12}))
                << form;
        }
    }
    // The built-in words: the firmware version in word 0, table usage on, defaults that differ.
    const SimLu lu{SimLuOptions{}};
    EXPECT_EQ(lu.Nvram()[0], 21 | 5 << 8);
    EXPECT_EQ(lu.Nvram()[8] >> 8, 0x55);
    EXPECT_NE(lu.Nvram(), lu.Defaults());
}

TEST(LuSim, FaultsRestartsForeignRequestsAndTheLinesSayingSo) {
    for (const auto& m : {LuDevParamsMes(kLu), LuNvramReadMes(kLu), LuByteWriteMes(kLu, 2, 1)})
        EXPECT_TRUE(SimLu(Options("--silent")).Handle(*m).empty());
    SimLu lu(Options("--line-address 6 --read-error"));
    std::vector<std::string> lines;
    lu.SetPrinter([&lines](const std::string& l) { lines.push_back(l); });
    const LuTarget six{3, 7, 6};
    const struct {
        std::optional<CMes> request;
        size_t answers;
        bool good;
        std::string line;
    } steps[] = {
        {LuRestartMes(six), 0, false, "restart requested (restart 1)"},
        {CMes(3, 7, 255, 15, CMes::mesSlotPoll, 0), 0, false, "ignored: "},
        {CMes(3, 7, 255, 15, 6, CMes::mesDevAsk, CMes::askState, nullptr, 0, -1), 0, false, "ignored: "},
        {LuNvramReadMes(kLu), 0, false, "ignored: request for device 5, this unit is device 6"},
        {LuDevParamsMes(six), 1, true, "device parameters -> long report: type 14, variant 0, version 2.1.5"},
        {LuNvramReadMes(six), 1, false, "read word 0 -> error report (fault)"},
        {LuByteWriteMes(six, 9, 0x12), 1, true, "write byte 9 := 0x12 -> word 4 = 0x1200"},
        {LuByteWriteMes(six, 64, 1), 1, false, "write byte 64 := 0x01 -> refused: the unit has bytes 0..63"},
    };
    for (const auto& step : steps) {
        lines.clear();
        const std::vector<CMes> answers = lu.Handle(*step.request);
        EXPECT_EQ(answers.size(), step.answers) << step.line;
        EXPECT_TRUE(answers.empty() || answers[0].IsGood() == step.good) << step.line;
        ASSERT_EQ(lines.size(), 1u) << step.line;
        EXPECT_EQ(lines[0].substr(13, step.line.size()), step.line);  // after "hh:mm:ss.mmm "
    }
    EXPECT_EQ(lu.RestartCount(), 1);
    EXPECT_EQ(lu.NextReadWord(), 1) << "writes do not move the read cursor";
}

TEST(LuSim, TimingRunsFromTheFirstRequestToTheAnswerOfTheThirtySecondWord) {
    SimLu lu{SimLuOptions{}};
    auto now = SimLu::Clock::time_point{} + std::chrono::hours(1);
    lu.SetClock([&now] { return now; });
    lu.Handle(*LuDevParamsMes(kLu));  // the clock starts here
    for (int i = 0; i < 64; ++i) {
        now += std::chrono::microseconds(i < 31 ? 500 : i == 31 ? 734 : 1000);
        if (i == 31) lu.Handle(*LuByteWriteMes(kLu, 62, 1));  // a write answer is no read
        lu.Handle(*LuNvramReadMes(kLu));
    }
    EXPECT_EQ(lu.TimingReport(), "lu-sim: first request to answer of word 32: 16.234 ms")
        << "later rounds count not";
    EXPECT_NE(SimLu(SimLuOptions{}).TimingReport().find("not reached (0 of 32"), std::string::npos);
}

TEST(LuSim, SettingsFilesHoldExactlySixtyFourLittleEndianBytes) {
    const std::string path = TempPath("file");
    std::vector<unsigned char> bytes(64);
    for (int k = 0; k < 64; ++k) bytes[k] = static_cast<unsigned char>(k * 3 + 1);
    WriteFile(path, bytes);
    SimLu lu(Options("--nvram " + path + " --defaults=" + path + " --save " + path));
    EXPECT_EQ(std::vector<int>({lu.Nvram()[0], lu.Defaults()[31]}),
              std::vector<int>({0x0401, 187 | 190 << 8}));
    lu.Handle(*LuByteWriteMes(kLu, 0, 0xEE));
    std::string error;
    ASSERT_TRUE(lu.SaveNvram(error)) << error;
    SimLuWords w{};
    ASSERT_TRUE(LoadSimLuFile(path, w, error));
    EXPECT_EQ(w[0], 0x04EE);
    WriteFile(path, std::vector<unsigned char>(65, 0));
    EXPECT_FALSE(LoadSimLuFile(path, w, error));
    EXPECT_EQ(w[0], 0x04EE) << "untouched by a refusal";
    std::remove(path.c_str());
}

TEST(LuSim, OptionsTakeSeparateOrAttachedValuesAndRefuseBadOnes) {
    const SimLuOptions o = Options(
        "--variant=200 --report short --no-defaults --drop-in 30 --dup-out=5 --delay 250 --refuse --seed 7");
    EXPECT_EQ(std::vector<int>({o.variant, o.longReport, o.withDefaults, o.dropIn, o.dropOut, o.dupIn,
                                o.dupOut, o.delayMs, o.refuse, static_cast<int>(o.seed)}),
              std::vector<int>({200, false, false, 30, 0, 0, 5, 250, true, 7}));
    std::string error;
    EXPECT_FALSE(CheckSimLuOptions(o, error)) << "variant 200 in a short report";
    EXPECT_EQ(Options("--drop=20").dropOut, 20);
    for (const char* bad : {"--type 64", "--type 12x", "--type", "--variant -1", "--fw-version 26.0.0",
                            "--fw-version 2.10.0", "--fw-version 2.1", "--report medium", "--drop 101",
                            "--dup-in -5", "--delay 60001", "--no-defaults=1", "--line-address 128",
                            "--word-form=14", "--save=", "--nvram /nonexistent/lusim.046"}) {
        SimLuOptions unused;
        EXPECT_EQ(Parse(ParseSimLuOption, bad, unused, &error), -1) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    SimLuOptions unit;
    EXPECT_EQ(Parse(ParseSimLuOption, "--node 5", unit), 0) << "an option of the link";
    LuSimV7Options v;
    ASSERT_EQ(Parse(ParseLuSimV7Option, "--node 4711 --port=0 --bind 127.0.0.1 --key abc", v), 1);
    EXPECT_EQ(std::to_string(v.node) + " " + v.bindAddress + " " + v.keyText, "4711 127.0.0.1 abc");
    for (const char* bad : {"--node 0", "--node 9999900", "--port 65536", "--bind localhost:1", "--key",
                            "--units 0", "--units 1001"})
        EXPECT_EQ(Parse(ParseLuSimV7Option, bad, v), -1) << bad;
    // The link key as the tool derives it: 32 upper-case hex digits, else a pass phrase.
    CKeySys phrase;
    phrase.Create(L"0123456789abcdef0123456789abcdef");
    EXPECT_EQ(LuSimKeyFromText("0123456789abcdef0123456789abcdef"), phrase);
}

TEST(LuSimFaults, EachDirectionHasItsOwnPercentagesAndASeedRepeatsTheDraws) {
    SimFaults certain(Options("--drop-in 100 --dup-out 100"));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(certain.Copies(SimDirection::In) * 10 + certain.Copies(SimDirection::Out), 2);
    EXPECT_EQ(certain.Summary(), "in: 10 dropped, 0 duplicated; out: 0 dropped, 10 duplicated");
    EXPECT_FALSE(SimFaults().Active());
    // 30% dropped; half of the rest duplicated; the same draws from the same seed.
    const SimLuOptions o = Options("--drop-out 30 --dup-out 50 --seed 1234");
    SimFaults a(o), b(o);
    int counts[3] = {};
    for (int i = 0; i < 4000; ++i) {
        ASSERT_EQ(a.Copies(SimDirection::In), 1);
        ++counts[a.Copies(SimDirection::Out)];
        b.Copies(SimDirection::Out);
    }
    EXPECT_NEAR(counts[0], 1200, 150);
    EXPECT_NEAR(counts[2], 1400, 150);
    EXPECT_EQ(a.Summary(), b.Summary());
}

// Where the tool's requests go through the console: UM 0, slot 7, the unit at address 1.
const LuTarget kViaConsole{0, 7, 1};

ConsoleSimOptions ConsoleOptions(const std::string& line) {
    ConsoleSimOptions o;
    EXPECT_EQ(Parse(ParseConsoleSimOption, line, o), 1) << line;
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
        {"--source=lift --lift=17 --console=3", 3, 17, "lift 3"},
        {"--source=lift", 23, 23, "lift 23"},
        {"--source console --console 3 --lift=17", 17, 3, "console 17"},
        {"--source=console", 5, 5, "console 5"},
        {"", 42, 42, "lift 42"},
        {"--source=target --lift=17 --console=3", 3, 3, "lift 3"},
        // By default a given lift code wins over the console number the tool addressed (-q).
        {"--lift=17 --console=3", 3, 17, "lift 3"},
        {"--console=0", 0, 0, "console 0"},
        {"--source=4711", 17, 4711, "lift 17"},
    };
    for (const Case& c : cases) {
        SimLu lu{SimLuOptions{}};
        Relayed r = Relay(ConsoleOptions(c.options), lu, SendMsg(c.target, {*LuNvramReadMes(kViaConsole)}));
        EXPECT_EQ(r.sources, std::vector<int>({c.source})) << c.options;
        ASSERT_EQ(r.lines.size(), 1u);
        EXPECT_NE(r.lines[0].find(std::string("SendMsg to ") + c.named + ": read word 0 -> 0x"),
                  std::string::npos)
            << r.lines[0];
    }
    // Another console's or lift's traffic is not this console's to answer.
    SimLu lu{SimLuOptions{}};
    Relayed other =
        Relay(ConsoleOptions("--lift=17 --console=3"), lu, SendMsg(5, {*LuNvramReadMes(kViaConsole)}));
    EXPECT_TRUE(other.sources.empty());
    ASSERT_EQ(other.lines.size(), 1u);
    EXPECT_NE(other.lines[0].find("not relayed"), std::string::npos) << other.lines[0];
}

TEST(ConsoleRelay, AnswersGoBackInOrderInAsFewLinePacketsAsHoldThem) {
    SimLu lu{SimLuOptions{}};
    const uint16_t want = static_cast<uint16_t>(lu.Nvram()[5] ^ 0xA55A);
    // Two word answers of 16 units fill a line packet far enough that the long parameters
    // report of 30 units needs a second one.
    Relayed r =
        Relay(ConsoleOptions(""), lu,
              SendMsg(17, {*LuByteWriteMes(kViaConsole, 10, want & 0xFF),
                           *LuByteWriteMes(kViaConsole, 11, want >> 8), *LuDevParamsMes(kViaConsole)}));
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
    CMesDisp close;  // anything but a SendMsg is no work for the relay
    std::vector<CMesDisp> out;
    EXPECT_FALSE(close.Create_CloseLink() &&
                 ConsoleRelay(ConsoleOptions(""), lu).HandleSendMsg(close, out, r.lines));
}

TEST(ConsoleSimOptions, BadValuesAreRefused) {
    std::string error;
    for (const char* bad : {"--port=70000", "--port=x", "--source=nobody", "--close-after=-5",
                            "--bind=not-an-ip", "--lift", "--lift=0", "--console=-1"}) {
        ConsoleSimOptions o;
        EXPECT_EQ(Parse(ParseConsoleSimOption, bad, o, &error), -1) << bad;
        EXPECT_FALSE(error.empty()) << bad;
    }
    const ConsoleSimOptions o = ConsoleOptions("--bind 127.0.0.1 --port 4000 --close-after=250 --mute -h");
    EXPECT_EQ(AddrText(o.bindAddr) + " " + std::to_string(o.port) + " " + std::to_string(o.closeAfterMs),
              "::ffff:127.0.0.1 4000 250");
    EXPECT_TRUE(o.mute && o.help);
}

}  // namespace
