// The simulated unit's core, without sockets: what it answers to each request, how its
// NVRAM changes, its settings files and its command-line options.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "Dev.h"
#include "LuSimV7.h"
#include "NvRam.h"
#include "SimLu.h"

namespace {

// The tool's view of the unit: UM 3, slot 7, device 5; the tool is console 255.15.
LuTarget Target() {
    LuTarget t;
    t.destNode = 3;
    t.destSub = 7;
    t.dev = 5;
    return t;
}

CMes Params() {
    return *LuDevParamsMes(Target());
}
CMes Read() {
    return *LuNvramReadMes(Target());
}
CMes Write(int address, unsigned char value) {
    return *LuByteWriteMes(Target(), address, value);
}
CMes Restart() {
    return *LuRestartMes(Target());
}

struct Decoded {
    bool ok = false;
    int index = -1;
    unsigned short value = 0;
    bool isWord = false;
    unsigned short value2 = 0;
    bool hasValue2 = false;
};

Decoded Decode(const CMes& m) {
    Decoded d;
    d.ok = m.GetLbNVRAM(d.index, d.value, d.isWord, d.value2, d.hasValue2);
    return d;
}

class TempFile {
public:
    explicit TempFile(const std::string& tag) {
        path_ = ::testing::TempDir() + "lusim_" + tag + "_" + std::to_string(::getpid()) + ".046";
        std::remove(path_.c_str());
    }
    ~TempFile() { std::remove(path_.c_str()); }
    const std::string& Path() const { return path_; }
    void Write(const std::vector<unsigned char>& bytes) const {
        std::ofstream out(path_, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::vector<unsigned char> Read() const {
        std::ifstream in(path_, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

private:
    std::string path_;
};

// Runs the option parser over one command line; gives its result for the last option.
struct ParseRun {
    int result = 0;
    int index = 0;
    std::string error;
};

// "hh:mm:ss.mmm " in front.
bool IsStamped(const std::string& l) {
    const std::string shape = "dd:dd:dd.ddd ";
    if (l.size() <= shape.size()) return false;
    for (std::size_t k = 0; k < shape.size(); ++k) {
        const bool ok = shape[k] == 'd' ? (l[k] >= '0' && l[k] <= '9') : l[k] == shape[k];
        if (!ok) return false;
    }
    return true;
}

// Runs one option parser over the arguments as the program would, stopping at the first
// argument it does not take.
template <class Options, class Parser>
ParseRun ParseWith(Parser parse, std::vector<std::string> args, Options& o) {
    args.insert(args.begin(), "lu-sim");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    ParseRun run;
    for (int i = 1; i < static_cast<int>(argv.size()); ++i) {
        run.index = i;
        run.result = parse(static_cast<int>(argv.size()), argv.data(), i, o, run.error);
        if (run.result != 1) return run;
        run.index = i;
    }
    return run;
}

ParseRun ParseLu(std::vector<std::string> args, SimLuOptions& o) {
    return ParseWith(ParseSimLuOption, std::move(args), o);
}

ParseRun ParseV7(std::vector<std::string> args, LuSimV7Options& o) {
    return ParseWith(ParseLuSimV7Option, std::move(args), o);
}

}  // namespace

// ---- Device parameters --------------------------------------------------------------------

TEST(LuSimParams, LongReportByDefaultIsReadByTheDeviceRecord) {
    SimLu lu{SimLuOptions{}};
    const auto answers = lu.Handle(Params());
    ASSERT_EQ(answers.size(), 1u);
    const CMes& a = answers[0];
    EXPECT_EQ(a.typ, CMes::mesDevAnswer);
    EXPECT_EQ(a.ask, CMes::askDevParam);
    EXPECT_TRUE(a.IsGood());
    EXPECT_GT(a.len, 29);
    // Back to the sender of the request, from the unit's own place.
    EXPECT_EQ(a.destNode, 255);
    EXPECT_EQ(a.destSub, 15);
    EXPECT_EQ(a.origNode, 3);
    EXPECT_EQ(a.origSub, 7);
    EXPECT_EQ(a.dev, 5);

    CDev dev(5, nullptr, CDev::typDev(0), nullptr);
    EXPECT_EQ(dev.SetParDev(a), 1);
    EXPECT_EQ(dev.Typ(), CDev::devLB14);
    EXPECT_TRUE(dev.IsV7());
    EXPECT_TRUE(dev.IsLongReport());
    int v1 = 0, v2 = 0, v3 = 0, v4 = 0;
    ASSERT_EQ(dev.GetVers(v1, v2, v3, v4), 1);
    EXPECT_EQ(v2, 2);
    EXPECT_EQ(v3, 1);
    EXPECT_EQ(v4, 5);
}

TEST(LuSimParams, OptionsSetTypeVariantVersionAndForm) {
    SimLuOptions o;
    o.devType = 12;
    o.variant = 37 + 64 * 3;  // needs the long report's second variant unit
    o.versionMajor = 6;
    o.versionMinor = 4;
    o.versionPatch = 33;
    SimLu lu(o);
    CDev dev(5, nullptr, CDev::typDev(0), nullptr);
    dev.SetParDev(lu.Handle(Params()).at(0));
    EXPECT_EQ(dev.Typ(), CDev::devLB12);
    EXPECT_EQ(dev.Variant(), 37 + 64 * 3);
    EXPECT_EQ(dev.Vers(), (64 | (33 << 8)));

    o.longReport = false;
    o.variant = 37;
    SimLu shortLu(o);
    const CMes a = shortLu.Handle(Params()).at(0);
    EXPECT_EQ(a.len, 14);
    EXPECT_TRUE(a.IsGood());
    CDev fresh(5, nullptr, CDev::typDev(0), nullptr);
    fresh.SetParDev(a);
    EXPECT_FALSE(fresh.IsLongReport());
    EXPECT_EQ(fresh.Typ(), CDev::devLB12);
    EXPECT_EQ(fresh.Variant(), 37);
}

TEST(LuSimParams, ErrorFaultAnswersWithAnErrorReport) {
    SimLuOptions o;
    o.paramError = true;
    SimLu lu(o);
    const auto answers = lu.Handle(Params());
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].ask, CMes::askDevParam);
    EXPECT_FALSE(answers[0].IsGood());
    // Reads are not touched by this fault.
    EXPECT_TRUE(lu.Handle(Read()).at(0).IsGood());
}

// ---- NVRAM reads ----------------------------------------------------------------------------

TEST(LuSimRead, ThirtyTwoReadsGiveEveryWordWithItsDefaultThenStartOver) {
    SimLu lu{SimLuOptions{}};
    const auto nvram = lu.Nvram();
    const auto defaults = lu.Defaults();
    for (int i = 0; i < kSimLuWords; ++i) {
        const auto answers = lu.Handle(Read());
        ASSERT_EQ(answers.size(), 1u);
        const CMes& a = answers[0];
        EXPECT_TRUE(a.IsGood()) << i;
        EXPECT_EQ(a.ask, CMes::askLbNVRAM);
        EXPECT_EQ(a.len, 16);
        const Decoded d = Decode(a);
        ASSERT_TRUE(d.ok);
        EXPECT_TRUE(d.isWord);
        EXPECT_EQ(d.index, i);
        EXPECT_EQ(d.value, nvram[i]);
        ASSERT_TRUE(d.hasValue2);
        EXPECT_EQ(d.value2, defaults[i]);
    }
    EXPECT_EQ(Decode(lu.Handle(Read()).at(0)).index, 0);
}

TEST(LuSimRead, BuiltInWordsArePlausible) {
    SimLuOptions o;
    o.versionMajor = 3;
    o.versionMinor = 7;
    o.versionPatch = 2;
    const auto w = SimLuBuiltinNvram(o);
    const auto d = SimLuBuiltinDefaults(o);
    EXPECT_EQ(w[0], 37 | (2 << 8));  // the firmware version, as the service page shows it
    EXPECT_EQ(w[8] >> 8, 0x55);      // NVRAM table usage on
    EXPECT_EQ(d[0], w[0]);
    EXPECT_NE(w, d);  // something for an editor to mark
}

TEST(LuSimRead, WithoutDefaultsEveryValueStaysAGoodAnswer) {
    SimLuOptions o;
    o.withDefaults = false;
    SimLuWords words{};
    words[0] = 0xFFFF;  // top bit of the high byte in the last value unit
    words[1] = 0x8001;
    words[2] = 0x7F7F;
    o.nvram = words;
    SimLu lu(o);
    for (int i = 0; i < 3; ++i) {
        const CMes a = lu.Handle(Read()).at(0);
        EXPECT_TRUE(a.IsGood()) << "word " << i;
        EXPECT_LT(a.len, 16);
        const Decoded d = Decode(a);
        ASSERT_TRUE(d.ok);
        EXPECT_EQ(d.index, i);
        EXPECT_EQ(d.value, words[i]);
        EXPECT_FALSE(d.hasValue2);
    }
}

TEST(LuSimRead, ReadErrorFaultAndSilentUnit) {
    SimLuOptions o;
    o.readError = true;
    SimLu lu(o);
    const CMes a = lu.Handle(Read()).at(0);
    EXPECT_EQ(a.ask, CMes::askLbNVRAM);
    EXPECT_FALSE(a.IsGood());
    EXPECT_TRUE(lu.Handle(Params()).at(0).IsGood());

    SimLuOptions s;
    s.silent = true;
    SimLu silent(s);
    EXPECT_TRUE(silent.Handle(Params()).empty());
    EXPECT_TRUE(silent.Handle(Read()).empty());
    EXPECT_TRUE(silent.Handle(Write(2, 1)).empty());
}

// ---- Byte writes ----------------------------------------------------------------------------

TEST(LuSimWrite, LowThenHighByteAreAnsweredWithTheWordNowHeld) {
    SimLu lu{SimLuOptions{}};
    const uint16_t before = lu.Nvram()[4];
    const CMes low = lu.Handle(Write(8, 0x34)).at(0);
    Decoded d = Decode(low);
    ASSERT_TRUE(d.ok);
    EXPECT_TRUE(d.isWord);
    EXPECT_EQ(d.index, 4);
    EXPECT_EQ(d.value, (before & 0xFF00) | 0x34);
    EXPECT_TRUE(d.hasValue2);

    d = Decode(lu.Handle(Write(9, 0x12)).at(0));
    EXPECT_EQ(d.index, 4);
    EXPECT_EQ(d.value, 0x1234);
    EXPECT_EQ(lu.Nvram()[4], 0x1234);
    // The defaults stay what they were; writes do not move the read cursor.
    EXPECT_EQ(lu.Defaults()[4], SimLuBuiltinDefaults(SimLuOptions{})[4]);
    EXPECT_EQ(lu.NextReadWord(), 0);
}

TEST(LuSimWrite, LastWordAndBeyond) {
    SimLu lu{SimLuOptions{}};
    EXPECT_EQ(Decode(lu.Handle(Write(63, 0xAB)).at(0)).value >> 8, 0xAB);
    EXPECT_EQ(lu.Nvram()[31] >> 8, 0xAB);
    const auto before = lu.Nvram();
    const CMes refused = lu.Handle(Write(64, 0x01)).at(0);
    EXPECT_FALSE(refused.IsGood());
    EXPECT_EQ(lu.Nvram(), before);
}

TEST(LuSimWrite, ReadErrorFaultStillAppliesWrites) {
    SimLuOptions o;
    o.readError = true;
    SimLu lu(o);
    EXPECT_TRUE(lu.Handle(Write(10, 0x77)).at(0).IsGood());
    EXPECT_EQ(lu.Nvram()[5] & 0xFF, 0x77);
}

// ---- Other requests and the lines -----------------------------------------------------------

TEST(LuSimRequests, RestartIsCountedAndUnansweredOtherMessagesIgnored) {
    SimLu lu{SimLuOptions{}};
    std::vector<std::string> lines;
    lu.SetPrinter([&lines](const std::string& l) { lines.push_back(l); });
    EXPECT_TRUE(lu.Handle(Restart()).empty());
    EXPECT_EQ(lu.RestartCount(), 1);

    // A slot poll and a device request with a sub-address the unit does not serve.
    EXPECT_TRUE(lu.Handle(CMes(3, 7, 255, 15, CMes::mesSlotPoll, 0)).empty());
    EXPECT_TRUE(lu.Handle(CMes(3, 7, 255, 15, 5, CMes::mesDevAsk, CMes::askState, nullptr, 0, -1)).empty());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_NE(lines[0].find("restart requested"), std::string::npos);
    EXPECT_NE(lines[1].find("ignored"), std::string::npos);
    EXPECT_NE(lines[2].find("ignored"), std::string::npos);
    EXPECT_EQ(lu.RestartCount(), 1);
}

TEST(LuSimRequests, LineAddressFiltersOtherDevices) {
    SimLuOptions o;
    o.lineAddress = 6;
    SimLu lu(o);
    EXPECT_TRUE(lu.Handle(Read()).empty());  // addressed to device 5
    LuTarget t = Target();
    t.dev = 6;
    EXPECT_EQ(lu.Handle(*LuNvramReadMes(t)).size(), 1u);
}

TEST(LuSimRequests, ReadableLines) {
    SimLu lu{SimLuOptions{}};
    std::vector<std::string> lines;
    lu.SetPrinter([&lines](const std::string& l) { lines.push_back(l); });
    lu.Handle(Params());
    lu.Handle(Read());
    lu.Handle(Write(9, 0x12));
    ASSERT_EQ(lines.size(), 3u);
    for (const auto& l : lines) EXPECT_TRUE(IsStamped(l)) << l;
    EXPECT_EQ(lines[0].substr(13), "device parameters -> long report: type 14, variant 0, version 2.1.5");
    EXPECT_EQ(lines[1].substr(13), "read word 0 -> 0x0515 (default 0x0515)");
    EXPECT_EQ(lines[2].substr(13), "write byte 9 := 0x12 -> word 4 = 0x1200");
}

TEST(LuSimRequests, TimingFromFirstRequestToTheThirtySecondWord) {
    SimLu lu{SimLuOptions{}};
    auto now = SimLu::Clock::time_point{} + std::chrono::hours(1);
    lu.SetClock([&now] { return now; });
    EXPECT_NE(lu.TimingReport().find("not reached (0 of 32"), std::string::npos);
    lu.Handle(Params());  // the clock starts here
    for (int i = 0; i < 31; ++i) {
        now += std::chrono::microseconds(500);
        lu.Handle(Read());
    }
    EXPECT_FALSE(lu.TimeToAllWords());
    EXPECT_NE(lu.TimingReport().find("not reached (31 of 32"), std::string::npos);
    // A write answer is no read: it does not complete the set.
    now += std::chrono::microseconds(500);
    lu.Handle(Write(62, 1));
    EXPECT_FALSE(lu.TimeToAllWords());
    now += std::chrono::microseconds(234);
    lu.Handle(Read());
    ASSERT_TRUE(lu.TimeToAllWords());
    EXPECT_EQ(lu.TimeToAllWords()->count(), 16234000);
    EXPECT_EQ(lu.TimingReport(), "lu-sim: first request to answer of word 32: 16.234 ms");
    // Later rounds do not move the mark.
    now += std::chrono::seconds(1);
    for (int i = 0; i < 32; ++i) lu.Handle(Read());
    EXPECT_EQ(lu.TimingReport(), "lu-sim: first request to answer of word 32: 16.234 ms");
}

// ---- Settings files -------------------------------------------------------------------------

TEST(LuSimFile, LoadsSixtyFourLittleEndianBytes) {
    TempFile f("load");
    std::vector<unsigned char> bytes(64);
    for (int k = 0; k < 64; ++k) bytes[k] = static_cast<unsigned char>(k * 3 + 1);
    f.Write(bytes);
    SimLuWords w{};
    std::string error;
    ASSERT_TRUE(LoadSimLuFile(f.Path(), w, error)) << error;
    EXPECT_EQ(w[0], 0x0401);
    EXPECT_EQ(w[31], (187 | (190 << 8)));  // bytes 62 and 63
}

TEST(LuSimFile, RefusesWrongLengthsAndMissingFiles) {
    TempFile f("bad");
    SimLuWords w{};
    w.fill(0x1111);
    std::string error;
    f.Write(std::vector<unsigned char>(63, 0));
    EXPECT_FALSE(LoadSimLuFile(f.Path(), w, error));
    EXPECT_NE(error.find("63 bytes"), std::string::npos) << error;
    f.Write(std::vector<unsigned char>(65, 0));
    EXPECT_FALSE(LoadSimLuFile(f.Path(), w, error));
    EXPECT_NE(error.find("64"), std::string::npos) << error;
    f.Write({});
    EXPECT_FALSE(LoadSimLuFile(f.Path(), w, error));
    EXPECT_EQ(w[0], 0x1111);  // untouched by every refusal
    EXPECT_FALSE(LoadSimLuFile(f.Path() + ".none", w, error));
    EXPECT_NE(error.find("cannot be opened"), std::string::npos);
}

TEST(LuSimFile, SaveWritesTheCurrentWordsAndLoadsBack) {
    TempFile f("save");
    SimLuOptions o;
    o.saveFile = f.Path();
    SimLu lu(o);
    lu.Handle(Write(0, 0xEE));
    std::string error;
    ASSERT_TRUE(lu.SaveNvram(error)) << error;
    const auto bytes = f.Read();
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(bytes[0], 0xEE);
    EXPECT_EQ(bytes[1], lu.Nvram()[0] >> 8);
    SimLuWords back{};
    ASSERT_TRUE(LoadSimLuFile(f.Path(), back, error));
    EXPECT_EQ(back, lu.Nvram());

    SimLu unnamed{SimLuOptions{}};
    EXPECT_FALSE(unnamed.SaveNvram(error));
    EXPECT_FALSE(error.empty());
    SimLuOptions bad;
    bad.saveFile = ::testing::TempDir() + "no_such_dir_lusim/x.046";
    SimLu badLu(bad);
    EXPECT_FALSE(badLu.SaveNvram(error));
}

// ---- Options --------------------------------------------------------------------------------

TEST(LuSimOptions, ValuesSeparateOrAttached) {
    SimLuOptions o;
    const auto run = ParseLu({"--type",
                              "12",
                              "--variant=200",
                              "--fw-version",
                              "3.4.7",
                              "--report",
                              "short",
                              "--no-defaults",
                              "--drop",
                              "30",
                              "--dup-out=5",
                              "--delay",
                              "250",
                              "--line-address",
                              "9",
                              "--silent",
                              "--param-error",
                              "--read-error",
                              "--refuse",
                              "--seed",
                              "7",
                              "--save",
                              "out.046"},
                             o);
    ASSERT_EQ(run.result, 1) << run.error;
    EXPECT_EQ(run.index, 23);  // stands on the last argument used
    EXPECT_EQ(o.devType, 12);
    EXPECT_EQ(o.variant, 200);
    EXPECT_EQ(o.versionMajor, 3);
    EXPECT_EQ(o.versionMinor, 4);
    EXPECT_EQ(o.versionPatch, 7);
    EXPECT_FALSE(o.longReport);
    EXPECT_FALSE(o.withDefaults);
    EXPECT_EQ(o.dropIn, 30);
    EXPECT_EQ(o.dropOut, 30);
    EXPECT_EQ(o.dupIn, 0);
    EXPECT_EQ(o.dupOut, 5);
    EXPECT_EQ(o.delayMs, 250);
    EXPECT_EQ(o.lineAddress, 9);
    EXPECT_TRUE(o.silent && o.paramError && o.readError && o.refuse);
    EXPECT_EQ(o.seed, 7u);
    EXPECT_EQ(o.saveFile, "out.046");
    std::string error;
    EXPECT_FALSE(CheckSimLuOptions(o, error));  // variant 200 in a short report
    EXPECT_NE(error.find("--variant"), std::string::npos);
}

TEST(LuSimOptions, BadValuesAreRefusedWithAReason) {
    const std::vector<std::vector<std::string>> bad = {
        {"--type", "64"},
        {"--type", "abc"},
        {"--type", "12x"},
        {"--type"},
        {"--variant", "-1"},
        {"--fw-version", "26.0.0"},
        {"--fw-version", "2.10.0"},
        {"--fw-version", "2.1"},
        {"--fw-version", "2.1.64"},
        {"--report", "medium"},
        {"--drop", "101"},
        {"--dup-in", "-5"},
        {"--delay", "60001"},
        {"--no-defaults=1"},
        {"--line-address", "128"},
        {"--save="},
        {"--nvram", "/nonexistent/lusim.046"},
    };
    for (const auto& args : bad) {
        SimLuOptions o;
        const auto run = ParseLu(args, o);
        EXPECT_EQ(run.result, -1) << args[0];
        EXPECT_FALSE(run.error.empty()) << args[0];
    }
}

TEST(LuSimOptions, FilesAreReadWhileParsing) {
    TempFile good("optgood");
    good.Write(std::vector<unsigned char>(64, 0x42));
    TempFile shortFile("optshort");
    shortFile.Write(std::vector<unsigned char>(10, 0));
    SimLuOptions o;
    ASSERT_EQ(ParseLu({"--nvram", good.Path(), "--defaults=" + good.Path()}, o).result, 1);
    ASSERT_TRUE(o.nvram && o.defaults);
    EXPECT_EQ((*o.nvram)[17], 0x4242);
    SimLu lu(o);
    const Decoded d = Decode(lu.Handle(Read()).at(0));
    EXPECT_EQ(d.value, 0x4242);
    EXPECT_EQ(d.value2, 0x4242);

    const auto run = ParseLu({"--defaults", shortFile.Path()}, o);
    EXPECT_EQ(run.result, -1);
    EXPECT_NE(run.error.find("10 bytes"), std::string::npos) << run.error;
}

TEST(LuSimOptions, ForeignArgumentsAreLeftAlone) {
    SimLuOptions o;
    const auto run = ParseLu({"--node", "5"}, o);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.index, 1);
    EXPECT_EQ(ParseLu({"--typex", "5"}, o).result, 0);
}

TEST(LuSimOptions, LinkOptions) {
    LuSimV7Options o;
    ASSERT_EQ(
        ParseV7({"--node", "4711", "--port=0", "--bind", "127.0.0.1", "--key", "abc", "--repeat-ms", "100"},
                o)
            .result,
        1);
    EXPECT_EQ(o.node, 4711);
    EXPECT_EQ(o.bindAddress, "127.0.0.1");
    EXPECT_EQ(o.keyText, "abc");
    EXPECT_EQ(o.repeatMs, 100);
    for (const auto& args : std::vector<std::vector<std::string>>{{"--node", "0"},
                                                                  {"--node", "9999900"},
                                                                  {"--port", "65536"},
                                                                  {"--bind", "localhost:1"},
                                                                  {"--key"}}) {
        LuSimV7Options x;
        EXPECT_EQ(ParseV7(args, x).result, -1) << args[0];
    }
    EXPECT_EQ(ParseV7({"--type", "3"}, o).result, 0);
}

TEST(LuSimOptions, KeyTextFollowsTheToolsRule) {
    const std::string hex = "0123456789ABCDEF0123456789ABCDEF";
    CKeySys direct;
    direct.Set(L"0123456789ABCDEF0123456789ABCDEF");
    EXPECT_EQ(LuSimKeyFromText(hex), direct);
    // Lower case or a digit too many: a pass phrase.
    CKeySys phrase;
    phrase.Create(L"0123456789abcdef0123456789abcdef");
    EXPECT_EQ(LuSimKeyFromText("0123456789abcdef0123456789abcdef"), phrase);
    EXPECT_NE(LuSimKeyFromText(hex + "0"), direct);
    CKeySys empty;
    empty.Create(L"");
    EXPECT_EQ(LuSimKeyFromText(""), empty);
    EXPECT_FALSE(LuSimKeyFromText("").IsEmpty());
}

// ---- Datagram faults ------------------------------------------------------------------------

TEST(LuSimFaults, CertainAndImpossibleFates) {
    SimFaults none;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(none.Copies(SimDirection::In), 1);
        ASSERT_EQ(none.Copies(SimDirection::Out), 1);
    }
    EXPECT_FALSE(none.Active());

    SimLuOptions o;
    o.dropIn = 100;
    o.dupOut = 100;
    SimFaults f(o);
    EXPECT_TRUE(f.Active());
    for (int i = 0; i < 10; ++i) {
        EXPECT_EQ(f.Copies(SimDirection::In), 0);
        EXPECT_EQ(f.Copies(SimDirection::Out), 2);
    }
    EXPECT_EQ(f.Dropped(SimDirection::In), 10);
    EXPECT_EQ(f.Duplicated(SimDirection::Out), 10);
    EXPECT_EQ(f.Dropped(SimDirection::Out), 0);
    EXPECT_EQ(f.Summary(), "in: 10 dropped, 0 duplicated; out: 0 dropped, 10 duplicated");
}

TEST(LuSimFaults, PercentagesHoldAndASeedRepeatsTheDraws) {
    SimLuOptions o;
    o.dropOut = 30;
    o.dupOut = 50;
    o.seed = 1234;
    SimFaults a(o), b(o);
    int counts[3] = {};
    for (int i = 0; i < 4000; ++i) {
        const int c = a.Copies(SimDirection::Out);
        ASSERT_EQ(c, b.Copies(SimDirection::Out));
        ++counts[c];
    }
    // 30% dropped; half of the rest duplicated.
    EXPECT_NEAR(counts[0], 1200, 150);
    EXPECT_NEAR(counts[2], 1400, 150);
    EXPECT_EQ(a.Dropped(SimDirection::Out), counts[0]);
    EXPECT_EQ(a.Dropped(SimDirection::In), 0);
}
