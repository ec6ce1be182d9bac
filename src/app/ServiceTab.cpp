#include "ServiceTab.h"

#include <wx/checkbox.h>
#include <wx/choice.h>
#include <wx/font.h>
#include <wx/gbsizer.h>
#include <wx/notebook.h>
#include <wx/scrolwin.h>
#include <wx/spinctrl.h>
#include <wx/stattext.h>

#include <algorithm>

#ifdef __WXGTK__
#include <gtk/gtk.h>
#endif

#include "TolvaneFrame.h"
#include "wxLoadRes.h"

namespace {

// Marks the change events ValueChanged queues, so that the handler can tell a refresh of the page
// from a user's edit.
constexpr long kShownTag = 0x53525654;

using namespace NvramCodec;

wxArrayString ToArray(const std::vector<DBString>& texts) {
    wxArrayString out;
    for (const DBString& t : texts) out.Add(wxString(t.c_str(), t.size()));
    return out;
}

wxArrayString Messages(int first, int last) {
    wxArrayString out;
    for (int m = first; m <= last; ++m) out.Add(_W_(m));
    return out;
}

// The rows that edit one byte: the word, which half, and the control ids in the order their
// values are listed by PageRowValues and ShownRowValues.
struct ByteRow {
    int word;
    bool high;
    std::vector<int> ids;
};

const std::vector<ByteRow>& ByteRows() {
    static const std::vector<ByteRow> rows = {
        {8, true, {ServiceTab::ID_NVRAM_ENABLED}},
        {1, false, {ServiceTab::ID_OUT1_MODE}},
        {1, true, {ServiceTab::ID_DOOR_REVERSING}},
        {2, false, {ServiceTab::ID_CAN_POWER}},
        {2, true, {105, 106, 107}},
        {3, false, {108, 109, 110}},
        {3, true, {111, 112, 113}},
        {4, false, {114, 115, 116}},
        {4, true, {ServiceTab::ID_FLOORS}},
        {5, false, {ServiceTab::ID_VOICE_CHECK_VALUE, ServiceTab::ID_VOICE_CHECK_ON}},
        {5, true, {ServiceTab::ID_DISPLAY_ABL, ServiceTab::ID_DISPLAY_ABL_INVERSE}},
        {6, false, {ServiceTab::ID_LIFT_NUMBER, ServiceTab::ID_LIFT_NUMBER_AUTO}},
        {7, false, {ServiceTab::ID_NEGATIVE_FLOORS, ServiceTab::ID_HAS_FLOOR_ZERO}},
    };
    return rows;
}

uint8_t RowByte(const WordMap& words, int word, bool high) {
    return high ? GetHighByte(words, word) : GetLowByte(words, word);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Lists

wxArrayString ServiceTab::DisplayChoicesInput() {
    return ToArray(NvramCodec::InputChoices());
}

wxArrayString ServiceTab::DisplayChoicesOutput() {
    return ToArray(NvramCodec::OutputChoices());
}

wxArrayString ServiceTab::DisplayABLChoices() {
    return ToArray(NvramCodec::DisplayABLChoices());
}

wxArrayString ServiceTab::CountFloorsChoices(int highest) {
    return ToArray(NvramCodec::FloorsChoices(highest));
}

// ---------------------------------------------------------------------------------------------
// Byte encodings

int ServiceTab::GetUserIOControlKind(int id) {
    if (id < ID_USER_FIRST || id > ID_USER_LAST) return 0;
    switch ((id - ID_USER_FIRST) % 3) {
        case 0:
            return 2;
        case 1:
            return 1;
        default:
            return 0;
    }
}

int ServiceTab::UserRowOfId(int id) {
    if (id < ID_USER_FIRST || id > ID_USER_LAST) return -1;
    return (id - ID_USER_FIRST) / 3;
}

std::pair<int, bool> ServiceTab::UserByteLocation(int row) {
    // USER1 = word 2 high, USER2 = word 3 low, USER3 = word 3 high, USER4 = word 4 low.
    const int half = row + 1;
    return {2 + half / 2, half % 2 == 1};
}

std::vector<std::pair<int, int>> ServiceTab::LoadCommonFlags(const WordMap& words, int protoVer) {
    const uint16_t w = GetWord(words, 13);
    auto bit = [w](int k) { return static_cast<int>((w >> k) & 1u); };
    std::vector<std::pair<int, int>> out = {
        {131, bit(0)}, {132, bit(1)}, {133, 1 - bit(2)}, {134, 1 - bit(3)}, {135, bit(4)},
    };
    if (protoVer == 6 || protoVer == 7) {
        for (int k : {8, 9, 5, 11, 13, 14, 15}) out.emplace_back(ID_FLAG_FIRST + k, bit(k));
    } else if (protoVer == 5) {
        for (int k : {11, 13, 14, 15}) out.emplace_back(ID_FLAG_FIRST + k, bit(k));
    }
    return out;
}

uint16_t ServiceTab::StoreCommonFlag(uint16_t word13, int id, int value) {
    if (id < ID_FLAG_FIRST || id > ID_FLAG_LAST) return word13;
    const int k = id - ID_FLAG_FIRST;
    // Bits 2 and 3 are set when their boxes are clear.
    const bool set = (k == 2 || k == 3) ? value == 0 : value != 0;
    const uint16_t mask = static_cast<uint16_t>(1u << k);
    return static_cast<uint16_t>(set ? (word13 | mask) : (word13 & ~mask));
}

// ---------------------------------------------------------------------------------------------
// The page

ServiceTab::ServiceTab(int protoVer, WordMap& edited, const WordMap& defaults, const WordMap& unit,
                       std::function<void()> onChanged)
    : m_protoVer(protoVer),
      m_edited(edited),
      m_defaults(defaults),
      m_unit(unit),
      m_defaultsAvailable(defaults.size() == 32),
      m_onChanged(std::move(onChanged)) {}

ServiceTab::~ServiceTab() {
    if (!m_page) return;
    // The frame destroys its pages after its members: no event may reach this object then.
    for (auto& [id, c] : m_controls) {
        switch (c.kind) {
            case Kind::Check:
                c.window->Unbind(wxEVT_CHECKBOX, &ServiceTab::OnServiceTabChanged, this);
                break;
            case Kind::List:
                c.window->Unbind(wxEVT_CHOICE, &ServiceTab::OnServiceTabChanged, this);
                break;
            case Kind::Spin:
                c.window->Unbind(wxEVT_SPINCTRL, &ServiceTab::OnServiceTabChanged, this);
                break;
            default:
                break;
        }
        c.window->DeletePendingEvents();
    }
}

namespace {

// Widths (in device-independent pixels) that keep the four columns inside a window of 1024.
constexpr int kLabelWrapWidth = 260;
constexpr int kLabelSlack = 12;
constexpr int kListMaxWidth = 250;
constexpr int kShortListMaxWidth = 140;
constexpr int kSpinWidth = 130;
constexpr int kCheckTextWidth = 200;
constexpr int kWideCheckTextWidth = 360;
constexpr int kNarrowCheckTextWidth = 150;

// The label column is wide, and the first control to take the focus sits in the last column:
// scrolling sideways to it would hide the labels that say what every control means. A focused
// control is brought into view by scrolling rows only.
class ServicePage : public wxScrolledWindow {
public:
    ServicePage(wxWindow* parent) : wxScrolledWindow(parent, wxID_ANY) {}

protected:
    bool ShouldScrollToChildOnFocus(wxWindow* child) override {
        int unitX = 0;
        int unitY = 0;
        GetScrollPixelsPerUnit(&unitX, &unitY);
        if (unitY <= 0 || child == nullptr) return false;
        int startX = 0;
        int startY = 0;
        GetViewStart(&startX, &startY);
        const wxRect r = child->GetRect();
        const int height = GetClientSize().y;
        if (r.y < 0)
            Scroll(startX, startY + (r.y - unitY + 1) / unitY);
        else if (r.GetBottom() >= height)
            Scroll(startX, startY + (r.GetBottom() - height + unitY) / unitY);
        return false;
    }
};

}  // namespace

wxWindow* ServiceTab::CreateServiceValuesTab(wxNotebook* notebook) {
    auto* page = new ServicePage(notebook);
    page->SetScrollRate(10, 5);
    // Children inherit it; the grid page uses the same face.
    page->SetFont(wxFont(10, wxFONTFAMILY_ROMAN, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL));
    m_page = page;
    m_controls.clear();
    m_sizer = new wxGridBagSizer(5, 10);

    if (m_protoVer >= 5 && m_protoVer <= 7) {
        AddLabel(0, 0, 147, _W_(1918));
        AddCheckBox(0, 2, ID_NVRAM_ENABLED, wxEmptyString);
        AddLabel(1, 0, 148, _W_(1902));
        AddText(1, 1, ID_FIRMWARE);
        if (m_protoVer == 5)
            BuildV5();
        else
            BuildV6V7();
    }

    page->SetSizer(m_sizer);
    if (m_sizer->GetItemCount() > 0) m_sizer->AddGrowableCol(2, 5);
    page->FitInside();

    for (auto& [id, c] : m_controls) {
        switch (c.kind) {
            case Kind::Check:
                c.window->Bind(wxEVT_CHECKBOX, &ServiceTab::OnServiceTabChanged, this);
                break;
            case Kind::List:
                c.window->Bind(wxEVT_CHOICE, &ServiceTab::OnServiceTabChanged, this);
                break;
            case Kind::Spin:
                c.window->Bind(wxEVT_SPINCTRL, &ServiceTab::OnServiceTabChanged, this);
                break;
            default:
                break;
        }
        if (c.kind == Kind::Spin || c.kind == Kind::List) {
            const int id = c.window->GetId();
            c.window->Bind(wxEVT_MOUSEWHEEL, &ServiceTab::OnWheel, this);
            c.window->Bind(wxEVT_LEFT_DOWN, [this, id](wxMouseEvent& e) {
                m_clickedInto.insert(id);
                e.Skip();
            });
            c.window->Bind(wxEVT_KILL_FOCUS, [this, id](wxFocusEvent& e) {
                m_clickedInto.erase(id);
                e.Skip();
            });
        }
    }
    // Every control belongs to the nearest labelled row at or above its own.
    std::map<int, int> labelOfRow;
    for (const auto& [id, c] : m_controls)
        if (c.kind == Kind::Label) labelOfRow[m_sizer->GetItemPosition(c.window).GetRow()] = id;
    for (const auto& [id, c] : m_controls) {
        const int row = m_sizer->GetItemPosition(c.window).GetRow();
        auto it = labelOfRow.upper_bound(row);
        if (it != labelOfRow.begin()) m_rowControls[std::prev(it)->second].push_back(c.window);
    }
    return page;
}

void ServiceTab::BuildV5() {
    AddLabel(2, 0, 150, _W_(1904));
    AddSpinCtrl(2, 1, ID_DOOR_REVERSING, 1, 15);
    AddLabel(3, 0, 156, _W_(1910));
    AddComboBox(3, 1, ID_FLOORS, CountFloorsChoices(kFloorsChoicesV5 - 1));
    AddLabel(4, 0, 158, _W_(1912));
    AddComboBox(4, 1, ID_DISPLAY_ABL, DisplayABLChoices(), 2);
    AddCheckBox(4, 3, ID_DISPLAY_ABL_INVERSE, _W_(1591));
    BuildCommonFlags(5);
}

void ServiceTab::BuildV6V7() {
    const bool v7 = m_protoVer == 7;
    AddLabel(2, 0, 149, _W_(1903));
    if (v7) {
        wxArrayString out1 = Messages(1602, 1617);
        out1.Add(_W_(1600));
        out1.Add(_W_(1601));
        AddComboBox(2, 2, ID_OUT1_MODE, out1);
    } else {
        AddComboBox(2, 2, ID_OUT1_MODE, Messages(1602, 1604));
    }
    AddLabel(3, 0, 150, _W_(1904));
    AddSpinCtrl(3, 1, ID_DOOR_REVERSING, 1, 15);
    if (v7) {
        AddLabel(4, 0, 151, _W_(1905));
        wxArrayString can = Messages(1618, 1635);
        can.Add(_W_(1636));
        AddComboBox(4, 2, ID_CAN_POWER, can);
    }
    const wxArrayString inputs = DisplayChoicesInput();
    for (int k = 0; k < 4; ++k) {
        const int row = 5 + k;
        const int dir = ID_USER_FIRST + 3 * k;
        AddLabel(row, 0, 152 + k, _W_(1906 + k));
        if (v7) {
            AddComboBox(row, 1, dir, Messages(1580, 1581));
            AddComboBox(row, 2, dir + 1, inputs);
        } else {
            AddComboBox(row, 1, dir + 1, inputs);
        }
        AddCheckBox(row, 3, dir + 2, _W_(1591));
    }
    AddLabel(9, 0, 156, _W_(1910));
    AddComboBox(9, 1, ID_FLOORS, CountFloorsChoices());
    AddLabel(10, 0, 157, _W_(1911));
    AddSpinCtrl(10, 1, ID_VOICE_CHECK_VALUE, 0, 99);
    AddCheckBox(10, 2, ID_VOICE_CHECK_ON, _W_(1593));
    AddLabel(11, 0, 158, _W_(1912));
    AddComboBox(11, 2, ID_DISPLAY_ABL, DisplayABLChoices());
    AddCheckBox(11, 3, ID_DISPLAY_ABL_INVERSE, _W_(1591));
    AddLabel(12, 0, 159, _W_(1913));
    AddSpinCtrl(12, 1, ID_LIFT_NUMBER, 0, 255);
    AddCheckBox(12, 2, ID_LIFT_NUMBER_AUTO, _W_(1592));
    AddLabel(13, 0, 160, _W_(1914));
    AddCheckBox(13, 1, 124, _W_(1594));
    AddCheckBox(13, 2, 125, _W_(1595));
    AddCheckBox(14, 1, 126, _W_(1596));
    AddCheckBox(14, 2, 127, _W_(1597));
    int row = 15;
    if (v7) AddCheckBox(row++, 1, 128, _W_(1598));
    AddLabel(row, 0, 161, _W_(1915));
    AddSpinCtrl(row, 1, ID_NEGATIVE_FLOORS, 0, 16);
    AddCheckBox(row, 2, ID_HAS_FLOOR_ZERO, _W_(1599));
    BuildCommonFlags(row + 1);
}

void ServiceTab::BuildCommonFlags(int row) {
    const bool optional = m_protoVer >= 6;
    for (int bit = 0; bit < 16; ++bit) {
        const bool present =
            bit <= 4 || bit == 11 || bit >= 13 || (optional && (bit == 5 || bit == 8 || bit == 9));
        if (!present) continue;
        AddLabel(row, 0, ID_LABEL_FLAG_FIRST + bit, _W_(1983 + bit));
        const int id = ID_FLAG_FIRST + bit;
        switch (bit) {
            case 13: {
                wxArrayString l;
                l.Add(_W_(1585));
                l.Add(_W_(1584));
                AddComboBox(row, 1, id, l);
                break;
            }
            case 14: {
                wxArrayString l;
                l.Add(_W_(1587));
                l.Add(_W_(1586));
                AddComboBox(row, 1, id, l);
                break;
            }
            case 15: {
                wxArrayString l;
                l.Add(_W_(1589));
                l.Add(_W_(1588));
                AddComboBox(row, 1, id, l);
                break;
            }
            default:
                AddCheckBox(row, 1, id, wxEmptyString);
                break;
        }
        ++row;
    }
}

void ServiceTab::Place(wxWindow* w, int row, int col, int colSpan) {
    m_sizer->Add(w, wxGBPosition(row, col), wxGBSpan(1, colSpan), wxEXPAND | wxALIGN_CENTER_VERTICAL);
}

void ServiceTab::AddLabel(int row, int col, int id, const wxString& text) {
    auto* w = new wxStaticText(m_page.get(), id, text);
    // Long labels wrap so that all the columns fit the window's width. The toolkit may draw a
    // line a few pixels wider than it was measured: the column keeps room for that.
    w->Wrap(FromPage(kLabelWrapWidth));
    w->SetMinSize(wxSize(FromPage(kLabelWrapWidth + kLabelSlack), -1));
    m_controls[id] = Control{w, Kind::Label};
    Place(w, row, col, 1);
}

void ServiceTab::AddText(int row, int col, int id) {
    auto* w = new wxStaticText(m_page.get(), id, wxEmptyString);
    m_controls[id] = Control{w, Kind::Text};
    Place(w, row, col, 1);
}

void ServiceTab::AddCheckBox(int row, int col, int id, const wxString& text, int colSpan) {
    auto* w = new wxCheckBox(m_page.get(), id, text);
    // Long texts (and the Russian ones are long) wrap rather than push the columns off the page.
    // The middle column is as wide as its lists; the others are narrower.
    const int width = FromPage(col == 2   ? kWideCheckTextWidth
                               : col == 3 ? kNarrowCheckTextWidth
                                          : kCheckTextWidth);
    if (!text.empty() && w->GetBestSize().x > width) {
#ifdef __WXGTK__
        if (GtkWidget* label = gtk_bin_get_child(GTK_BIN(w->GetHandle())); label && GTK_IS_LABEL(label)) {
            // Wrapped at a width in characters, so that the height follows from that width.
            // Letters of other scripts run wider than the font's average: a third of slack.
            const int chars =
                std::max(8, 2 * (FromPage(kCheckTextWidth) - FromPage(24)) / (3 * w->GetCharWidth()));
            gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
            gtk_label_set_max_width_chars(GTK_LABEL(label), chars);
        }
#endif
        w->InvalidateBestSize();
        w->SetMinSize(wxSize(width, w->GetBestSize().y));
    }
    m_controls[id] = Control{w, Kind::Check};
    Place(w, row, col, colSpan);
}

void ServiceTab::AddComboBox(int row, int col, int id, const wxArrayString& choices, int colSpan) {
    auto* w = new wxChoice(m_page.get(), id, wxDefaultPosition, wxDefaultSize, choices);
    // The longest entries would make the list as wide as the window: it takes up to a limit,
    // ends what does not fit with an ellipsis and tells the whole entry in its tooltip; the
    // open list shows every entry in full.
    // Lists in the narrow column hold short entries (direction, floors); they stay narrow too.
    const int limit = FromPage(col == 1 ? kShortListMaxWidth : kListMaxWidth);
    if (w->GetBestSize().x > limit) {
#ifdef __WXGTK__
        if (GtkWidget* box = w->GetHandle(); box && GTK_IS_CELL_LAYOUT(box)) {
            GList* cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(box));
            for (GList* c = cells; c != nullptr; c = c->next)
                if (GTK_IS_CELL_RENDERER_TEXT(c->data))
                    g_object_set(c->data, "ellipsize", PANGO_ELLIPSIZE_END, nullptr);
            g_list_free(cells);
        }
#endif
        w->SetMinSize(wxSize(limit, -1));
        w->SetMaxSize(wxSize(limit, -1));
    }
    m_controls[id] = Control{w, Kind::List};
    Place(w, row, col, colSpan);
}

void ServiceTab::AddSpinCtrl(int row, int col, int id, int min, int max) {
    auto* w = new wxSpinCtrl(m_page.get(), id, wxEmptyString, wxDefaultPosition,
                             wxSize(FromPage(kSpinWidth), -1), wxSP_ARROW_KEYS, min, max, 0);
    w->SetIncrement(1);
    m_controls[id] = Control{w, Kind::Spin};
    Place(w, row, col, 1);
}

// ---------------------------------------------------------------------------------------------
// Control access

wxWindow* ServiceTab::Find(int id) const {
    if (!m_page) return nullptr;
    auto it = m_controls.find(id);
    return it == m_controls.end() ? nullptr : it->second.window;
}

int ServiceTab::ListSel(int id) const {
    auto* c = dynamic_cast<wxChoice*>(Find(id));
    if (!c) return wxNOT_FOUND;
    const int sel = c->GetSelection();
    return sel >= ListCount(id) ? wxNOT_FOUND : sel;
}

int ServiceTab::ListCount(int id) const {
    auto* c = dynamic_cast<wxChoice*>(Find(id));
    if (!c) return 0;
    return static_cast<int>(c->GetCount()) - (m_rawEntry.count(id) ? 1 : 0);
}

void ServiceTab::SetListSel(int id, int sel) {
    if (auto* c = dynamic_cast<wxChoice*>(Find(id))) {
        if (sel >= 0 && sel < ListCount(id)) DropRawEntry(id);
        c->SetSelection(sel >= 0 && sel < static_cast<int>(c->GetCount()) ? sel : wxNOT_FOUND);
    }
}

void ServiceTab::DropRawEntry(int id) {
    auto* c = dynamic_cast<wxChoice*>(Find(id));
    if (!c || !m_rawEntry.erase(id)) return;
    c->Delete(c->GetCount() - 1);
}

void ServiceTab::ShowListEntry(int id, int entry, uint8_t raw) {
    auto* c = dynamic_cast<wxChoice*>(Find(id));
    if (!c) return;
    if (entry >= 0 && entry < ListCount(id)) {
        ValueChanged(id, entry);
        return;
    }
    DropRawEntry(id);
    c->Append(wxString::Format("0x%02X", raw));
    m_rawEntry.insert(id);
    c->SetSelection(static_cast<int>(c->GetCount()) - 1);
}

bool ServiceTab::Checked(int id) const {
    auto* c = dynamic_cast<wxCheckBox*>(Find(id));
    return c && c->GetValue();
}

void ServiceTab::SetChecked(int id, bool on) {
    if (auto* c = dynamic_cast<wxCheckBox*>(Find(id))) c->SetValue(on);
}

int ServiceTab::SpinValue(int id) const {
    auto* c = dynamic_cast<wxSpinCtrl*>(Find(id));
    return c ? c->GetValue() : 0;
}

void ServiceTab::SetSpin(int id, int value) {
    if (auto* c = dynamic_cast<wxSpinCtrl*>(Find(id))) c->SetValue(value);
}

bool ServiceTab::UserRowIsOutput(int row) const {
    const int dir = ID_USER_FIRST + 3 * row;
    if (Find(dir)) return ListSel(dir) == 1;
    // Without a direction list the row is an output when its list is not the input list.
    return ListCount(dir + 1) != kInputChoices;
}

void ServiceTab::RefillUserModeList(int row, bool output) {
    auto* c = dynamic_cast<wxChoice*>(Find(ID_USER_FIRST + 3 * row + 1));
    if (!c) return;
    const int wanted = output ? kOutputChoices : kInputChoices;
    DropRawEntry(ID_USER_FIRST + 3 * row + 1);
    if (static_cast<int>(c->GetCount()) != wanted)
        c->Set(output ? DisplayChoicesOutput() : DisplayChoicesInput());
}

// ---------------------------------------------------------------------------------------------
// Showing and storing

void ServiceTab::ValueChanged(int id, int value) {
    wxWindow* w = Find(id);
    if (!w) return;
    const Kind kind = m_controls.at(id).kind;
    wxCommandEvent* event = nullptr;
    switch (kind) {
        case Kind::List: {
            auto* c = static_cast<wxChoice*>(w);
            SetListSel(id, value);
            event = new wxCommandEvent(wxEVT_CHOICE, id);
            event->SetInt(c->GetSelection());
            event->SetString(c->GetStringSelection());
            break;
        }
        case Kind::Check: {
            auto* c = static_cast<wxCheckBox*>(w);
            c->SetValue(value != 0);
            event = new wxCommandEvent(wxEVT_CHECKBOX, id);
            event->SetInt(c->GetValue() ? 1 : 0);
            break;
        }
        case Kind::Spin: {
            auto* c = static_cast<wxSpinCtrl*>(w);
            c->SetValue(value);
            auto* spin = new wxSpinEvent(wxEVT_SPINCTRL, id);
            spin->SetPosition(c->GetValue());
            event = spin;
            break;
        }
        default:
            return;
    }
    event->SetEventObject(w);
    event->SetExtraLong(kShownTag);
    w->GetEventHandler()->QueueEvent(event);
}

std::vector<int> ServiceTab::PageRowValues(int word, bool high) const {
    for (int k = 0; k < 4; ++k) {
        if (UserByteLocation(k) == std::make_pair(word, high)) {
            const int mode = ID_USER_FIRST + 3 * k + 1;
            return {UserRowIsOutput(k) ? 1 : 0, ListSel(mode), Checked(mode + 1) ? 1 : 0};
        }
    }
    const ByteRow* row = nullptr;
    for (const ByteRow& r : ByteRows())
        if (r.word == word && r.high == high) row = &r;
    std::vector<int> out;
    if (!row) return out;
    for (int id : row->ids) {
        switch (Find(id) ? m_controls.at(id).kind : Kind::Label) {
            case Kind::Check:
                out.push_back(Checked(id) ? 1 : 0);
                break;
            case Kind::List:
                out.push_back(ListSel(id));
                break;
            case Kind::Spin:
                out.push_back(SpinValue(id));
                break;
            default:
                out.push_back(0);
                break;
        }
    }
    return out;
}

std::vector<int> ServiceTab::ShownRowValues(int word, bool high, uint8_t b) const {
    auto clampSpin = [this](int id, int v) {
        auto* c = dynamic_cast<wxSpinCtrl*>(Find(id));
        return c ? std::clamp(v, c->GetMin(), c->GetMax()) : v;
    };
    auto listEntry = [this](int id, int e) { return e >= 0 && e < ListCount(id) ? e : wxNOT_FOUND; };

    for (int k = 0; k < 4; ++k) {
        if (UserByteLocation(k) == std::make_pair(word, high)) {
            const UserIO d = DecodeUserIOByte(b);
            const bool boxOn =
                !d.output && d.inverted && d.mode != kInputModeNone && d.mode != kInputModeCallsCheck;
            return {d.output ? 1 : 0, d.valid ? d.mode : wxNOT_FOUND, boxOn ? 1 : 0};
        }
    }
    switch (word * 2 + (high ? 1 : 0)) {
        case 8 * 2 + 1:
            return {b == kNvramEnabled ? 1 : 0};
        case 1 * 2:
            return {listEntry(ID_OUT1_MODE, b)};
        case 1 * 2 + 1:
            return {clampSpin(ID_DOOR_REVERSING, b)};
        case 2 * 2:
            return {listEntry(ID_CAN_POWER, DecodeCanPowerByte(b))};
        case 4 * 2 + 1:
            return {listEntry(ID_FLOORS, b)};
        case 5 * 2:
            return {clampSpin(ID_VOICE_CHECK_VALUE, b), b != 0 ? 1 : 0};
        case 5 * 2 + 1: {
            const NvramCodec::DisplayABL d = LoadDisplayABLByte(b);
            const int entry = d.known ? listEntry(ID_DISPLAY_ABL, d.entry) : wxNOT_FOUND;
            return {entry, entry >= 0 && d.checked ? 1 : 0};
        }
        case 6 * 2:
            return {clampSpin(ID_LIFT_NUMBER, b), b == 0xFF ? 1 : 0};
        case 7 * 2: {
            const NegativeFloors d = DecodeNegativeFloorsByte(b);
            return {clampSpin(ID_NEGATIVE_FLOORS, d.count), d.hasFloorZero ? 1 : 0};
        }
        default:
            return {};
    }
}

void ServiceTab::WriteRowByte(int word, bool high, uint8_t b, bool shown) {
    const uint8_t current = RowByte(m_edited, word, high);
    // A refresh of the page leaves a byte alone when the page shows exactly what the byte says:
    // bytes that no control can show one to one (0xFF for "no negative floors", an unknown USER
    // code, a value past a list's end or a spin's range) must not change just by being shown.
    if (shown && ShownRowValues(word, high, current) == PageRowValues(word, high)) return;
    if (high)
        SetHighByte(m_edited, word, b);
    else
        SetLowByte(m_edited, word, b);
}

void ServiceTab::ShowUserRow(int row, uint8_t b) {
    const UserIO d = DecodeUserIOByte(b);
    const int dir = ID_USER_FIRST + 3 * row;
    RefillUserModeList(row, d.output);
    const std::vector<int> v = ShownRowValues(UserByteLocation(row).first, UserByteLocation(row).second, b);
    ValueChanged(dir, v[0]);
    ShowListEntry(dir + 1, d.valid ? v[1] : wxNOT_FOUND, b);
    ValueChanged(dir + 2, v[2]);
}

void ServiceTab::StoreUserRow(int row, bool shown) {
    const int dir = ID_USER_FIRST + 3 * row;
    const int mode = dir + 1;
    const int box = dir + 2;
    const bool output = UserRowIsOutput(row);
    if (Find(dir) && ListSel(dir) >= 0 && ListCount(mode) != (output ? kOutputChoices : kInputChoices)) {
        // The direction changed: the other list, from its first entry, no inversion.
        RefillUserModeList(row, output);
        SetListSel(mode, 0);
        SetChecked(box, false);
    }
    const int m = ListSel(mode);
    if (m < 0) return;
    if (output || m == kInputModeNone || m == kInputModeCallsCheck) SetChecked(box, false);
    const UserIO v{output, m, !output && Checked(box), true};
    const auto [word, high] = UserByteLocation(row);
    WriteRowByte(word, high, EncodeUserIOByte(v), shown);
}

void ServiceTab::Store(int id, bool shown) {
    if (const int userRow = UserRowOfId(id); userRow >= 0) {
        StoreUserRow(userRow, shown);
        return;
    }
    if (id >= ID_SOUND_FIRST && id <= ID_SOUND_LAST) {
        SetWordBit(m_edited, 6, 8 + (id - ID_SOUND_FIRST), Checked(id));
        return;
    }
    if (id >= ID_FLAG_FIRST && id <= ID_FLAG_LAST) {
        const Kind kind = m_controls.at(id).kind;
        const int value = kind == Kind::List ? ListSel(id) : (Checked(id) ? 1 : 0);
        if (value < 0) return;
        m_edited[13] = StoreCommonFlag(GetWord(m_edited, 13), id, value);
        return;
    }
    switch (id) {
        case ID_NVRAM_ENABLED:
            WriteRowByte(8, true, Checked(id) ? kNvramEnabled : 0, shown);
            break;
        case ID_OUT1_MODE:
            if (ListSel(id) >= 0) WriteRowByte(1, false, static_cast<uint8_t>(ListSel(id)), shown);
            break;
        case ID_DOOR_REVERSING:
            WriteRowByte(1, true, static_cast<uint8_t>(SpinValue(id)), shown);
            break;
        case ID_CAN_POWER:
            if (ListSel(id) >= 0) WriteRowByte(2, false, EncodeCanPowerEntry(ListSel(id)), shown);
            break;
        case ID_FLOORS:
            if (ListSel(id) >= 0) WriteRowByte(4, true, static_cast<uint8_t>(ListSel(id)), shown);
            break;
        case ID_VOICE_CHECK_ON:
            if (!Checked(id)) SetSpin(ID_VOICE_CHECK_VALUE, 0);
            [[fallthrough]];
        case ID_VOICE_CHECK_VALUE:
            WriteRowByte(5, false, static_cast<uint8_t>(SpinValue(ID_VOICE_CHECK_VALUE)), shown);
            break;
        case ID_DISPLAY_ABL:
        case ID_DISPLAY_ABL_INVERSE: {
            const auto w = EncodeDisplayABLEntry(ListSel(ID_DISPLAY_ABL), Checked(ID_DISPLAY_ABL_INVERSE));
            if (!w) break;
            SetChecked(ID_DISPLAY_ABL_INVERSE, w->checked);
            WriteRowByte(5, true, w->byte, shown);
            break;
        }
        case ID_LIFT_NUMBER_AUTO:
            if (Checked(id)) SetSpin(ID_LIFT_NUMBER, 0xFF);
            [[fallthrough]];
        case ID_LIFT_NUMBER:
            WriteRowByte(6, false, static_cast<uint8_t>(SpinValue(ID_LIFT_NUMBER)), shown);
            break;
        case ID_NEGATIVE_FLOORS:
        case ID_HAS_FLOOR_ZERO: {
            const NegativeFloors v{SpinValue(ID_NEGATIVE_FLOORS), Checked(ID_HAS_FLOOR_ZERO)};
            WriteRowByte(7, false, EncodeNegativeFloorsByte(v, GetLowByte(m_edited, 7)), shown);
            break;
        }
        default:
            break;
    }
}

void ServiceTab::OnServiceTabChanged(wxCommandEvent& event) {
    if (!m_page) return;
    Store(event.GetId(), event.GetExtraLong() == kShownTag);
    ApplyEnabledStates();
    CheckDefault();
    if (m_onChanged) m_onChanged();
    // Handled: the change does not travel on to the notebook and the frame.
}

void ServiceTab::SetNVRAM(const WordMap& words) {
    if (!m_page) return;
    for (const ByteRow& r : ByteRows()) {
        const uint8_t b = RowByte(words, r.word, r.high);
        if (r.ids.size() == 3) {
            ShowUserRow(UserRowOfId(r.ids[0]), b);
            continue;
        }
        const std::vector<int> v = ShownRowValues(r.word, r.high, b);
        for (size_t i = 0; i < r.ids.size() && i < v.size(); ++i) {
            if (Find(r.ids[i]) && m_controls.at(r.ids[i]).kind == Kind::List)
                ShowListEntry(r.ids[i], v[i], b);
            else
                ValueChanged(r.ids[i], v[i]);
        }
    }
    if (auto* fw = dynamic_cast<wxStaticText*>(Find(ID_FIRMWARE)))
        fw->SetLabel(wxString(NvramCodec::FirmwareText(GetWord(words, 0)).c_str()));
    for (int id = ID_SOUND_FIRST; id <= ID_SOUND_LAST; ++id)
        ValueChanged(id, GetWordBit(words, 6, 8 + (id - ID_SOUND_FIRST)) ? 1 : 0);
    for (const auto& [id, value] : LoadCommonFlags(words, m_protoVer)) ValueChanged(id, value);
    ApplyEnabledStates();
    CheckDefault();
}

bool ServiceTab::OwnEnabled(int id) const {
    if (const int row = UserRowOfId(id); row >= 0 && GetUserIOControlKind(id) == 0) {
        const int m = ListSel(id - 1);
        return !UserRowIsOutput(row) && m > kInputModeNone && m != kInputModeCallsCheck;
    }
    switch (id) {
        case ID_VOICE_CHECK_VALUE:
            return Checked(ID_VOICE_CHECK_ON);
        case ID_DISPLAY_ABL_INVERSE: {
            const auto w = EncodeDisplayABLEntry(ListSel(ID_DISPLAY_ABL), false);
            return w && w->enabled;
        }
        case ID_LIFT_NUMBER:
            return !Checked(ID_LIFT_NUMBER_AUTO);
        default:
            return true;
    }
}

void ServiceTab::ApplyEnabledStates() {
    if (!m_page) return;
    const bool tableOn = Checked(ID_NVRAM_ENABLED);
    for (auto& [id, c] : m_controls) {
        if (id <= ID_NVRAM_ENABLED || id > ID_FLAG_LAST) continue;
        const bool on = tableOn && OwnEnabled(id);
        if (c.window->IsEnabled() != on) c.window->Enable(on);
    }
    if (wxWindow* grid = wxWindow::FindWindowById(ID_CONFIG_GRID, wxGetTopLevelParent(m_page.get())))
        if (grid->IsEnabled() != tableOn) grid->Enable(tableOn);
}

void ServiceTab::ShowNoLayout(const wxString& text) {
    if (!m_page || m_sizer->GetItemCount() > 0) return;
    auto* note = new wxStaticText(m_page.get(), wxID_ANY, text);
    note->Wrap(FromPage(600));
    m_sizer->Add(note, wxGBPosition(0, 0), wxGBSpan(1, 1), wxALL, FromPage(12));
    m_page->FitInside();
}

void ServiceTab::Reveal(int labelId) {
    wxWindow* label = Find(labelId);
    auto* page = dynamic_cast<wxScrolledWindow*>(m_page.get());
    if (!label || !page) return;
    int unitX = 0;
    int unitY = 0;
    page->GetScrollPixelsPerUnit(&unitX, &unitY);
    const wxPoint at = page->CalcUnscrolledPosition(label->GetPosition());
    if (unitY > 0) page->Scroll(0, std::max(0, at.y / unitY - 2));
    for (wxWindow* c : m_rowControls[labelId]) {
        if (c != label && c->IsEnabled() && c->AcceptsFocus()) {
            c->SetFocus();
            break;
        }
    }
}

int ServiceTab::FromPage(int pixels) const {
    return m_page ? m_page->FromDIP(pixels) : pixels;
}

bool ServiceTab::IsPending(int labelId) const {
    return m_pending.count(labelId) != 0;
}

wxString ServiceTab::RowTip(int labelId) const {
    wxString tip;
    for (const ParamDef& p : ServiceParams(m_protoVer)) {
        if (p.pageLabel != labelId) continue;
        if (!tip.empty()) tip += "\n\n";
        const wxString where = p.width == 1
                                   ? wxString::Format(_W_(1178), p.word, p.shift)
                                   : wxString::Format(_W_(1177), p.word, p.shift, p.shift + p.width - 1);
        const int digits = (p.width + 3) / 4;
        const wxString raw = wxString::Format("0x%0*X", digits, p.Raw(m_edited));
        const wxString def =
            m_defaultsAvailable ? wxString::Format("0x%0*X", digits, p.Raw(m_defaults)) : _W_(1180);
        const DBString label = p.Label();
        tip += wxString(label.c_str(), label.size()) + "\n" + where + "\n" +
               wxString::Format(_W_(1179), raw, def);
    }
    return tip;
}

void ServiceTab::CheckDefault() {
    if (!m_page) return;
    // A row label stands for the byte its row edits (one bit for the common flags), whatever
    // other bits of that byte the row leaves alone.
    std::map<int, std::pair<bool, bool>> marks;  // label -> (differs from the default, not written)
    for (const ParamDef& p : ServiceParams(m_protoVer)) {
        if (p.pageLabel == 0 || p.codec == typParamCodec::Firmware) continue;
        const int shift = p.width == 1 && p.word == 13 ? p.shift : p.shift & ~7;
        const int width = p.width == 1 && p.word == 13 ? 1 : 8;
        auto part = [&](const WordMap& words) { return GetWordField(words, p.word, shift, width); };
        auto& [differs, pending] = marks[p.pageLabel];
        differs =
            differs || (m_defaultsAvailable && !p.SameValue(part(m_edited), part(m_defaults), m_protoVer));
        pending = pending || !p.SameValue(part(m_edited), part(m_unit), m_protoVer);
    }
    for (const auto& [label, mark] : marks) {
        wxWindow* w = Find(label);
        if (!w) continue;
        const wxColour colour = mark.first ? kBackgroundColourHighlighted : m_page->GetBackgroundColour();
        if (w->GetBackgroundColour() != colour) w->SetBackgroundColour(colour);
        wxFont font = w->GetFont();
        font.SetWeight(mark.second ? wxFONTWEIGHT_BOLD : wxFONTWEIGHT_NORMAL);
        w->SetFont(font);
        w->SetForegroundColour(mark.second ? kColourPending : m_page->GetForegroundColour());
        w->Refresh();
        if (mark.second)
            m_pending.insert(label);
        else
            m_pending.erase(label);
        const wxString tip = RowTip(label);
        for (wxWindow* c : m_rowControls[label]) {
            // A list may end its entry with an ellipsis: the tooltip tells it whole.
            auto* list = dynamic_cast<wxChoice*>(c);
            const wxString own = list != nullptr ? list->GetStringSelection() + "\n\n" + tip : tip;
            if (c->GetToolTipText() != own) c->SetToolTip(own);
        }
    }
}

void ServiceTab::OnWheel(wxMouseEvent& event) {
    auto* w = dynamic_cast<wxWindow*>(event.GetEventObject());
    if (w != nullptr && m_clickedInto.count(w->GetId())) {
        event.Skip();
        return;
    }
    auto* page = dynamic_cast<wxScrolledWindow*>(m_page.get());
    if (page == nullptr || event.GetWheelDelta() == 0) return;
    // Not for this control: the page scrolls as if the pointer were over its background.
    int x = 0;
    int y = 0;
    page->GetViewStart(&x, &y);
    const int lines = event.GetWheelRotation() / event.GetWheelDelta() * event.GetLinesPerAction();
    page->Scroll(x, std::max(0, y - lines));
}
