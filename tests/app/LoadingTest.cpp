// The loading dialog as a view of the session, the unit's answers handed to the session
// directly: the gauge and the word waited for, the end with OK once every word is in, and each
// other end with its box. The session's decisions are tested in tests/structure.

#include <wx/timer.h>

#include "AppTestUtil.h"
#include "LoadingDialog.h"
#include "PackV7.h"

namespace {

class LoadingTest : public ::testing::Test {
protected:
    void SetUp() override { Reset(); }
    void TearDown() override {
        Reset();
        ResetApp();
    }
    void Reset() {
        if (dialog != nullptr) dialog->Destroy();
        dialog = nullptr;
        ResetApp();
        g_StringENU = true;
        app.badLog.Open("C", "log");
    }

    // Runs a dialog modally as the start-up does, as the top window; `meanwhile` runs once the
    // modal loop has begun the load. A dialog still open after 3 s is ended with kTimedOut.
    int Run(const std::function<void(LoadingDialog&)>& meanwhile) {
        dialog = new LoadingDialog(nullptr, "test");
        app.SetTopWindowTracked(dialog);
        dialog->CallAfter([this, meanwhile] { meanwhile(*dialog); });
        wxTimer guard;
        guard.Bind(wxEVT_TIMER, [this](wxTimerEvent&) {
            if (dialog->IsModal()) dialog->EndModal(kTimedOut);
        });
        guard.StartOnce(3000);
        const int result = dialog->ShowModal();
        app.SetTopWindowTracked(nullptr);
        return result;
    }

    static constexpr int kTimedOut = -20;
    TolvaneApp& app = TestApp();
    ScopedHome home;
    SimLu unit{SimLuOptions{}};
    LoadingDialog* dialog = nullptr;
};

TEST_F(LoadingTest, TheGaugeMovesWithEveryWordAndAFullLoadEndsOk) {
    std::vector<int> gauge;
    std::vector<wxString> status;
    EXPECT_EQ(Run([&](LoadingDialog& d) {
                  status.push_back(d.GetStatus());
                  AnswerFrom(unit, [&] {
                      gauge.push_back(d.GetProgress());
                      status.push_back(d.GetStatus());
                  });
              }),
              wxID_OK);
    // 4 for the parameters, then 3 more for each word: full with the 32nd.
    std::vector<int> expected;
    for (int words = 0; words <= kLuWords; ++words) expected.push_back(4 + 3 * words);
    EXPECT_EQ(gauge, expected);
    ASSERT_GE(status.size(), 3u);
    EXPECT_EQ(status[0], _W_(1181));
    EXPECT_EQ(status[1], wxString::Format(_W_(1182), 1));
    EXPECT_EQ(status[2], wxString::Format(_W_(1182), 2));
    EXPECT_EQ(app.nvramRead.size(), 32u);
    EXPECT_TRUE(Seen().boxes.empty());
}

// Every other end of the load fails the start, and the engineer learns why, or chose it.
TEST_F(LoadingTest, EachOtherEndSaysWhy) {
    wxString missing;
    for (int w = 0; w < kLuWords; ++w) missing << (w > 0 ? ", " : "") << w;
    auto post = [](LoadingDialog& d, wxEventType type) {
        wxQueueEvent(&d, new wxCommandEvent(type, wxID_ANY));
    };
    const struct {
        const char* what;
        std::function<void(LoadingDialog&)> act;
        wxString box;  // empty: none
    } cases[] = {
        {"silent unit", [](LoadingDialog&) {}, _W_(1104)},
        {"refusal",
         [&](LoadingDialog& d) {
             const unsigned char mark[1] = {1};
             CPackV7 refusal;
             refusal.SetLink(CPackV7::typRefuse, mark, 1);
             app.inpV7.Put(refusal);
             post(d, PACKV7_RECEIVED);
         },
         _W_(1105)},
        {"lost link", [&](LoadingDialog& d) { post(d, NO_LINK); }, _W_(1106)},
        // The parameters came, the words do not: asked, the engineer gives up.
        {"stalled read",
         [&](LoadingDialog& d) {
             d.SetStallAsk(100ms);
             for (const CMes& m : unit.Handle(*LuDevParamsMes(LuTarget{}))) d.MngMsg(m);
         },
         wxString::Format(_W_(1183), 0, missing)},
        {"Cancel",
         [](LoadingDialog& d) {
             wxCommandEvent cancel(wxEVT_BUTTON, wxID_CANCEL);
             d.GetEventHandler()->ProcessEvent(cancel);
         },
         ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Reset();
        Seen().answer = wxNO;
        const bool silent = c.box == _W_(1104);
        UnitSessionTiming fast;
        fast.tick = 10ms;
        if (silent) app.session.SetTiming(fast);
        EXPECT_EQ(Run(c.act), wxID_CANCEL);
        EXPECT_EQ(Seen().Texts(), c.box.empty() ? std::vector<wxString>{} : std::vector<wxString>{c.box});
        EXPECT_TRUE(app.nvramRead.empty());
        app.badLog.Close();
        const std::vector<std::string> log = ReadLogTexts(home.BadLogDir());
        EXPECT_TRUE(!silent || (!log.empty() && log.back() == _S_(1104).ToStr()))
            << "a silent unit is logged";
    }
}

}  // namespace
