#include "ReviewDialog.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

#include "wxLoadRes.h"

namespace {

ReviewDialog::Hook& TheHook() {
    static ReviewDialog::Hook hook;
    return hook;
}

wxString Wide(const DBString& s) {
    return wxString(s.c_str(), s.size());
}

wxString Value(const ParamChange& c, unsigned raw) {
    if (c.param == nullptr) return wxString::Format("0x%02X", raw);
    const int digits = (c.param->width + 3) / 4;
    return Wide(c.param->Text(raw)) + wxString::Format(" (0x%0*X)", digits, raw);
}

wxString Where(const ParamChange& c) {
    if (c.param != nullptr) return c.param->Where();
    return wxString::Format("%d:%d-%d", c.word, c.highByte ? 8 : 0, c.highByte ? 15 : 7);
}

}  // namespace

void ReviewDialog::SetHook(Hook hook) {
    TheHook() = std::move(hook);
}

ReviewDialog::ReviewDialog(wxWindow* parent, int protoVer, const WordMap& unit, const WordMap& edited)
    : wxDialog(parent, wxID_ANY, _W_(1160), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER) {
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    if (GetWord(unit, 0) != GetWord(edited, 0)) {
        m_warning.Printf(_W_(1167), Wide(NvramCodec::FirmwareText(GetWord(edited, 0))),
                         Wide(NvramCodec::FirmwareText(GetWord(unit, 0))));
        auto* warning = new wxStaticText(this, wxID_ANY, m_warning);
        warning->SetForegroundColour(*wxRED);
        warning->Wrap(FromDIP(640));
        sizer->Add(warning, 0, wxALL | wxEXPAND, FromDIP(8));
    }
    m_list = new wxListCtrl(this, wxID_ANY, wxDefaultPosition, FromDIP(wxSize(760, 320)),
                            wxLC_REPORT | wxLC_SINGLE_SEL);
    const int headings[] = {1161, 1162, 1163, 1164};
    for (int i = 0; i < 4; ++i) m_list->AppendColumn(_W_(headings[i]));
    for (const ParamChange& c : DescribeChanges(protoVer, unit, edited)) {
        const long row =
            m_list->InsertItem(m_list->GetItemCount(), c.param ? Wide(c.param->Label()) : _W_(1168));
        m_list->SetItem(row, 1, Where(c));
        m_list->SetItem(row, 2, Value(c, c.oldRaw));
        m_list->SetItem(row, 3, Value(c, c.newRaw));
    }
    for (int i = 0; i < 4; ++i) m_list->SetColumnWidth(i, wxLIST_AUTOSIZE_USEHEADER);
    sizer->Add(m_list, 1, wxLEFT | wxRIGHT | wxEXPAND, FromDIP(8));

    auto* buttons = new wxStdDialogButtonSizer;
    auto* write = new wxButton(this, wxID_OK, _W_(1165));
    write->SetDefault();
    buttons->AddButton(write);
    buttons->AddButton(new wxButton(this, wxID_CANCEL, _W_(1166)));
    buttons->Realize();
    sizer->Add(buttons, 0, wxALL | wxEXPAND, FromDIP(8));
    SetSizerAndFit(sizer);
    CentreOnParent();
}

bool ReviewDialog::Ask() {
    if (TheHook()) return TheHook()(*this);
    return ShowModal() == wxID_OK;
}
