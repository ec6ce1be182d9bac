// The main window against the application object of the test program: the configuration grid,
// the "Func" commands and the answers from the unit, with the requests caught at the frame's
// request sink.

#include <gtest/gtest.h>
#include <wx/bitmap.h>
#include <wx/dcmemory.h>
#include <wx/settings.h>
#include <wx/weakref.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
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

CMes NvramAnswer(const TolvaneApp& app, bool good) {
    const unsigned char units[4] = {1, 2, 3, static_cast<unsigned char>(good ? 4 : 4 | 32)};
    return CMes(255, 15, app.umNum, app.slotNum, app.devAddr, CMes::mesDevAnswer, CMes::askLbNVRAM, units, 4,
                -1);
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

    TolvaneFrame* Open(int protoVer, const WordMap& read, const WordMap& defaults) {
        TolvaneApp& app = TestApp();
        app.nvramRead = read;
        app.nvramDefaults = defaults;
        frame = new TolvaneFrame("Tolvane test", app, protoVer);
        frame->SetRequestSink([this](const LuRequest& r) { requests.push_back(r); });
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

    // The requests must be these byte writes, in this order.
    void ExpectWrites(const std::vector<std::pair<int, int>>& writes) const {
        ASSERT_EQ(requests.size(), writes.size());
        for (size_t i = 0; i < writes.size(); ++i) {
            const LuRequest& r = requests[i];
            EXPECT_EQ(r.typ, CMes::mesDevAsk);
            EXPECT_EQ(r.ask, CMes::askLbNVRAM);
            EXPECT_EQ(r.prior, kLuPriorWrite);
            unsigned char units[4];
            ASSERT_TRUE(
                LbNvramWriteUnits(writes[i].first, static_cast<unsigned char>(writes[i].second), units));
            EXPECT_TRUE(std::equal(units, units + 4, r.units.begin()))
                << "request " << i << " is not address " << writes[i].first << " value " << writes[i].second;
        }
    }

    wxWeakRef<TolvaneFrame> frame;
    std::vector<LuRequest> requests;
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

TEST_F(FrameTest, UpdateSendsExactlyTheChangedBytesLowByteFirst) {
    WordMap read = SampleWords(8);
    read[0] = 0x0102;
    read[3] = 0x1122;
    Open(7, read, read);
    requests.clear();

    frame->Edited()[3] = 0x3322;  // high byte only: byte address 7
    frame->Edited()[0] = 0x0304;  // both bytes: 0 then 1
    frame->CheckButtonsEnabled();
    ASSERT_TRUE(frame->ItemWrite()->IsEnabled());
    const WordMap written = frame->Edited();

    Command(&TolvaneFrame::OnWriteNVRAM);
    ExpectWrites({{0, 0x04}, {1, 0x03}, {7, 0x33}});
    EXPECT_EQ(TestApp().nvramRead, written);
    EXPECT_TRUE(frame->AwaitingWriteConfirm());
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
    EXPECT_FALSE(frame->ItemLastSaved()->IsEnabled());

    // Unconfirmed, the written words are the last saved ones.
    frame->Edited()[3] = 0;
    Command(&TolvaneFrame::OnReturnToLastSaved);
    EXPECT_EQ(GetWord(frame->Edited(), 3), 0x3322);

    // Nothing changed: nothing sent.
    requests.clear();
    Command(&TolvaneFrame::OnWriteNVRAM);
    EXPECT_TRUE(requests.empty());
}

TEST_F(FrameTest, TheFirstNvramAnswerAfterAWriteIsConfirmedOnce) {
    Open(7, SampleWords(9), SampleWords(9));
    TolvaneApp& app = TestApp();
    app.v7Id = 5;  // direct mode packets
    frame->Edited()[2] ^= 0x0100;
    Command(&TolvaneFrame::OnWriteNVRAM);

    const CMes good = NvramAnswer(app, true);
    ASSERT_EQ(good.typ, CMes::mesDevAnswer);
    ASSERT_EQ(good.ask, CMes::askLbNVRAM);
    ASSERT_TRUE(good.IsGood());
    CPackV7 p1(good);
    CPackV7 p2(good);
    app.inpV7.Put(p1);
    app.inpV7.Put(p2);
    Post(PACKV7_RECEIVED);

    const auto boxes = ShownBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, _W_(1111));
    EXPECT_FALSE(frame->AwaitingWriteConfirm());
    EXPECT_TRUE(app.inpV7.IsEmpty());
}

TEST_F(FrameTest, ConsoleAnswersCountOnlyFromTheUnitOnTheConsole) {
    TolvaneApp& app = TestApp();
    app.pultNum = 2;
    app.umNum = 3;
    app.slotNum = 4;
    app.devAddr = 5;
    Open(6, SampleWords(10), SampleWords(10));
    frame->Edited()[4] ^= 0x0001;
    Command(&TolvaneFrame::OnWriteNVRAM);

    auto queue = [&](const CMes& m, int pult) {
        CPackMes pack(0, 0, 8);
        ASSERT_NE(pack.AddMes(m), 0);
        pack.pultNo = pult;
        app.inpMes.Put(pack);
    };
    const unsigned char units[4] = {1, 2, 3, 4};
    // Another device on the same slot, then the right unit on another console.
    queue(CMes(255, 15, 3, 4, 6, CMes::mesDevAnswer, CMes::askLbNVRAM, units, 4, -1), 2);
    queue(NvramAnswer(app, true), 1);
    Post(PACKV5_RECEIVED);
    EXPECT_TRUE(ShownBoxes().empty());
    EXPECT_TRUE(frame->AwaitingWriteConfirm());

    queue(NvramAnswer(app, true), 2);
    Post(PACKV5_RECEIVED);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1111));
}

TEST_F(FrameTest, ARefusedWriteIsReportedAndOfferedAgain) {
    const WordMap read = SampleWords(11);
    Open(7, read, read);
    TolvaneApp& app = TestApp();
    app.v7Id = 5;
    frame->Edited()[5] ^= 0x0101;
    Command(&TolvaneFrame::OnWriteNVRAM);
    ASSERT_FALSE(frame->ItemWrite()->IsEnabled());

    const CMes bad = NvramAnswer(app, false);
    ASSERT_FALSE(bad.IsGood());
    CPackV7 p(bad);
    app.inpV7.Put(p);
    Post(PACKV7_RECEIVED);

    const auto boxes = ShownBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, _W_(1112));
    EXPECT_NE(boxes[0].text, _W_(1111));
    EXPECT_TRUE(boxes[0].style & wxICON_ERROR);
    EXPECT_EQ(app.nvramRead, read) << "the unit still holds the words from before";
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
    EXPECT_FALSE(frame->AwaitingWriteConfirm());
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

TEST_F(FrameTest, RestartIsOneRequestAndAwaitsNothing) {
    Open(7, SampleWords(16), SampleWords(16));
    requests.clear();
    Command(&TolvaneFrame::OnSendRestart);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].typ, CMes::mesDevAsk);
    EXPECT_EQ(requests[0].ask, CMes::askRestart);
    EXPECT_EQ(requests[0].prior, kLuPriorWrite);
    unsigned char units[4];
    LbRestartUnits(units);
    EXPECT_TRUE(std::equal(units, units + 4, requests[0].units.begin()));
    EXPECT_FALSE(frame->AwaitingWriteConfirm());
}

TEST_F(FrameTest, AnIncompleteImageClosesTheWindowAtOnce) {
    WordMap read = SampleWords(17);
    read.erase(12);
    TestApp().nvramRead = read;
    frame = new TolvaneFrame("Tolvane test", TestApp(), 7);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
}

TEST_F(FrameTest, LostLinkAndRefusalEndTheWindowWithTheirBox) {
    TolvaneApp& app = TestApp();
    app.v7Id = 77;
    Open(7, SampleWords(18), SampleWords(18));
    app.SetTopWindowTracked(frame.get());
    Post(NO_LINK);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1106));
    EXPECT_EQ(app.topWindow, nullptr);

    // A long refusal naming another program is not ours; a short one is.
    ClearShownBoxes();
    Open(7, SampleWords(18), SampleWords(18));
    CIdentV7 other(app.receivV7.GetIdent().GetNode() + 1, 0);
    CIdentV7 unit(77, 0);
    unsigned char longForm[9] = {1};
    other.GetValue(longForm + 1);
    unit.GetValue(longForm + 5);
    CPackV7 notOurs;
    ASSERT_TRUE(notOurs.SetLink(CPackV7::typRefuse, longForm, 9));
    EXPECT_FALSE(TolvaneFrame::IsRefusalForUs(notOurs, app.receivV7.GetIdent(), 77));
    app.receivV7.GetIdent().GetValue(longForm + 1);
    CPackV7 ours;
    ASSERT_TRUE(ours.SetLink(CPackV7::typRefuse, longForm, 9));
    EXPECT_TRUE(TolvaneFrame::IsRefusalForUs(ours, app.receivV7.GetIdent(), 77));
    EXPECT_FALSE(TolvaneFrame::IsRefusalForUs(ours, app.receivV7.GetIdent(), 78));

    app.inpV7.Put(notOurs);
    Post(PACKV7_RECEIVED);
    EXPECT_TRUE(frame);
    EXPECT_TRUE(ShownBoxes().empty());

    const unsigned char shortForm[1] = {1};
    CPackV7 refusal;
    ASSERT_TRUE(refusal.SetLink(CPackV7::typRefuse, shortForm, 1));
    app.inpV7.Put(refusal);
    app.inpV7.Put(refusal);
    Post(PACKV7_RECEIVED);
    EXPECT_TRUE(PumpUntil([this] { return !frame; }, 3s));
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1105));
    EXPECT_TRUE(app.inpV7.IsEmpty());
}

// ---- Against the simulated unit ------------------------------------------------------------

// The frame with the real request path: the byte writes travel as V7 packets to lu-sim, which
// reports each one it executes, and its answer comes back through the receiver and the queue.
class FrameLinkTest : public ::testing::Test {
protected:
    static constexpr int kUnitNode = 4711;
    static constexpr const char* kKey = "frame test key";

    void SetUp() override {
        ResetApp();
        g_StringENU = true;
        ClearShownBoxes();
        words = SampleWords(31);
        wordsFile = home.Path() + "/words.046";
        std::ofstream out(wordsFile, std::ios::binary);
        for (int k = 0; k < TolvaneFrame::kNvramWords; ++k) {
            out.put(static_cast<char>(GetLowByte(words, k)));
            out.put(static_cast<char>(GetHighByte(words, k)));
        }
    }

    void TearDown() override {
        if (frame) frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
        ResetApp();
    }

    // lu-sim holding `words`, the link up, and the window open on the same words.
    void Start(const std::vector<std::string>& extra) {
#ifdef TOLVANE_LU_SIM_PATH
        std::vector<std::string> args = {
            "--node", std::to_string(kUnitNode), "--key", kKey, "--bind", "::1", "--port", "0", "--nvram",
            wordsFile};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim.Start(TOLVANE_LU_SIM_PATH, args, 5s, &error)) << error;
        TolvaneApp& app = TestApp();
        app.v7Id = kUnitNode;
        app.v7Addr = IP6FromStr("::1");
        app.v7Port = sim.Port();
        app.keyText = DBString(kKey);
        app.CheckSettings();
        ASSERT_TRUE(app.pult.Connect());
        app.nvramRead = words;
        app.nvramDefaults = words;
        frame = new TolvaneFrame("Tolvane test", app, 7);
        app.SetTopWindowTracked(frame.get());
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
#else
        (void)extra;
        GTEST_SKIP() << "lu-sim is not built";
#endif
    }

    std::vector<std::string> WriteLines() const {
        std::vector<std::string> out;
        for (const std::string& l : sim.Lines()) {
            if (l.find("write byte") != std::string::npos) out.push_back(l);
        }
        return out;
    }

    ScopedHome home;
    SimProcess sim;
    WordMap words;
    std::string wordsFile;
    wxWeakRef<TolvaneFrame> frame;
};

TEST_F(FrameLinkTest, TheUnitReceivesOnlyTheChangedBytesAndConfirmsOnce) {
    Start({});
    if (IsSkipped() || HasFatalFailure()) return;
    frame->Edited()[0] = static_cast<uint16_t>(words.at(0) ^ 0x0101);  // both bytes
    frame->Edited()[3] = static_cast<uint16_t>(words.at(3) ^ 0x1000);  // high byte only
    wxCommandEvent ev;
    frame->OnWriteNVRAM(ev);

    ASSERT_TRUE(PumpUntil([] { return !ShownBoxes().empty(); }, 5s)) << "no confirmation";
    PumpFor(300ms);
    const auto writes = WriteLines();
    ASSERT_EQ(writes.size(), 3u);
    char expected[64];
    std::snprintf(expected, sizeof expected, "write byte 0 := 0x%02X", (words.at(0) ^ 0x0101) & 0xFF);
    EXPECT_NE(writes[0].find(expected), std::string::npos) << writes[0];
    std::snprintf(expected, sizeof expected, "write byte 1 := 0x%02X", ((words.at(0) ^ 0x0101) >> 8) & 0xFF);
    EXPECT_NE(writes[1].find(expected), std::string::npos) << writes[1];
    std::snprintf(expected, sizeof expected, "write byte 7 := 0x%02X", ((words.at(3) ^ 0x1000) >> 8) & 0xFF);
    EXPECT_NE(writes[2].find(expected), std::string::npos) << writes[2];

    const auto boxes = ShownBoxes();
    ASSERT_EQ(boxes.size(), 1u) << "three answers, one confirmation";
    EXPECT_EQ(boxes[0].text, _W_(1111));

    wxCommandEvent restart;
    frame->OnSendRestart(restart);
    std::string line;
    EXPECT_TRUE(sim.WaitForLineContaining("restart requested", 5s, &line));
}

TEST_F(FrameLinkTest, AnErrorReportToAWriteIsShownAsARefusal) {
    Start({});
    if (IsSkipped() || HasFatalFailure()) return;
    // The unit answers a write beyond its 64 bytes with an error report.
    frame->Edited()[40] = 0x0101;
    wxCommandEvent ev;
    frame->OnWriteNVRAM(ev);
    ASSERT_TRUE(PumpUntil([] { return !ShownBoxes().empty(); }, 5s));
    PumpFor(300ms);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, _W_(1112));
    EXPECT_EQ(TestApp().nvramRead, words) << "the refused write is not counted as saved";
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
}

}  // namespace
