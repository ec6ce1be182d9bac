#pragma once

#include <wx/app.h>
#include <wx/event.h>
#include <wx/intl.h>
#include <wx/string.h>
#include <wx/timer.h>
#include <wx/window.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AppEvents.h"
#include "DBString.h"
#include "MToolPult.h"

// The program's name (title prefix, caption of every error box) and its version.
inline constexpr const wchar_t* App = L"Tolvane";
inline constexpr const wchar_t* Version = L"v1.1.2";

// Posted to the current top window (id -1) on the GUI thread: a line packet from the console
// waits in inpMes, a V7 packet waits in inpV7, the V7 link to the unit is lost.
wxDECLARE_EVENT(PACKV5_RECEIVED, wxCommandEvent);
wxDECLARE_EVENT(PACKV7_RECEIVED, wxCommandEvent);
wxDECLARE_EVENT(NO_LINK, wxCommandEvent);
// Each window queues one to itself so that its work begins once its event loop runs.
wxDECLARE_EVENT(START_LOADING, wxCommandEvent);
wxDECLARE_EVENT(ID_START_TOLVANE, wxCommandEvent);

// Every modal message box of the program goes through here, so that a test can see the box
// and answer it instead of a user. Same arguments and result as wxMessageBox.
using MessageBoxHook = std::function<int(const wxString& text, const wxString& caption, long style)>;
// `labels` name the buttons in their order (Yes, No, Cancel; or OK, Cancel), so that a question
// can offer "Write", "Discard" and "Cancel" in the user's language.
int TolvaneMessageBox(const wxString& text, const wxString& caption, long style, wxWindow* parent = nullptr,
                      const std::vector<wxString>& labels = {});
// An empty hook brings the real box back.
void SetMessageBoxHook(MessageBoxHook hook);

// Starts `timer` once for whatever `session` has due next, or for `also` when that comes first;
// stops it when nothing is due.
void ArmSessionTimer(wxTimer& timer, const CUnitSession& session,
                     CUnitSession::Clock::time_point also = CUnitSession::Clock::time_point::max());

// The application object: the settings, word images, logs, links and pool of ToolContext,
// plus the window that the link events go to.
class TolvaneApp : public wxApp, public ToolContext {
public:
    TolvaneApp();
    ~TolvaneApp() override;

    bool OnInit() override;
    int OnExit() override;

    // SIGTERM, SIGINT and SIGHUP end the run like a closed window: the unit gets its
    // close-link and the error log its "Stop". Runs on the GUI thread, not in the signal.
    static void OnStopSignal(int signal);
    // True once a stop signal has come: boxes no longer wait for a user.
    static bool IsStopping();
    // A display connection that breaks ends the run; the error log says so first.
    static void WatchDisplay();

    // The window that receives PACKV5_RECEIVED, PACKV7_RECEIVED and NO_LINK: the loading dialog
    // while it runs, then the main window; null in between. Written on the GUI thread only.
    wxWindow* topWindow = nullptr;

    // Makes `window` the top window and forgets it by itself once the window is destroyed, so no
    // event is handed to a window that is gone. Null clears it.
    void SetTopWindowTracked(wxWindow* window);

    // The seam between the link threads and the windows: the event sink only queues to the GUI
    // thread, and error-log lines marked for the user become message boxes there. OnInit
    // installs both, OnExit removes them before the links stop.
    void InstallLinkHandlers();
    void RemoveLinkHandlers();

    // ---- Start-up steps, each usable on its own ----

    // The C and C++ locales from LANG (C.UTF-8 when LANG is absent or unknown), the framework's
    // locale, and always the numeric category C.UTF-8.
    void SetLocale();
    // ToolContext::CheckSettings, keeping the title suffix.
    wxString CheckSettings();
    // The arguments after the program name, as narrow text in the C library's encoding.
    std::vector<std::string> Arguments() const;

    const wxString& TitleSuffix() const { return m_TitleSuffix; }

    // Reports the outcome of a start-up that ended before the main window: the text to the
    // error log, the link and the pool stopped, "Stop", log closed.
    void AbortStart(const DBString& text, int error);

private:
    // On the GUI thread: hands one link event to the current top window.
    void Deliver(typAppEvent event);
    void OnTopWindowDestroyed(wxWindowDestroyEvent& event);

    std::unique_ptr<wxLocale> m_Locale;
    wxString m_TitleSuffix;
    bool m_HandlersInstalled = false;
};

wxDECLARE_APP(TolvaneApp);
