#include <wx/app.h>
#include <wx/debug.h>
#include <wx/init.h>
#include <wx/log.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "LoadRes.h"
#include "TolvaneApp.h"
#include "Xml.h"

namespace {

void PrintUsage(const DBString& reason) {
    for (int line = 1186; line <= 1188; ++line) std::fprintf(stderr, "%s\n", _S_(line).ToStr().c_str());
    if (reason.empty()) return;
    DBString text;
    text.Format(_S_(1189).c_str(), reason.c_str());
    std::fprintf(stderr, "%s\n", text.ToStr().c_str());
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv + 1, argv + argc);
    // Help and a command line the tool cannot work with need no display: the console program
    // or the engineer reads the answer on the terminal as well as in the error log.
    ToolContext::ChooseLanguage();
    for (const std::string& arg : args) {
        if (arg == "--help" || arg == "-?") {
            ToolContext probe;
            probe.ReadCommandLine(args);
            PrintUsage(DBString());
            return 0;
        }
    }
    {
        ToolContext probe;
        const std::string commandLine = probe.ReadCommandLine(args);
        try {
            probe.CheckSettings();
        } catch (const ErrorXML& e) {
            PrintUsage(e.Text());
            probe.badLog.Open("C", "log");
            probe.badLog.PutUtf8("Start" + DBString(Version).ToStr() + commandLine);
            probe.badLog.PutErr(e.Text().c_str(), e.Number(), false);
            probe.badLog.Put(L"Stop", false);
            probe.badLog.Close();
            return 1;
        }
    }
    // The framework's assertions are not for the field: the tool goes on where they would stop it.
    wxSetAssertHandler(nullptr);
    wxLog::SetLogLevel(wxLOG_Info);
    // The application object lives in a library: named here, it cannot be left out of the link.
    wxApp::SetInstance(new TolvaneApp);
    wxInitializer initializer(argc, argv);
    if (!initializer.IsOk()) {
        // No display to open: the console program sees why in the error log, not only on a
        // terminal nobody reads.
        ToolContext probe;
        probe.badLog.Open("C", "log");
        probe.badLog.PutUtf8("Start" + DBString(Version).ToStr() + probe.ReadCommandLine(args));
        probe.badLog.Put(L"TolvaneApp: the display cannot be opened", false);
        probe.badLog.Put(L"Stop", false);
        probe.badLog.Close();
        return 1;
    }
    if (!wxTheApp->CallOnInit()) return 255;
    const int code = wxTheApp->OnRun();
    wxTheApp->OnExit();
    return code;
}
