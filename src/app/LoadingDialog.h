#pragma once

#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/stattext.h>
#include <wx/timer.h>

#include <atomic>
#include <chrono>

#include "Mes.h"
#include "UnitSession.h"

// The modal window in which the session loads the unit's device parameters and then its 32
// NVRAM words with their defaults. It shows what it waits for and the progress, and ends with
// wxID_OK once all words are in, and with wxID_CANCEL when the unit is silent, reports an error,
// refuses the link, the link is lost, or the engineer cancels. While it runs it is the
// application's top window; it parses no packet.
class LoadingDialog : public wxDialog {
public:
    static constexpr int kTimerId = 500;
    static constexpr int kStatusTimerId = 501;
    // Reading has no time limit of its own; this long without a new word, the engineer is asked.
    static constexpr std::chrono::seconds kStallAsk{30};

    LoadingDialog(wxWindow* parent, const wxString& title);
    ~LoadingDialog() override;

    void OnStartLoading(wxCommandEvent& event);
    void OnTimerTick(wxTimerEvent& event);
    void OnExistsPackV5(wxCommandEvent& event);
    void OnExistsPackV7(wxCommandEvent& event);
    void OnNoLink(wxCommandEvent& event);
    void OnCancel(wxCommandEvent& event);

    // One message from the unit, already matched to it.
    void MngMsg(const CMes& m);

    bool HasEnded() const { return ended.load(); }
    int GetProgress() const { return gauge->GetValue(); }
    wxString GetStatus() const { return m_status->GetLabel(); }
    // Shortens the wait before the engineer is asked, for tests.
    void SetStallAsk(std::chrono::milliseconds wait) { m_stallAsk = wait; }
    // How often the line may change; tests see every word with zero.
    void SetStatusEvery(std::chrono::milliseconds every) { m_statusEvery = every; }

private:
    void OnSessionEvent(const UnitEvent& event);
    // Ends the run once: the timer stops and the modal loop returns `code`.
    void Finish(int code);
    // Keeps the timer running for whatever the session has due next.
    void ArmTimer();
    void ShowStatus();
    // ShowStatus now, or once the line has stood for m_statusEvery.
    void ShowStatusSoon();
    void OnStatusTimer(wxTimerEvent& event);
    // No word for a long time: Cancel or keep waiting, naming the words still missing.
    void AskAboutStall();

    CUnitSession& m_Session;
    wxGauge* gauge = nullptr;
    wxStaticText* m_status = nullptr;
    std::atomic<bool> ended{false};
    wxTimer timer;
    std::chrono::milliseconds m_stallAsk = kStallAsk;
    CUnitSession::Clock::time_point m_lastProgress{};
    // A label's new text lays the dialog out again, which takes longer than a word's round
    // trip: the line changes at most this often, and a later word is shown when it is due.
    std::chrono::milliseconds m_statusEvery{100};
    CUnitSession::Clock::time_point m_statusShown{};
    wxTimer m_statusTimer;

    wxDECLARE_EVENT_TABLE();
};
