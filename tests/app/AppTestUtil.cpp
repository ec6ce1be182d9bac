#include "AppTestUtil.h"

#include <wx/init.h>
#include <wx/log.h>

#include <algorithm>
#include <fstream>

#include "ReviewDialog.h"

namespace {

Recorded g_Seen;

void RecordAssert(const wxString& file, int line, const wxString& func, const wxString& cond,
                  const wxString& msg) {
    ADD_FAILURE() << "wxWidgets assertion " << cond.utf8_string() << " in " << func.utf8_string() << " ("
                  << file.utf8_string() << ":" << line << "): " << msg.utf8_string();
}

class AppEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        wxSetAssertHandler(RecordAssert);
        wxApp::SetInstance(new TolvaneApp);
        static char name[] = "tolvane_app_tests";
        static char* args[] = {name, nullptr};
        // GTK's accessibility bridge would wait minutes for a session bus a test machine lacks.
        ::setenv("NO_AT_BRIDGE", "1", 0);
        ::setenv("GTK_A11Y", "none", 0);
        // Messages the framework logs while it starts (a toolkit warning on a loaded machine)
        // would otherwise become a modal box that nobody closes; in tests they go to stderr.
        wxLog::SetActiveTarget(new wxLogStderr);
        // A display server busy with other test programs can refuse a connection for a moment.
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(300ms);
            int argc = 1;
            started = wxEntryStart(argc, args);
        }
        if (!started) GTEST_FAIL() << "wxWidgets could not start (no display?)";
        delete wxLog::SetActiveTarget(new wxLogStderr);
        m_Started = true;
        TestApp().InstallLinkHandlers();
        // Boxes are shown on the GUI thread only, so the recorders need no lock.
        SetMessageBoxHook([](const wxString& text, const wxString& caption, long style) {
            g_Seen.boxes.push_back(Recorded::Box{text, caption, style});
            return (style & (wxYES_NO | wxCANCEL)) != 0 ? g_Seen.answer : wxOK;
        });
        ReviewDialog::SetHook([](ReviewDialog& dialog) {
            Recorded::Review review{{}, dialog.GetWarning()};
            wxListCtrl* list = dialog.GetList();
            for (long r = 0; r < list->GetItemCount(); ++r) {
                review.rows.emplace_back();
                for (int c = 0; c < list->GetColumnCount(); ++c)
                    review.rows.back().push_back(list->GetItemText(r, c));
            }
            g_Seen.reviews.push_back(std::move(review));
            return g_Seen.write;
        });
    }

    void TearDown() override {
        if (!m_Started) return;
        ResetApp();
        TestApp().RemoveLinkHandlers();
        SetMessageBoxHook({});
        wxEntryCleanup();
    }

private:
    bool m_Started = false;
};

const ::testing::Environment* const g_Environment = ::testing::AddGlobalTestEnvironment(new AppEnvironment);

}  // namespace

TolvaneApp& TestApp() {
    return wxGetApp();
}

bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (wxTheApp != nullptr) {
            wxTheApp->Yield(true);
            wxTheApp->ProcessPendingEvents();
        }
        if (done()) return true;
        if (std::chrono::steady_clock::now() >= end) return done();
        std::this_thread::sleep_for(2ms);
    }
}

void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time);
}

Recorded& Seen() {
    return g_Seen;
}

void ResetApp() {
    TolvaneApp& app = TestApp();
    app.SetTopWindowTracked(nullptr);
    // Events the last test queued must not reach the next.
    PumpFor(20ms);
    app.badLog.Close();
    app.nvramRead.clear();
    app.nvramDefaults.clear();
    app.inpMes.Clear();
    app.inpV7.Clear();
    app.session.SetListener({});
    app.session.Reset();
    app.session.SetTiming(UnitSessionTiming{});
    app.ResetSettings();
    g_StringENU = false;
    g_Seen = Recorded{};
}

void AnswerFrom(SimLu& unit, const std::function<void()>& after) {
    CUnitSession& session = TestApp().session;
    const TolvaneApp& app = TestApp();
    const LuTarget target{app.umNum, std::max(app.slotNum, 0), std::max(app.devAddr, 0)};
    // Every word once, with room for answers the session takes as no progress.
    for (int i = 0; i < 3 * kLuWords && (session.State() == typUnitState::Loading || session.IsBusy()); ++i) {
        const bool params = session.State() == typUnitState::Loading && !session.ParamsReceived();
        const auto request = params ? LuDevParamsMes(target) : LuNvramReadMes(target);
        for (const CMes& answer : unit.Handle(*request)) session.TakeMes(answer);
        if (after) after();
    }
}

void LoadSession(const SimLuOptions& options) {
    SimLu unit(options);
    TestApp().session.Start(TestApp().SessionAddress());
    AnswerFrom(unit);
}

ScopedHome::ScopedHome() {
    if (const char* home = std::getenv("HOME")) m_Saved = home;
    char pattern[] = "/tmp/tolvane-home-XXXXXX";
    if (mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_Path = pattern;
    setenv("HOME", m_Path.c_str(), 1);
}

ScopedHome::~ScopedHome() {
    m_Saved ? setenv("HOME", m_Saved->c_str(), 1) : unsetenv("HOME");
    std::error_code ignored;
    std::filesystem::remove_all(m_Path, ignored);
}

void ScopedHome::WriteClientLanguage(const std::string& language) const {
    const std::filesystem::path dir = std::filesystem::path(m_Path) / "ZARN" / "etc";
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / "ZARNClient.xml");
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ZARNClient Language=\"" << language << "\"/>\n";
}

std::vector<std::string> ReadLogTexts(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error))
        if (entry.path().extension() == ".log") files.push_back(entry.path().string());
    std::sort(files.begin(), files.end());
    std::vector<std::string> texts;
    for (const std::string& file : files) {
        std::ifstream in(file);
        for (std::string line; std::getline(in, line);) {
            const bool stamped = line.size() >= 20 && line[2] == '.' && line[5] == '.' && line[10] == ' ' &&
                                 line[13] == ':' && line[16] == ':' && line[19] == ' ';
            texts.push_back(stamped ? line.substr(20) : line);
        }
    }
    return texts;
}
