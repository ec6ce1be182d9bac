// The simulated unit's core without sockets: its answers, its lines, its settings files, its
// options and the fate of its datagrams. The unit session's tests load and write every word
// through it in each answer form.

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "Dev.h"
#include "LuSimV7.h"
#include "NvRam.h"
#include "SimLu.h"

namespace {

// The tool's view of the unit: UM 3, slot 7, device 5; the tool is console 255.15.
const LuTarget kLu{3, 7, 5};

// Runs one option parser over a command line (arguments split at blanks) as the program
// would; gives its result for the last argument it looked at.
template <class Options, class Parser>
int Parse(Parser parse, const std::string& line, Options& o, std::string* error = nullptr) {
    std::vector<std::string> args = {"lu-sim"};
    for (size_t at = 0, end; at <= line.size(); at = end + 1) {
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
    lu.SetPrinter(
        [&lines](const std::string& l) { lines.push_back(l.substr(13)); });  // after "hh:mm:ss.mmm "
    const LuTarget six{3, 7, 6};
    EXPECT_TRUE(lu.Handle(*LuRestartMes(six)).empty());
    EXPECT_EQ(lu.RestartCount(), 1);
    EXPECT_TRUE(lu.Handle(CMes(3, 7, 255, 15, CMes::mesSlotPoll, 0)).empty());
    EXPECT_TRUE(lu.Handle(CMes(3, 7, 255, 15, 6, CMes::mesDevAsk, CMes::askState, nullptr, 0, -1)).empty());
    EXPECT_TRUE(lu.Handle(*LuNvramReadMes(kLu)).empty()) << "addressed to device 5";
    const SimLuWords before = lu.Nvram();
    std::vector<CMes> answers;
    for (const auto& m :
         {LuDevParamsMes(six), LuNvramReadMes(six), LuByteWriteMes(six, 9, 0x12), LuByteWriteMes(six, 64, 1)})
        answers.push_back(lu.Handle(*m).at(0));
    EXPECT_EQ(std::vector<int>(
                  {answers[0].IsGood(), answers[1].IsGood(), answers[2].IsGood(), answers[3].IsGood()}),
              std::vector<int>({true, false, true, false}))
        << "a read error touches reads only; there is no byte 64";
    EXPECT_EQ(lu.Nvram()[4], (before[4] & 0xFF) | 0x1200);
    EXPECT_EQ(lu.NextReadWord(), 1) << "writes do not move the read cursor";
    const std::vector<std::string> want = {
        "restart requested (restart 1)",
        "ignored: ",
        "ignored: ",
        "ignored: request for device 5, this unit is device 6",
        "device parameters -> long report: type 14, variant 0, version 2.1.5",
        "read word 0 -> error report (fault)",
        "write byte 9 := 0x12 -> word 4 = 0x1200",
        "write byte 64 := 0x01 -> refused: the unit has bytes 0..63 (error report)"};
    ASSERT_EQ(lines.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i) EXPECT_EQ(lines[i].substr(0, want[i].size()), want[i]);
}

TEST(LuSim, TimingRunsFromTheFirstRequestToTheAnswerOfTheThirtySecondWord) {
    SimLu lu{SimLuOptions{}};
    auto now = SimLu::Clock::time_point{} + std::chrono::hours(1);
    lu.SetClock([&now] { return now; });
    lu.Handle(*LuDevParamsMes(kLu));  // the clock starts here
    for (int i = 0; i < 32; ++i) {
        now += std::chrono::microseconds(i < 31 ? 500 : 734);
        if (i == 31) {
            lu.Handle(*LuByteWriteMes(kLu, 62, 1));  // a write answer is no read
            EXPECT_NE(lu.TimingReport().find("not reached (31 of 32"), std::string::npos);
        }
        lu.Handle(*LuNvramReadMes(kLu));
    }
    EXPECT_EQ(lu.TimingReport(), "lu-sim: first request to answer of word 32: 16.234 ms");
    now += std::chrono::seconds(1);
    for (int i = 0; i < 32; ++i) lu.Handle(*LuNvramReadMes(kLu));
    EXPECT_EQ(lu.TimeToAllWords()->count(), 16234000) << "later rounds do not move the mark";
}

TEST(LuSim, SettingsFilesHoldExactlySixtyFourLittleEndianBytes) {
    const std::string path = TempPath("file");
    std::vector<unsigned char> bytes(64);
    for (int k = 0; k < 64; ++k) bytes[k] = static_cast<unsigned char>(k * 3 + 1);
    WriteFile(path, bytes);
    SimLuOptions o = Options("--nvram " + path + " --defaults=" + path + " --save " + path);
    EXPECT_EQ(std::vector<int>({(*o.nvram)[0], (*o.defaults)[31]}),
              std::vector<int>({0x0401, 187 | 190 << 8}));
    SimLu lu(o);
    lu.Handle(*LuByteWriteMes(kLu, 0, 0xEE));
    std::string error;
    ASSERT_TRUE(lu.SaveNvram(error)) << error;
    SimLuWords w{};
    ASSERT_TRUE(LoadSimLuFile(path, w, error));
    EXPECT_EQ(w, lu.Nvram());
    EXPECT_EQ(w[0], 0x04EE);
    for (size_t n : {63, 65, 0}) {
        WriteFile(path, std::vector<unsigned char>(n, 0));
        EXPECT_FALSE(LoadSimLuFile(path, w, error)) << n;
        EXPECT_NE(error.find(n == 65 ? "more bytes" : std::to_string(n) + " bytes"), std::string::npos)
            << error;
    }
    EXPECT_EQ(w[0], 0x04EE) << "untouched by every refusal";
    std::remove(path.c_str());
    EXPECT_FALSE(LoadSimLuFile(path, w, error));
    o.saveFile = path + ".d/x.046";
    EXPECT_FALSE(SimLu(o).SaveNvram(error));
    EXPECT_FALSE(SimLu(SimLuOptions{}).SaveNvram(error)) << "no file named";
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
    SimLuOptions foreign;
    EXPECT_EQ(Parse(ParseSimLuOption, "--node 5", foreign) + Parse(ParseSimLuOption, "--typex 5", foreign),
              0);

    LuSimV7Options v;
    ASSERT_EQ(Parse(ParseLuSimV7Option, "--node 4711 --port=0 --bind 127.0.0.1 --key abc", v), 1);
    EXPECT_EQ(std::to_string(v.node) + " " + v.bindAddress + " " + v.keyText, "4711 127.0.0.1 abc");
    for (const char* bad : {"--node 0", "--node 9999900", "--port 65536", "--bind localhost:1", "--key"})
        EXPECT_EQ(Parse(ParseLuSimV7Option, bad, v), -1) << bad;
    EXPECT_EQ(Parse(ParseLuSimV7Option, "--type 3", v), 0);

    // The link key as the tool derives it: 32 upper-case hex digits, else a pass phrase.
    CKeySys direct, phrase;
    direct.Set(L"0123456789ABCDEF0123456789ABCDEF");
    phrase.Create(L"0123456789abcdef0123456789abcdef");
    EXPECT_EQ(LuSimKeyFromText("0123456789ABCDEF0123456789ABCDEF"), direct);
    EXPECT_EQ(LuSimKeyFromText("0123456789abcdef0123456789abcdef"), phrase);
    EXPECT_NE(LuSimKeyFromText("0123456789ABCDEF0123456789ABCDEF0"), direct);
}

TEST(LuSimFaults, EachDirectionHasItsOwnPercentagesAndASeedRepeatsTheDraws) {
    SimFaults certain(Options("--drop-in 100 --dup-out 100"));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(certain.Copies(SimDirection::In) * 10 + certain.Copies(SimDirection::Out), 2);
    EXPECT_EQ(certain.Summary(), "in: 10 dropped, 0 duplicated; out: 0 dropped, 10 duplicated");
    EXPECT_FALSE(SimFaults().Active());

    const SimLuOptions o = Options("--drop-out 30 --dup-out 50 --seed 1234");
    SimFaults a(o), b(o);
    int counts[3] = {};
    for (int i = 0; i < 4000; ++i) {
        const int c = a.Copies(SimDirection::Out);
        ASSERT_EQ(c, b.Copies(SimDirection::Out));
        ASSERT_EQ(a.Copies(SimDirection::In), 1);
        ++counts[c];
    }
    // 30% dropped; half of the rest duplicated.
    EXPECT_NEAR(counts[0], 1200, 150);
    EXPECT_NEAR(counts[2], 1400, 150);
    EXPECT_EQ(a.Dropped(SimDirection::Out) * 10000 + a.Duplicated(SimDirection::Out),
              counts[0] * 10000 + counts[2]);
}

}  // namespace
