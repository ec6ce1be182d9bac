// Whole runs of the built program as the console program starts it: a real lu-sim or
// console-sim process at the other end, the loading dialog, the main window on the X
// server (found and closed through the X protocol, as a window manager would), and the end
// of the run with its traces: the exit status, the error log ending in "Stop" and the
// close of the link as the simulator saw it.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AppTestUtil.h"
#include "LoadRes.h"
#include "SimProcessUtil.h"

// Last: Xlib's macros (None, Status, True, ...) must not meet the other headers. Only its
// types are used; the functions are looked up at run time, since the program links the
// toolkit and not the X library itself.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

using namespace std::chrono_literals;

#if defined(TOLVANE_APP_PATH) && defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

constexpr const char* kKeyDigits = "0123456789ABCDEF0011223344556677";
constexpr int kUnitNode = 4711;

// The handful of X library functions needed to find a program's windows and to ask one to
// close.
class XClient {
public:
    XClient() {
        m_Lib = dlopen("libX11.so.6", RTLD_NOW | RTLD_LOCAL);
        if (m_Lib == nullptr) return;
        if (!Find(m_Open, "XOpenDisplay") || !Find(m_Close, "XCloseDisplay") ||
            !Find(m_Query, "XQueryTree") || !Find(m_Free, "XFree") || !Find(m_Atom, "XInternAtom") ||
            !Find(m_Property, "XGetWindowProperty") || !Find(m_Attributes, "XGetWindowAttributes") ||
            !Find(m_Send, "XSendEvent") || !Find(m_Flush, "XFlush"))
            return;
        m_Display = m_Open(nullptr);
    }
    ~XClient() {
        if (m_Display != nullptr) m_Close(m_Display);
        if (m_Lib != nullptr) dlclose(m_Lib);
    }
    XClient(const XClient&) = delete;
    XClient& operator=(const XClient&) = delete;

    bool Ready() const { return m_Display != nullptr; }

    struct Shown {
        Window id = 0;
        std::string title;
    };

    // The viewable top-level windows of process `pid`.
    std::vector<Shown> WindowsOf(pid_t pid) {
        std::vector<Shown> shown;
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned count = 0;
        if (m_Query(m_Display, DefaultRootWindow(m_Display), &root, &parent, &children, &count) == 0)
            return shown;
        const Atom pidAtom = m_Atom(m_Display, "_NET_WM_PID", 0);
        const Atom nameAtom = m_Atom(m_Display, "_NET_WM_NAME", 0);
        const Atom utf8 = m_Atom(m_Display, "UTF8_STRING", 0);
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (m_Attributes(m_Display, children[i], &attributes) == 0 || attributes.map_state != IsViewable)
                continue;
            const std::string owner = Property(children[i], pidAtom, XA_CARDINAL);
            // A 32-bit property comes as an array of C longs.
            if (owner.size() < sizeof(long) || *reinterpret_cast<const long*>(owner.data()) != pid) continue;
            shown.push_back(Shown{children[i], Property(children[i], nameAtom, utf8)});
        }
        if (children != nullptr) m_Free(children);
        return shown;
    }

    // What a window manager's close button sends: the program closes the window itself.
    bool AskToClose(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.display = m_Display;
        event.xclient.window = window;
        event.xclient.message_type = m_Atom(m_Display, "WM_PROTOCOLS", 0);
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(m_Atom(m_Display, "WM_DELETE_WINDOW", 0));
        event.xclient.data.l[1] = CurrentTime;
        const bool sent = m_Send(m_Display, window, 0, NoEventMask, &event) != 0;
        m_Flush(m_Display);
        return sent;
    }

private:
    template <typename F>
    bool Find(F& function, const char* name) {
        function = reinterpret_cast<F>(dlsym(m_Lib, name));
        return function != nullptr;
    }

    std::string Property(Window window, Atom property, Atom type) {
        Atom actualType = 0;
        int format = 0;
        unsigned long items = 0;
        unsigned long after = 0;
        unsigned char* data = nullptr;
        if (m_Property(m_Display, window, property, 0, 1024, 0, type, &actualType, &format, &items, &after,
                       &data) != Success ||
            data == nullptr)
            return std::string();
        const std::size_t unit = format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1;
        std::string value(reinterpret_cast<const char*>(data), items * unit);
        m_Free(data);
        return value;
    }

    void* m_Lib = nullptr;
    Display* m_Display = nullptr;
    Display* (*m_Open)(const char*) = nullptr;
    int (*m_Close)(Display*) = nullptr;
    int (*m_Query)(Display*, Window, Window*, Window*, Window**, unsigned*) = nullptr;
    int (*m_Free)(void*) = nullptr;
    Atom (*m_Atom)(Display*, const char*, int) = nullptr;
    int (*m_Property)(Display*, Window, Atom, long, long, int, Atom, Atom*, int*, unsigned long*,
                      unsigned long*, unsigned char**) = nullptr;
    int (*m_Attributes)(Display*, Window, XWindowAttributes*) = nullptr;
    int (*m_Send)(Display*, Window, int, long, XEvent*) = nullptr;
    int (*m_Flush)(Display*) = nullptr;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!x.Ready()) GTEST_SKIP() << "no X display to look at the program's windows";
    }

    void StartLuSim(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "--node", std::to_string(kUnitNode), "--key", kKeyDigits, "--bind", "::1", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim.Start(TOLVANE_LU_SIM_PATH, args, 5s, &error)) << error;
    }

    void StartConsoleSim(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {"--bind", "::1", "--port", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        ASSERT_TRUE(sim.Start(TOLVANE_CONSOLE_SIM_PATH, args, 5s, &error)) << error;
    }

    // Starts the program and waits for its main window, the one whose title begins with
    // `titleStart`; false when the program ends first or shows no such window in time.
    bool StartTool(const std::vector<std::string>& args, const std::string& titleStart) {
        toolArgs = args;
        std::string error;
        if (!tool.Launch(TOLVANE_APP_PATH, args, &error)) {
            ADD_FAILURE() << "cannot start the program: " << error;
            return false;
        }
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            for (const XClient::Shown& w : x.WindowsOf(tool.Pid())) {
                if (w.title.rfind(titleStart, 0) == 0) {
                    window = w;
                    return true;
                }
            }
            if (tool.Wait(0ms)) {
                ADD_FAILURE() << "the program ended before its main window opened; error log:\n" << LogText();
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "no main window titled '" << titleStart << "...' within 10 s; error log:\n"
                      << LogText();
        return false;
    }

    // Waits for the program to end by itself; its exit code, or nothing.
    std::optional<int> WaitForEnd() {
        const std::optional<int> code = tool.WaitExitCode(5s);
        EXPECT_TRUE(code.has_value()) << "the program still runs 5 s after its main window went";
        if (code && *code != 0) {
            tool.WaitOutputClosed(1s);
            std::string err;
            for (const std::string& line : tool.ErrLines()) err += line + "\n";
            ADD_FAILURE() << "exit code " << *code << "; the program's error output:\n" << err;
        }
        return code;
    }

    // Checks the error log of a run that got through: it opens with the start line of the
    // arguments, names no failure and ends with "Stop".
    void ExpectCleanLog() {
        const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
        ASSERT_GE(lines.size(), 2u) << LogText();
        std::string start = "Startv1.1.2 ";
        for (const std::string& arg : toolArgs) start += " " + arg;
        EXPECT_EQ(lines.front(), start);
        EXPECT_EQ(lines.back(), "Stop") << LogText();
        EXPECT_EQ(lines.size(), 2u) << "nothing failed in between:\n" << LogText();
    }

    // The unit answered the parameters and every one of the 32 words with its default.
    void ExpectAllWordsAnswered() {
        std::set<int> words;
        bool params = false;
        for (const std::string& line : sim.Lines()) {
            params = params || line.find("device parameters -> ") != std::string::npos;
            const std::size_t at = line.find("read word ");
            if (at == std::string::npos || line.find(" (default 0x") == std::string::npos) continue;
            words.insert(std::atoi(line.c_str() + at + 10));
        }
        EXPECT_TRUE(params);
        EXPECT_EQ(words.size(), 32u);
        if (!words.empty()) {
            EXPECT_EQ(*words.begin(), 0);
            EXPECT_EQ(*words.rbegin(), 31);
        }
    }

    // The type name the tool gives the simulators' unit (type 14, the V7 model) in English.
    static std::string UnitTypeStart() { return LoadStringFromResourceENU(41242).ToStr() + " "; }

    std::string LogText() const {
        std::string text;
        for (const std::string& line : ReadLogLines(home.BadLogDir())) text += line + "\n";
        return text;
    }

    XClient x;
    ScopedHome home;
    // The program before the simulator: at the end it goes first, so it is never left
    // waiting on a link whose other end has already been killed.
    SimProcess sim;
    SimProcess tool;
    std::vector<std::string> toolArgs;
    XClient::Shown window;
};

TEST_F(EndToEndTest, DirectModeFromStartToClosedWindow) {
    StartLuSim();
    const std::string port = std::to_string(sim.Port());
    const std::string titleStart = "Tolvane ID:" + std::to_string(kUnitNode) + " - ";
    ASSERT_TRUE(StartTool(
        {"-g" + std::to_string(kUnitNode), "-e::1", "-h" + port, std::string("-k") + kKeyDigits, "enu"},
        titleStart));
    EXPECT_EQ(window.title.rfind(titleStart + UnitTypeStart(), 0), 0u) << window.title;
    EXPECT_GT(window.title.size(), (titleStart + UnitTypeStart()).size()) << "the controller's name follows";
    ExpectAllWordsAnswered();
    EXPECT_EQ(x.WindowsOf(tool.Pid()).size(), 1u) << "the loading dialog is gone, and no box is open";

    ASSERT_TRUE(x.AskToClose(window.id));
    const std::optional<int> code = WaitForEnd();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    ExpectCleanLog();
    // The unit learns that the program went.
    EXPECT_TRUE(sim.WaitForLineContaining("link closed by", 2s)) << "lu-sim saw no close-link";
}

TEST_F(EndToEndTest, ConsoleModeByLiftCodeEndsWhenTheConsoleClosesTheLink) {
    StartConsoleSim({"--lift", "17"});
    const std::string port = std::to_string(sim.Port());
    const std::string titleStart = "Tolvane CodLift:17 - ";
    ASSERT_TRUE(StartTool({"-v" + port, "-I17", "enu"}, titleStart));
    EXPECT_EQ(window.title.rfind(titleStart + UnitTypeStart(), 0), 0u) << window.title;
    ExpectAllWordsAnswered();

    // The console closes the link: the program closes its window and ends on its own.
    ASSERT_TRUE(sim.Signal(SIGUSR1));
    EXPECT_TRUE(sim.WaitForLineContaining("CloseLink sent to", 2s));
    const std::optional<int> code = WaitForEnd();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    ExpectCleanLog();
}

TEST_F(EndToEndTest, ConsoleModeByAddressAnswersFromTheConsoleNumber) {
    StartConsoleSim({"--source", "console", "--console", "1"});
    const std::string port = std::to_string(sim.Port());
    const std::string titleStart = "Tolvane 1:0:3:5 - ";
    // With the console's address given, the console answers from the console number and the
    // packets it passes on carry that number; without it they would carry console 0 only.
    ASSERT_TRUE(StartTool({"-v" + port, "-q::1", "-n1", "-s3", "-a5", "enu"}, titleStart));
    EXPECT_EQ(window.title.rfind(titleStart + UnitTypeStart(), 0), 0u) << window.title;
    ExpectAllWordsAnswered();

    ASSERT_TRUE(x.AskToClose(window.id));
    const std::optional<int> code = WaitForEnd();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    ExpectCleanLog();
    // Leaving, the program closes its link with the console.
    EXPECT_TRUE(sim.WaitForLineContaining("CloseLink from the tool", 2s));
}

// Session scripts and the console program end the tool with SIGTERM when it does not go by
// itself; that must be the same orderly end as a closed window: "Stop" last and a close-link.
TEST_F(EndToEndTest, TerminationSignalEndsTheRunLikeAClosedWindow) {
    StartLuSim();
    const std::string port = std::to_string(sim.Port());
    ASSERT_TRUE(StartTool(
        {"-g" + std::to_string(kUnitNode), "-e::1", "-h" + port, std::string("-k") + kKeyDigits, "enu"},
        "Tolvane ID:" + std::to_string(kUnitNode) + " - "));
    ASSERT_TRUE(tool.Signal(SIGTERM));
    const std::optional<int> code = WaitForEnd();
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0) << "ended by the signal instead of by its own shutdown";
    ExpectCleanLog();
    EXPECT_TRUE(sim.WaitForLineContaining("link closed by", 2s)) << "lu-sim saw no close-link";
}

// A box waits for its user; a stop signal must not: the box goes and the run still ends in
// order, "Stop" the error log's last line.
TEST_F(EndToEndTest, AStopSignalWhileABoxIsOpenStillEndsTheRunInOrder) {
    StartLuSim({"--refuse"});
    const std::string port = std::to_string(sim.Port());
    ASSERT_TRUE(StartTool(
        {"-g" + std::to_string(kUnitNode), "-e::1", "-h" + port, std::string("-k") + kKeyDigits, "enu"},
        "Tolvane"));
    EXPECT_EQ(window.title, "Tolvane") << "the refusal's box";
    ASSERT_TRUE(tool.Signal(SIGTERM));
    const std::optional<int> code = tool.WaitExitCode(5s);
    ASSERT_TRUE(code.has_value()) << "the box held the program";
    EXPECT_NE(*code, 0) << "the start failed";
    const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Stop") << LogText();
}

// A display that goes away while the window is open ends the run; the error log says why, and
// "Stop" is still its last line.
TEST_F(EndToEndTest, ADisplayThatGoesAwayIsWrittenToTheErrorLog) {
    SimProcess display;
    std::string error;
    ASSERT_TRUE(display.Launch(
        "/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, &error))
        << error;
    // Xvfb names the display it took on its first line.
    std::string number;
    for (int i = 0; i < 200 && number.empty(); ++i) {
        if (!display.Lines().empty()) number = display.Lines().front();
        if (number.empty() && !display.FirstLine().empty()) number = display.FirstLine();
        if (number.empty()) std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(number.empty()) << "Xvfb named no display";
    StartLuSim();
    const std::string ours = std::getenv("DISPLAY");
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    const std::string port = std::to_string(sim.Port());
    const bool launched = tool.Launch(
        TOLVANE_APP_PATH,
        {"-g" + std::to_string(kUnitNode), "-e::1", "-h" + port, std::string("-k") + kKeyDigits}, &error);
    ::setenv("DISPLAY", ours.c_str(), 1);
    ASSERT_TRUE(launched) << error;
    ASSERT_TRUE(sim.WaitForLineContaining("read word 31", 10s)) << "the unit was never read";
    std::this_thread::sleep_for(300ms);  // the window opens once the last word is in
    display.Kill();
    const std::optional<int> code = tool.WaitExitCode(10s);
    ASSERT_TRUE(code.has_value()) << "the program outlived its display";
    EXPECT_NE(*code, 0);
    const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "TolvaneApp: the connection to the display is lost") << LogText();
    EXPECT_EQ(lines.back(), "Stop");
}

#endif

}  // namespace
