#include "AppTestUtil.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>
#include <wx/app.h>
#include <wx/debug.h>
#include <wx/evtloop.h>
#include <wx/init.h>
#include <wx/log.h>
#include <wx/timer.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "LoadRes.h"
#include "ReviewDialog.h"
#include "SimProcessUtil.h"
#include "TolvaneFrame.h"

namespace {

std::mutex g_BoxLock;
std::vector<ShownBox> g_Boxes;
int g_Answer = wxYES;
std::vector<Review> g_Reviews;
bool g_ReviewAnswer = true;

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
        // GTK's accessibility bridge waits for a session bus that a headless test machine
        // does not have, which can stall the start for minutes.
        ::setenv("NO_AT_BRIDGE", "1", 0);
        ::setenv("GTK_A11Y", "none", 0);
        // A display server busy with the other test programs can refuse a connection for
        // a moment; without wx every test here would crash, so none runs then.
        // Messages the framework logs while it starts (a toolkit warning on a loaded machine)
        // would otherwise become a modal box that nobody closes; in tests they go to stderr.
        wxLog::SetActiveTarget(new wxLogStderr);
        bool started = false;
        for (int attempt = 0; attempt < 5 && !started; ++attempt) {
            if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(300));
            int argc = 1;
            started = wxEntryStart(argc, args);
        }
        if (!started) GTEST_FAIL() << "wxWidgets could not start (no display?)";
        delete wxLog::SetActiveTarget(new wxLogStderr);
        m_Started = true;
        TestApp().InstallLinkHandlers();
        SetMessageBoxHook([](const wxString& text, const wxString& caption, long style) {
            std::lock_guard<std::mutex> lock(g_BoxLock);
            g_Boxes.push_back(ShownBox{text, caption, style});
            // A question is answered as the test asked; a notice only has OK.
            return (style & (wxYES_NO | wxCANCEL)) != 0 ? g_Answer : wxOK;
        });
        ReviewDialog::SetHook([](ReviewDialog& dialog) {
            std::vector<std::vector<wxString>> rows;
            wxListCtrl* list = dialog.GetList();
            for (long r = 0; r < list->GetItemCount(); ++r) {
                rows.emplace_back();
                for (int c = 0; c < list->GetColumnCount(); ++c)
                    rows.back().push_back(list->GetItemText(r, c));
            }
            std::lock_guard<std::mutex> lock(g_BoxLock);
            g_Reviews.push_back(Review{std::move(rows), dialog.GetWarning()});
            return g_ReviewAnswer;
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
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

void PumpFor(std::chrono::milliseconds time) {
    PumpUntil([] { return false; }, time);
}

int RunModal(wxDialog& dialog, std::chrono::milliseconds limit) {
    wxTimer guard;
    guard.Bind(wxEVT_TIMER, [&dialog](wxTimerEvent&) {
        if (dialog.IsModal()) dialog.EndModal(kModalTimedOut);
    });
    guard.StartOnce(static_cast<int>(limit.count()));
    const int result = dialog.ShowModal();
    guard.Stop();
    return result;
}

std::vector<ShownBox> ShownBoxes() {
    std::lock_guard<std::mutex> lock(g_BoxLock);
    return g_Boxes;
}

void SetBoxAnswer(int answer) {
    std::lock_guard<std::mutex> lock(g_BoxLock);
    g_Answer = answer;
}

void SetReviewAnswer(bool write) {
    std::lock_guard<std::mutex> lock(g_BoxLock);
    g_ReviewAnswer = write;
}

std::vector<Review> Reviews() {
    std::lock_guard<std::mutex> lock(g_BoxLock);
    return g_Reviews;
}

void ClearShownBoxes() {
    std::lock_guard<std::mutex> lock(g_BoxLock);
    g_Boxes.clear();
    g_Reviews.clear();
}

void ResetApp() {
    TolvaneApp& app = TestApp();
    app.SetTopWindowTracked(nullptr);
    // Both links, whichever mode the last test chose.
    app.v7Id = 1;
    app.pult.Disconnect();
    app.v7Id = 0;
    app.pult.Disconnect();
    // Events the stopped links queued must not reach the next test.
    PumpFor(std::chrono::milliseconds(20));
    app.sendV7.SetMaxSends(CSendV7::kDefaultMaxSends);
    app.sendV7.SetRepeatInterval(CSendV7::kDefaultRepeatInterval);
    app.badLog.Close();
    app.nvramRead.clear();
    app.nvramDefaults.clear();
    app.inpMes.Clear();
    app.inpV7.Clear();
    app.pult.PultTab().Clear();
    app.session.SetListener({});
    app.session.Reset();
    app.session.SetTiming(UnitSessionTiming{});
    app.ResetSettings();
    g_StringENU = false;
    ClearShownBoxes();
    SetBoxAnswer(wxYES);
    SetReviewAnswer(true);
}

void LoadSession(const SimLuOptions& options) {
    TolvaneApp& app = TestApp();
    SimLu unit(options);
    const LuTarget target{app.umNum, std::max(app.slotNum, 0), std::max(app.devAddr, 0)};
    app.session.Start(app.SessionAddress());
    for (int i = 0; i <= kLuWords && app.session.State() == typUnitState::Loading; ++i) {
        const auto request = i == 0 ? LuDevParamsMes(target) : LuNvramReadMes(target);
        for (const CMes& answer : unit.Handle(*request)) app.session.TakeMes(answer);
    }
}

ScopedHome::ScopedHome() {
    if (const char* home = std::getenv("HOME")) {
        m_HadHome = true;
        m_Saved = home;
    }
    std::string pattern = (std::filesystem::temp_directory_path() / "tolvane-home-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    m_Path = buffer.data();
    setenv("HOME", m_Path.c_str(), 1);
}

ScopedHome::~ScopedHome() {
    if (m_HadHome)
        setenv("HOME", m_Saved.c_str(), 1);
    else
        unsetenv("HOME");
    std::error_code ignored;
    std::filesystem::remove_all(m_Path, ignored);
}

void ScopedHome::WriteClientLanguage(const std::string& language) const {
    const std::filesystem::path dir = std::filesystem::path(m_Path) / "ZARN" / "etc";
    std::filesystem::create_directories(dir);
    std::ofstream out(dir / "ZARNClient.xml");
    out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<ZARNClient Language=\"" << language << "\"/>\n";
}

std::vector<std::string> ReadLogLines(const std::string& dir) {
    std::vector<std::string> files;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
        const std::string name = entry.path().filename().string();
        if (name.size() == 12 && name[0] == 'C' && name.compare(8, 4, ".log") == 0)
            files.push_back(entry.path().string());
    }
    std::sort(files.begin(), files.end());
    std::vector<std::string> lines;
    for (const std::string& file : files) {
        std::ifstream in(file);
        std::string line;
        while (std::getline(in, line)) lines.push_back(line);
    }
    return lines;
}

std::vector<std::string> ReadLogTexts(const std::string& dir) {
    // "dd.mm.yyyy hh:mm:ss " is 20 characters.
    constexpr std::size_t kStamp = 20;
    std::vector<std::string> texts;
    for (std::string line : ReadLogLines(dir)) {
        const bool stamped = line.size() >= kStamp && line[2] == '.' && line[5] == '.' && line[10] == ' ' &&
                             line[13] == ':' && line[16] == ':' && line[19] == ' ';
        texts.push_back(stamped ? line.substr(kStamp) : line);
    }
    return texts;
}

int RunProgram(const std::string& program, const std::vector<std::string>& args,
               std::chrono::milliseconds limit) {
    SimProcess process;
    std::string error;
    if (!process.Launch(program, args, &error)) {
        ADD_FAILURE() << "cannot start " << program << ": " << error;
        return -1;
    }
    const std::optional<int> code = process.WaitExitCode(limit);
    if (!code) {
        process.Kill();
        return -2;
    }
    return *code;
}

WordMap SampleWords(uint16_t seed) {
    WordMap m;
    uint32_t x = seed * 2654435761u + 12345u;
    for (int k = 0; k < TolvaneFrame::kNvramWords; ++k) {
        x = x * 1103515245u + 12345u;
        m[k] = static_cast<uint16_t>(x >> 12);
    }
    for (int k = 0; k < 3; ++k) m[14 + k] |= m[17 + k];
    // The service page's words hold values its controls show as they are; word 8 has the
    // table in use, so the page leaves the grid enabled.
    m[1] = 0x0301;
    m[2] = 0x05FF;
    m[3] = 0x0607;
    m[4] = 0x0A08;
    m[5] = 0x0514;
    m[6] = 0x0503;
    m[7] = 0x0083;
    m[8] = 0x5512;
    m[13] = 0xA5C3;
    return m;
}
