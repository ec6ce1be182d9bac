#pragma once

#include <wx/dialog.h>
#include <wx/listctrl.h>

#include <functional>

#include "NvramLayout.h"

// What "Update NVRAM" is about to write, shown before anything travels: one line per changed
// parameter (its label, word and bits, the value the unit holds and the one to be written,
// each read out and raw), and a warning when the words come from another firmware. Ends with
// wxID_OK for Write and wxID_CANCEL for Cancel.
class ReviewDialog : public wxDialog {
public:
    ReviewDialog(wxWindow* parent, int protoVer, const WordMap& unit, const WordMap& edited);

    wxListCtrl* GetList() const { return m_list; }
    // The firmware warning; empty when the versions agree.
    const wxString& GetWarning() const { return m_warning; }

    // Shows the dialog and tells whether the engineer chose to write. A hook set for tests sees
    // the dialog instead of a user; an empty hook brings the real dialog back.
    bool Ask();
    using Hook = std::function<bool(ReviewDialog&)>;
    static void SetHook(Hook hook);

private:
    wxListCtrl* m_list = nullptr;
    wxString m_warning;
};
