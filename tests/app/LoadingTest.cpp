// The loading dialog: answers handled one by one (fed from the simulated unit's own answer
// logic), and whole loading runs over real sockets against lu-sim (direct mode) and
// console-sim (console mode) processes, including a silent, refusing and dying unit.

#include <gtest/gtest.h>
#include <signal.h>
#include <wx/timer.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "AppTestUtil.h"
#include "Dev.h"
#include "LoadRes.h"
#include "LoadingDialog.h"
#include "NvRam.h"
#include "SimLu.h"
#include "SimProcessUtil.h"
#include "utilities.h"
#include "wxLoadRes.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kKeyPhrase = "loading test key";
constexpr int kUnitNode = 4321;

// Word images the simulated unit starts from: no word equals its default, and word 8's default
// lacks the bits the dialog adds.
SimLuWords TestWords() {
    SimLuWords w{};
    for (int i = 0; i < kSimLuWords; ++i) w[i] = static_cast<uint16_t>(0x1200 + 7 * i);
    return w;
}

SimLuWords TestDefaults() {
    SimLuWords d{};
    for (int i = 0; i < kSimLuWords; ++i) d[i] = static_cast<uint16_t>(0x0100 + i);
    d[8] = 0x0012;
    return d;
}

void WriteWords(const std::string& path, const SimLuWords& words) {
    std::ofstream out(path, std::ios::binary);
    for (uint16_t w : words) {
        out.put(static_cast<char>(w & 0xFF));
        out.put(static_cast<char>(w >> 8));
    }
}

class LoadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetApp();
        app.badLog.Open("C", "log");
        wordsFile = home.Path() + "/words.046";
        defaultsFile = home.Path() + "/defaults.046";
        WriteWords(wordsFile, TestWords());
        WriteWords(defaultsFile, TestDefaults());
    }

    void TearDown() override { ResetApp(); }

    void StartLuSim(std::vector<std::string> extra) {
#ifdef TOLVANE_LU_SIM_PATH
        std::vector<std::string> args = {
            "--node", std::to_string(kUnitNode), "--key", kKeyPhrase, "--bind", "::1", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim.Start(TOLVANE_LU_SIM_PATH, args, 5s, &error)) << error;
        app.v7Id = kUnitNode;
        app.v7Addr = IP6FromStr("::1");
        app.v7Port = sim.Port();
        app.keyText = DBString(kKeyPhrase);
#else
        (void)extra;
        GTEST_SKIP() << "lu-sim is not built";
#endif
    }

    void StartConsoleSim(std::vector<std::string> extra) {
#ifdef TOLVANE_CONSOLE_SIM_PATH
        std::vector<std::string> args = {"--bind", "::1", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim.Start(TOLVANE_CONSOLE_SIM_PATH, args, 5s, &error)) << error;
        app.utilPort = sim.Port();
#else
        (void)extra;
        GTEST_SKIP() << "console-sim is not built";
#endif
    }

    // Checks the settings and connects as OnInit does.
    void Connect() {
        app.CheckSettings();
        ASSERT_TRUE(app.pult.Connect());
        ASSERT_NE(app.pult.GetDev(), nullptr);
    }

    // Runs the dialog as OnInit does: it is the top window while it runs.
    int RunLoading(int retryMs, std::chrono::milliseconds limit,
                   std::function<void(LoadingDialog&)> watch = {}) {
        auto* dialog = new LoadingDialog(nullptr, app.TitleSuffix());
        dialog->SetRetryInterval(retryMs);
        app.SetTopWindowTracked(dialog);
        wxTimer watcher;
        if (watch) {
            watcher.Bind(wxEVT_TIMER, [&](wxTimerEvent&) { watch(*dialog); });
            watcher.Start(10);
        }
        const int result = RunModal(*dialog, limit);
        watcher.Stop();
        app.SetTopWindowTracked(nullptr);
        retries = dialog->GetRetries();
        progress = dialog->GetProgress();
        paramsReceived = dialog->IsParamsReceived();
        dialog->Destroy();
        PumpFor(10ms);
        return result;
    }

    void ExpectAllWords(bool withDefaults) {
        const SimLuWords words = TestWords();
        ASSERT_EQ(app.nvramRead.size(), 32u);
        for (int i = 0; i < 32; ++i) EXPECT_EQ(app.nvramRead[i], words[i]) << "word " << i;
        EXPECT_EQ(progress, 100);
        if (!withDefaults) {
            EXPECT_TRUE(app.nvramDefaults.empty());
            return;
        }
        const SimLuWords defaults = TestDefaults();
        ASSERT_EQ(app.nvramDefaults.size(), 32u);
        for (int i = 0; i < 32; ++i) {
            if (i != 8) {
                EXPECT_EQ(app.nvramDefaults[i], defaults[i]) << "default " << i;
            }
        }
        EXPECT_EQ(app.nvramDefaults[8], 0x5512);
    }

    std::vector<std::string> LogTexts() {
        app.badLog.Close();
        return ReadLogTexts(home.BadLogDir());
    }

    TolvaneApp& app = TestApp();
    ScopedHome home;
    SimProcess sim;
    std::string wordsFile;
    std::string defaultsFile;
    int retries = -1;
    int progress = -1;
    bool paramsReceived = false;
};

// ---- Answers one by one ------------------------------------------------------------------

// A dialog that is not the top window, with answers made by the simulated unit's own logic
// for the requests the tool's device record builds.
class AnswerTest : public LoadingTest {
protected:
    void SetUp() override {
        LoadingTest::SetUp();
        SimLuOptions options;
        options.nvram = TestWords();
        options.defaults = TestDefaults();
        lu = std::make_unique<SimLu>(options);
        // A unit that never answers: every answer here is handed over by the test.
        StartLuSim({"--silent"});
        Connect();
        dialog = new LoadingDialog(nullptr, "answers");
    }

    void TearDown() override {
        dialog->Destroy();
        PumpFor(10ms);
        LoadingTest::TearDown();
    }

    CMes Request(CMes::askFromMain ask) {
        CDev* dev = app.pult.GetDev();
        const LuTarget target{app.umNum, app.slotNum, dev->Number()};
        std::optional<CMes> m = ask == CMes::askDevParam ? LuDevParamsMes(target) : LuNvramReadMes(target);
        EXPECT_TRUE(m.has_value());
        return m.value_or(CMes());
    }

    static CMes Only(const std::vector<CMes>& answers) {
        EXPECT_EQ(answers.size(), 1u);
        return answers.empty() ? CMes() : answers.front();
    }

    CMes Answer(CMes::askFromMain ask) { return Only(lu->Handle(Request(ask))); }

    std::unique_ptr<SimLu> lu;
    LoadingDialog* dialog = nullptr;
};

TEST_F(AnswerTest, ParametersThenWordsFillTheMapsAndTheGauge) {
    dialog->MngMsg(Answer(CMes::askDevParam));
    EXPECT_TRUE(dialog->IsParamsReceived());
    EXPECT_EQ(dialog->GetProgress(), 4);
    EXPECT_EQ(app.pult.GetDev()->Typ(), 14) << "the record learned the unit's type";

    dialog->MngMsg(Answer(CMes::askLbNVRAM));
    EXPECT_EQ(app.nvramRead.size(), 1u);
    EXPECT_EQ(dialog->GetProgress(), 7);
    for (int i = 1; i < 32; ++i) dialog->MngMsg(Answer(CMes::askLbNVRAM));
    EXPECT_TRUE(dialog->HasEnded());
    EXPECT_EQ(dialog->GetReturnCode(), wxID_OK);
    EXPECT_EQ(dialog->GetProgress(), 100);
    EXPECT_EQ(app.nvramDefaults[8], 0x5512);
    EXPECT_EQ(app.nvramRead[31], TestWords()[31]);

    // A late answer after the end changes nothing.
    app.nvramRead.clear();
    dialog->MngMsg(Answer(CMes::askLbNVRAM));
    EXPECT_TRUE(app.nvramRead.empty());
}

TEST_F(AnswerTest, RepeatedWordKeepsTheLaterValueWithoutProgress) {
    dialog->MngMsg(Answer(CMes::askDevParam));
    const CMes first = Answer(CMes::askLbNVRAM);
    dialog->MngMsg(first);
    EXPECT_EQ(dialog->GetProgress(), 7);
    int index = -1;
    unsigned short value = 0;
    bool isWord = false;
    ASSERT_TRUE(first.GetLbNVRAM(index, value, isWord));
    app.nvramRead[index] = 0xDEAD;
    dialog->MngMsg(first);
    EXPECT_EQ(app.nvramRead[index], value);
    EXPECT_EQ(app.nvramRead.size(), 1u);
    EXPECT_EQ(dialog->GetProgress(), 7);
}

TEST_F(AnswerTest, SecondParametersAnswerAndForeignMessagesAreIgnored) {
    const CMes params = Answer(CMes::askDevParam);
    dialog->MngMsg(params);
    CDev* dev = app.pult.GetDev();
    const int type = dev->Typ();

    // A request (type 58) that comes back is no answer.
    dialog->MngMsg(Request(CMes::askLbNVRAM));
    EXPECT_TRUE(app.nvramRead.empty());

    SimLuOptions other;
    other.devType = 6;
    other.longReport = false;
    SimLu otherUnit(other);
    dialog->MngMsg(Only(otherUnit.Handle(Request(CMes::askDevParam))));
    EXPECT_EQ(dev->Typ(), type) << "a second parameters answer is ignored";
    EXPECT_FALSE(dialog->HasEnded());
}

TEST_F(AnswerTest, ErrorReportsDropWordsButEndOnParameters) {
    SimLuOptions faulty;
    faulty.readError = true;
    faulty.paramError = true;
    SimLu bad(faulty);
    dialog->MngMsg(Answer(CMes::askDevParam));
    dialog->MngMsg(Only(bad.Handle(Request(CMes::askLbNVRAM))));
    EXPECT_TRUE(app.nvramRead.empty());
    EXPECT_FALSE(dialog->HasEnded()) << "a bad word answer is only dropped";

    auto* fresh = new LoadingDialog(nullptr, "fresh");
    fresh->MngMsg(Only(bad.Handle(Request(CMes::askDevParam))));
    EXPECT_TRUE(fresh->HasEnded());
    EXPECT_EQ(fresh->GetReturnCode(), wxID_CANCEL);
    EXPECT_FALSE(fresh->IsParamsReceived());
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1104));
    fresh->Destroy();
    const std::vector<std::string> lines = LogTexts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), _S_(1104).ToStr());
}

// ---- Whole runs: direct mode -------------------------------------------------------------

TEST_F(LoadingTest, DirectModeReadsAllWordsAndDefaults) {
    StartLuSim({"--nvram", wordsFile, "--defaults", defaultsFile});
    Connect();
    EXPECT_EQ(RunLoading(3000, 15s), wxID_OK);
    ExpectAllWords(true);
    EXPECT_FALSE(app.pult.GetDev()->TypLB().empty());
    EXPECT_TRUE(ShownBoxes().empty());
}

TEST_F(LoadingTest, DirectModeWithoutDefaultsStillEndsWithOk) {
    StartLuSim({"--nvram", wordsFile, "--no-defaults"});
    Connect();
    EXPECT_EQ(RunLoading(3000, 15s), wxID_OK);
    ExpectAllWords(false);
}

TEST_F(LoadingTest, SilentUnitEndsWith1104AfterFiveRetries) {
    g_StringENU = true;
    StartLuSim({"--silent"});
    Connect();
    EXPECT_EQ(RunLoading(40, 10s), wxID_CANCEL);
    EXPECT_EQ(retries, LoadingDialog::kMaxRetries);
    EXPECT_FALSE(paramsReceived);
    EXPECT_TRUE(app.nvramRead.empty());
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, wxString("The device is not responding"));
    EXPECT_EQ(ShownBoxes()[0].caption, wxString(App));
    const std::vector<std::string> lines = LogTexts();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "The device is not responding");
    // The first parameter request and five repeats reached the unit, and nothing more.
    PumpFor(100ms);
    int asked = 0;
    for (const std::string& line : sim.Lines())
        asked += line.find("device parameters -> no answer") != std::string::npos ? 1 : 0;
    EXPECT_EQ(asked, 1 + LoadingDialog::kMaxRetries);
}

TEST_F(LoadingTest, RefusingUnitEndsWith1105AndStopsTheLink) {
    g_StringENU = true;
    StartLuSim({"--refuse"});
    Connect();
    EXPECT_EQ(RunLoading(3000, 10s), wxID_CANCEL);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, wxString("In LU busy all links, connection impossible"));
    EXPECT_EQ(ShownBoxes()[0].style, wxICON_ERROR);
    EXPECT_FALSE(app.receivV7.IsRunning());
    EXPECT_FALSE(app.sendV7.IsRunning());
    EXPECT_TRUE(app.nvramRead.empty());
}

TEST_F(LoadingTest, UnitThatDiesEndsWith1106) {
    g_StringENU = true;
    // Answers leave late, so the unit can be killed between the parameters and the words.
    StartLuSim({"--nvram", wordsFile, "--delay", "300"});
    Connect();
    app.sendV7.SetRepeatInterval(100);
    app.sendV7.SetMaxSends(2);
    bool killed = false;
    const int result = RunLoading(3000, 15s, [&](LoadingDialog& d) {
        if (!killed && d.IsParamsReceived()) {
            sim.Kill();
            killed = true;
        }
    });
    EXPECT_TRUE(killed);
    EXPECT_EQ(result, wxID_CANCEL);
    EXPECT_TRUE(paramsReceived);
    EXPECT_LT(app.nvramRead.size(), 32u);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, wxString("Not link with device"));
    EXPECT_FALSE(app.receivV7.IsRunning());
}

// ---- Whole runs: console mode ------------------------------------------------------------

TEST_F(LoadingTest, ConsoleModeWithConsoleAddress) {
    StartConsoleSim({"--nvram", wordsFile, "--defaults", defaultsFile});
    app.utilAddr = IP6FromStr("::1");
    app.pultNum = 1;
    app.slotNum = 3;
    app.devAddr = 5;
    Connect();
    EXPECT_EQ(RunLoading(3000, 15s), wxID_OK);
    ExpectAllWords(true);
}

TEST_F(LoadingTest, ConsoleModeWithoutConsoleAddressTakesConsoleZero) {
    StartConsoleSim({"--nvram", wordsFile, "--defaults", defaultsFile});
    app.pultNum = 0;
    app.umNum = 2;
    app.slotNum = 1;
    app.devAddr = 9;
    Connect();
    EXPECT_EQ(RunLoading(3000, 15s), wxID_OK);
    ExpectAllWords(true);
}

TEST_F(LoadingTest, ConsoleModeWithLiftCode) {
    StartConsoleSim({"--nvram", wordsFile, "--no-defaults", "--lift", "17", "--source", "lift"});
    app.codLift = 17;
    Connect();
    EXPECT_EQ(app.TitleSuffix(), wxString(" CodLift:17"));
    EXPECT_EQ(RunLoading(3000, 15s), wxID_OK);
    ExpectAllWords(false);
}

TEST_F(LoadingTest, ConsoleModeSilentUnitEndsWith1104) {
    StartConsoleSim({"--silent"});
    app.utilAddr = IP6FromStr("::1");
    app.pultNum = 1;
    app.slotNum = 3;
    app.devAddr = 5;
    Connect();
    EXPECT_EQ(RunLoading(30, 10s), wxID_CANCEL);
    EXPECT_EQ(retries, LoadingDialog::kMaxRetries);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1104));
}

}  // namespace
