// The service values page in a window of its own: its controls, each byte shown and each edit
// written, the locks, the marks, the tooltips and the wheel. (The encodings: NvramLayoutTest.)

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/notebook.h>
#include <wx/panel.h>
#include <wx/spinctrl.h>

#include <sstream>

#include "AppTestUtil.h"
#include "NvramLayout.h"
#include "ServiceTab.h"
#include "TolvaneFrame.h"

// A word image written as a hex dump: words 0, 1, 2, ... in order, the rest 0.
static WordMap Image(const std::string& dump) {
    WordMap m;
    std::istringstream in(dump);
    for (int w = 0; w < kLuWords; ++w) in >> std::hex >> m[w];
    return m;
}

// The ids 100..177 but those listed ("102 104-116 ...").
static std::set<int> AllBut(const std::string& gaps) {
    std::set<int> s;
    for (int id = 100; id <= 177; ++id) s.insert(id);
    std::istringstream in(gaps);
    for (int first = 0, last = 0; in >> first;) {
        if (in.peek() != '-' || !(in.ignore() >> last)) last = first;
        for (int id = first; id <= last; ++id) s.erase(id);
    }
    return s;
}

class ServicePage : public ::testing::Test {
protected:
    // The page beside a stand-in for the grid it locks; the unit holds the defaults, so an edit
    // marks its row both as differing and as not written.
    void Build(int protoVer, WordMap defaults) {
        TearDown();
        m_defaults = std::move(defaults);
        m_changes = 0;
        m_frame = new wxFrame(nullptr, wxID_ANY, "service page test");
        auto* notebook = new wxNotebook(m_frame, wxID_ANY);
        m_grid = new wxPanel(m_frame, TolvaneFrame::ID_GRID);
        m_tab =
            std::make_unique<ServiceTab>(protoVer, m_edited, m_defaults, m_defaults, [this] { ++m_changes; });
        m_page = m_tab->CreateServiceValuesTab(notebook);
        notebook->AddPage(m_page, "service");
    }
    void TearDown() override {
        m_tab.reset();
        if (m_frame) m_frame->Destroy();
        m_frame = nullptr;
        PumpFor(5ms);
    }
    void Show(const WordMap& words) {
        m_edited = words;
        m_tab->SetNVRAM(words);
        PumpFor(10ms);
    }

    wxChoice* List(int id) const { return dynamic_cast<wxChoice*>(m_tab->Find(id)); }
    wxCheckBox* Box(int id) const { return dynamic_cast<wxCheckBox*>(m_tab->Find(id)); }
    wxSpinCtrl* Spin(int id) const { return dynamic_cast<wxSpinCtrl*>(m_tab->Find(id)); }
    bool Orange(int label) const {
        return m_tab->Find(label)->GetBackgroundColour() == kBackgroundColourHighlighted;
    }

    // An edit as the toolkit delivers it: the value, then the event (a spin event is a command event).
    void Set(int id, int value) {
        wxWindow* w = m_tab->Find(id);
        ASSERT_NE(w, nullptr) << id;
        if (List(id)) List(id)->SetSelection(value);
        if (Box(id)) Box(id)->SetValue(value != 0);
        if (Spin(id)) Spin(id)->SetValue(value);
        wxSpinEvent e(wxEVT_SPINCTRL, id);
        if (List(id)) e.SetEventType(wxEVT_CHOICE);
        if (Box(id)) e.SetEventType(wxEVT_CHECKBOX);
        e.SetInt(value);
        e.SetEventObject(w);
        w->ProcessWindowEvent(e);
    }

    // A control as the items below write it: a list's entry (or "0x.." for a byte it shows as an
    // entry of its own), a box's state (0, 1) or a spin's value; then "+" enabled, "-" disabled.
    std::string State(int id) const {
        std::string v = "*";
        if (const wxChoice* c = List(id))
            v = c->GetStringSelection().StartsWith("0x") ? c->GetStringSelection().utf8_string()
                                                         : std::to_string(c->GetSelection());
        if (const wxCheckBox* c = Box(id)) v = c->GetValue() ? "1" : "0";
        if (const wxSpinCtrl* c = Spin(id)) v = std::to_string(c->GetValue());
        return m_tab->Find(id) ? v + (m_tab->Find(id)->IsEnabled() ? "+" : "-") : "none";
    }
    // An item as the page and edited make it: "id=state" (as State gives it, "*" for any value,
    // without the mark for either), "wN=hhhh" for word N, "grid=*+" or "grid=*-".
    std::string Got(const std::string& item) const {
        const size_t eq = item.find('=') + 1;
        if (item[0] == 'w')
            return wxString::Format("%s%04X", item.substr(0, eq),
                                    GetWord(m_edited, std::stoi(item.substr(1))))
                .utf8_string();
        std::string got = item[0] == 'g' ? (m_grid->IsEnabled() ? "*+" : "*-") : State(std::stoi(item));
        if (item[eq] == '*') got = "*" + got.substr(got.size() - 1);
        if (item.back() != '+' && item.back() != '-') got.pop_back();
        return item.substr(0, eq) + got;
    }
    void Expect(const std::string& items) {
        std::istringstream in(items);
        for (std::string item; in >> item;) EXPECT_EQ(Got(item), item);
    }
    // The first item is an edit ("id=value"), the rest what must follow.
    void Edit(const std::string& step) {
        SCOPED_TRACE(step);
        Set(std::stoi(step), std::stoi(step.substr(step.find('=') + 1)));
        Expect(step.substr(step.find(' ') == std::string::npos ? step.size() : step.find(' ')));
    }

    WordMap m_edited;
    WordMap m_defaults;
    wxFrame* m_frame = nullptr;
    wxWindow* m_grid = nullptr;
    wxWindow* m_page = nullptr;
    std::unique_ptr<ServiceTab> m_tab;
    int m_changes = 0;
};

// Each generation's controls and labels, its lists' entries and its spins' ranges.
TEST_F(ServicePage, EachGenerationHasItsControls) {
    const struct {
        int proto;
        std::set<int> ids;
        std::map<int, int> size;  // of a list, or the highest value of a spin
    } cases[] = {
        {5,
         AllBut("102 104-116 118-119 122-130 136-141 143 149 151-155 157 159-161 167-172 174"),
         {{117, 25}, {120, 85}, {103, 15}}},
        {6,
         AllBut("104-105 108 111 114 128 137-138 141 143 151 168-169 172 174"),
         {{102, 3}, {106, 87}, {117, 64}, {129, 16}, {122, 255}, {118, 99}}},
        {7, AllBut("137-138 141 143 168-169 172 174"), {{102, 18}, {104, 19}, {105, 2}, {109, 87}}},
        {0, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.proto);
        Build(c.proto, Image(""));
        std::set<int> ids;
        for (wxWindow* w : m_page->GetChildren()) ids.insert(w->GetId());
        EXPECT_EQ(ids, c.ids);
        for (const auto& [id, size] : c.size)
            EXPECT_EQ(List(id) ? static_cast<int>(List(id)->GetCount()) : Spin(id)->GetMax(), size) << id;
        // Labels, the firmware text, ids of other generations and ids nobody has take no value.
        for (int id = 95; id <= 180; ++id)
            if (id == 101 || id >= 147 || c.ids.count(id) == 0) m_tab->ValueChanged(id, 3);
        PumpFor(10ms);
        EXPECT_TRUE(m_changes == 0 && m_edited.empty());
    }
}

// Each byte in the controls of its row; showing changes no word, not even one that no control
// shows one to one (0xFF for no negative floors, a code without an entry, a value out of range).
TEST_F(ServicePage, ShowsEachByteInItsControlsAndLeavesItAsItWas) {
    const struct {
        int proto;
        const char* words;
        const char* firmware;
        const char* shown;
    } cases[] = {
        {7, "0315 0705 96D3 C8D5 0CE8 630A 15FF 12FF 5500 0 0 0 4321 A101", "2.1.3",
         "100=1 102=5+ 103=7 104=1 105=0 106=48 107=1+ 108=1 109=3 110=0- 111=0 112=86 113=0- 114=0 115=0xE8 "
         "117=12 118=10+ 119=1 120=0 121=0- 122=255- 123=1 124=1 125=0 126=1 127=0 128=1 129=0 130=0 131=1 "
         "132=0 133=1 134=1 135=0 136=0 139=1 140=0 142=0 144=1 145=0 146=1"},
        {6, "0 0009 5A00 0D33 4600 6496 0C07 00A5 5500 0 0 0 0 0224", "0.0.0",
         "102=0x09 106=0x5A 109=49 110=0+ 112=13 117=0x46 118=99+ 119=1 120=0x64 122=7+ 123=0 124=0 126=1 "
         "127=1 129=16 130=1 133=0 136=1 139=0 140=1"},
        {5, "0 0300 0 0 1800 9600 0 0 5500 0 0 0 0 0820", "0.0.0", "103=3 117=24 120=48 121=1+ 131=0 142=1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.proto);
        Build(c.proto, Image(c.words));
        Show(Image(c.words));
        EXPECT_EQ(m_tab->Find(101)->GetLabel(), c.firmware);
        Expect(c.shown);
        EXPECT_EQ(m_edited, Image(c.words));
        EXPECT_GT(m_changes, 0);
    }
}

// The engineer's edits, one control at a time: the word each leaves, and the controls that
// follow it (a box locked or freed, a spin set).
TEST_F(ServicePage, EachEditWritesItsByteAndLocksOrFreesItsPartners) {
    Build(7, Image("0 0 0 0 0 0 0 0 5500"));
    Show(m_defaults);
    for (const char* step :
         {// USER1: an output (mode 0 is 210), an input, inverted (+100), from input 49 on the code
          // is 2 more, input 86 has no inversion; the other USER rows have their own bytes.
          "105=1 w2=D200 107=0-", "106=3 w2=D500", "105=0 w2=0000 106=0+", "106=48 w2=3000 107=0+",
          "107=1 w2=9400", "106=49 w2=9700", "106=86 w2=C800 107=0-", "114=1 w4=00D2", "109=5 w3=0005",
          "102=17 w1=0011", "103=9 w1=0911", "104=18 w2=C8FF", "104=0 w2=C8D2", "117=63 w4=3FD2",
          "119=1 w5=0000 118=0+", "118=42 w5=002A", "119=0 w5=0000 118=0-",
          // The out-of-service input: entries 0 and 83 lock "Inverse mapping".
          "120=50 w5=3400 121=0+", "121=1 w5=9800", "120=83 w5=B900 121=1-", "120=0 w5=FF00 121=0-",
          "120=83 w5=6300 121=0-", "122=4 w6=0004", "123=1 w6=00FF 122=255-", "123=0 w6=00FF 122=255+",
          "124=1 w6=01FF", "128=1 w6=11FF", "128=0 w6=01FF", "130=1 w7=0080", "129=3 w7=0083",
          // Bits 2 and 3 are set when their boxes are clear.
          "133=0 w13=0004", "134=1 w13=0004", "144=1 w13=2004", "136=1 w13=2024", "146=1 w13=A024",
          // The NVRAM table switch locks the page and the grid; back on, a row's own lock stays.
          "100=0 w8=0000 grid=*- 101=*- 102=*- 106=*- 117=*- 120=*- 129=*- 131=*- 146=*-",
          "100=1 w8=5500 grid=*+ 102=*+ 106=*+ 118=*- 107=*-"})
        Edit(step);
    // Without a direction list the mode list tells an output; no negative floors stays so until
    // a value is chosen.
    Build(6, Image("0 0 D200 0 0 0 0 00FF 5500"));
    Show(m_defaults);
    for (const char* step :
         {"130=0 w7=00FF", "129=2 w7=0002", "106=2 w2=D400 107=0-", "109=7 w3=0007", "110=1 w3=006B"})
        Edit(step);
}

// Each parameter's label is its row's text, and a change to its bits marks its row only, as
// differing from the default (given only with every default) and as not written.
TEST_F(ServicePage, AChangeMarksItsOwnRowOnly) {
    for (int proto : {5, 6, 7}) {
        SCOPED_TRACE(proto);
        Build(proto, Image("0 0 0 0 0 0 0 0 5500"));
        for (const ParamDef& p : ServiceParams(proto)) {
            SCOPED_TRACE(p.key);
            ASSERT_NE(m_tab->Find(p.pageLabel), nullptr);
            wxString text = m_tab->Find(p.pageLabel)->GetLabel();
            text.Replace("\n", " ");
            EXPECT_EQ(text, _W_(p.label));
            if (p.codec == typParamCodec::Firmware) continue;
            m_edited = m_defaults;
            p.SetRaw(m_edited, p.Raw(m_defaults) ^ 1u);
            m_tab->CheckDefault();
            for (const ParamDef& other : ServiceParams(proto)) {
                if (other.codec == typParamCodec::Firmware) continue;
                EXPECT_EQ(Orange(other.pageLabel), other.pageLabel == p.pageLabel) << other.key;
                EXPECT_EQ(m_tab->IsPending(other.pageLabel), other.pageLabel == p.pageLabel) << other.key;
            }
        }
    }
    WordMap incomplete = Image("");
    incomplete.erase(31);
    Build(7, incomplete);
    Show(Image("0 0 0 0 0 0 0 0 5500"));
    Edit("103=9 w1=0900");
    EXPECT_FALSE(Orange(150));
    EXPECT_TRUE(m_tab->IsPending(150));
}

// Every row explains itself: its word and bits, its raw value and its default.
TEST_F(ServicePage, EachRowsTooltipTellsWhereItsValueLives) {
    Build(7, Image("0 0900 0 0 0 0 0 0 5500"));
    Show(Image("0 0305 0 0 0 0 0 0 5500"));
    const wxString tip = m_tab->Find(150)->GetToolTipText();
    EXPECT_TRUE(tip.Contains(wxString::Format(_W_(1177), 1, 8, 15))) << tip;
    EXPECT_TRUE(tip.Contains(wxString::Format(_W_(1179), "0x03", "0x09"))) << tip;
    EXPECT_EQ(Spin(103)->GetToolTipText(), tip) << "the row's controls tell the same";
    EXPECT_TRUE(List(102)->GetToolTipText().StartsWith(List(102)->GetStringSelection() + "\n"));
}

// The wheel turns a field only once it was clicked into; before, it scrolls the page, so that a
// pointer passing over a field never changes a value.
TEST_F(ServicePage, TheWheelScrollsThePageUntilAFieldIsClickedInto) {
    Build(7, {});
    Show(Image("0 0705 0 0 0 0 0 0 5500"));
    m_frame->SetSize(600, 300);
    m_frame->Show();
    PumpFor(200ms);
    auto* page = dynamic_cast<wxScrolledWindow*>(m_page);
    ASSERT_NE(page, nullptr);
    wxMouseEvent down(wxEVT_MOUSEWHEEL);
    down.m_wheelRotation = -120;
    down.m_wheelDelta = 120;
    down.m_linesPerAction = 3;
    for (wxWindow* field : {static_cast<wxWindow*>(Spin(103)), static_cast<wxWindow*>(List(102))}) {
        page->Scroll(0, 0);
        auto wheel = [&] {
            wxMouseEvent e(down);
            e.SetEventObject(field);
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
