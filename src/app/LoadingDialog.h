#pragma once

#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/timer.h>

#include <atomic>

#include "Mes.h"
#include "UnitSession.h"

// The modal window in which the session loads the unit's device parameters and then its 32
// NVRAM words with their defaults. It shows the progress and ends with wxID_OK once all words
// are in, and with wxID_CANCEL when the unit is silent, reports an error, refuses the link or
// the link is lost. While it runs it is the application's top window; it parses no packet.
class LoadingDialog : public wxDialog {
public:
    static constexpr int kTimerId = 500;

    LoadingDialog(wxWindow* parent, const wxString& title);
    ~LoadingDialog() override;

    void OnStartLoading(wxCommandEvent& event);
    void OnTimerTick(wxTimerEvent& event);
    void OnExistsPackV5(wxCommandEvent& event);
    void OnExistsPackV7(wxCommandEvent& event);
    void OnNoLink(wxCommandEvent& event);

    // One message from the unit, already matched to it.
    void MngMsg(const CMes& m);

    bool HasEnded() const { return ended.load(); }
    int GetProgress() const { return gauge->GetValue(); }

private:
    void OnSessionEvent(const UnitEvent& event);
    // Ends the run once: the timer stops and the modal loop returns `code`.
    void Finish(int code);
    // Keeps the timer running for whatever the session has due next.
    void ArmTimer();

    CUnitSession& m_Session;
    wxGauge* gauge = nullptr;
    std::atomic<bool> ended{false};
    wxTimer timer;

    wxDECLARE_EVENT_TABLE();
};
