// Many starts and closes of the window in one process, against lu-sim over real sockets: the
// threads, file descriptors and resident memory at the end are those of the start, within a
// small bound, and every start ended with its "Stop". The suite runs a short form; set
// TOLVANE_SOAK_CYCLES for the long one (bench/soak.sh runs 100).

#include <dirent.h>
#include <gtest/gtest.h>
#include <wx/timer.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "AppTestUtil.h"
#include "LoadRes.h"
#include "LoadingDialog.h"
#include "SimProcessUtil.h"
#include "TolvaneFrame.h"
#include "utilities.h"

namespace {

struct Usage {
    long threads = 0;
    long descriptors = 0;
    long residentKb = 0;
};

Usage Measure() {
    Usage u;
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("Threads:", 0) == 0) u.threads = std::atol(line.c_str() + 8);
        if (line.rfind("VmRSS:", 0) == 0) u.residentKb = std::atol(line.c_str() + 6);
    }
    if (DIR* d = ::opendir("/proc/self/fd")) {
        while (::readdir(d) != nullptr) ++u.descriptors;
        ::closedir(d);
    }
    return u;
}

int RunModal(wxDialog& dialog, std::chrono::milliseconds limit) {
    wxTimer guard;
    guard.Bind(wxEVT_TIMER, [&dialog](wxTimerEvent&) {
        if (dialog.IsModal()) dialog.EndModal(wxID_ABORT);
    });
    guard.StartOnce(static_cast<int>(limit.count()));
    return dialog.ShowModal();
}

int Cycles(int shortForm) {
    const char* wanted = std::getenv("TOLVANE_SOAK_CYCLES");
    return wanted != nullptr && std::atoi(wanted) > 0 ? std::atoi(wanted) : shortForm;
}

// Reason for the real time: each cycle is a whole start of the window against a live unit.
TEST(WindowSoak, StartsAndClosesLeaveNothingBehind) {
    ResetApp();
    g_StringENU = true;
    ScopedHome home;
    SimProcess sim;
    std::string error;
    ASSERT_TRUE(sim.Start(TOLVANE_LU_SIM_PATH,
                          {"--node", "4711", "--key", "soak", "--bind", "::1", "--port", "0"}, 5s, &error))
        << error;
    TolvaneApp& app = TestApp();
    // A failed cycle must not leave its links to the tests that follow.
    const std::unique_ptr<TolvaneApp, void (*)(TolvaneApp*)> disconnect(
        &app, [](TolvaneApp* a) { a->pult.Disconnect(); });
    const int cycles = Cycles(6);
    Usage first;
    for (int cycle = 0; cycle < cycles; ++cycle) {
        ResetApp();
        g_StringENU = true;
        app.v7Id = 4711;
        app.v7Addr = IP6FromStr("::1");
        app.v7Port = sim.Port();
        app.keyText = DBString("soak");
        app.badLog.Open("C", "log");
        app.badLog.PutUtf8("Start soak " + std::to_string(cycle));
        app.CheckSettings();
        ASSERT_TRUE(app.pult.Connect());
        auto* loading = new LoadingDialog(nullptr, app.TitleSuffix());
        app.SetTopWindowTracked(loading);
        ASSERT_EQ(RunModal(*loading, 10s), wxID_OK) << "cycle " << cycle;
        app.SetTopWindowTracked(nullptr);
        loading->Destroy();
        wxWeakRef<TolvaneFrame> frame = new TolvaneFrame("Tolvane soak", app);
        app.SetTopWindowTracked(frame.get());
        frame->Show();
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
        frame->Close();
        ASSERT_TRUE(PumpUntil([&] { return !frame; }, 3s)) << "cycle " << cycle;
        app.pult.Disconnect();
        app.badLog.Put(L"Stop", false);
        app.badLog.Close();
        // The first cycles settle the toolkit's own caches; growth is counted from there.
        if (cycle == 1) first = Measure();
    }
    const Usage last = Measure();
    std::printf(
        "window soak, %d cycles: threads %ld -> %ld, descriptors %ld -> %ld, resident %ld -> %ld kB\n",
        cycles, first.threads, last.threads, first.descriptors, last.descriptors, first.residentKb,
        last.residentKb);
    EXPECT_LE(last.threads, first.threads + 2);
    EXPECT_LE(last.descriptors, first.descriptors + 4);
    EXPECT_LE(last.residentKb, first.residentKb + 16 * 1024);
    int stops = 0;
    for (const std::string& line : ReadLogTexts(home.BadLogDir())) stops += line == "Stop" ? 1 : 0;
    EXPECT_EQ(stops, cycles);
    ResetApp();
}

}  // namespace
