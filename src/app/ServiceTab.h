// The service values page of the main window: NVRAM words 0..8 and 13 as labelled controls.
#pragma once

#include <wx/arrstr.h>
#include <wx/event.h>
#include <wx/string.h>
#include <wx/weakref.h>
#include <wx/window.h>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "GridUtils.h"
#include "NvramLayout.h"

class wxNotebook;
class wxGridBagSizer;

class ServiceTab {
public:
    // Window ids of the page. The handlers find a row's partner controls by id arithmetic.
    enum {
        ID_NVRAM_ENABLED = 100,
        ID_FIRMWARE = 101,
        ID_OUT1_MODE = 102,
        ID_DOOR_REVERSING = 103,
        ID_CAN_POWER = 104,
        ID_USER_FIRST = 105,  // USERk: direction 105 + 3k, mode 106 + 3k, inversion 107 + 3k
        ID_USER_LAST = 116,
        ID_FLOORS = 117,
        ID_VOICE_CHECK_VALUE = 118,
        ID_VOICE_CHECK_ON = 119,
        ID_DISPLAY_ABL = 120,
        ID_DISPLAY_ABL_INVERSE = 121,
        ID_LIFT_NUMBER = 122,
        ID_LIFT_NUMBER_AUTO = 123,
        ID_SOUND_FIRST = 124,  // word 6 bit 8 + (id - 124)
        ID_SOUND_LAST = 128,
        ID_NEGATIVE_FLOORS = 129,
        ID_HAS_FLOOR_ZERO = 130,
        ID_FLAG_FIRST = 131,  // word 13 bit id - 131
        ID_FLAG_LAST = 146,
        ID_LABEL_FIRST = 147,
        ID_LABEL_FLAG_FIRST = 162,  // word 13 bit label - 162
        ID_LABEL_LAST = 177,
        ID_CONFIG_GRID = 296,
    };

    using UserIO = NvramCodec::UserIO;
    using NegativeFloors = NvramCodec::NegativeFloors;

    // `unit` holds the words the unit was last seen to hold: a row whose part of edited differs
    // from it is marked as edited and not yet written.
    ServiceTab(int protoVer, WordMap& edited, const WordMap& defaults, const WordMap& unit,
               std::function<void()> onChanged);
    ~ServiceTab();
    ServiceTab(const ServiceTab&) = delete;
    ServiceTab& operator=(const ServiceTab&) = delete;

    // Builds the rows for protoVer and binds every check box, list and spin field.
    wxWindow* CreateServiceValuesTab(wxNotebook* notebook);

    // Puts value into control id and queues its change event; an id the page lacks is ignored.
    void ValueChanged(int id, int value);
    // Shows words on the page; the queued change events then store the page into edited.
    void SetNVRAM(const WordMap& words);
    // Marks the row labels: orange where the row's part of edited differs from the defaults, bold
    // in the pending colour where it differs from the unit's words; and refreshes every row's
    // tooltip (word, bits, raw value, default).
    void CheckDefault();
    // The row label marked as edited and not yet written.
    bool IsPending(int labelId) const;
    // For a unit without a layout: the page says so instead of staying blank.
    void ShowNoLayout(const wxString& text);
    // Scrolls the row of a label into view and gives its first control the focus.
    void Reveal(int labelId);

    wxWindow* GetPage() const { return m_page.get(); }
    // The control with that id on the page, nullptr when the page has none.
    wxWindow* Find(int id) const;
    int GetProtoVer() const { return m_protoVer; }
    bool DefaultsAvailable() const { return m_defaultsAvailable; }

    // ---- Lists (a byte that would select past the end is shown with no selection) ----
    static wxArrayString DisplayChoicesInput();
    static wxArrayString DisplayChoicesOutput();
    static wxArrayString DisplayABLChoices();
    // "Auto", then 1 .. highest.
    static wxArrayString CountFloorsChoices(int highest = NvramCodec::kFloorsChoices - 1);

    // 2 for a direction list, 1 for a mode list, 0 for anything else.
    static int GetUserIOControlKind(int id);
    // USER row 0..3 of a control id 105..116, -1 otherwise; and the word and half holding its byte.
    static int UserRowOfId(int id);
    static std::pair<int, bool> UserByteLocation(int row);  // (word, high byte)

    // Page values (control id, value) of the common flags present for protoVer; a list's value is
    // its entry.
    static std::vector<std::pair<int, int>> LoadCommonFlags(const WordMap& words, int protoVer);
    // Word 13 with the flag of control id set from the control's value.
    static uint16_t StoreCommonFlag(uint16_t word13, int id, int value);

private:
    enum class Kind { Label, Text, Check, List, Spin };
    struct Control {
        wxWindow* window = nullptr;
        Kind kind = Kind::Label;
    };

    // Row builders: each creates one control and places it at (row, col).
    void AddLabel(int row, int col, int id, const wxString& text);
    void AddText(int row, int col, int id);
    void AddCheckBox(int row, int col, int id, const wxString& text, int colSpan = 1);
    void AddComboBox(int row, int col, int id, const wxArrayString& choices, int colSpan = 1);
    void AddSpinCtrl(int row, int col, int id, int min, int max);
    void Place(wxWindow* w, int row, int col, int colSpan);
    void BuildV5();
    void BuildV6V7();
    void BuildCommonFlags(int row);

    void OnServiceTabChanged(wxCommandEvent& event);
    void Store(int id, bool shown);
    void StoreUserRow(int row, bool shown);
    // Control values of the row holding byte (word, high) as the page shows them now, and as it
    // would show byte b. Equal lists mean the byte already says what the page shows.
    std::vector<int> PageRowValues(int word, bool high) const;
    std::vector<int> ShownRowValues(int word, bool high, uint8_t b) const;
    void WriteRowByte(int word, bool high, uint8_t b, bool shown);
    void ShowUserRow(int row, uint8_t b);
    void ApplyEnabledStates();
    bool OwnEnabled(int id) const;

    // A list whose byte has no entry shows the byte itself, as an entry of its own that stands
    // for "leave the byte as it is".
    void ShowListEntry(int id, int entry, uint8_t raw);
    void DropRawEntry(int id);
    // The wheel turns a spin field or a list only after the user clicked into it; otherwise it
    // scrolls the page, so that a value never changes under a passing pointer.
    void OnWheel(wxMouseEvent& event);
    wxString RowTip(int labelId) const;
    int FromPage(int pixels) const;

    int ListSel(int id) const;
    void SetListSel(int id, int sel);
    bool Checked(int id) const;
    void SetChecked(int id, bool on);
    int SpinValue(int id) const;
    void SetSpin(int id, int value);
    int ListCount(int id) const;
    bool UserRowIsOutput(int row) const;
    void RefillUserModeList(int row, bool output);

    int m_protoVer;
    WordMap& m_edited;
    const WordMap& m_defaults;
    const WordMap& m_unit;
    bool m_defaultsAvailable;
    // Lists that show a raw byte as their last entry.
    std::set<int> m_rawEntry;
    // Controls the user has clicked into since they last lost the focus.
    std::set<int> m_clickedInto;
    // The controls of each labelled row (the label's and those of the unlabelled rows below it).
    std::map<int, std::vector<wxWindow*>> m_rowControls;
    std::set<int> m_pending;
    std::function<void()> m_onChanged;
    wxWeakRef<wxWindow> m_page;
    std::map<int, Control> m_controls;
    wxGridBagSizer* m_sizer = nullptr;
};
