#pragma once

// The GUI test programs' common ground. A gtest environment starts wxWidgets once per test
// program with a TolvaneApp as the application object (without its OnInit), installs the
// application's link handlers and replaces every message box by a recorder, so tests can fill
// the application's fields, create windows and run them against the simulators.

#include <wx/dialog.h>
#include <wx/string.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "GridUtils.h"
#include "SimLu.h"
#include "TolvaneApp.h"

// The application object of the test program.
TolvaneApp& TestApp();

// Runs the framework's event handling until `done` holds or the time is up; returns `done`'s
// last value. Also usable while no event loop runs.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
// Handles events for the whole time given.
void PumpFor(std::chrono::milliseconds time);

// Runs `dialog` modally; a dialog still open after `limit` is ended with kModalTimedOut, so a
// test that waits for an end that never comes fails instead of hanging.
constexpr int kModalTimedOut = -20;
int RunModal(wxDialog& dialog, std::chrono::milliseconds limit);

// A message box that the program showed (and that the recorder answered with wxOK).
struct ShownBox {
    wxString text;
    wxString caption;
    long style = 0;
};
std::vector<ShownBox> ShownBoxes();
void ClearShownBoxes();
// What the recorder answers a question with (wxYES, wxNO, wxCANCEL); ResetApp sets wxYES again.
// A notice is always answered wxOK.
void SetBoxAnswer(int answer);

// A review of the changes before writing, as the engineer would have seen it: its rows (label,
// word and bits, old value, new value) and its firmware warning.
struct Review {
    std::vector<std::vector<wxString>> rows;
    wxString warning;
};
std::vector<Review> Reviews();
// Write (true, the default after ResetApp) or Cancel.
void SetReviewAnswer(bool write);

// Stops the links, empties the word maps, the input queues and the structure, puts the
// settings back to their start values and the texts back to Russian: every test starts from
// the application as the program creates it.
void ResetApp();

// Loads the application's session from a simulated unit without any link: its answers to the
// load's requests are handed to the session directly. The session ends Ready with the unit's
// words in nvramRead.
void LoadSession(const SimLuOptions& options);

// HOME pointed at a fresh directory for the object's life (the logs and the client
// configuration live below it); the directory is removed afterwards.
class ScopedHome {
public:
    ScopedHome();
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    ScopedHome& operator=(const ScopedHome&) = delete;

    const std::string& Path() const { return m_Path; }
    // Where the error log of the tool writes its files under this home.
    std::string BadLogDir() const { return m_Path + "/ZARN/logs/Tolvane/bad"; }
    // Writes the client configuration file with the given Language attribute.
    void WriteClientLanguage(const std::string& language) const;

private:
    std::string m_Path;
    std::string m_Saved;
    bool m_HadHome = false;
};

// Every line of every log file in `dir` (C0000001.log, C0000002.log, ...), oldest first,
// without the time stamps' removal.
std::vector<std::string> ReadLogLines(const std::string& dir);
// The same lines with the leading "dd.mm.yyyy hh:mm:ss " time stamp cut off where there is one.
std::vector<std::string> ReadLogTexts(const std::string& dir);

// Runs `program` with `args` and the environment of this process (HOME as set now) and waits
// up to `limit` for it to end: its exit code, -1 when it did not end normally, or -2 when it
// had to be killed at the limit.
int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::chrono::milliseconds limit);

// A full image of 32 words, different for each seed, whose grid columns and service-page
// controls show every value as it is (so showing it changes nothing).
WordMap SampleWords(uint16_t seed);
