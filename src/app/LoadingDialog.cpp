#include "LoadingDialog.h"

#include <wx/button.h>
#include <wx/panel.h>
#include <wx/sizer.h>

#include <algorithm>

#include "TolvaneApp.h"
#include "wxLoadRes.h"

// clang-format off
wxBEGIN_EVENT_TABLE(LoadingDialog, wxDialog)
    EVT_TIMER(LoadingDialog::kTimerId, LoadingDialog::OnTimerTick)
    EVT_TIMER(LoadingDialog::kStatusTimerId, LoadingDialog::OnStatusTimer)
    EVT_COMMAND(wxID_ANY, START_LOADING, LoadingDialog::OnStartLoading)
    EVT_COMMAND(wxID_ANY, PACKV5_RECEIVED, LoadingDialog::OnExistsPackV5)
    EVT_COMMAND(wxID_ANY, PACKV7_RECEIVED, LoadingDialog::OnExistsPackV7)
    EVT_COMMAND(wxID_ANY, NO_LINK, LoadingDialog::OnNoLink)
    EVT_BUTTON(wxID_CANCEL, LoadingDialog::OnCancel)
wxEND_EVENT_TABLE()
    // clang-format on

    LoadingDialog::LoadingDialog(wxWindow* parent, const wxString& title)
    : wxDialog(parent, wxID_ANY, title, wxDefaultPosition, wxDefaultSize,
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_Session(wxGetApp().session),
      timer(this, kTimerId),
      m_statusTimer(this, kStatusTimerId) {
    auto* panel =
        new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    auto* sizer = new wxBoxSizer(wxVERTICAL);
    m_status = new wxStaticText(panel, wxID_ANY, _W_(1181));
    gauge = new wxGauge(panel, wxID_ANY, 100, wxDefaultPosition, FromDIP(wxSize(250, 25)), wxGA_HORIZONTAL);
    gauge->SetValue(0);
    sizer->Add(m_status, 0, wxLEFT | wxRIGHT | wxTOP | wxEXPAND, FromDIP(20));
    sizer->Add(gauge, 0, wxALL | wxEXPAND, FromDIP(20));
    sizer->Add(new wxButton(panel, wxID_CANCEL, _W_(1166)), 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM,
               FromDIP(20));
    panel->SetSizer(sizer);
    auto* outer = new wxBoxSizer(wxVERTICAL);
    outer->Add(panel, 1, wxEXPAND);
    SetSizerAndFit(outer);
    m_Session.SetListener([this](const UnitEvent& e) { OnSessionEvent(e); });
    // Loading starts only once the modal loop runs, so that every answer finds the loop.
    QueueEvent(new wxCommandEvent(START_LOADING, wxID_ANY));
}

LoadingDialog::~LoadingDialog() {
    timer.Stop();
    m_statusTimer.Stop();
    m_Session.SetListener({});
}

void LoadingDialog::OnStartLoading(wxCommandEvent& /*event*/) {
    if (ended.load()) return;
    m_lastProgress = CUnitSession::Clock::now();
    m_Session.Start(wxGetApp().SessionAddress());
    ArmTimer();
}

void LoadingDialog::OnTimerTick(wxTimerEvent& /*event*/) {
    if (ended.load()) return;
    m_Session.Tick();
    if (!ended.load() && m_Session.ParamsReceived() &&
        CUnitSession::Clock::now() - m_lastProgress >= m_stallAsk)
        AskAboutStall();
    ArmTimer();
}

void LoadingDialog::OnCancel(wxCommandEvent& /*event*/) {
    Finish(wxID_CANCEL);
}

void LoadingDialog::AskAboutStall() {
    wxString missing;
    for (int w = 0; w < kLuWords; ++w) {
        if (m_Session.Read().count(w)) continue;
        if (!missing.empty()) missing += ", ";
        missing << w;
    }
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(m_stallAsk).count();
    const wxString text = wxString::Format(_W_(1183), static_cast<int>(seconds), missing);
    m_lastProgress = CUnitSession::Clock::now();
    if (TolvaneMessageBox(text, App, wxYES_NO | wxICON_QUESTION, this, {_W_(1184), _W_(1166)}) != wxYES)
        Finish(wxID_CANCEL);
}

void LoadingDialog::ShowStatus() {
    m_statusShown = CUnitSession::Clock::now();
    if (!m_Session.ParamsReceived()) {
        m_status->SetLabel(_W_(1181));
        return;
    }
    // The word now asked for: one more than those in.
    const int next = std::min(static_cast<int>(m_Session.Read().size()) + 1, kLuWords);
    m_status->SetLabel(wxString::Format(_W_(1182), next));
}

void LoadingDialog::ShowStatusSoon() {
    const auto now = CUnitSession::Clock::now();
    if (now - m_statusShown >= m_statusEvery) {
        ShowStatus();
        return;
    }
    if (!m_statusTimer.IsRunning())
        m_statusTimer.StartOnce(static_cast<int>(
            std::chrono::ceil<std::chrono::milliseconds>(m_statusShown + m_statusEvery - now).count()));
}

void LoadingDialog::OnStatusTimer(wxTimerEvent& /*event*/) {
    if (!ended.load()) ShowStatus();
}

void LoadingDialog::OnExistsPackV5(wxCommandEvent& /*event*/) {
    TolvaneApp& app = wxGetApp();
    // The queue is emptied also after the end, so nothing stale is left behind.
    m_Session.Poll(app.inpV7, app.inpMes);
    ArmTimer();
}

void LoadingDialog::OnExistsPackV7(wxCommandEvent& event) {
    OnExistsPackV5(event);
}

void LoadingDialog::OnNoLink(wxCommandEvent& /*event*/) {
    m_Session.LinkLost();
}

void LoadingDialog::MngMsg(const CMes& m) {
    m_Session.TakeMes(m);
    ArmTimer();
}

void LoadingDialog::OnSessionEvent(const UnitEvent& event) {
    if (ended.load()) return;
    switch (event.kind) {
        case UnitEvent::typKind::Params:
            gauge->SetValue(4);
            m_lastProgress = CUnitSession::Clock::now();
            ShowStatus();
            return;
        case UnitEvent::typKind::Word:
            gauge->SetValue(static_cast<int>(3 * m_Session.Read().size() + 4));
            m_lastProgress = CUnitSession::Clock::now();
            ShowStatusSoon();
            return;
        case UnitEvent::typKind::Written:
            return;
        case UnitEvent::typKind::State:
            break;
    }
    switch (m_Session.State()) {
        case typUnitState::Ready:
            Finish(wxID_OK);
            return;
        case typUnitState::Silent:
            // The run ends before the line, which may open a box, so nothing acts meanwhile.
            Finish(wxID_CANCEL);
            wxGetApp().badLog.Put(_S_(m_Session.Reason()), true);
            return;
        case typUnitState::Refused:
        case typUnitState::Lost:
        case typUnitState::Closed:
            // The session has stopped the link, so nothing more arrives while the box is open.
            Finish(wxID_CANCEL);
            TolvaneMessageBox(_W_(m_Session.Reason()), App, wxICON_ERROR);
            return;
        default:
            return;
    }
}

void LoadingDialog::ArmTimer() {
    if (ended.load()) return;
    ArmSessionTimer(
        timer, m_Session,
        m_Session.ParamsReceived() ? m_lastProgress + m_stallAsk : CUnitSession::Clock::time_point::max());
}

void LoadingDialog::Finish(int code) {
    if (ended.exchange(true)) return;
    timer.Stop();
    m_statusTimer.Stop();
    if (IsModal())
        EndModal(code);
    else
        SetReturnCode(code);
}
