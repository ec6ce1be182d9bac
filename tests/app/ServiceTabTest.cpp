#include <gtest/gtest.h>
#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/frame.h>
#include <wx/gbsizer.h>
#include <wx/notebook.h>
#include <wx/panel.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <set>

#include "AppTestUtil.h"
#include "NvramLayout.h"
#include "ServiceTab.h"
#include "TolvaneFrame.h"
#include "wxLoadRes.h"

namespace {

using namespace std::chrono_literals;

// ---------------------------------------------------------------------------------------------
// Encodings, no window needed

TEST(ServiceTabUserIO, ControlKindsAndBytePlaces) {
    for (int id : {105, 108, 111, 114}) EXPECT_EQ(ServiceTab::GetUserIOControlKind(id), 2) << id;
    for (int id : {106, 109, 112, 115}) EXPECT_EQ(ServiceTab::GetUserIOControlKind(id), 1) << id;
    for (int id : {104, 107, 110, 113, 116, 117, 0}) EXPECT_EQ(ServiceTab::GetUserIOControlKind(id), 0) << id;

    EXPECT_EQ(ServiceTab::UserByteLocation(0), std::make_pair(2, true));
    EXPECT_EQ(ServiceTab::UserByteLocation(1), std::make_pair(3, false));
    EXPECT_EQ(ServiceTab::UserByteLocation(2), std::make_pair(3, true));
    EXPECT_EQ(ServiceTab::UserByteLocation(3), std::make_pair(4, false));
    EXPECT_EQ(ServiceTab::UserRowOfId(105), 0);
    EXPECT_EQ(ServiceTab::UserRowOfId(116), 3);
    EXPECT_EQ(ServiceTab::UserRowOfId(117), -1);
}

TEST(ServiceTabCommonFlags, LoadsByGeneration) {
    auto asMap = [](const std::vector<std::pair<int, int>>& v) {
        return std::map<int, int>(v.begin(), v.end());
    };

    // A missing word 13 reads as 0: the two inverted bits show as checked.
    const auto empty = asMap(ServiceTab::LoadCommonFlags({}, 6));
    EXPECT_EQ(empty, (std::map<int, int>{{131, 0},
                                         {132, 0},
                                         {133, 1},
                                         {134, 1},
                                         {135, 0},
                                         {136, 0},
                                         {139, 0},
                                         {140, 0},
                                         {142, 0},
                                         {144, 0},
                                         {145, 0},
                                         {146, 0}}));

    const auto all5 = asMap(ServiceTab::LoadCommonFlags({{13, 0xFFFF}}, 5));
    EXPECT_EQ(all5,
              (std::map<int, int>{
                  {131, 1}, {132, 1}, {133, 0}, {134, 0}, {135, 1}, {142, 1}, {144, 1}, {145, 1}, {146, 1}}));

    // Each optional bit goes to its own control.
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 5}}, 7)).at(136), 1);
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 8}}, 7)).at(139), 1);
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 9}}, 6)).at(140), 1);
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 9}}, 6)).at(139), 0);
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 11}}, 5)).at(142), 1);
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 14}}, 5)).at(145), 1);
    EXPECT_EQ(asMap(ServiceTab::LoadCommonFlags({{13, 1u << 14}}, 5)).at(144), 0);
}

TEST(ServiceTabCommonFlags, StoresOneBitEach) {
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0x0000, 131, 1), 0x0001);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0xFFFF, 131, 0), 0xFFFE);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0x0000, 133, 0), 0x0004);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0x0004, 133, 1), 0x0000);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0x0000, 134, 0), 0x0008);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0x1040, 146, 1), 0x9040);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0xA000, 144, 0), 0x8000);
    EXPECT_EQ(ServiceTab::StoreCommonFlag(0x1234, 130, 1), 0x1234);
}

// ---------------------------------------------------------------------------------------------
// The page in a window

WordMap FullMap(std::initializer_list<std::pair<const int, uint16_t>> set) {
    WordMap m;
    for (int w = 0; w < 32; ++w) m[w] = 0;
    for (const auto& [w, v] : set) m[w] = v;
    return m;
}

class ServicePage : public ::testing::Test {
protected:
    void Build(int protoVer, WordMap defaults) {
        m_defaults = std::move(defaults);
        m_frame = new wxFrame(nullptr, wxID_ANY, "service page test");
        m_notebook = new wxNotebook(m_frame, wxID_ANY);
        m_grid = new wxPanel(m_frame, TolvaneFrame::ID_GRID);
        m_tab = std::make_unique<ServiceTab>(protoVer, m_edited, m_defaults, m_unit, [this] { ++m_changes; });
        m_page = m_tab->CreateServiceValuesTab(m_notebook);
        m_notebook->AddPage(m_page, "service");
    }

    void TearDown() override {
        m_tab.reset();
        if (m_frame) m_frame->Destroy();
        PumpFor(std::chrono::milliseconds(5));
    }

    // Handles every queued change event.
    void Settle() { PumpFor(std::chrono::milliseconds(10)); }

    void Show(const WordMap& words) {
        m_tab->SetNVRAM(words);
        Settle();
    }

    wxChoice* List(int id) const { return dynamic_cast<wxChoice*>(m_tab->Find(id)); }
    wxCheckBox* Box(int id) const { return dynamic_cast<wxCheckBox*>(m_tab->Find(id)); }
    wxSpinCtrl* Spin(int id) const { return dynamic_cast<wxSpinCtrl*>(m_tab->Find(id)); }
    bool Orange(int label) const {
        return m_tab->Find(label)->GetBackgroundColour() == kBackgroundColourHighlighted;
    }

    // The user's edits arrive the way the toolkit delivers them: value first, event at once.
    void PickEntry(int id, int entry) {
        wxChoice* c = List(id);
        ASSERT_NE(c, nullptr) << id;
        c->SetSelection(entry);
        wxCommandEvent e(wxEVT_CHOICE, id);
        e.SetEventObject(c);
        e.SetInt(entry);
        c->ProcessWindowEvent(e);
    }
    void Tick(int id, bool on) {
        wxCheckBox* c = Box(id);
        ASSERT_NE(c, nullptr) << id;
        c->SetValue(on);
        wxCommandEvent e(wxEVT_CHECKBOX, id);
        e.SetEventObject(c);
        e.SetInt(on);
        c->ProcessWindowEvent(e);
    }
    void Turn(int id, int value) {
        wxSpinCtrl* c = Spin(id);
        ASSERT_NE(c, nullptr) << id;
        c->SetValue(value);
        wxSpinEvent e(wxEVT_SPINCTRL, id);
        e.SetEventObject(c);
        e.SetPosition(value);
        c->ProcessWindowEvent(e);
    }

    std::set<int> Ids(const std::function<bool(wxWindow*)>& pick) const {
        std::set<int> ids;
        for (wxWindow* w : m_page->GetChildren())
            if (pick(w)) ids.insert(w->GetId());
        return ids;
    }
    wxGBPosition Where(int id) const {
        return static_cast<wxGridBagSizer*>(m_page->GetSizer())->GetItemPosition(m_tab->Find(id));
    }

    WordMap m_edited;
    WordMap m_unit;
    WordMap m_defaults;
    wxFrame* m_frame = nullptr;
    wxNotebook* m_notebook = nullptr;
    wxWindow* m_grid = nullptr;
    wxWindow* m_page = nullptr;
    std::unique_ptr<ServiceTab> m_tab;
    int m_changes = 0;
};

std::set<int> Range(int first, int last) {
    std::set<int> s;
    for (int i = first; i <= last; ++i) s.insert(i);
    return s;
}

std::set<int> Join(std::initializer_list<std::set<int>> parts) {
    std::set<int> s;
    for (const auto& p : parts) s.insert(p.begin(), p.end());
    return s;
}

auto IsList = [](wxWindow* w) { return dynamic_cast<wxChoice*>(w) != nullptr; };
auto IsBox = [](wxWindow* w) { return dynamic_cast<wxCheckBox*>(w) != nullptr; };
auto IsSpin = [](wxWindow* w) { return dynamic_cast<wxSpinCtrl*>(w) != nullptr; };
auto IsText = [](wxWindow* w) { return dynamic_cast<wxStaticText*>(w) != nullptr; };

TEST_F(ServicePage, Generation5HasItsRows) {
    Build(5, {});
    EXPECT_EQ(Ids(IsBox), (std::set<int>{100, 121, 131, 132, 133, 134, 135, 142}));
    EXPECT_EQ(Ids(IsList), (std::set<int>{117, 120, 144, 145, 146}));
    EXPECT_EQ(Ids(IsSpin), (std::set<int>{103}));
    EXPECT_EQ(Ids(IsText),
              (std::set<int>{101, 147, 148, 150, 156, 158, 162, 163, 164, 165, 166, 173, 175, 176, 177}));
    EXPECT_EQ(List(117)->GetCount(), 25u);
    EXPECT_EQ(List(120)->GetCount(), 85u);
    EXPECT_EQ(Spin(103)->GetMin(), 1);
    EXPECT_EQ(Spin(103)->GetMax(), 15);
    EXPECT_EQ(Where(100), wxGBPosition(0, 2));
    EXPECT_EQ(Where(120), wxGBPosition(4, 1));
    EXPECT_EQ(static_cast<wxGridBagSizer*>(m_page->GetSizer())->GetItemSpan(m_tab->Find(120)),
              wxGBSpan(1, 2));
    EXPECT_EQ(Where(121), wxGBPosition(4, 3));
    EXPECT_EQ(Where(162), wxGBPosition(5, 0));
    EXPECT_EQ(Where(131), wxGBPosition(5, 1));
    EXPECT_EQ(Where(146), wxGBPosition(13, 1));
    // Long labels are wrapped at spaces to keep the page within the window.
    wxString label = static_cast<wxStaticText*>(m_tab->Find(150))->GetLabel();
    label.Replace("\n", " ");
    EXPECT_EQ(label, _W_(1904));
}

TEST_F(ServicePage, Generation6HasItsRows) {
    Build(6, {});
    EXPECT_EQ(Ids(IsBox), Join({{100, 107, 110, 113, 116, 119, 121, 123, 124, 125, 126, 127, 130},
                                {131, 132, 133, 134, 135, 136, 139, 140, 142}}));
    EXPECT_EQ(Ids(IsList), (std::set<int>{102, 106, 109, 112, 115, 117, 120, 144, 145, 146}));
    EXPECT_EQ(Ids(IsSpin), (std::set<int>{103, 118, 122, 129}));
    EXPECT_EQ(
        Ids(IsText),
        Join(
            {{101, 147, 148, 149, 150}, Range(152, 161), Range(162, 167), {170, 171, 173}, Range(175, 177)}));
    EXPECT_EQ(List(102)->GetCount(), 3u);
    EXPECT_EQ(List(106)->GetCount(), 87u);
    EXPECT_EQ(List(117)->GetCount(), 64u);
    EXPECT_EQ(Spin(129)->GetMax(), 16);
    EXPECT_EQ(Spin(122)->GetMax(), 255);
    EXPECT_EQ(Where(106), wxGBPosition(5, 1));
    EXPECT_EQ(Where(116), wxGBPosition(8, 3));
    EXPECT_EQ(Where(127), wxGBPosition(14, 2));
    EXPECT_EQ(Where(129), wxGBPosition(15, 1));
    EXPECT_EQ(Where(131), wxGBPosition(16, 1));
    EXPECT_EQ(Where(146), wxGBPosition(27, 1));
}

TEST_F(ServicePage, Generation7HasItsRows) {
    Build(7, {});
    EXPECT_EQ(Ids(IsBox), Join({{100, 107, 110, 113, 116, 119, 121, 123, 124, 125, 126, 127, 128, 130},
                                {131, 132, 133, 134, 135, 136, 139, 140, 142}}));
    EXPECT_EQ(Ids(IsList),
              (std::set<int>{102, 104, 105, 106, 108, 109, 111, 112, 114, 115, 117, 120, 144, 145, 146}));
    EXPECT_EQ(Ids(IsSpin), (std::set<int>{103, 118, 122, 129}));
    EXPECT_EQ(Ids(IsText), Join({{101}, Range(147, 167), {170, 171, 173}, Range(175, 177)}));
    EXPECT_EQ(List(102)->GetCount(), 18u);
    EXPECT_EQ(List(102)->GetString(16), _W_(1600));
    EXPECT_EQ(List(104)->GetCount(), 19u);
    EXPECT_EQ(List(104)->GetString(18), _W_(1636));
    EXPECT_EQ(List(105)->GetCount(), 2u);
    EXPECT_EQ(Where(105), wxGBPosition(5, 1));
    EXPECT_EQ(Where(106), wxGBPosition(5, 2));
    EXPECT_EQ(Where(128), wxGBPosition(15, 1));
    EXPECT_EQ(Where(161), wxGBPosition(16, 0));
    EXPECT_EQ(Where(130), wxGBPosition(16, 2));
    EXPECT_EQ(Where(162), wxGBPosition(17, 0));
}

TEST_F(ServicePage, UnknownGenerationHasNoRows) {
    Build(0, FullMap({}));
    EXPECT_TRUE(m_page->GetChildren().empty());
    m_tab->SetNVRAM(FullMap({{8, 0x5500}}));
    m_tab->ValueChanged(100, 1);
    Settle();
    EXPECT_EQ(m_changes, 0);
}

TEST_F(ServicePage, ShowsWordsAndLeavesThemAsTheyWere) {
    Build(7, {});
    const WordMap words = FullMap({
        {0, 0x0315},         // firmware 2.1.3
        {1, 0x0705},         // OUT1 mode 5, 7 door reversals
        {2, 0x96D3},         // CAN POWER entry 1; USER1 input 48 inverted
        {3, 0xC8D5},         // USER2 output 3; USER3 calls checkup
        {4, 0x0C00 | 0xE8},  // USER4 232 (no meaning); 12 floors
        {5, 0x6300 | 0x0A},  // voice checkup 10; mapping 99
        {6, 0x1500 | 0xFF},  // lift number automatic; sounds 8, 10, 12
        {7, 0x12FF},         // no negative floors
        {8, 0x5500},
        {13, 0xA101},
        {12, 0x4321},
    });
    m_edited = words;
    Show(words);

    EXPECT_TRUE(Box(100)->GetValue());
    EXPECT_EQ(static_cast<wxStaticText*>(m_tab->Find(101))->GetLabel(), "2.1.3");
    EXPECT_EQ(List(102)->GetSelection(), 5);
    EXPECT_EQ(Spin(103)->GetValue(), 7);
    EXPECT_EQ(List(104)->GetSelection(), 1);
    // USER1: input 48 inverted
    EXPECT_EQ(List(105)->GetSelection(), 0);
    EXPECT_EQ(List(106)->GetCount(), 87u);
    EXPECT_EQ(List(106)->GetSelection(), 48);
    EXPECT_TRUE(Box(107)->GetValue());
    EXPECT_TRUE(Box(107)->IsEnabled());
    // USER2: output 3
    EXPECT_EQ(List(108)->GetSelection(), 1);
    EXPECT_EQ(List(109)->GetCount(), 18u);
    EXPECT_EQ(List(109)->GetSelection(), 3);
    EXPECT_FALSE(Box(110)->IsEnabled());
    // USER3: input 86, the box locked
    EXPECT_EQ(List(111)->GetSelection(), 0);
    EXPECT_EQ(List(112)->GetSelection(), 86);
    EXPECT_FALSE(Box(113)->GetValue());
    EXPECT_FALSE(Box(113)->IsEnabled());
    // USER4: a code no entry stands for shows as itself
    EXPECT_EQ(List(115)->GetStringSelection(), "0xE8");
    EXPECT_EQ(List(117)->GetSelection(), 12);
    EXPECT_EQ(Spin(118)->GetValue(), 10);
    EXPECT_TRUE(Box(119)->GetValue());
    EXPECT_TRUE(Spin(118)->IsEnabled());
    EXPECT_EQ(List(120)->GetSelection(), 0);
    EXPECT_FALSE(Box(121)->IsEnabled());
    EXPECT_EQ(Spin(122)->GetValue(), 255);
    EXPECT_TRUE(Box(123)->GetValue());
    EXPECT_FALSE(Spin(122)->IsEnabled());
    EXPECT_TRUE(Box(124)->GetValue());
    EXPECT_FALSE(Box(125)->GetValue());
    EXPECT_TRUE(Box(126)->GetValue());
    EXPECT_FALSE(Box(127)->GetValue());
    EXPECT_TRUE(Box(128)->GetValue());
    EXPECT_EQ(Spin(129)->GetValue(), 0);
    EXPECT_FALSE(Box(130)->GetValue());
    EXPECT_TRUE(Box(131)->GetValue());
    EXPECT_TRUE(Box(133)->GetValue());
    EXPECT_TRUE(Box(134)->GetValue());
    EXPECT_TRUE(Box(139)->GetValue());
    EXPECT_EQ(List(144)->GetSelection(), 1);
    EXPECT_EQ(List(145)->GetSelection(), 0);
    EXPECT_EQ(List(146)->GetSelection(), 1);

    // Showing must not rewrite bytes the page cannot show one to one (0xFF floors, the unknown
    // USER code, mapping 99), nor the words the page does not edit.
    EXPECT_EQ(m_edited, words);
    EXPECT_GT(m_changes, 0);
}

TEST_F(ServicePage, ValuesBeyondTheControlsStayUntouched) {
    Build(6, {});
    const WordMap words = FullMap({
        {1, 0x0009},  // OUT1 entry 9: the list of generation 6 has 3
        {4, 0x4600},  // 70 floors: past the list
        {5, 0x6496},  // voice checkup 150: past the spin; mapping 100: no entry
        {7, 0x00A5},  // 37 negative floors with floor 0: past the spin
        {2, 0x5A00},  // USER1 90: past the input list
    });
    m_edited = words;
    Show(words);
    EXPECT_EQ(List(102)->GetStringSelection(), "0x09");
    EXPECT_EQ(List(117)->GetStringSelection(), "0x46");
    EXPECT_EQ(List(120)->GetStringSelection(), "0x64");
    EXPECT_EQ(Spin(103)->GetValue(), 1);
    EXPECT_EQ(m_edited, words);
}

TEST_F(ServicePage, ShowingAnotherMapStoresItIntoEdited) {
    Build(6, {});
    m_edited = FullMap({{12, 0x1111}});
    const WordMap words =
        FullMap({{1, 0x0302}, {3, 0x0D33}, {5, 0x8505}, {6, 0x0C07}, {7, 0x0083}, {8, 0x5500}, {13, 0x0204}});
    Show(words);
    EXPECT_EQ(GetWord(m_edited, 1), 0x0302);
    EXPECT_EQ(GetWord(m_edited, 3), 0x0D33);
    EXPECT_EQ(GetWord(m_edited, 5), 0x8505);
    EXPECT_EQ(GetWord(m_edited, 6), 0x0C07);
    EXPECT_EQ(GetWord(m_edited, 7), 0x0083);
    EXPECT_EQ(GetHighByte(m_edited, 8), 0x55);
    EXPECT_EQ(GetWord(m_edited, 13), 0x0204);
    EXPECT_EQ(GetWord(m_edited, 12), 0x1111);
    EXPECT_EQ(Spin(129)->GetValue(), 3);
    EXPECT_TRUE(Box(130)->GetValue());
}

TEST_F(ServicePage, NvramTableSwitchLocksThePageAndTheGrid) {
    const WordMap words = FullMap({{8, 0x5500}, {5, 0x0000}});
    Build(7, words);
    m_edited = words;
    Show(words);
    EXPECT_TRUE(m_grid->IsEnabled());
    EXPECT_FALSE(Spin(118)->IsEnabled());

    Tick(100, false);
    EXPECT_EQ(GetHighByte(m_edited, 8), 0);
    for (int id : {101, 102, 103, 106, 117, 120, 129, 131, 146})
        EXPECT_FALSE(m_tab->Find(id)->IsEnabled()) << id;
    EXPECT_FALSE(m_grid->IsEnabled());
    EXPECT_TRUE(Orange(147));

    Tick(100, true);
    EXPECT_EQ(GetHighByte(m_edited, 8), 0x55);
    EXPECT_TRUE(List(102)->IsEnabled());
    EXPECT_TRUE(m_grid->IsEnabled());
    // Switching the table back on leaves a row's own lock in place.
    EXPECT_FALSE(Spin(118)->IsEnabled());
    EXPECT_FALSE(Box(107)->IsEnabled());
    EXPECT_FALSE(Orange(147));
}

TEST_F(ServicePage, UserRowsFollowDirectionModeAndInversion) {
    Build(7, FullMap({{8, 0x5500}}));
    m_edited = FullMap({{8, 0x5500}});
    Show(m_edited);

    PickEntry(105, 1);
    EXPECT_EQ(List(106)->GetCount(), 18u);
    EXPECT_EQ(List(106)->GetSelection(), 0);
    EXPECT_FALSE(Box(107)->IsEnabled());
    EXPECT_EQ(GetHighByte(m_edited, 2), 210);
    EXPECT_TRUE(Orange(152));

    PickEntry(106, 3);
    EXPECT_EQ(GetHighByte(m_edited, 2), 213);

    PickEntry(105, 0);
    EXPECT_EQ(List(106)->GetCount(), 87u);
    EXPECT_EQ(List(106)->GetSelection(), 0);
    EXPECT_EQ(GetHighByte(m_edited, 2), 0);
    EXPECT_FALSE(Orange(152));

    PickEntry(106, 48);
    EXPECT_TRUE(Box(107)->IsEnabled());
    Tick(107, true);
    EXPECT_EQ(GetHighByte(m_edited, 2), 148);
    PickEntry(106, 49);
    EXPECT_EQ(GetHighByte(m_edited, 2), 151);
    PickEntry(106, 86);
    EXPECT_FALSE(Box(107)->GetValue());
    EXPECT_FALSE(Box(107)->IsEnabled());
    EXPECT_EQ(GetHighByte(m_edited, 2), 200);

    // The other rows use their own bytes.
    PickEntry(114, 1);
    EXPECT_EQ(GetLowByte(m_edited, 4), 210);
    PickEntry(109, 5);
    EXPECT_EQ(GetLowByte(m_edited, 3), 5);
    EXPECT_EQ(GetHighByte(m_edited, 3), 0);
}

TEST_F(ServicePage, Generation6OutputRowWithoutDirectionList) {
    Build(6, {});
    m_edited = FullMap({{2, 0xD200}, {8, 0x5500}});
    Show(m_edited);
    EXPECT_EQ(List(106)->GetCount(), 18u);
    PickEntry(106, 2);
    EXPECT_EQ(GetHighByte(m_edited, 2), 212);
    EXPECT_FALSE(Box(107)->IsEnabled());
    PickEntry(109, 7);
    Tick(110, true);
    EXPECT_EQ(GetLowByte(m_edited, 3), 107);
}

TEST_F(ServicePage, ListsSpinsAndBoxesWriteTheirBytes) {
    const WordMap defaults = FullMap({{8, 0x5500}});
    Build(7, defaults);
    m_edited = defaults;
    Show(m_edited);
    for (int label = 147; label <= 177; ++label) {
        if (m_tab->Find(label) && label != 148) {
            EXPECT_FALSE(Orange(label)) << label;
        }
    }

    PickEntry(102, 17);
    EXPECT_EQ(GetLowByte(m_edited, 1), 17);
    EXPECT_TRUE(Orange(149));
    Turn(103, 9);
    EXPECT_EQ(GetHighByte(m_edited, 1), 9);
    EXPECT_TRUE(Orange(150));

    PickEntry(104, 18);
    EXPECT_EQ(GetLowByte(m_edited, 2), 0xFF);
    PickEntry(104, 0);
    EXPECT_EQ(GetLowByte(m_edited, 2), 210);
    EXPECT_TRUE(Orange(151));

    PickEntry(117, 63);
    EXPECT_EQ(GetHighByte(m_edited, 4), 63);

    Tick(119, true);
    Turn(118, 42);
    EXPECT_EQ(GetLowByte(m_edited, 5), 42);
    Tick(119, false);
    EXPECT_EQ(Spin(118)->GetValue(), 0);
    EXPECT_FALSE(Spin(118)->IsEnabled());
    EXPECT_EQ(GetLowByte(m_edited, 5), 0);
    EXPECT_FALSE(Orange(157));

    PickEntry(120, 50);
    EXPECT_TRUE(Box(121)->IsEnabled());
    Tick(121, true);
    EXPECT_EQ(GetHighByte(m_edited, 5), 152);
    PickEntry(120, 83);
    EXPECT_EQ(GetHighByte(m_edited, 5), 185);
    EXPECT_FALSE(Box(121)->IsEnabled());
    PickEntry(120, 0);
    EXPECT_EQ(GetHighByte(m_edited, 5), 0xFF);
    EXPECT_FALSE(Box(121)->GetValue());
    PickEntry(120, 83);
    EXPECT_EQ(GetHighByte(m_edited, 5), 99);

    Turn(122, 4);
    EXPECT_EQ(GetLowByte(m_edited, 6), 4);
    Tick(123, true);
    EXPECT_EQ(Spin(122)->GetValue(), 255);
    EXPECT_FALSE(Spin(122)->IsEnabled());
    EXPECT_EQ(GetLowByte(m_edited, 6), 0xFF);
    Tick(123, false);
    EXPECT_TRUE(Spin(122)->IsEnabled());

    Tick(124, true);
    Tick(128, true);
    EXPECT_EQ(GetWord(m_edited, 6), 0x11FF);
    EXPECT_TRUE(Orange(160));
    Tick(128, false);
    EXPECT_EQ(GetWord(m_edited, 6), 0x01FF);

    Tick(130, true);
    EXPECT_EQ(GetLowByte(m_edited, 7), 0x80);
    Turn(129, 3);
    EXPECT_EQ(GetLowByte(m_edited, 7), 0x83);
    EXPECT_TRUE(Orange(161));

    Tick(133, false);
    EXPECT_EQ(GetWord(m_edited, 13), 0x0004);
    EXPECT_TRUE(Orange(164));
    EXPECT_FALSE(Orange(162));
    PickEntry(144, 1);
    EXPECT_EQ(GetWord(m_edited, 13), 0x2004);
    EXPECT_TRUE(Orange(175));
    PickEntry(144, 0);
    EXPECT_FALSE(Orange(175));
    Tick(136, true);
    EXPECT_EQ(GetWord(m_edited, 13), 0x0024);
}

TEST_F(ServicePage, NoNegativeFloorsMatchesZeroInTheMarks) {
    Build(6, FullMap({{8, 0x5500}}));
    m_edited = FullMap({{7, 0x00FF}, {8, 0x5500}});
    Show(m_edited);
    EXPECT_EQ(GetLowByte(m_edited, 7), 0xFF);
    EXPECT_FALSE(Orange(161));
    // Unticking an unticked box with the spin at 0 keeps "none".
    Tick(130, false);
    EXPECT_EQ(GetLowByte(m_edited, 7), 0xFF);
    Turn(129, 2);
    EXPECT_EQ(GetLowByte(m_edited, 7), 0x02);
    EXPECT_TRUE(Orange(161));
}

// The page and the command line read one description: every parameter's label is the text of
// its row, and a change to its bits alone marks its row and no other.
TEST_F(ServicePage, TheLayoutsLabelsAndBytesAreThePagesOwn) {
    for (int proto : {5, 6, 7}) {
        SCOPED_TRACE(proto);
        TearDown();
        const WordMap defaults = FullMap({{8, 0x5500}});
        Build(proto, defaults);
        for (const ParamDef& p : ServiceParams(proto)) {
            SCOPED_TRACE(p.key);
            auto* label = dynamic_cast<wxStaticText*>(m_tab->Find(p.pageLabel));
            ASSERT_NE(label, nullptr);
            wxString text = label->GetLabel();
            text.Replace("\n", " ");
            EXPECT_EQ(text, _W_(p.label));
            if (p.codec == typParamCodec::Firmware) continue;
            m_edited = defaults;
            p.SetRaw(m_edited, p.Raw(defaults) ^ 1u);
            m_tab->CheckDefault();
            for (const ParamDef& other : ServiceParams(proto)) {
                const bool marked = other.pageLabel == 148 ? false : Orange(other.pageLabel);
                EXPECT_EQ(marked, other.pageLabel == p.pageLabel) << other.key;
            }
        }
    }
}

// Every row explains itself: its word and bits, its raw value and its default.
TEST_F(ServicePage, EachRowsTooltipTellsWhereItsValueLives) {
    Build(7, FullMap({{1, 0x0900}, {8, 0x5500}}));
    m_edited = FullMap({{1, 0x0305}, {8, 0x5500}});
    Show(m_edited);
    const wxString tip = m_tab->Find(150)->GetToolTipText();
    EXPECT_TRUE(tip.Contains(wxString::Format(_W_(1177), 1, 8, 15))) << tip;
    EXPECT_TRUE(tip.Contains(wxString::Format(_W_(1179), "0x03", "0x09"))) << tip;
    EXPECT_EQ(Spin(103)->GetToolTipText(), tip) << "the row's controls tell the same";
    EXPECT_TRUE(List(102)->GetToolTipText().StartsWith(List(102)->GetStringSelection() + "\n"));
}

// The wheel over a spin field or a list is the field's only once the engineer clicked into it;
// before that it scrolls the page, so a pointer passing over a field never changes a value.
TEST_F(ServicePage, TheWheelScrollsThePageUntilAFieldIsClickedInto) {
    Build(7, {});
    m_edited = FullMap({{1, 0x0705}, {8, 0x5500}});
    Show(m_edited);
    m_frame->SetSize(600, 300);
    m_frame->Show();
    PumpFor(200ms);
    auto* page = dynamic_cast<wxScrolledWindow*>(m_page);
    ASSERT_NE(page, nullptr);
    for (wxWindow* field : {static_cast<wxWindow*>(Spin(103)), static_cast<wxWindow*>(List(102))}) {
        page->Scroll(0, 0);
        auto wheel = [&] {
            wxMouseEvent e(wxEVT_MOUSEWHEEL);
            e.SetEventObject(field);
            e.SetId(field->GetId());
            e.m_wheelRotation = -120;
            e.m_wheelDelta = 120;
            e.m_linesPerAction = 3;
            return field->GetEventHandler()->ProcessEvent(e);
        };
        field->SetFocus();  // focus alone, as tabbing through the page leaves it
        EXPECT_TRUE(wheel()) << "taken from the field";
        int x = 0, y = 0;
        page->GetViewStart(&x, &y);
        EXPECT_GT(y, 0) << "the page scrolled instead";
        wxMouseEvent click(wxEVT_LEFT_DOWN);
        click.SetEventObject(field);
        field->GetEventHandler()->ProcessEvent(click);
        EXPECT_FALSE(wheel()) << "clicked into, the field keeps the wheel";
    }
}

TEST_F(ServicePage, MarksNeedTheDefaults) {
    WordMap incomplete = FullMap({});
    incomplete.erase(31);
    Build(7, incomplete);
    m_edited = FullMap({{8, 0x5500}});
    Show(m_edited);
    Turn(103, 9);
    EXPECT_EQ(GetHighByte(m_edited, 1), 9);
    EXPECT_FALSE(Orange(150));
    EXPECT_FALSE(m_tab->DefaultsAvailable());
}

TEST_F(ServicePage, ValueChangedQueuesAndIgnoresUnknownIds) {
    Build(5, FullMap({}));
    m_edited = FullMap({{8, 0x5500}});
    Show(m_edited);
    const int before = m_changes;
    const WordMap kept = m_edited;

    // Labels, the firmware text, ids of other generations and ids no one has.
    for (int id : {147, 101, 129, 130, 104, 999, -5}) m_tab->ValueChanged(id, 3);
    Settle();
    EXPECT_EQ(m_changes, before);
    EXPECT_EQ(m_edited, kept);

    // A known id takes its value at once and stores it only when the queue is handled.
    m_tab->ValueChanged(103, 11);
    EXPECT_EQ(Spin(103)->GetValue(), 11);
    EXPECT_EQ(GetHighByte(m_edited, 1), 0);
    Settle();
    EXPECT_EQ(GetHighByte(m_edited, 1), 11);
    EXPECT_EQ(m_changes, before + 1);
    EXPECT_TRUE(Orange(150));

    // Generation 5 has no control for bit 5 of word 13; bit 11 is shown by 142.
    m_tab->SetNVRAM(FullMap({{13, 0x0820}, {8, 0x5500}}));
    Settle();
    EXPECT_TRUE(Box(142)->GetValue());
    EXPECT_EQ(m_tab->Find(136), nullptr);
}

}  // namespace
