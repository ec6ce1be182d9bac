#pragma once

#include <wx/dialog.h>
#include <wx/gauge.h>
#include <wx/timer.h>

#include <atomic>

#include "Mes.h"

// The modal window that reads the unit's device parameters and then its 32 NVRAM words with
// their defaults into the application's word maps. It ends with wxID_OK once all words are
// in, and with wxID_CANCEL when the unit is silent, reports an error, refuses the link or the
// link is lost. While it runs it is the application's top window.
class LoadingDialog : public wxDialog {
public:
    static constexpr int kTimerId = 500;
    static constexpr int kRetryIntervalMs = 3000;
    // Parameter requests repeated before the unit counts as silent.
    static constexpr int kMaxRetries = 5;
    static constexpr int kWords = 32;
    // Bits that word 8 of a complete defaults image always carries.
    static constexpr unsigned kWord8DefaultBits = 0x5500;

    LoadingDialog(wxWindow* parent, const wxString& title);
    ~LoadingDialog() override;

    void OnStartLoading(wxCommandEvent& event);
    void OnTimerTick(wxTimerEvent& event);
    void OnExistsPackV5(wxCommandEvent& event);
    void OnExistsPackV7(wxCommandEvent& event);
    void OnNoLink(wxCommandEvent& event);

    // One message from the unit.
    void MngMsg(const CMes& m);
    void SendRequestGetNVRAM();
    void SendRequestGetParams();

    // The retry clock; tests shorten it before the modal run starts.
    void SetRetryInterval(int ms) { m_RetryIntervalMs = ms; }
    int GetRetryInterval() const { return m_RetryIntervalMs; }

    int GetRetries() const { return retries; }
    bool IsParamsReceived() const { return paramsReceived; }
    bool HasEnded() const { return ended.load(); }
    int GetProgress() const { return gauge->GetValue(); }

private:
    // Ends the run once: the timer stops and the modal loop returns `code`.
    void Finish(int code);
    // A failure the user is told about in a box: the V7 link is stopped first, so nothing
    // more arrives while the box is open.
    void FailV7(int message);
    // A failure that only the error log (and its box) reports.
    void FailLogged(int message);
    void EndRun(int code);

    wxGauge* gauge = nullptr;
    int retries = 0;
    bool paramsReceived = false;
    std::atomic<bool> ended{false};
    wxTimer timer;
    int m_RetryIntervalMs = kRetryIntervalMs;

    wxDECLARE_EVENT_TABLE();
};
