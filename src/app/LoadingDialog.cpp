#include "LoadingDialog.h"

#include <wx/panel.h>

#include "TolvaneApp.h"
#include "wxLoadRes.h"

// clang-format off
wxBEGIN_EVENT_TABLE(LoadingDialog, wxDialog)
    EVT_TIMER(LoadingDialog::kTimerId, LoadingDialog::OnTimerTick)
    EVT_COMMAND(wxID_ANY, START_LOADING, LoadingDialog::OnStartLoading)
    EVT_COMMAND(wxID_ANY, PACKV5_RECEIVED, LoadingDialog::OnExistsPackV5)
    EVT_COMMAND(wxID_ANY, PACKV7_RECEIVED, LoadingDialog::OnExistsPackV7)
    EVT_COMMAND(wxID_ANY, NO_LINK, LoadingDialog::OnNoLink)
wxEND_EVENT_TABLE()
    // clang-format on

    LoadingDialog::LoadingDialog(wxWindow* parent, const wxString& title)
    : wxDialog(parent, wxID_ANY, title, wxDefaultPosition, wxSize(300, 100),
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      m_Session(wxGetApp().session),
      timer(this, kTimerId) {
    auto* panel =
        new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    gauge = new wxGauge(panel, wxID_ANY, 100, wxPoint(20, 20), wxSize(250, 25), wxGA_HORIZONTAL);
    gauge->SetValue(0);
    m_Session.SetListener([this](const UnitEvent& e) { OnSessionEvent(e); });
    // Loading starts only once the modal loop runs, so that every answer finds the loop.
    QueueEvent(new wxCommandEvent(START_LOADING, wxID_ANY));
}

LoadingDialog::~LoadingDialog() {
    timer.Stop();
    m_Session.SetListener({});
}

void LoadingDialog::OnStartLoading(wxCommandEvent& /*event*/) {
    if (ended.load()) return;
    m_Session.Start(wxGetApp().SessionAddress());
    ArmTimer();
}

void LoadingDialog::OnTimerTick(wxTimerEvent& /*event*/) {
    if (ended.load()) return;
    m_Session.Tick();
    ArmTimer();
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
            return;
        case UnitEvent::typKind::Word:
            gauge->SetValue(static_cast<int>(3 * m_Session.Read().size() + 4));
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
    ArmSessionTimer(timer, m_Session);
}

void LoadingDialog::Finish(int code) {
    if (ended.exchange(true)) return;
    timer.Stop();
    if (IsModal())
        EndModal(code);
    else
        SetReturnCode(code);
}
