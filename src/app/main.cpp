#include <wx/app.h>
#include <wx/debug.h>
#include <wx/log.h>

#include "TolvaneApp.h"

int main(int argc, char** argv) {
    // The framework's assertions are not for the field: the tool goes on where they would stop it.
    wxSetAssertHandler(nullptr);
    wxLog::SetLogLevel(wxLOG_Info);
    // The application object lives in a library: named here, it cannot be left out of the link.
    wxApp::SetInstance(new TolvaneApp);
    return wxEntry(argc, argv);
}
