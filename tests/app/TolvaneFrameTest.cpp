// The main window on a session answered by a simulated unit without any link: the grid, the
// marks, the status bar, the menus, the review, the boxes, the fit on the smallest screen.

#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/statusbr.h>
#include <wx/weakref.h>

#include <cstring>
#include <fstream>

#include "AppTestUtil.h"
#include "PackV7.h"
#include "ServiceTab.h"
#include "TolvaneFrame.h"

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

    // The window on a session loaded from the simulated unit, its words first changed by `tweak`.
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
    bool Orange(int row, int col) const {
        return frame->GetGrid()->GetCellBackgroundColour(row, col) == kBackgroundColourHighlighted;
    }
    wxString Status(int field) const { return frame->GetStatusBar()->GetStatusText(field); }
    uint16_t Edited(int word) const { return GetWord(frame->Edited(), word); }
    // The "Func" entries enabled: Update, Last saved, Default, Restart.
    std::string Entries() const {
        std::string on;
        for (const auto& [item, letter] :
             {std::pair{frame->ItemWrite(), 'U'}, std::pair{frame->ItemLastSaved(), 'L'},
              std::pair{frame->ItemDefault(), 'D'}, std::pair{frame->ItemRestart(), 'R'}})
            if (item->IsEnabled()) on += letter;
        return on;
    }

    TolvaneApp& app = TestApp();
    wxWeakRef<TolvaneFrame> frame;
};

// Each bit and field in its cell, with its number or its row's interval list; showing changes no
// word, not even a power-off state without its trigger state. A click toggles a check cell, a
// chosen interval sets only its field, and each edit is marked and counted.
TEST_F(FrameTest, TheGridShowsEachWordInItsCellAndTakesEachEdit) {
    Open(7, [](WordMap& read, WordMap& defaults) {
        read[9] = 0x0004;   // row 2, column 1
        read[10] = 0x0010;  // row 20, column 1
        read[16] = 0x0000;
        read[19] = 0x0008;  // row 35: power-off without its trigger state
        read[22] = 0x5550;  // rows 9, 10 and 11: field 5
        read[30] = 0x0070;  // row 33: field 7
        defaults = read;
        defaults[10] = 0x0030;  // row 21's default is ticked
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
        EXPECT_EQ(dynamic_cast<GridCellBoolWithStrRenderer&>(*renderer).GetText(),
                  wxString::Format("%d", numbers[col - 1]));
        renderer->DecRef();
    }
    EXPECT_EQ(frame->Edited(), app.nvramRead);
    EXPECT_EQ(Entries(), "DR");
    EXPECT_EQ(Status(TolvaneFrame::kStatusUnit) + "|" + Status(TolvaneFrame::kStatusLink) + "|" +
                  Status(TolvaneFrame::kStatusEdits),
              "Tolvane test|" + _W_(1141) + "|" + wxString::Format(_W_(1148), 0));

    EXPECT_TRUE(Orange(21, 1) && !Orange(20, 1));
    Click(21, 1);
    EXPECT_EQ(Edited(10), 0x0030);
    EXPECT_FALSE(Orange(21, 1)) << "now the default";
    EXPECT_EQ(g->GetCellTextColour(21, 1), kColourPending);
    EXPECT_EQ(Entries(), "ULR");
    Click(21, 0);
    EXPECT_EQ(Edited(10), 0x0030) << "the name column is no check cell";
    Click(34, 3);
    EXPECT_EQ(Edited(19) * 0x10000 + Edited(16), 0x000C0004) << "a power-off state is a trigger state";
    Click(34, 2);
    EXPECT_EQ(Edited(16), 0x0004) << "and that one is locked";
    // One byte of word 10, one of 19 and one of 16.
    EXPECT_EQ(Status(TolvaneFrame::kStatusEdits), wxString::Format(_W_(1148), 3));
    Click(34, 3);
    EXPECT_EQ(Edited(19) * 0x10000 + Edited(16), 0x00080004) << "unticking leaves the trigger state";
    Click(34, 2);
    EXPECT_EQ(Edited(16), 0x0000);
    g->SetCellValue(33, 4, TolvaneFrame::ChoicesForRow(33)[3]);
    TolvaneFrame::ValueChanged(g, 33, 4);
    g->SetCellValue(10, 4, TolvaneFrame::ChoicesForRow(10)[15]);
    TolvaneFrame::ValueChanged(g, 10, 4);
    Settle();
    EXPECT_EQ(Edited(30) * 0x10000 + Edited(22), 0x00305F50);
    EXPECT_TRUE(Orange(10, 4));
}

// "Set default" needs every default and a difference from them, "Update" and "Last saved" a
// difference from the unit's words; a missing word is 0, and on newer units 0xFF floors too.
// Three windows: about 1 s.
TEST_F(FrameTest, TheFuncEntriesFollowTheDifferences) {
    Open(6, [](WordMap&, WordMap& defaults) { defaults.erase(31); });
    EXPECT_EQ(Entries(), "R");
    Command(&TolvaneFrame::OnDefault);
    EXPECT_EQ(frame->Edited(), app.nvramRead);
    EXPECT_TRUE(Seen().boxes.empty());
    Open(6);
    EXPECT_EQ(Entries(), "DR");
    Command(&TolvaneFrame::OnDefault);
    EXPECT_EQ(frame->Edited(), app.nvramDefaults);
    EXPECT_EQ(Entries(), "ULR");
    Command(&TolvaneFrame::OnReturnToLastSaved);
    EXPECT_EQ(frame->Edited(), app.nvramRead);
    EXPECT_EQ(Entries(), "DR");

    EXPECT_TRUE(frame->AreWordsEquivalent({{1, 0}}, {}) && frame->AreWordsEquivalent({}, {{3, 0}, {4, 0}}));
    EXPECT_FALSE(frame->AreWordsEquivalent({}, {{3, 1}}) || frame->AreWordsEquivalent({{3, 1}}, {}));
    ASSERT_EQ(app.nvramRead[7], 0x00FF) << "the unit has no negative floors";
    auto withWord7 = [this](uint16_t value) {
        frame->Edited()[7] = value;
        frame->CheckButtonsEnabled();
        return Entries();
    };
    EXPECT_EQ(withWord7(0x0000), "DR");
    EXPECT_EQ(withWord7(0x0100), "ULDR");
    Open(5);
    EXPECT_EQ(withWord7(0x0000), "ULDR") << "an older unit has no 0xFF for none";
}

// "Update" first lists each change (label, place, values read out and raw) and warns of words
// from another firmware; Cancel sends nothing. A write ends with the words read back shown and a
// box saying whether the unit held them all; written edits lose their marks, and an edit not
// seen in the unit is offered again.
TEST_F(FrameTest, AWriteIsReviewedAndEndsWithWhatTheUnitWasSeenToHold) {
    Open(7, [](WordMap& read, WordMap&) { read[10] &= 0xFFEF; });
    constexpr int kUser3Label = 154;
    Click(20, 1);                  // state 20, algorithms: word 10, bit 4
    frame->Edited()[0] ^= 0x0100;  // another firmware's file
    frame->Edited()[3] ^= 0x8000;  // USER3
    frame->CheckDefault();
    EXPECT_TRUE(frame->GetServiceTab()->IsPending(kUser3Label));
    Seen().write = false;
    Command(&TolvaneFrame::OnWriteNVRAM);
    EXPECT_EQ(app.session.State(), typUnitState::Ready) << "Cancel sends nothing";
    ASSERT_EQ(Seen().reviews.size(), 1u);
    const Recorded::Review& review = Seen().reviews[0];
    const ParamDef* bit = ParamAt(7, 10, 4);
    ASSERT_EQ(review.rows.size(), 3u);
    EXPECT_EQ(review.rows[0][0] + "|" + review.rows[1][0],
              wxString(ParamAt(7, 0, 8)->Label().c_str()) + "|" + ParamAt(7, 3, 15)->Label().c_str());
    EXPECT_EQ(review.rows[2],
              (Texts{wxString(bit->Label().c_str()), "10:4", wxString(bit->Text(0).c_str()) + " (0x0)",
                     wxString(bit->Text(1).c_str()) + " (0x1)"}));
    EXPECT_FALSE(review.warning.empty());

    Seen().write = true;
    Command(&TolvaneFrame::OnWriteNVRAM);
    // Writing, or already verifying where no link took the bytes (whether one is left depends on
    // the tests run before in this process).
    EXPECT_TRUE(Status(TolvaneFrame::kStatusLink).StartsWith(_W_(1142)) ||
                Status(TolvaneFrame::kStatusLink).StartsWith(_W_(1143)))
        << Status(TolvaneFrame::kStatusLink);
    const WordMap written = frame->Edited();
    SimLuOptions holding;
    holding.nvram.emplace();
    for (int w = 0; w < kLuWords; ++w) (*holding.nvram)[w] = GetWord(written, w);
    SimLu unit(holding);
    AnswerFrom(unit);
    Settle();
    EXPECT_EQ(Seen().Texts(), Texts{_W_(1111)});
    EXPECT_EQ(app.nvramRead, written);
    EXPECT_FALSE(frame->GetServiceTab()->IsPending(kUser3Label));
    EXPECT_EQ(Status(TolvaneFrame::kStatusLink), _W_(1141));
    EXPECT_EQ(Entries(), "DR");

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
    EXPECT_EQ(Entries(), "ULDR");
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
        Seen().boxes.clear();
        Command(command);
        ASSERT_TRUE(frame) << text;
        EXPECT_TRUE(Seen().boxes.size() == 1 && Seen().boxes[0].text.StartsWith(_W_(text).BeforeFirst('%')))
            << text;
        EXPECT_EQ(frame->Edited(), edited) << text;
    }
    // Exit with edits, Discard: the window goes.
    Seen().answer = wxNO;
    Command(&TolvaneFrame::OnExit);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

// A lost or closed link leaves the window with its edits, to be saved but not written; a
// refusal closes it. A window for each case: about 1 s.
TEST_F(FrameTest, AUnitThatLeavesIsShownAtOnceAndTheEditsStay) {
    // A refusal carries its mark; a close-link the (here empty) identity of who closed it.
    auto packet = [&](CPackV7::typPack type, int length) {
        const unsigned char data[4] = {static_cast<unsigned char>(type == CPackV7::typRefuse), 0, 0, 0};
        CPackV7 pack;
        pack.SetLink(type, data, length);
        app.inpV7.Put(pack);
        app.inpV7.Put(pack);
        wxQueueEvent(frame.get(), new wxCommandEvent(PACKV7_RECEIVED, -1));
    };
    const struct {
        std::function<void()> leave;
        int box;
        int state;  // 0: the window goes
    } cases[] = {
        {[this] { wxQueueEvent(frame.get(), new wxCommandEvent(NO_LINK, -1)); }, 1149, 1146},
        {[&] { packet(CPackV7::typCloseLink, 4); }, 1150, 1147},
        {[&] { packet(CPackV7::typRefuse, 1); }, 1105, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.box);
        TearDown();
        SetUp();
        app.v7Id = 77;
        Open(7);
        Click(20, 1);
        const WordMap edited = frame->Edited();
        c.leave();
        Settle();
        EXPECT_EQ(Seen().Texts(), Texts{_W_(c.box)});
        EXPECT_TRUE(app.inpV7.IsEmpty());
        EXPECT_EQ(PumpUntil([this] { return !frame; }, c.state == 0 ? 3s : 0s), c.state == 0);
        if (!frame) continue;
        EXPECT_EQ(Status(TolvaneFrame::kStatusLink), _W_(c.state));
        EXPECT_EQ(frame->Edited(), edited);
        EXPECT_EQ(Entries(), "LD");
        EXPECT_TRUE(frame->GetMenuBar()->FindItem(TolvaneFrame::ID_SAVE_FILE)->IsEnabled());
    }
}

// The file menu saves the unit's words, not the edits; a file that is no image is refused with
// a box and changes nothing, and a place that cannot be written is named.
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

// A unit type without a page layout gets a page that says so and the older grid; an image
// without every word gets no window. Menu entries have a mnemonic and a shortcut.
TEST_F(FrameTest, AUnitWithoutALayoutOrWithoutEveryWord) {
    Open(0);
    const wxWindowList& shown = frame->GetNotebook()->GetPage(0)->GetChildren();
    EXPECT_TRUE(std::any_of(shown.begin(), shown.end(), [](const wxWindow* c) {
        return c->GetLabel().StartsWith(_W_(1185).BeforeFirst('%'));
    }));
    EXPECT_EQ(frame->GetGrid()->GetNumberRows(), 32);
    EXPECT_EQ(frame->ItemWrite()->GetItemLabel(), "&Update NVRAM\tCtrl+U");
    EXPECT_EQ(frame->ItemLastSaved()->GetItemLabel(), "&Reset to last saved values\tF5") << "on one line";
    Open(7, [](WordMap& read, WordMap&) { read.erase(12); });
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

// At 1024 x 768, in both languages, every control lies within its page and every label has its
// room, the grid shows both lines of its headings; pictures of the pages are left for the README.
// The toolkit is given 300 ms to lay out and draw each of the four pages.
TEST_F(FrameTest, BothPagesFitTheSmallestScreenInBothLanguages) {
    wxImage::AddHandler(new wxPNGHandler);
    std::filesystem::create_directories(TOLVANE_SCREENSHOT_DIR);
    for (bool english : {true, false}) {
        g_StringENU = english;
        Open(7);
        frame->SetSize(1024, 768);
        frame->Show();
        for (size_t page = 0; page < 2; ++page) {
            frame->GetNotebook()->SetSelection(page);
            PumpFor(300ms);
            const std::string name = std::string(english ? "en" : "ru") + (page == 0 ? "-service" : "-grid");
            SCOPED_TRACE(name);
            const wxRect inside = frame->GetNotebook()->GetPage(page)->GetScreenRect();
            std::function<void(wxWindow*)> check = [&](wxWindow* w) {
                for (wxWindow* c : w->GetChildren()) {
                    if (!c->IsShown() || dynamic_cast<wxGrid*>(w) != nullptr) continue;
                    const wxRect r = c->GetScreenRect();
                    auto* text = dynamic_cast<wxStaticText*>(c);
                    EXPECT_TRUE(r.GetRight() <= inside.GetRight() &&
                                (!text || r.width >= text->GetBestSize().x))
                        << c->GetClassInfo()->GetClassName() << " '" << c->GetLabel() << "' cut or outside";
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
            wxBitmap shot(frame->GetClientSize());
            wxMemoryDC memory(shot);
            memory.Blit(0, 0, shot.GetWidth(), shot.GetHeight(), &dc, 0, 0);
            memory.SelectObject(wxNullBitmap);
            EXPECT_TRUE(
                shot.SaveFile(std::string(TOLVANE_SCREENSHOT_DIR) + "/" + name + ".png", wxBITMAP_TYPE_PNG));
        }
    }
}
