// The main window as the view of the session, of the settings file and of the parameter layout:
// the grid's cells, the marks, the status bar, the "Func" entries, the review, the boxes and
// confirmations, and the fit of both pages on the smallest screen. The session is loaded and
// answered from a simulated unit without any link; the real links are run in EndToEndTest.

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/weakref.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "AppTestUtil.h"
#include "PackV7.h"
#include "ServiceTab.h"
#include "TolvaneFrame.h"

namespace {

using Texts = std::vector<wxString>;

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetApp();
        g_StringENU = true;
    }
    void TearDown() override {
        Close();
        ResetApp();
    }

    // The window on a session loaded from the simulated unit, whose words and defaults are
    // first changed by `tweak`.
    void Open(int protoVer, const std::function<void(WordMap& read, WordMap& defaults)>& tweak = {}) {
        Close();
        LoadSession(SimLuOptions{});
        if (tweak) tweak(app.nvramRead, app.nvramDefaults);
        frame = new TolvaneFrame("Tolvane test", app, protoVer);
        Settle();
    }
    void Close() {
        if (frame) frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
    static void Settle() {
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
    }

    void Click(int row, int col) {
        wxGridEvent ev(TolvaneFrame::ID_GRID, wxEVT_GRID_CELL_LEFT_CLICK, frame->GetGrid(), row, col);
        frame->OnCellLeftClick(ev);
        Settle();
    }
    void Command(void (TolvaneFrame::*handler)(wxCommandEvent&)) {
        wxCommandEvent ev;
        (frame.get()->*handler)(ev);
        Settle();
    }
    void Post(wxEventType type) {
        wxQueueEvent(frame.get(), new wxCommandEvent(type, -1));
        PumpUntil([this] { return !frame || !wxTheApp->HasPendingEvents(); }, 3s);
    }
    bool Orange(int row, int col) const {
        return frame->GetGrid()->GetCellBackgroundColour(row, col) == kBackgroundColourHighlighted;
    }
    wxString Status(int field) const { return frame->GetStatusBar()->GetStatusText(field); }
    uint16_t Edited(int word) const { return GetWord(frame->Edited(), word); }

    TolvaneApp& app = TestApp();
    wxWeakRef<TolvaneFrame> frame;
};

// Each bit and field of the grid's words in its cell, with its number beside the box and the
// interval list of its row; showing the unit's words changes none of them, not even a
// power-off state that is no trigger state.
TEST_F(FrameTest, TheGridShowsEachWordInItsCellAndChangesNone) {
    Open(7, [](WordMap& read, WordMap&) {
        read[9] = 0x0004;   // row 2, column 1
        read[10] = 0x0010;  // row 20, column 1
        read[16] = 0x0000;
        read[19] = 0x0008;  // row 35: power-off without its trigger state
        read[22] = 0x5550;  // rows 9, 10 and 11: field 5
        read[30] = 0x0070;  // row 33: field 7
    });
    wxGrid* g = frame->GetGrid();
    const wxString s = " " + _W_(1570);
    const std::tuple<int, int, wxString> cells[] = {
        // clang-format off
        {2, 1, "1"},      {3, 1, ""},         {20, 1, "1"},        {21, 1, ""},       {35, 3, "1"},
        {35, 2, ""},      {8, 4, "0" + s},    {9, 4, "1" + s},     {10, 4, "10" + s}, {11, 4, "100" + s},
        {33, 4, "2" + s}, {7, 4, ""},         {0, 0, _W_(1919)},   {39, 0, _W_(1958)},
        // clang-format on
    };
    for (const auto& [row, col, text] : cells)
        EXPECT_EQ(g->GetCellValue(row, col), text) << row << "," << col;
    EXPECT_EQ(g->GetNumberRows(), 40);
    EXPECT_EQ(g->GetColLabelValue(3), _W_(1804));
    EXPECT_TRUE(g->IsReadOnly(7, 4));
    EXPECT_TRUE(g->IsReadOnly(35, 2)) << "locked by its power-off state";
    const int numbers[] = {24, 104, 152};  // beside the boxes of row 5
    for (int col = 1; col <= 3; ++col) {
        wxGridCellRenderer* renderer = g->GetCellRenderer(5, col);
        auto* numbered = dynamic_cast<GridCellBoolWithStrRenderer*>(renderer);
        EXPECT_EQ(numbered ? numbered->GetText() : "", wxString::Format("%d", numbers[col - 1]));
        renderer->DecRef();
    }
    wxGridCellEditor* editor = g->GetCellEditor(11, 4);
    auto* combo = dynamic_cast<GridComboBox*>(editor);
    EXPECT_EQ(combo ? combo->GetChoices().size() : 0u, 16u);
    EXPECT_EQ(combo ? combo->GetChoices().back() : "", "2500" + s);
    editor->DecRef();

    EXPECT_EQ(frame->Edited(), app.nvramRead);
    EXPECT_EQ(frame->PendingBytes(), 0);
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
    EXPECT_FALSE(frame->ItemLastSaved()->IsEnabled());
}

// One click toggles a check cell and a chosen interval sets only its field; each edit is marked
// against the defaults and counted in the status bar. Ticking a power-off state ticks and locks
// its trigger state.
TEST_F(FrameTest, GridEditsAreStoredMarkedAndCounted) {
    Open(7, [](WordMap& read, WordMap& defaults) {
        read[10] = read[16] = read[19] = 0;
        read[22] = 0x1234;
        read[30] = 0xABCD;
        defaults = read;
        defaults[10] = 0x0010;  // row 20's default is ticked
    });
    wxGrid* g = frame->GetGrid();
    EXPECT_EQ(Status(TolvaneFrame::kStatusUnit), "Tolvane test");
    EXPECT_EQ(Status(TolvaneFrame::kStatusLink), _W_(1141));
    EXPECT_EQ(Status(TolvaneFrame::kStatusEdits), wxString::Format(_W_(1148), 0));
    EXPECT_TRUE(Orange(20, 1));
    EXPECT_FALSE(Orange(21, 1));

    Click(20, 1);
    EXPECT_EQ(Edited(10), 0x0010);
    EXPECT_FALSE(Orange(20, 1)) << "now the default";
    EXPECT_EQ(g->GetCellTextColour(20, 1), kColourPending);
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
    const WordMap before = frame->Edited();
    Click(20, 0);
    EXPECT_EQ(frame->Edited(), before) << "the name column is no check cell";

    Click(35, 3);
    EXPECT_EQ(Edited(19), 0x0008);
    EXPECT_EQ(Edited(16), 0x0008);
    Click(35, 2);
    EXPECT_EQ(Edited(16), 0x0008) << "locked";
    // One byte of word 10, one of 19 and one of 16.
    EXPECT_EQ(frame->PendingBytes(), 3);
    EXPECT_EQ(Status(TolvaneFrame::kStatusEdits), wxString::Format(_W_(1148), 3));
    Click(35, 3);
    EXPECT_EQ(Edited(19), 0x0000);
    EXPECT_EQ(Edited(16), 0x0008) << "unticking leaves the trigger state ticked";
    Click(35, 2);
    EXPECT_EQ(Edited(16), 0x0000);

    g->SetCellValue(33, 4, TolvaneFrame::ChoicesForRow(33)[7]);
    TolvaneFrame::ValueChanged(g, 33, 4);
    g->SetCellValue(9, 4, TolvaneFrame::ChoicesForRow(9)[15]);
    TolvaneFrame::ValueChanged(g, 9, 4);
    Settle();
    EXPECT_EQ(Edited(30), 0xAB7D);
    EXPECT_EQ(Edited(22), 0x12F4);
    EXPECT_TRUE(Orange(9, 4));
}

// "Set default value" needs every default and a difference from them; "Update NVRAM" and
// "Reset" need a difference from the unit's words, in which a missing word and 0 are the same,
// and on the newer generations so are 0 and "no negative floors" (0xFF).
TEST_F(FrameTest, TheFuncEntriesFollowTheDifferences) {
    Open(6, [](WordMap&, WordMap& defaults) { defaults.erase(31); });
    EXPECT_FALSE(frame->ItemDefault()->IsEnabled());
    Command(&TolvaneFrame::OnDefault);
    EXPECT_EQ(frame->Edited(), app.nvramRead);
    EXPECT_TRUE(Seen().boxes.empty());

    Open(6);
    EXPECT_TRUE(frame->ItemDefault()->IsEnabled() && frame->ItemRestart()->IsEnabled());
    Command(&TolvaneFrame::OnDefault);
    EXPECT_EQ(frame->Edited(), app.nvramDefaults);
    EXPECT_FALSE(frame->ItemDefault()->IsEnabled());
    EXPECT_TRUE(frame->ItemLastSaved()->IsEnabled() && frame->ItemWrite()->IsEnabled());
    Command(&TolvaneFrame::OnReturnToLastSaved);
    EXPECT_EQ(frame->Edited(), app.nvramRead);
    EXPECT_FALSE(frame->ItemLastSaved()->IsEnabled());

    EXPECT_TRUE(frame->AreWordsEquivalent(WordMap{{1, 0}}, WordMap{}));
    EXPECT_TRUE(frame->AreWordsEquivalent(WordMap{}, WordMap{{3, 0}, {4, 0}}));
    EXPECT_FALSE(frame->AreWordsEquivalent(WordMap{}, WordMap{{3, 1}}));
    EXPECT_FALSE(frame->AreWordsEquivalent(WordMap{{3, 1}}, WordMap{}));
    for (int proto : {6, 5}) {
        SCOPED_TRACE(proto);
        Open(proto, [](WordMap& read, WordMap&) { read[7] = 0x1200; });
        frame->Edited()[7] = 0x12FF;
        frame->CheckButtonsEnabled();
        EXPECT_EQ(frame->ItemWrite()->IsEnabled(), proto < 6);
        frame->Edited()[7] = 0x13FF;
        frame->CheckButtonsEnabled();
        EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
    }
}

// "Update NVRAM" first shows every change by its label, place and values, read out and raw,
// and warns of words from another firmware; Cancel sends nothing.
TEST_F(FrameTest, TheReviewListsExactlyTheChanges) {
    Open(7, [](WordMap& read, WordMap&) { read[10] &= 0xFFEF; });
    Click(20, 1);                  // state 20, algorithms: word 10, bit 4
    frame->Edited()[0] ^= 0x0100;  // another firmware's file
    Seen().write = false;
    Command(&TolvaneFrame::OnWriteNVRAM);
    ASSERT_EQ(Seen().reviews.size(), 1u);
    const Review& review = Seen().reviews[0];
    const ParamDef* bit = ParamAt(7, 10, 4);
    ASSERT_EQ(review.rows.size(), 2u);
    EXPECT_EQ(review.rows[0][0], wxString(ParamAt(7, 0, 8)->Label().c_str()));
    EXPECT_EQ(review.rows[1],
              (Texts{wxString(bit->Label().c_str()), "10:4", wxString(bit->Text(0).c_str()) + " (0x0)",
                     wxString(bit->Text(1).c_str()) + " (0x1)"}));
    EXPECT_FALSE(review.warning.empty());
    EXPECT_EQ(app.session.State(), typUnitState::Ready) << "Cancel sends nothing";
    EXPECT_EQ(frame->PendingBytes(), 2);
}

// A write as the session reports it: the words read back are shown, the box says whether the
// unit was seen to hold every one, the marks of written edits go, and an edit not seen in the
// unit is offered again.
TEST_F(FrameTest, AWriteEndsWithWhatTheUnitWasSeenToHold) {
    Open(7);
    constexpr int kUser3Label = 154;
    frame->Edited()[3] ^= 0x8000;
    frame->CheckDefault();
    EXPECT_TRUE(frame->GetServiceTab()->IsPending(kUser3Label));
    Command(&TolvaneFrame::OnWriteNVRAM);
    EXPECT_TRUE(Status(TolvaneFrame::kStatusLink).StartsWith(_W_(1143))) << Status(TolvaneFrame::kStatusLink);
    const WordMap written = frame->Edited();
    SimLuOptions holding;
    holding.nvram.emplace();
    for (int w = 0; w < kLuWords; ++w) (*holding.nvram)[w] = GetWord(written, w);
    SimLu unit(holding);
    AnswerFrom(unit);
    Settle();
    EXPECT_EQ(Seen().Texts(), Texts{_W_(1111)});
    EXPECT_EQ(app.nvramRead, written);
    EXPECT_EQ(frame->PendingBytes(), 0);
    EXPECT_FALSE(frame->GetServiceTab()->IsPending(kUser3Label));
    EXPECT_EQ(Status(TolvaneFrame::kStatusLink), _W_(1141));
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());

    // Nothing read back within the bound: nothing counts as written.
    Seen().boxes.clear();
    UnitSessionTiming fast;
    fast.verifyBound = 20ms;
    app.session.SetTiming(fast);
    frame->Edited()[5] ^= 0x0001;
    Command(&TolvaneFrame::OnWriteNVRAM);
    PumpUntil([] { return !Seen().boxes.empty(); }, 2s);
    EXPECT_EQ(Seen().Texts(), Texts{wxString::Format(_W_(1135), 0)});
    EXPECT_EQ(app.nvramRead, written);
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
}

// Each command that cannot be undone asks first, and Cancel leaves everything as it was.
TEST_F(FrameTest, ConfirmationsAskFirstAndCancelChangesNothing) {
    Open(7);
    Click(20, 1);
    const WordMap edited = frame->Edited();
    Seen().answer = wxCANCEL;
    for (const auto& [command, text] : std::vector<std::pair<void (TolvaneFrame::*)(wxCommandEvent&), int>>{
             {&TolvaneFrame::OnDefault, 1170},
             {&TolvaneFrame::OnLoadFromFileNVRAM, 1171},
             {&TolvaneFrame::OnExit, 1172},
             {&TolvaneFrame::OnSendRestart, 1169}}) {
        SCOPED_TRACE(text);
        Seen().boxes.clear();
        Command(command);
        ASSERT_TRUE(frame);
        ASSERT_EQ(Seen().boxes.size(), 1u);
        EXPECT_TRUE(Seen().boxes[0].text.StartsWith(_W_(text).BeforeFirst('%')));
        EXPECT_EQ(frame->Edited(), edited);
    }
    // Set default, answered yes: nothing shows as differing any more.
    Seen().answer = wxYES;
    Command(&TolvaneFrame::OnDefault);
    for (int label = ServiceTab::ID_LABEL_FIRST; label <= ServiceTab::ID_LABEL_LAST; ++label) {
        wxWindow* w = wxWindow::FindWindowById(label, frame.get());
        EXPECT_TRUE(w == nullptr || w->GetBackgroundColour() != kBackgroundColourHighlighted) << label;
    }
    for (const ParamDef& p : GridParams(7)) EXPECT_FALSE(Orange(p.gridRow, p.gridCol)) << p.key;
    // Exit with edits, Discard: the window goes.
    Seen().answer = wxNO;
    Click(20, 1);
    Command(&TolvaneFrame::OnExit);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

// A unit that is lost or closes the link leaves the window open with its edits, which can no
// longer be written but still saved; a refusal closes it.
TEST_F(FrameTest, AUnitThatLeavesIsShownAtOnceAndTheEditsStay) {
    // A refusal carries its mark; a close-link the (here empty) identity of who closed it.
    auto packet = [&](CPackV7::typPack type, int length) {
        const unsigned char data[4] = {static_cast<unsigned char>(type == CPackV7::typRefuse), 0, 0, 0};
        CPackV7 pack;
        pack.SetLink(type, data, length);
        app.inpV7.Put(pack);
        app.inpV7.Put(pack);
        Post(PACKV7_RECEIVED);
    };
    const struct {
        const char* what;
        std::function<void()> leave;
        int box;
        int state;  // 0: the window goes
    } cases[] = {
        {"lost link", [this] { Post(NO_LINK); }, 1149, 1146},
        {"close-link from the unit", [&] { packet(CPackV7::typCloseLink, 4); }, 1150, 1147},
        {"refusal", [&] { packet(CPackV7::typRefuse, 1); }, 1105, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Close();
        ResetApp();
        g_StringENU = true;
        app.v7Id = 77;
        Open(7);
        app.SetTopWindowTracked(frame.get());
        Click(20, 1);
        const WordMap edited = frame->Edited();
        c.leave();
        EXPECT_EQ(Seen().Texts(), Texts{_W_(c.box)});
        EXPECT_TRUE(app.inpV7.IsEmpty());
        if (c.state == 0) {
            EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
            continue;
        }
        ASSERT_TRUE(frame);
        EXPECT_EQ(Status(TolvaneFrame::kStatusLink), _W_(c.state));
        EXPECT_EQ(frame->Edited(), edited);
        EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
        EXPECT_FALSE(frame->ItemRestart()->IsEnabled());
        EXPECT_TRUE(frame->GetMenuBar()->FindItem(TolvaneFrame::ID_SAVE_FILE)->IsEnabled());
    }
}

// The "File" menu: the words the unit holds are saved, not the edits; a file that is no image of
// the words is refused with a box and changes nothing, and so is a place that cannot be written.
TEST_F(FrameTest, TheSettingsFileSavesTheUnitsWordsAndRefusesWhatIsNoImage) {
    ScopedHome home;
    Open(7);
    std::string chosen = home.Path() + "/unit.046";
    TolvaneFrame::SetFileChooserFn([&](wxWindow*, bool) { return wxString(chosen); });
    frame->Edited()[2] ^= 0x0101;
    Command(&TolvaneFrame::OnSaveIntoFileNVRAM);
    std::ifstream saved(chosen, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(saved)), {});
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[4]), GetLowByte(app.nvramRead, 2));

    chosen = home.Path() + "/notes.txt";
    std::ofstream(chosen) << std::string(140, 'x');
    const WordMap before = frame->Edited();
    Command(&TolvaneFrame::OnLoadFromFileNVRAM);
    EXPECT_EQ(frame->Edited(), before);
    // First the question whether to load over the edit.
    EXPECT_EQ(Seen().Texts(),
              (Texts{wxString::Format(_W_(1171), 2), wxString::Format(_W_(1136), chosen, 140LL)}));
    Seen().boxes.clear();
    chosen = "/proc/self/unit.046";
    Command(&TolvaneFrame::OnSaveIntoFileNVRAM);
    EXPECT_EQ(Seen().Texts(), Texts{wxString::Format(_W_(1139), chosen, wxString(std::strerror(ENOENT)))});
    TolvaneFrame::SetFileChooserFn({});
}

// A unit type without a page layout still gets a window: a page that says so, and the grid of
// the older generations. The menus read as a desktop program's.
TEST_F(FrameTest, AUnitWithoutALayoutSaysSoAndKeepsTheGrid) {
    Open(0);
    bool said = false;
    for (const wxWindow* c : frame->GetNotebook()->GetPage(0)->GetChildren())
        said = said || c->GetLabel().StartsWith(_W_(1185).BeforeFirst('%'));
    EXPECT_TRUE(said);
    EXPECT_EQ(frame->GetGrid()->GetNumberRows(), 32);
    EXPECT_EQ(frame->ItemWrite()->GetItemLabel().AfterFirst('\t'), "Ctrl+U");
    for (wxMenuItem* item :
         {frame->ItemWrite(), frame->ItemDefault(), frame->ItemLastSaved(), frame->ItemRestart()})
        EXPECT_TRUE(!item->GetItemLabel().Contains("\n") && item->GetItemLabel().Contains("&"));
}

TEST_F(FrameTest, AnIncompleteImageClosesTheWindowAtOnce) {
    LoadSession(SimLuOptions{});
    app.nvramRead.erase(12);
    frame = new TolvaneFrame("Tolvane test", app, 7);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

// Every control of both pages lies inside its page at 1024 x 768, in both languages: nothing is
// cut or needs sideways scrolling, a label has the room its text needs, the grid shows both
// lines of its headings. The run leaves pictures of the pages for the README. It lets the
// toolkit lay out and draw each page for 300 ms, four times.
TEST_F(FrameTest, BothPagesFitTheSmallestScreenInBothLanguages) {
    wxImage::AddHandler(new wxPNGHandler);
    std::filesystem::create_directories(TOLVANE_SCREENSHOT_DIR);
    for (bool english : {true, false}) {
        SCOPED_TRACE(english ? "English" : "Russian");
        g_StringENU = english;
        Open(7);
        frame->SetSize(1024, 768);
        frame->Show();
        for (size_t page = 0; page < 2; ++page) {
            frame->GetNotebook()->SetSelection(page);
            PumpFor(300ms);
            const wxRect inside = frame->GetNotebook()->GetPage(page)->GetScreenRect();
            std::function<void(wxWindow*)> check = [&](wxWindow* w) {
                for (wxWindow* c : w->GetChildren()) {
                    if (!c->IsShown() || dynamic_cast<wxGrid*>(w) != nullptr) continue;
                    const wxRect r = c->GetScreenRect();
                    EXPECT_LE(r.GetRight(), inside.GetRight())
                        << c->GetClassInfo()->GetClassName() << " " << c->GetLabel();
                    auto* text = dynamic_cast<wxStaticText*>(c);
                    EXPECT_TRUE(text == nullptr || r.width >= text->GetBestSize().x)
                        << "cut: " << c->GetLabel();
                    check(c);
                }
            };
            check(frame->GetNotebook()->GetPage(page));
            if (wxGrid* g = frame->GetGrid(); page == 1) {
                int columns = g->GetRowLabelSize();
                for (int c = 0; c < g->GetNumberCols(); ++c) columns += g->GetColSize(c);
                EXPECT_LE(columns, g->GetGridWindow()->GetClientSize().x + g->GetRowLabelSize());
                EXPECT_GE(g->GetColLabelSize(), 2 * g->GetCharHeight());
            }
            wxWindowDC dc(frame.get());
            const wxSize size = frame->GetClientSize();
            wxBitmap shot(size);
            wxMemoryDC memory(shot);
            memory.Blit(0, 0, size.x, size.y, &dc, 0, 0);
            memory.SelectObject(wxNullBitmap);
            const std::string name =
                std::string(english ? "en" : "ru") + (page == 0 ? "-service" : "-grid") + ".png";
            EXPECT_TRUE(shot.SaveFile(std::string(TOLVANE_SCREENSHOT_DIR) + "/" + name, wxBITMAP_TYPE_PNG));
        }
    }
}

}  // namespace
