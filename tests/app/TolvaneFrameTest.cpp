// The main window against the application object of the test program: the configuration grid,
// the "Func" commands, and the window as the session's view (status bar, boxes, enabling), with
// the real link to lu-sim where the words must travel.

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcclient.h>
#include <wx/dcmemory.h>
#include <wx/image.h>
#include <wx/settings.h>
#include <wx/stattext.h>
#include <wx/statusbr.h>
#include <wx/weakref.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AppTestUtil.h"
#include "GridUtils.h"
#include "IdentV7.h"
#include "LoadRes.h"
#include "Mes.h"
#include "NvRam.h"
#include "PackV7.h"
#include "ServiceTab.h"
#include "SimProcessUtil.h"
#include "TolvaneFrame.h"
#include "utilities.h"
#include "wxLoadRes.h"

using namespace std::chrono_literals;

namespace {

// ---- Word maps ---------------------------------------------------------------------------

TEST(WordMapTest, MissingWordsReadAsZeroAndSettersCreateThem) {
    WordMap m;
    EXPECT_EQ(GetWord(m, 5), 0);
    EXPECT_EQ(GetLowByte(m, 5), 0);
    EXPECT_EQ(GetHighByte(m, 5), 0);
    EXPECT_FALSE(GetWordBit(m, 5, 3));
    EXPECT_TRUE(m.empty()) << "reading must not create words";

    SetHighByte(m, 3, 0x12);
    ASSERT_EQ(m.count(3), 1u);
    EXPECT_EQ(m[3], 0x1200);
    SetLowByte(m, 3, 0xAB);
    EXPECT_EQ(m[3], 0x12AB);
    SetHighByte(m, 3, 0x00);
    EXPECT_EQ(m[3], 0x00AB) << "the low byte stays";

    SetWordBit(m, 10, 4, true);
    EXPECT_EQ(m[10], 0x0010);
    SetWordBit(m, 10, 15, true);
    EXPECT_EQ(m[10], 0x8010);
    SetWordBit(m, 10, 4, false);
    EXPECT_EQ(m[10], 0x8000);
}

TEST(WordMapTest, FourBitFieldsLeaveTheirNeighbours) {
    WordMap m{{22, 0xFFFF}};
    SetWordField(m, 22, 4, 4, 0x5);
    EXPECT_EQ(m[22], 0xFF5F);
    EXPECT_EQ(GetWordField(m, 22, 4, 4), 5u);
    SetWordField(m, 22, 12, 4, 0x1F);  // too wide: only the field's four bits
    EXPECT_EQ(m[22], 0xFF5F);
    SetWordField(m, 30, 0, 4, 9);
    EXPECT_EQ(m[30], 9);
}

// ---- Grid cells --------------------------------------------------------------------------

TEST(GridCellsTest, ComboIndexIsExactAndClonesKeepTheirContent) {
    wxArrayString choices;
    choices.Add("0 sec.");
    choices.Add("0.3 sec.");
    choices.Add("Auto");
    GridComboBox combo(choices);
    EXPECT_EQ(combo.GetIndex("0.3 sec."), 1);
    EXPECT_EQ(combo.GetIndex("Auto"), 2);
    EXPECT_EQ(combo.GetIndex("auto"), wxNOT_FOUND);
    EXPECT_EQ(combo.GetIndex("0.3"), wxNOT_FOUND);

    wxGridCellEditor* clone = combo.Clone();
    auto* copy = dynamic_cast<GridComboBox*>(clone);
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->GetIndex("Auto"), 2);
    clone->DecRef();

    GridCellBoolWithStrRenderer renderer("147");
    wxGridCellRenderer* r = renderer.Clone();
    auto* rc = dynamic_cast<GridCellBoolWithStrRenderer*>(r);
    ASSERT_NE(rc, nullptr);
    EXPECT_EQ(rc->GetText(), "147");
    r->DecRef();
}

class TextMeasureTest : public ::testing::Test {
protected:
    void SetUp() override {
        ClearShownBoxes();
        bitmap.Create(200, 50);
        dc.SelectObject(bitmap);
        dc.SetFont(wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT));
    }
    void TearDown() override { dc.SelectObject(wxNullBitmap); }

    wxBitmap bitmap;
    wxMemoryDC dc;
};

TEST_F(TextMeasureTest, BreakWordCutsIntoFittingPiecesOfAtLeastOneCharacter) {
    const wxString word = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    const int maxWidth = dc.GetTextExtent("ABCDE").x;
    wxArrayString lines;
    wxString rest;
    const int restWidth = BreakWord(dc, word, maxWidth, lines, rest);

    ASSERT_GE(lines.size(), 2u);
    wxString joined;
    for (const wxString& l : lines) {
        EXPECT_FALSE(l.empty());
        EXPECT_LE(dc.GetTextExtent(l).x, maxWidth) << l;
        joined += l;
    }
    EXPECT_EQ(joined + rest, word);
    EXPECT_EQ(restWidth, dc.GetTextExtent(rest).x);
    EXPECT_LE(restWidth, maxWidth);

    // Narrower than any character: one character per piece, and still an end.
    lines.clear();
    rest.clear();
    BreakWord(dc, "WWWW", 1, lines, rest);
    ASSERT_EQ(lines.size(), 4u);
    for (const wxString& l : lines) EXPECT_EQ(l.length(), 1u);
    EXPECT_TRUE(rest.empty());
}

TEST_F(TextMeasureTest, TextWrapsAtSpacesOnlyWhenTheCellIsTooNarrow) {
    const wxString text = "Allow poweroff";
    const int whole = dc.GetTextExtent(text).x;

    wxArrayString wide = GridCellBoolWithStrRenderer::WrapText(dc, text, whole + 50);
    ASSERT_EQ(wide.size(), 1u);
    EXPECT_EQ(wide[0], text);

    wxArrayString narrow =
        GridCellBoolWithStrRenderer::WrapText(dc, text, dc.GetTextExtent("poweroff").x + 2);
    ASSERT_EQ(narrow.size(), 2u);
    EXPECT_EQ(narrow[0], "Allow ");
    EXPECT_EQ(narrow[1], "poweroff");

    // Line feeds always split; no width leaves the lines as they are.
    wxArrayString unlimited = GridCellBoolWithStrRenderer::WrapText(dc, "a b\nc", 0);
    ASSERT_EQ(unlimited.size(), 2u);
    EXPECT_EQ(unlimited[0], "a b");
}

// ---- The main window ---------------------------------------------------------------------

// Words the grid shows for a generation.
std::vector<int> GridWords(int protoVer) {
    std::vector<int> w{9, 10, 14, 15, 17, 18, 22, 23, 24, 25, 26, 27};
    if (protoVer >= 6) {
        for (int k : {11, 16, 19, 30, 31}) w.push_back(k);
    }
    return w;
}

class FrameTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetApp();
        g_StringENU = true;
        ClearShownBoxes();
    }

    void TearDown() override {
        if (frame) frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
        ResetApp();
    }

    // The window on a ready session holding `read`: the unit is out of the picture.
    TolvaneFrame* Open(int protoVer, const WordMap& read, const WordMap& defaults) {
        TolvaneApp& app = TestApp();
        if (app.session.State() != typUnitState::Ready) LoadSession(SimLuOptions{});
        app.nvramRead = read;
        app.nvramDefaults = defaults;
        frame = new TolvaneFrame("Tolvane test", app, protoVer);
        Settle();
        return frame;
    }

    static void Settle() {
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
    }

    void Click(int row, int col) {
        wxGridEvent ev(frame->GetGrid()->GetId(), wxEVT_GRID_CELL_LEFT_CLICK, frame->GetGrid(), row, col);
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

    wxWeakRef<TolvaneFrame> frame;
};

TEST_F(FrameTest, GridRowsAndIntervalListsFollowTheGeneration) {
    for (int proto : {5, 6, 7}) {
        SCOPED_TRACE(proto);
        Open(proto, SampleWords(1), SampleWords(1));
        wxGrid* g = frame->GetGrid();
        ASSERT_NE(g, nullptr);
        EXPECT_EQ(g->GetId(), TolvaneFrame::ID_GRID);
        EXPECT_EQ(g->GetNumberRows(), proto >= 6 ? 40 : 32);
        EXPECT_EQ(g->GetNumberCols(), 5);
        EXPECT_EQ(g->GetColLabelValue(3), _W_(1804));
        EXPECT_EQ(g->GetCellValue(0, 0), _W_(1919));
        EXPECT_TRUE(g->IsReadOnly(0, 0));
        EXPECT_TRUE(g->IsReadOnly(7, 4));
        EXPECT_TRUE(g->GetCellValue(7, 4).empty());
        EXPECT_FALSE(g->IsReadOnly(8, 4));

        wxGridCellRenderer* renderer = g->GetCellRenderer(5, 3);
        auto* numbered = dynamic_cast<GridCellBoolWithStrRenderer*>(renderer);
        ASSERT_NE(numbered, nullptr);
        EXPECT_EQ(numbered->GetText(), "152");
        renderer->DecRef();

        wxGridCellEditor* editor = g->GetCellEditor(11, 4);
        auto* combo = dynamic_cast<GridComboBox*>(editor);
        ASSERT_NE(combo, nullptr);
        ASSERT_EQ(combo->GetChoices().size(), 16u);
        EXPECT_EQ(combo->GetChoices()[1], "30 " + _W_(1570));
        EXPECT_EQ(combo->GetChoices()[15], "2500 " + _W_(1570));
        editor->DecRef();

        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
}

TEST_F(FrameTest, WordsAppearInTheirCellsAndComeBackUnchanged) {
    WordMap read = SampleWords(2);
    read[10] = 0x0010;  // row 20, column 1
    read[19] = 0x0008;  // row 35, column 3
    read[16] = 0x0008;  // ... with its trigger state
    read[22] = 0x5050;  // rows 9 and 11: field 5
    read[30] = 0x0070;  // row 33: field 7
    Open(7, read, read);
    wxGrid* g = frame->GetGrid();

    EXPECT_EQ(g->GetCellValue(20, 1), "1");
    EXPECT_NE(g->GetCellValue(21, 1), "1");
    EXPECT_EQ(g->GetCellValue(35, 3), "1");
    EXPECT_EQ(g->GetCellValue(9, 4), "1 " + _W_(1570));
    EXPECT_EQ(g->GetCellValue(11, 4), "100 " + _W_(1570));
    EXPECT_EQ(g->GetCellValue(8, 4), "0 " + _W_(1570));
    EXPECT_EQ(g->GetCellValue(33, 4), "2 " + _W_(1570));

    read[22] = 0x0500;  // row 10: field 5
    TestApp().nvramRead = read;
    Command(&TolvaneFrame::OnReturnToLastSaved);
    EXPECT_EQ(g->GetCellValue(10, 4), "10 " + _W_(1570));

    // Every grid cell went back into edited through its change event.
    for (int w : GridWords(7)) EXPECT_EQ(GetWord(frame->Edited(), w), GetWord(read, w)) << "word " << w;
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
    EXPECT_FALSE(frame->ItemLastSaved()->IsEnabled());
}

TEST_F(FrameTest, OlderUnitsKeepTheWordsOfRowsTheyDoNotHave) {
    for (int proto : {5, 7}) {
        SCOPED_TRACE(proto);
        const WordMap read = SampleWords(3);
        Open(proto, read, read);
        WordMap other = SampleWords(4);
        frame->SetNVRAM(other);
        Settle();
        for (int w : {11, 16, 19, 30, 31}) {
            const uint16_t expected = proto >= 6 ? GetWord(other, w) : GetWord(read, w);
            // Word 11 bits 8-15 belong to no row: they keep the old value on either generation.
            const uint16_t mask = (w == 11 || w == 16 || w == 19) ? 0x00FF : 0xFFFF;
            EXPECT_EQ(GetWord(frame->Edited(), w) & mask, expected & mask) << "word " << w;
        }
        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
}

TEST_F(FrameTest, CellsThatDifferFromTheDefaultsAreOrange) {
    WordMap read = SampleWords(5);
    WordMap defaults = read;
    defaults[9] ^= 0x0004;   // row 2, column 1
    defaults[25] ^= 0x0300;  // row 22 interval
    Open(6, read, defaults);
    wxGrid* g = frame->GetGrid();
    EXPECT_EQ(g->GetCellBackgroundColour(2, 1), kBackgroundColourHighlighted);
    EXPECT_NE(g->GetCellBackgroundColour(3, 1), kBackgroundColourHighlighted);
    EXPECT_EQ(g->GetCellBackgroundColour(22, 4), kBackgroundColourHighlighted);
    EXPECT_NE(g->GetCellBackgroundColour(21, 4), kBackgroundColourHighlighted);
    EXPECT_NE(g->GetCellBackgroundColour(23, 4), kBackgroundColourHighlighted);

    // Clicking the cell to the default value takes the mark away.
    Click(2, 1);
    EXPECT_NE(g->GetCellBackgroundColour(2, 1), kBackgroundColourHighlighted);
}

TEST_F(FrameTest, OneClickTogglesAndPowerOffLocksTheTriggerState) {
    WordMap read = SampleWords(6);
    read[10] = 0;
    read[16] = 0;
    read[19] = 0;
    Open(7, read, read);
    wxGrid* g = frame->GetGrid();

    Click(20, 1);
    EXPECT_EQ(GetWord(frame->Edited(), 10), 0x0010);
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
    Click(20, 1);
    EXPECT_EQ(GetWord(frame->Edited(), 10), 0x0000);
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());

    // The name column is no check cell.
    const WordMap before = frame->Edited();
    Click(20, 0);
    EXPECT_EQ(frame->Edited(), before);

    Click(35, 3);
    EXPECT_EQ(GetWord(frame->Edited(), 19), 0x0008);
    EXPECT_EQ(GetWord(frame->Edited(), 16), 0x0008);
    EXPECT_TRUE(g->IsReadOnly(35, 2));
    Click(35, 2);  // locked: no change
    EXPECT_EQ(GetWord(frame->Edited(), 16), 0x0008);

    Click(35, 3);
    EXPECT_EQ(GetWord(frame->Edited(), 19), 0x0000);
    EXPECT_EQ(GetWord(frame->Edited(), 16), 0x0008) << "unticking leaves the trigger state ticked";
    EXPECT_FALSE(g->IsReadOnly(35, 2));
    Click(35, 2);
    EXPECT_EQ(GetWord(frame->Edited(), 16), 0x0000);
}

TEST_F(FrameTest, ChoosingAnIntervalSetsOnlyItsField) {
    WordMap read = SampleWords(7);
    read[30] = 0xABCD;
    read[22] = 0x1234;
    Open(6, read, read);
    wxGrid* g = frame->GetGrid();

    g->SetCellValue(33, 4, TolvaneFrame::ChoicesForRow(33)[7]);
    TolvaneFrame::ValueChanged(g, 33, 4);
    g->SetCellValue(9, 4, TolvaneFrame::ChoicesForRow(9)[15]);
    TolvaneFrame::ValueChanged(g, 9, 4);
    Settle();
    EXPECT_EQ(GetWord(frame->Edited(), 30), 0xAB7D);
    EXPECT_EQ(GetWord(frame->Edited(), 22), 0x12F4);
}

TEST_F(FrameTest, ShowingTheUnitsWordsNeverChangesThem) {
    // A power-off state that is not a trigger state: shown as it is, locked, not "fixed".
    WordMap read = SampleWords(8);
    read[19] = static_cast<uint16_t>(read[19] | 0x0008);
    read[16] = static_cast<uint16_t>(read[16] & ~0x0008);
    Open(7, read, read);
    EXPECT_EQ(GetWord(frame->Edited(), 16), read[16]);
    EXPECT_NE(frame->GetGrid()->GetCellValue(35, 2), "1");
    EXPECT_TRUE(frame->GetGrid()->IsReadOnly(35, 2));
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
    EXPECT_EQ(frame->PendingBytes(), 0);
}

TEST_F(FrameTest, DefaultsAreOfferedOnlyWhenAllWereReported) {
    const WordMap read = SampleWords(12);
    WordMap partial = SampleWords(13);
    partial.erase(31);
    Open(6, read, partial);
    EXPECT_FALSE(frame->DefaultsAvailable());
    EXPECT_FALSE(frame->ItemDefault()->IsEnabled());
    const WordMap before = frame->Edited();
    Command(&TolvaneFrame::OnDefault);
    EXPECT_EQ(frame->Edited(), before);
    frame->Destroy();
    PumpUntil([this] { return !frame; }, 3s);

    const WordMap defaults = SampleWords(13);
    Open(6, read, defaults);
    EXPECT_TRUE(frame->DefaultsAvailable());
    EXPECT_TRUE(frame->ItemDefault()->IsEnabled());
    Command(&TolvaneFrame::OnDefault);
    for (int w : GridWords(6)) EXPECT_EQ(GetWord(frame->Edited(), w), GetWord(defaults, w)) << "word " << w;
    EXPECT_TRUE(frame->ItemLastSaved()->IsEnabled());
    EXPECT_TRUE(frame->ItemRestart()->IsEnabled());
}

TEST_F(FrameTest, NoNegativeFloorsMarkerCountsAsZeroOnNewerUnits) {
    for (int proto : {5, 6, 7}) {
        SCOPED_TRACE(proto);
        WordMap read = SampleWords(14);
        read[7] = 0x1200;
        Open(proto, read, read);
        WordMap edited = frame->Edited();
        edited[7] = 0x12FF;
        EXPECT_EQ(frame->AreWordsEquivalent(edited, read), proto >= 6);
        edited[7] = 0x13FF;
        EXPECT_FALSE(frame->AreWordsEquivalent(edited, read));

        frame->Edited()[7] = 0x12FF;
        frame->CheckButtonsEnabled();
        EXPECT_EQ(frame->ItemWrite()->IsEnabled(), proto < 6);
        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
}

TEST_F(FrameTest, MissingWordsAndZeroWordsAreEquivalent) {
    Open(7, SampleWords(15), SampleWords(15));
    EXPECT_TRUE(frame->AreWordsEquivalent(WordMap{{1, 0}}, WordMap{}));
    EXPECT_TRUE(frame->AreWordsEquivalent(WordMap{}, WordMap{{3, 0}, {4, 0}}));
    EXPECT_FALSE(frame->AreWordsEquivalent(WordMap{}, WordMap{{3, 1}}));
    EXPECT_FALSE(frame->AreWordsEquivalent(WordMap{{3, 1}}, WordMap{}));
}

TEST_F(FrameTest, AnIncompleteImageClosesTheWindowAtOnce) {
    WordMap read = SampleWords(17);
    read.erase(12);
    TestApp().nvramRead = read;
    frame = new TolvaneFrame("Tolvane test", TestApp(), 7);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

// Every control of both pages lies inside its page at 1024 x 768, in both languages: nothing is
// cut or needs sideways scrolling; a label is given the room its text needs; the grid shows the
// two lines of its headings. The run leaves pictures of the pages for the README.
TEST_F(FrameTest, BothPagesFitTheSmallestScreenInBothLanguages) {
    wxImage::AddHandler(new wxPNGHandler);
    std::filesystem::create_directories(TOLVANE_SCREENSHOT_DIR);
    for (bool english : {true, false}) {
        SCOPED_TRACE(english ? "English" : "Russian");
        ResetApp();
        g_StringENU = english;
        LoadSession(SimLuOptions{});
        Open(7, TestApp().nvramRead, TestApp().nvramDefaults);
        frame->SetSize(1024, 768);
        frame->Show();
        for (size_t page = 0; page < 2; ++page) {
            frame->GetNotebook()->SetSelection(page);
            PumpFor(300ms);
            wxWindow* p = frame->GetNotebook()->GetPage(page);
            const wxRect inside = p->GetScreenRect();
            std::function<void(wxWindow*)> check = [&](wxWindow* w) {
                for (wxWindow* c : w->GetChildren()) {
                    if (!c->IsShown() || dynamic_cast<wxGrid*>(w) != nullptr) continue;
                    const wxRect r = c->GetScreenRect();
                    EXPECT_LE(r.GetRight(), inside.GetRight())
                        << c->GetClassInfo()->GetClassName() << " " << c->GetLabel();
                    if (auto* text = dynamic_cast<wxStaticText*>(c)) {
                        EXPECT_GE(r.width, text->GetBestSize().x) << "cut: " << text->GetLabel();
                    }
                    check(c);
                }
            };
            check(p);
            if (page == 1) {
                wxGrid* g = frame->GetGrid();
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
            shot.SaveFile(std::string(TOLVANE_SCREENSHOT_DIR) + "/" + name, wxBITMAP_TYPE_PNG);
        }
        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
}

// "Update NVRAM" shows every change by its label, place and values, read out and raw, in the
// language of the moment; Cancel sends nothing.
TEST_F(FrameTest, TheReviewListsEveryChangeAndCancelSendsNothing) {
    for (bool english : {true, false}) {
        SCOPED_TRACE(english ? "English" : "Russian");
        ResetApp();
        g_StringENU = english;
        LoadSession(SimLuOptions{});
        WordMap read = TestApp().nvramRead;
        read[10] = static_cast<uint16_t>(read[10] & ~0x0010);
        Open(7, read, read);
        Click(20, 1);                  // state 20, algorithms: word 10, bit 4
        frame->Edited()[0] ^= 0x0100;  // another firmware's file
        SetReviewAnswer(false);
        Command(&TolvaneFrame::OnWriteNVRAM);
        const std::vector<Review> reviews = Reviews();
        ASSERT_EQ(reviews.size(), 1u);
        const Review& review = reviews[0];
        const ParamDef* bit = ParamAt(7, 10, 4);
        const ParamDef* firmware = ParamAt(7, 0, 8);
        ASSERT_EQ(review.rows.size(), 2u);
        EXPECT_EQ(review.rows[0][0], wxString(firmware->Label().c_str()));
        EXPECT_EQ(review.rows[1], (std::vector<wxString>{wxString(bit->Label().c_str()), "10:4",
                                                         wxString(bit->Text(0).c_str()) + " (0x0)",
                                                         wxString(bit->Text(1).c_str()) + " (0x1)"}));
        EXPECT_FALSE(review.warning.empty()) << "a file from other firmware says so";
        EXPECT_EQ(TestApp().session.State(), typUnitState::Ready) << "Cancel sends nothing";
        EXPECT_EQ(frame->PendingBytes(), 2);
        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
}

// Each command that cannot be undone asks first; Cancel leaves everything as it was.
TEST_F(FrameTest, ConfirmationsAskFirstAndCancelChangesNothing) {
    const WordMap read = SampleWords(40);
    const WordMap defaults = SampleWords(41);
    struct Case {
        const char* what;
        void (TolvaneFrame::*command)(wxCommandEvent&);
        int text;
    } cases[] = {
        {"set default", &TolvaneFrame::OnDefault, 1170},
        {"load over edits", &TolvaneFrame::OnLoadFromFileNVRAM, 1171},
        {"exit with edits", &TolvaneFrame::OnExit, 1172},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetApp();
        g_StringENU = true;
        Open(7, read, defaults);
        Click(20, 1);
        const WordMap edited = frame->Edited();
        SetBoxAnswer(wxCANCEL);
        Command(c.command);
        ASSERT_TRUE(frame);
        ASSERT_EQ(ShownBoxes().size(), 1u);
        EXPECT_TRUE(ShownBoxes()[0].text.StartsWith(_W_(c.text).BeforeFirst('%')));
        EXPECT_EQ(frame->Edited(), edited);
        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
    }
    // Set default, answered yes: the values are the defaults and nothing shows as differing.
    ResetApp();
    Open(7, read, defaults);
    SetBoxAnswer(wxYES);
    Command(&TolvaneFrame::OnDefault);
    for (int label = ServiceTab::ID_LABEL_FIRST; label <= ServiceTab::ID_LABEL_LAST; ++label) {
        wxWindow* w = wxWindow::FindWindowById(label, frame.get());
        EXPECT_TRUE(w == nullptr || w->GetBackgroundColour() != kBackgroundColourHighlighted) << label;
    }
    for (const ParamDef& p : GridParams(7))
        EXPECT_NE(frame->GetGrid()->GetCellBackgroundColour(p.gridRow, p.gridCol),
                  kBackgroundColourHighlighted)
            << p.key;
    // Exit with edits, Discard: the window goes.
    SetBoxAnswer(wxNO);
    Click(20, 1);
    Command(&TolvaneFrame::OnExit);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

// A unit type without a page layout still gets a window: a page that says so, and the grid.
TEST_F(FrameTest, AUnitWithoutALayoutSaysSoAndKeepsTheGrid) {
    g_StringENU = true;
    Open(0, SampleWords(42), SampleWords(42));
    const wxWindow* page = frame->GetNotebook()->GetPage(0);
    bool said = false;
    for (const wxWindow* c : page->GetChildren())
        said = said || c->GetLabel().StartsWith(_W_(1185).BeforeFirst('%'));
    EXPECT_TRUE(said);
    EXPECT_EQ(frame->GetGrid()->GetNumberRows(), 32);
    // Menu labels: one line each, with a mnemonic and the shortcuts of a desktop program.
    EXPECT_EQ(frame->ItemWrite()->GetItemLabel().AfterFirst('\t'), "Ctrl+U");
    EXPECT_EQ(frame->ItemLastSaved()->GetItemLabel().AfterFirst('\t'), "F5");
    for (wxMenuItem* item :
         {frame->ItemWrite(), frame->ItemDefault(), frame->ItemLastSaved(), frame->ItemRestart()}) {
        EXPECT_FALSE(item->GetItemLabel().Contains("\n"));
        EXPECT_TRUE(item->GetItemLabel().Contains("&"));
    }
}

TEST_F(FrameTest, TheStatusBarShowsTheUnitTheLinkAndTheBytesNotWritten) {
    TolvaneApp& app = TestApp();
    SimLuOptions unit;
    unit.nvram = SimLuWords{};
    LoadSession(unit);
    ASSERT_EQ(app.session.State(), typUnitState::Ready);
    Open(7, app.nvramRead, app.nvramDefaults);
    wxStatusBar* bar = frame->GetStatusBar();
    ASSERT_NE(bar, nullptr);
    EXPECT_EQ(bar->GetStatusText(TolvaneFrame::kStatusUnit), "Tolvane test");
    EXPECT_EQ(bar->GetStatusText(TolvaneFrame::kStatusLink), _W_(1141));
    EXPECT_EQ(bar->GetStatusText(TolvaneFrame::kStatusEdits), wxString::Format(_W_(1148), 0));
    Click(20, 1);  // one byte of word 10
    Click(35, 3);  // power-off and trigger state: bytes of words 19 and 16
    EXPECT_EQ(frame->PendingBytes(), 3);
    EXPECT_EQ(bar->GetStatusText(TolvaneFrame::kStatusEdits), wxString::Format(_W_(1148), 3));
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
    EXPECT_TRUE(frame->ItemRestart()->IsEnabled());
}

TEST_F(FrameTest, AUnitThatLeavesIsShownAtOnceAndTheEditsStay) {
    TolvaneApp& app = TestApp();
    struct Case {
        const char* what;
        std::function<void()> leave;
        int box;
        int state;
        bool windowStays;
    } cases[] = {
        {"lost link", [this] { Post(NO_LINK); }, 1149, 1146, true},
        {"close-link from the unit",
         [&] {
             const unsigned char who[4] = {};
             CPackV7 close;
             close.SetLink(CPackV7::typCloseLink, who, 4);
             app.inpV7.Put(close);
             Post(PACKV7_RECEIVED);
         },
         1150, 1147, true},
        {"refusal",
         [&] {
             const unsigned char mark[1] = {1};
             CPackV7 refusal;
             refusal.SetLink(CPackV7::typRefuse, mark, 1);
             app.inpV7.Put(refusal);
             app.inpV7.Put(refusal);
             Post(PACKV7_RECEIVED);
         },
         1105, 1145, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ResetApp();
        g_StringENU = true;
        app.v7Id = 77;
        LoadSession(SimLuOptions{});
        Open(7, app.nvramRead, app.nvramDefaults);
        app.SetTopWindowTracked(frame.get());
        Click(20, 1);
        const WordMap edited = frame->Edited();
        c.leave();
        ASSERT_EQ(ShownBoxes().size(), 1u);
        EXPECT_EQ(ShownBoxes()[0].text, _W_(c.box));
        EXPECT_TRUE(app.inpV7.IsEmpty());
        if (!c.windowStays) {
            EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
            continue;
        }
        ASSERT_TRUE(frame);
        EXPECT_EQ(frame->GetStatusBar()->GetStatusText(TolvaneFrame::kStatusLink), _W_(c.state));
        EXPECT_EQ(frame->Edited(), edited);
        EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
        EXPECT_FALSE(frame->ItemRestart()->IsEnabled());
        EXPECT_TRUE(frame->GetMenuBar()->FindItem(TolvaneFrame::ID_SAVE_FILE)->IsEnabled());
        frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
        ClearShownBoxes();
    }
}

// ---- Against the simulated unit ------------------------------------------------------------

// The frame with the real request path: the byte writes travel as V7 packets to lu-sim, which
// reports each one it executes, and the read-back answers come back through the receiver.
class FrameLinkTest : public ::testing::Test {
protected:
    static constexpr int kUnitNode = 4711;
    static constexpr const char* kKey = "frame test key";

    void SetUp() override {
        ResetApp();
        g_StringENU = true;
    }

    void TearDown() override {
        if (frame) frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
        ResetApp();
    }

    // lu-sim holding `words`, the link up, the session ready and the window open.
    void Start(SimLuOptions unit, const std::vector<std::string>& extra) {
        const std::string file = home.Path() + "/words.046";
        std::string why;
        ASSERT_TRUE(SaveSimLuFile(file, *unit.nvram, why)) << why;
        std::vector<std::string> args = {
            "--node", std::to_string(kUnitNode), "--key", kKey, "--bind", "::1", "--port", "0", "--nvram",
            file};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        sim = std::make_unique<SimProcess>();
        ASSERT_TRUE(sim->Start(TOLVANE_LU_SIM_PATH, args, 5s, &error)) << error;
        TolvaneApp& app = TestApp();
        app.v7Id = kUnitNode;
        app.v7Addr = IP6FromStr("::1");
        app.v7Port = sim->Port();
        app.keyText = DBString(kKey);
        app.CheckSettings();
        ASSERT_TRUE(app.pult.Connect());
        LoadSession(unit);
        frame = new TolvaneFrame("Tolvane test", app, 7);
        app.SetTopWindowTracked(frame.get());
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
    }

    std::vector<std::string> WriteLines() const {
        std::vector<std::string> out;
        for (const std::string& l : sim->Lines()) {
            if (l.find("write byte") != std::string::npos) out.push_back(l);
        }
        return out;
    }

    ScopedHome home;
    std::unique_ptr<SimProcess> sim;
    wxWeakRef<TolvaneFrame> frame;
};

TEST_F(FrameLinkTest, InEveryWordFormOnlyChangedBytesTravelAndTheWriteIsVerified) {
    for (const char* form : {"16", "13", "12"}) {
        SCOPED_TRACE(form);
        SimLuOptions unit;
        unit.wordForm = form[1] == '2' ? 12 : 13;
        unit.withDefaults = form[1] == '6';
        SimLuWords words = SimLuBuiltinNvram(unit);
        words[3] = 0x1234;
        unit.nvram = words;
        Start(unit, {"--word-form", form});
        if (HasFatalFailure()) return;
        frame->Edited()[0] = static_cast<uint16_t>(words[0] ^ 0x0101);  // both bytes
        frame->Edited()[3] = 0x9234;                                    // high byte, USER3's: bit 15 set
        frame->CheckDefault();
        constexpr int kUser3Label = 154;
        EXPECT_TRUE(frame->GetServiceTab()->IsPending(kUser3Label)) << "an edit not yet written is marked";
        wxCommandEvent ev;
        frame->OnWriteNVRAM(ev);
        EXPECT_EQ(frame->GetStatusBar()->GetStatusText(TolvaneFrame::kStatusLink), _W_(1142));
        ASSERT_TRUE(PumpUntil([] { return !ShownBoxes().empty(); }, 5s)) << "no outcome";
        const auto writes = WriteLines();
        ASSERT_EQ(writes.size(), 3u);
        for (const auto& [i, text] :
             {std::pair{0, "write byte 0 "}, {1, "write byte 1 "}, {2, "write byte 7 "}})
            EXPECT_NE(writes[i].find(text), std::string::npos) << writes[i];
        ASSERT_EQ(ShownBoxes().size(), 1u);
        EXPECT_EQ(ShownBoxes()[0].text, _W_(1111));
        EXPECT_EQ(GetWord(TestApp().nvramRead, 3), 0x9234);
        EXPECT_EQ(frame->PendingBytes(), 0);
        EXPECT_FALSE(frame->GetServiceTab()->IsPending(kUser3Label)) << "written: no longer marked";
        EXPECT_EQ(frame->GetStatusBar()->GetStatusText(TolvaneFrame::kStatusLink), _W_(1141));

        wxCommandEvent restart;
        SetBoxAnswer(wxNO);
        frame->OnSendRestart(restart);
        EXPECT_FALSE(sim->WaitForLineContaining("restart requested", 300ms)) << "refused restart sent";
        SetBoxAnswer(wxYES);
        frame->OnSendRestart(restart);
        EXPECT_TRUE(sim->WaitForLineContaining("restart requested", 5s));
        TearDown();
        SetUp();
    }
}

TEST_F(FrameLinkTest, AWriteThatCannotBeReadBackIsReportedUnverified) {
    SimLuOptions unit;
    unit.nvram = SimLuBuiltinNvram(unit);
    UnitSessionTiming fast;
    fast.tick = 100ms;
    fast.verifyBound = 300ms;
    TestApp().session.SetTiming(fast);
    Start(unit, {"--read-error"});
    if (HasFatalFailure()) return;
    frame->Edited()[5] ^= 0x0001;
    wxCommandEvent ev;
    frame->OnWriteNVRAM(ev);
    ASSERT_TRUE(PumpUntil([] { return !ShownBoxes().empty(); }, 5s));
    EXPECT_EQ(ShownBoxes()[0].text, wxString::Format(_W_(1135), 0));
    for (int w = 0; w < kLuWords; ++w)
        EXPECT_EQ(GetWord(TestApp().nvramRead, w), (*unit.nvram)[w]) << "nothing read back counts as written";
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled()) << "the edit is offered again";
}

}  // namespace
