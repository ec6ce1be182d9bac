#include "TolvaneApp.h"

#include <X11/Xlib.h>
#include <wx/log.h>
#include <wx/msgdlg.h>
#include <wx/strconv.h>
#include <wx/thread.h>

// After msgdlg.h, which it builds on.
#include <wx/generic/msgdlgg.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <locale>
#include <mutex>
#include <stdexcept>

#include "ClientCFG.h"
#include "Dev.h"
#include "IdentV7.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "LoadingDialog.h"
#include "TolvaneFrame.h"
#include "Xml.h"
#include "utilities.h"
#include "wxLoadRes.h"

wxDEFINE_EVENT(PACKV5_RECEIVED, wxCommandEvent);
wxDEFINE_EVENT(PACKV7_RECEIVED, wxCommandEvent);
wxDEFINE_EVENT(NO_LINK, wxCommandEvent);
wxDEFINE_EVENT(START_LOADING, wxCommandEvent);
wxDEFINE_EVENT(ID_START_TOLVANE, wxCommandEvent);

wxIMPLEMENT_APP_NO_MAIN(TolvaneApp);

namespace {

std::mutex g_HookLock;
MessageBoxHook g_Hook;
// Set on the GUI thread when a stop signal arrives.
bool g_Stopping = false;

// The locale every number is written and read in, whatever LANG says.
constexpr const char* kNumericLocale = "C.UTF-8";

bool TrySetLocale(const std::string& name) {
    try {
        std::locale::global(std::locale(name.c_str()));
    } catch (const std::runtime_error&) {
        return false;
    }
    return std::setlocale(LC_ALL, name.c_str()) != nullptr;
}

}  // namespace

int TolvaneMessageBox(const wxString& text, const wxString& caption, long style, wxWindow* parent,
                      const std::vector<wxString>& labels) {
    MessageBoxHook hook;
    {
        std::lock_guard<std::mutex> lock(g_HookLock);
        hook = g_Hook;
    }
    if (hook) return hook(text, caption, style);
    // Once the run is ending, nobody is there to answer a box.
    if (g_Stopping) return wxCANCEL;
    // A dialog of the framework's own, not the native one: a stop signal must be able to end
    // it, and the native box runs a loop of its own that nothing outside can end.
    const long buttons = (style & (wxYES_NO | wxCANCEL)) != 0 ? 0 : wxOK;
    wxGenericMessageDialog box(parent, text, caption, style | buttons);
    if ((style & wxYES_NO) != 0 && labels.size() >= 3)
        box.SetYesNoCancelLabels(labels[0], labels[1], labels[2]);
    else if ((style & wxYES_NO) != 0 && labels.size() == 2)
        box.SetYesNoLabels(labels[0], labels[1]);
    else if (labels.size() == 2)
        box.SetOKCancelLabels(labels[0], labels[1]);
    box.CentreOnScreen();
    switch (box.ShowModal()) {
        case wxID_YES:
            return wxYES;
        case wxID_NO:
            return wxNO;
        case wxID_CANCEL:
            return wxCANCEL;
        default:
            return wxOK;
    }
}

void ArmSessionTimer(wxTimer& timer, const CUnitSession& session, CUnitSession::Clock::time_point also) {
    const auto due = std::min(session.NextDeadline(), also);
    if (due == CUnitSession::Clock::time_point::max()) {
        timer.Stop();
        return;
    }
    const auto wait = std::chrono::ceil<std::chrono::milliseconds>(due - CUnitSession::Clock::now()).count();
    timer.StartOnce(static_cast<int>(std::clamp<long long>(wait, 1, INT_MAX)));
}

void SetMessageBoxHook(MessageBoxHook hook) {
    std::lock_guard<std::mutex> lock(g_HookLock);
    g_Hook = std::move(hook);
}

TolvaneApp::TolvaneApp() = default;

TolvaneApp::~TolvaneApp() {
    RemoveLinkHandlers();
}

void TolvaneApp::SetTopWindowTracked(wxWindow* window) {
    if (window == topWindow) return;
    if (topWindow != nullptr) topWindow->Unbind(wxEVT_DESTROY, &TolvaneApp::OnTopWindowDestroyed, this);
    topWindow = window;
    if (topWindow != nullptr) topWindow->Bind(wxEVT_DESTROY, &TolvaneApp::OnTopWindowDestroyed, this);
}

void TolvaneApp::OnTopWindowDestroyed(wxWindowDestroyEvent& event) {
    // Children's destroy events do not come here, but a window may be bound more than once.
    if (event.GetEventObject() == topWindow) topWindow = nullptr;
    event.Skip();
}

void TolvaneApp::InstallLinkHandlers() {
    // The link threads only queue; everything that touches a window runs on the GUI thread.
    events.Install([this](typAppEvent event) { CallAfter([this, event] { Deliver(event); }); });
    BadLog::SetShowHandler([](const DBString& text) {
        const std::wstring copy = text;
        auto show = [copy] { TolvaneMessageBox(wxString(copy.c_str(), copy.size()), App, wxICON_ERROR); };
        // On the GUI thread the box is shown at once: a start-up that fails right after the
        // line never runs an event loop that could show it later.
        if (wxIsMainThread())
            show();
        else if (wxTheApp != nullptr)
            wxTheApp->CallAfter(show);
    });
    m_HandlersInstalled = true;
}

void TolvaneApp::RemoveLinkHandlers() {
    if (!m_HandlersInstalled) return;
    events.Remove();
    BadLog::SetShowHandler({});
    m_HandlersInstalled = false;
}

void TolvaneApp::Deliver(typAppEvent event) {
    if (topWindow == nullptr || topWindow->IsBeingDeleted()) return;
    wxEventType type = wxEVT_NULL;
    switch (event) {
        case typAppEvent::PackV5Received:
            type = PACKV5_RECEIVED;
            break;
        case typAppEvent::PackV7Received:
            type = PACKV7_RECEIVED;
            break;
        case typAppEvent::NoLink:
            type = NO_LINK;
            break;
        case typAppEvent::CloseTopWindow:
            topWindow->Close(true);
            return;
    }
    wxCommandEvent command(type, wxID_ANY);
    command.SetEventObject(topWindow);
    topWindow->GetEventHandler()->ProcessEvent(command);
}

void TolvaneApp::SetLocale() {
    const char* lang = std::getenv("LANG");
    std::string name = lang != nullptr ? lang : "";
    // Without LANG, or with one this system does not know, the texts and conversions still need
    // a UTF-8 locale; the numeric category ends up the same either way.
    if (name.empty() || !TrySetLocale(name)) {
        name = kNumericLocale;
        if (!TrySetLocale(name)) {
            std::locale::global(std::locale::classic());
            std::setlocale(LC_ALL, "C");
        }
    }
    {
        // The framework reports a language it cannot set in a box of its own; the tool goes on
        // with the locale chosen above.
        wxLogNull quiet;
        // A previous locale object restores what it found when it goes: it must go first.
        m_Locale.reset();
        m_Locale = std::make_unique<wxLocale>();
        m_Locale->Init(wxLANGUAGE_DEFAULT, wxLOCALE_LOAD_DEFAULT);
    }
    std::setlocale(LC_NUMERIC, kNumericLocale);
}

std::vector<std::string> TolvaneApp::Arguments() const {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        const wxString arg = argv[i];
        const wxCharBuffer narrow = arg.mb_str(wxConvLibc);
        if (narrow.data() != nullptr && (narrow.length() > 0 || arg.empty()))
            args.emplace_back(narrow.data());
        else
            args.emplace_back(arg.utf8_string());
    }
    return args;
}

wxString TolvaneApp::CheckSettings() {
    const DBString suffix = ToolContext::CheckSettings();
    m_TitleSuffix = wxString(suffix.c_str(), suffix.size());
    return m_TitleSuffix;
}

void TolvaneApp::AbortStart(const DBString& text, int error) {
    // Nothing is put before the user: the console program started the tool, and the log
    // says why it ended.
    if (!text.empty()) badLog.PutErr(text.c_str(), error, false);
    RemoveLinkHandlers();
    pult.Disconnect();
    pool.Stop();
    badLog.Put(L"Stop", false);
    badLog.Close();
}

namespace {

XIOErrorHandler g_DisplayLost = nullptr;

// Xlib calls this once the display connection is gone, and the program cannot go on; the
// handler it replaced ends the process. The error log says why before that.
int OnDisplayLost(Display* display) {
    TolvaneApp& app = wxGetApp();
    app.badLog.Put(L"TolvaneApp: the connection to the display is lost", false);
    // The unit still hears that the tool has gone.
    app.pult.Disconnect();
    app.badLog.Put(L"Stop", false);
    app.badLog.Close();
    return g_DisplayLost != nullptr ? g_DisplayLost(display) : 1;
}

}  // namespace

void TolvaneApp::WatchDisplay() {
    XIOErrorHandler previous = XSetIOErrorHandler(&OnDisplayLost);
    if (previous != &OnDisplayLost) g_DisplayLost = previous;
}

bool TolvaneApp::IsStopping() {
    return g_Stopping;
}

void TolvaneApp::OnStopSignal(int /*signal*/) {
    g_Stopping = true;
    // A box open now runs a modal loop of its own inside the main one: it ends first, and the
    // code that opened it goes on to the orderly end.
    for (wxWindow* w : wxTopLevelWindows) {
        auto* box = dynamic_cast<wxGenericMessageDialog*>(w);
        if (box != nullptr && box->IsModal()) box->EndModal(wxID_CANCEL);
    }
    TolvaneApp& app = wxGetApp();
    if (app.topWindow != nullptr)
        app.topWindow->Close(true);  // the loading dialog fails the start, the main window ends the loop
    else
        app.ExitMainLoop();
    // The closed window goes at idle time; without a wake-up the loop would sleep on.
    wxWakeUpIdle();
}

bool TolvaneApp::OnInit() {
    // wxApp::OnInit would parse the command line with the framework's own rules; the tool's
    // options are read below.
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) SetSignalHandler(sig, &TolvaneApp::OnStopSignal);
    InstallLinkHandlers();
    ChooseLanguage();
    SetLocale();
    ResetSettings();
    SetVendorName(wxS("ZARN"));
    SetAppName(wxS("Tolvane"));
    const std::string commandLine = ReadCommandLine(Arguments());

    badLog.Open("C", "log");
    WatchDisplay();
    std::string start = "Start";
    start += DBString(Version).ToStr();
    start += commandLine;
    badLog.PutUtf8(start);

    try {
        const wxString suffix = CheckSettings();
        if (!pult.Connect()) {
            // Connect has logged why.
            AbortStart(DBString(), 0);
            return false;
        }

        auto* loading = new LoadingDialog(nullptr, suffix);
        SetTopWindowTracked(loading);
        loading->CentreOnScreen();
        const int result = loading->ShowModal();
        SetTopWindowTracked(nullptr);
        loading->Destroy();
        if (result != wxID_OK) throw ErrorXML(_S_(1106), 0);

        CDev* dev = pult.GetDev();
        const DBString type = dev != nullptr ? dev->TypLB() : DBString();
        wxString title(App);
        title += suffix;
        title += wxS(" - ");
        // A type without a name is still told apart by its number.
        if (type.empty() && dev != nullptr)
            title += wxString::Format("%d", static_cast<int>(dev->Typ()));
        else
            title += wxString(type.c_str(), type.size());
        auto* frame = new TolvaneFrame(title);
        SetTopWindowTracked(frame);
        SetTopWindow(frame);
        frame->Show();
        return true;
    } catch (const ErrorXML& e) {
        AbortStart(e.Text(), e.Number());
        return false;
    }
}

int TolvaneApp::OnExit() {
    RemoveLinkHandlers();
    SetTopWindowTracked(nullptr);
    pult.Disconnect();
    pool.Stop();
    badLog.Put(L"Stop", false);
    badLog.Close();
    return 0;
}
