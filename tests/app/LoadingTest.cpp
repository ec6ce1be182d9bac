// The loading dialog on a session answered directly: its gauge and status, OK once every word is
// in, and why each other end came. (The session's decisions: tests/structure.)

#include <wx/timer.h>

#include "AppTestUtil.h"
#include "LoadingDialog.h"
#include "PackV7.h"

// A full load ends OK, the gauge at 4 for the parameters and 3 more for each word, the status
// naming the word waited for. Every other end fails the start, and the engineer learns why.
TEST(LoadingTest, EachEndOfTheLoad) {
    TolvaneApp& app = TestApp();
    ScopedHome home;
    SimLu unit{SimLuOptions{}};
    LoadingDialog* dialog = nullptr;
    // Runs a dialog as the start-up does; `act` runs once its loop has begun the load, and a
    // dialog still open after 3 s is ended with -20.
    auto run = [&](const std::function<void(LoadingDialog&)>& act) {
        dialog = new LoadingDialog(nullptr, "test");
        app.SetTopWindowTracked(dialog);
        dialog->CallAfter([&dialog, act] { act(*dialog); });
        wxTimer guard;
        guard.Bind(wxEVT_TIMER, [&dialog](wxTimerEvent&) { dialog->EndModal(-20); });
        guard.StartOnce(3000);
        const int result = dialog->ShowModal();
        app.SetTopWindowTracked(nullptr);
        return result;
    };
    std::vector<int> gauge;
    std::vector<wxString> status;
    wxString missing;
    for (int w = 0; w < kLuWords; ++w) missing << (w > 0 ? ", " : "") << w;
    auto post = [](LoadingDialog& d, wxEventType type) {
        wxQueueEvent(&d, new wxCommandEvent(type, wxID_ANY));
    };
    const struct {
        const char* what;
        std::function<void(LoadingDialog&)> act;
        wxString box;  // empty: none
        int end = wxID_CANCEL;
    } cases[] = {
        {"every word",
         [&](LoadingDialog& d) {
             d.SetStatusEvery(0ms);
             status.push_back(d.GetStatus());
             AnswerFrom(unit, [&] {
                 gauge.push_back(d.GetProgress());
                 status.push_back(d.GetStatus());
             });
         },
         "", wxID_OK},
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
        ResetApp();
        app.badLog.Open("C", "log");
        Seen().answer = wxNO;
        const bool silent = c.box == _W_(1104);
        UnitSessionTiming fast;
        fast.tick = 10ms;
        if (silent) app.session.SetTiming(fast);
        EXPECT_EQ(run(c.act), c.end);
        EXPECT_EQ(Seen().Texts(), c.box.empty() ? std::vector<wxString>{} : std::vector<wxString>{c.box});
        EXPECT_EQ(app.nvramRead.size(), c.end == wxID_OK ? 32u : 0u);
        app.badLog.Close();
        const std::vector<std::string> log = ReadLogTexts(home.BadLogDir());
        EXPECT_TRUE(!silent || (!log.empty() && log.back() == _S_(1104).ToStr()))
            << "a silent unit is logged";
        dialog->Destroy();
    }
    ResetApp();
    std::vector<int> expected;
    for (int words = 0; words <= kLuWords; ++words) expected.push_back(4 + 3 * words);
    EXPECT_EQ(gauge, expected);
    ASSERT_GE(status.size(), 3u);
    EXPECT_EQ(status[0] + "|" + status[1] + "|" + status[2],
              _W_(1181) + "|" + wxString::Format(_W_(1182), 1) + "|" + wxString::Format(_W_(1182), 2));
}
