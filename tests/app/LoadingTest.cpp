// The loading dialog as a view of the session, over real sockets against lu-sim (direct
// mode) and console-sim (console mode): the run ends OK with the gauge full, and each way it
// can fail shows its box. What the session decides is tested without a window in
// tests/structure/UnitSessionTest.cpp.

#include <gtest/gtest.h>
#include <wx/timer.h>

#include <memory>
#include <string>
#include <vector>

#include "AppTestUtil.h"
#include "LoadRes.h"
#include "LoadingDialog.h"
#include "SimProcessUtil.h"
#include "utilities.h"
#include "wxLoadRes.h"

namespace {

using namespace std::chrono_literals;

constexpr const char* kKeyPhrase = "loading test key";
constexpr int kUnitNode = 4321;

class LoadingTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetApp();
        g_StringENU = true;
        app.badLog.Open("C", "log");
    }
    void TearDown() override { ResetApp(); }

    void Start(const char* program, std::vector<std::string> args) {
        args.insert(args.end(), {"--bind", "::1", "--port", "0"});
        std::string error;
        sim = std::make_unique<SimProcess>();
        ASSERT_TRUE(sim->Start(program, args, 5s, &error)) << error;
    }
    void StartLuSim(std::vector<std::string> extra) {
        extra.insert(extra.end(), {"--node", std::to_string(kUnitNode), "--key", kKeyPhrase});
        Start(TOLVANE_LU_SIM_PATH, extra);
        app.v7Id = kUnitNode;
        app.v7Addr = IP6FromStr("::1");
        app.v7Port = sim->Port();
        app.keyText = DBString(kKeyPhrase);
    }

    // Connects and runs the dialog as OnInit does: it is the top window while it runs.
    int RunLoading(std::chrono::milliseconds limit) {
        app.CheckSettings();
        EXPECT_TRUE(app.pult.Connect());
        auto* dialog = new LoadingDialog(nullptr, app.TitleSuffix());
        app.SetTopWindowTracked(dialog);
        const int result = RunModal(*dialog, limit);
        app.SetTopWindowTracked(nullptr);
        progress = dialog->GetProgress();
        dialog->Destroy();
        PumpFor(10ms);
        return result;
    }

    TolvaneApp& app = TestApp();
    ScopedHome home;
    std::unique_ptr<SimProcess> sim;
    int progress = -1;
};

TEST_F(LoadingTest, BothModesLoadEveryWordWithTheGaugeFull) {
    struct Case {
        const char* what;
        bool direct;
        std::vector<std::string> args;
        int pultNum, slotNum, devAddr, codLift;
        bool consoleAddress;
    } cases[] = {
        {"direct", true, {}, -1, -1, 0, 0, false},
        {"console address", false, {}, 1, 3, 5, 0, true},
        {"lift code", false, {"--lift", "17", "--source", "lift", "--no-defaults"}, -1, -1, 0, 17, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetApp();
        if (c.direct) {
            StartLuSim(c.args);
        } else {
            Start(TOLVANE_CONSOLE_SIM_PATH, c.args);
            app.utilPort = sim->Port();
            if (c.consoleAddress) app.utilAddr = IP6FromStr("::1");
        }
        app.pultNum = c.pultNum;
        app.slotNum = c.slotNum;
        app.devAddr = c.devAddr;
        app.codLift = c.codLift;
        EXPECT_EQ(RunLoading(15s), wxID_OK);
        EXPECT_EQ(progress, 100);
        EXPECT_EQ(app.nvramRead.size(), 32u);
        EXPECT_EQ(app.nvramDefaults.size(), c.args.empty() ? 32u : 0u);
        EXPECT_EQ(app.session.State(), typUnitState::Ready);
        EXPECT_TRUE(ShownBoxes().empty());
    }
}

TEST_F(LoadingTest, EachFailedEndShowsItsBox) {
    struct Case {
        std::vector<std::string> args;
        int box;
        bool linkStopped;
    } cases[] = {
        {{"--silent"}, 1104, false},
        {{"--refuse"}, 1105, true},
        {{"--param-error"}, 1104, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front());
        ResetApp();
        app.badLog.Open("C", "log");
        UnitSessionTiming fast;
        fast.tick = 40ms;
        app.session.SetTiming(fast);
        StartLuSim(c.args);
        EXPECT_EQ(RunLoading(10s), wxID_CANCEL);
        ASSERT_EQ(ShownBoxes().size(), 1u);
        EXPECT_EQ(ShownBoxes()[0].text, _W_(c.box));
        EXPECT_EQ(ShownBoxes()[0].caption, wxString(App));
        EXPECT_EQ(!app.receivV7.IsRunning(), c.linkStopped);
        EXPECT_TRUE(app.nvramRead.empty());
        if (c.box == 1104) {
            app.badLog.Close();
            const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(), _S_(1104).ToStr());
        }
    }
}

// The dialog says what it waits for, Cancel ends the start, and a read that stalls offers the
// engineer Cancel or Keep waiting, naming the words still missing.
TEST_F(LoadingTest, TheEngineerCanEndAStartThatGoesNowhere) {
    for (bool stall : {false, true}) {
        SCOPED_TRACE(stall ? "reads stall" : "cancel while waiting");
        ResetApp();
        g_StringENU = true;
        StartLuSim({stall ? "--read-error" : "--silent"});
        app.CheckSettings();
        ASSERT_TRUE(app.pult.Connect());
        auto* dialog = new LoadingDialog(nullptr, app.TitleSuffix());
        dialog->SetStallAsk(300ms);
        app.SetTopWindowTracked(dialog);
        SetBoxAnswer(wxNO);  // Cancel, not Keep waiting
        wxTimer press;
        wxString status;
        press.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
            status = dialog->GetStatus();
            wxCommandEvent cancel(wxEVT_BUTTON, wxID_CANCEL);
            dialog->GetEventHandler()->ProcessEvent(cancel);
        });
        if (!stall) press.StartOnce(200);
        EXPECT_EQ(RunModal(*dialog, 10s), wxID_CANCEL);
        app.SetTopWindowTracked(nullptr);
        if (stall) {
            ASSERT_EQ(ShownBoxes().size(), 1u);
            EXPECT_TRUE(ShownBoxes()[0].text.Contains(": 0, 1, 2,")) << ShownBoxes()[0].text;
            EXPECT_EQ(dialog->GetStatus(), wxString::Format(_W_(1182), 1));
        } else {
            EXPECT_EQ(status, _W_(1181));
            EXPECT_TRUE(ShownBoxes().empty());
        }
        dialog->Destroy();
        PumpFor(10ms);
    }
}

TEST_F(LoadingTest, AUnitThatDiesEndsWithTheLostLinkBox) {
    // Answers leave late, so the unit can be killed between the parameters and the words.
    StartLuSim({"--delay", "300"});
    app.sendV7.SetRepeatInterval(100);
    app.sendV7.SetMaxSends(2);
    wxTimer killer;
    bool killed = false;
    killer.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
        if (!killed && app.session.ParamsReceived()) {
            sim->Kill();
            killed = true;
        }
    });
    killer.Start(10);
    EXPECT_EQ(RunLoading(15s), wxID_CANCEL);
    killer.Stop();
    EXPECT_TRUE(killed);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1106));
    EXPECT_FALSE(app.receivV7.IsRunning());
}

}  // namespace
