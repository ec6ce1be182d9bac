#include "LoadingDialog.h"

#include <wx/panel.h>

#include "Dev.h"
#include "IdentV7.h"
#include "LoadRes.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackV7.h"
#include "TolvaneApp.h"
#include "wxLoadRes.h"

namespace {

// A refusal names the refused party and the refusing unit behind the byte that marks it.
constexpr int kRefuseShortLength = 22;
constexpr int kRefuseFirstIdent = 14;
constexpr int kRefuseSecondIdent = 18;

// Whether a refusal packet is meant for this tool's link to this unit. A short one names
// nobody and so is ours; a long one must name our own identity and the unit's node.
bool RefusesUs(const CPackV7& pack, const CIdentV7& own, int unitNode) {
    if (pack.GetLength() < kRefuseShortLength) return true;
    CIdentV7 refused;
    CIdentV7 refuser;
    refused.SetValue(pack.GetBuf() + kRefuseFirstIdent);
    refuser.SetValue(pack.GetBuf() + kRefuseSecondIdent);
    return refused.GetNode() == own.GetNode() && refuser.GetNode() == unitNode;
}

}  // namespace

wxBEGIN_EVENT_TABLE(LoadingDialog, wxDialog) EVT_TIMER(LoadingDialog::kTimerId, LoadingDialog::OnTimerTick)
    EVT_COMMAND(wxID_ANY, START_LOADING, LoadingDialog::OnStartLoading)
        EVT_COMMAND(wxID_ANY, PACKV5_RECEIVED, LoadingDialog::OnExistsPackV5)
            EVT_COMMAND(wxID_ANY, PACKV7_RECEIVED, LoadingDialog::OnExistsPackV7)
                EVT_COMMAND(wxID_ANY, NO_LINK, LoadingDialog::OnNoLink) wxEND_EVENT_TABLE()

                    LoadingDialog::LoadingDialog(wxWindow* parent, const wxString& title)
    : wxDialog(parent, wxID_ANY, title, wxDefaultPosition, wxSize(300, 100),
               wxCAPTION | wxSYSTEM_MENU | wxCLOSE_BOX),
      timer(this, kTimerId) {
    auto* panel =
        new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    gauge = new wxGauge(panel, wxID_ANY, 100, wxPoint(20, 20), wxSize(250, 25), wxGA_HORIZONTAL);
    gauge->SetValue(0);
    // Loading starts only once the modal loop runs, so that every answer finds the loop.
    wxCommandEvent* start = new wxCommandEvent(START_LOADING, wxID_ANY);
    QueueEvent(start);
}

LoadingDialog::~LoadingDialog() {
    timer.Stop();
}

void LoadingDialog::OnStartLoading(wxCommandEvent& /*event*/) {
    if (ended.load()) return;
    SendRequestGetParams();
    timer.Start(m_RetryIntervalMs, wxTIMER_CONTINUOUS);
}

void LoadingDialog::OnTimerTick(wxTimerEvent& /*event*/) {
    if (ended.load()) return;
    if (paramsReceived) {
        timer.Start(m_RetryIntervalMs, wxTIMER_CONTINUOUS);
        SendRequestGetNVRAM();
        return;
    }
    if (retries >= kMaxRetries) {
        FailLogged(1104);
        return;
    }
    ++retries;
    SendRequestGetParams();
}

void LoadingDialog::SendRequestGetParams() {
    CDev* dev = wxGetApp().pult.GetDev();
    if (dev == nullptr) return;
    dev->AddMes(kLuPriorRead, CMes::mesDevAsk, CMes::askDevParam, nullptr, 0, -1);
    dev->Put();
}

void LoadingDialog::SendRequestGetNVRAM() {
    CDev* dev = wxGetApp().pult.GetDev();
    if (dev == nullptr) return;
    dev->AddMes(kLuPriorRead, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1);
    dev->Put();
}

void LoadingDialog::MngMsg(const CMes& m) {
    if (ended.load() || m.typ != CMes::mesDevAnswer) return;
    TolvaneApp& app = wxGetApp();

    if (m.ask == CMes::askLbNVRAM) {
        if (!m.IsGood()) return;  // the next tick asks again
        int index = 0;
        unsigned short value = 0;
        bool isWord = false;
        unsigned short value2 = 0;
        bool hasValue2 = false;
        if (!m.GetLbNVRAM(index, value, isWord, value2, hasValue2) || index < 0 || index >= kWords) {
            SendRequestGetNVRAM();
            return;
        }
        app.nvramRead[index] = value;
        if (hasValue2) app.nvramDefaults[index] = value2;
        gauge->SetValue(static_cast<int>(3 * app.nvramRead.size() + 4));
        if (app.nvramRead.size() < static_cast<std::size_t>(kWords)) {
            SendRequestGetNVRAM();
            return;
        }
        if (app.nvramDefaults.size() == static_cast<std::size_t>(kWords))
            app.nvramDefaults[8] = static_cast<uint16_t>(app.nvramDefaults[8] | kWord8DefaultBits);
        Finish(wxID_OK);
        return;
    }

    if (m.ask == CMes::askDevParam) {
        if (paramsReceived) return;
        if (!m.IsGood()) {
            FailLogged(1104);
            return;
        }
        paramsReceived = true;
        if (CDev* dev = app.pult.GetDev()) dev->SetParDev(m);
        gauge->SetValue(4);
        SendRequestGetNVRAM();
    }
}

void LoadingDialog::OnExistsPackV5(wxCommandEvent& /*event*/) {
    TolvaneApp& app = wxGetApp();
    CPackMes pack;
    while (app.inpMes.Read(pack)) {
        if (ended.load()) continue;  // the queue is still emptied, so nothing stale is left behind
        pack.UnPack();
        if (!pack.IsValid() || pack.pultNo != app.pultNum) continue;
        CMes m;
        while (pack.GetMes(m)) {
            if (m.typ != CMes::mesDevAnswer) continue;
            const bool fromUnit = m.origNode == app.umNum && m.origSub == app.slotNum && m.dev == app.devAddr;
            // With a lift code the console has already picked the unit; its address on the
            // line may be anything.
            if (fromUnit || app.codLift >= 1) MngMsg(m);
        }
    }
}

void LoadingDialog::OnExistsPackV7(wxCommandEvent& /*event*/) {
    TolvaneApp& app = wxGetApp();
    CPackV7 pack;
    while (app.inpV7.Read(pack)) {
        if (ended.load()) continue;
        if (pack.GetClass() == CPackV7::classData && pack.GetTyp() == CPackV7::typMes) {
            CMes m;
            if (pack.GetMes(m)) MngMsg(m);
        } else if (pack.IsRefuse()) {
            if (RefusesUs(pack, app.receivV7.GetIdent(), app.v7Id)) FailV7(1105);
        }
    }
}

void LoadingDialog::OnNoLink(wxCommandEvent& /*event*/) {
    FailV7(1106);
}

void LoadingDialog::FailV7(int message) {
    if (ended.exchange(true)) return;
    timer.Stop();
    TolvaneApp& app = wxGetApp();
    app.sendV7.Stop();
    app.receivV7.Stop();
    TolvaneMessageBox(_W_(message), App, wxICON_ERROR);
    EndRun(wxID_CANCEL);
}

void LoadingDialog::FailLogged(int message) {
    if (ended.exchange(true)) return;
    timer.Stop();
    // The line may open a box; the run has ended before it, so nothing acts meanwhile.
    wxGetApp().badLog.Put(_S_(message), true);
    EndRun(wxID_CANCEL);
}

void LoadingDialog::Finish(int code) {
    if (ended.exchange(true)) return;
    timer.Stop();
    EndRun(code);
}

void LoadingDialog::EndRun(int code) {
    if (IsModal())
        EndModal(code);
    else
        SetReturnCode(code);
}
