#pragma once

// The GUI tests' common ground: a gtest environment starts wxWidgets once with a TolvaneApp as
// the application (without its OnInit), installs its link handlers and puts recorders in place
// of every message box and of the review of a write. It includes what most tests here use.

#include <gtest/gtest.h>
#include <wx/frame.h>
#include <wx/stattext.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "GridUtils.h"
#include "LoadRes.h"
#include "SimLu.h"
#include "TolvaneApp.h"
#include "wxLoadRes.h"

using namespace std::chrono_literals;

TolvaneApp& TestApp();

// Handles events, also while no event loop runs, until `done` holds or the time is up.
bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout);
void PumpFor(std::chrono::milliseconds time);

// What was put before the engineer (boxes, reviews of a write), and the answers: a question
// gets `answer` (wxYES, wxNO, wxCANCEL), a notice wxOK, a review Write or Cancel.
struct Recorded {
    struct Box {
        wxString text, caption;
        long style = 0;
    };
    struct Review {
        std::vector<std::vector<wxString>> rows;
        wxString warning;
    };
    std::vector<Box> boxes;
    std::vector<Review> reviews;
    int answer = wxYES;
    bool write = true;

    std::vector<wxString> Texts() const {
        std::vector<wxString> texts;
        for (const Box& box : boxes) texts.push_back(box.text);
        return texts;
    }
};
Recorded& Seen();

// The application as the program creates it, texts Russian, nothing recorded.
void ResetApp();

// Answers whatever the session asks (its load, or the read-back of a write) from a simulated
// unit, without any link, until it asks no more; `after` runs after each answered request.
void AnswerFrom(SimLu& unit, const std::function<void()>& after = {});
// Starts the session and loads it from a unit with these options: it ends Ready.
void LoadSession(const SimLuOptions& options);

// HOME (logs, client configuration) in a fresh directory for the object's life.
class ScopedHome {
public:
    ScopedHome();
    ~ScopedHome();
    ScopedHome(const ScopedHome&) = delete;
    const std::string& Path() const { return m_Path; }
    std::string BadLogDir() const { return m_Path + "/ZARN/logs/Tolvane/bad"; }
    // The client configuration file with this Language attribute.
    void WriteClientLanguage(const std::string& language) const;

private:
    std::string m_Path;
    std::optional<std::string> m_Saved;
};

// Every line of the log files in `dir`, oldest first, without their time stamps.
std::vector<std::string> ReadLogTexts(const std::string& dir);
