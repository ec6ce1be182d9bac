// Whole runs of the built program as the console program starts it: a real lu-sim or
// console-sim process at the other end, the loading dialog, the main window on the X
// server (found and closed through the X protocol, as a window manager would), and the end
// of the run with its traces: the exit status, the error log ending in "Stop" and the
// close of the link as the simulator saw it.

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "AppTestUtil.h"
#include "LoadRes.h"
#include "SimProcessUtil.h"

// Last: Xlib's macros (None, Status, True, ...) must not meet the other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

namespace {

#if defined(TOLVANE_APP_PATH) && defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

constexpr const char* kKeyDigits = "0123456789ABCDEF0011223344556677";
constexpr int kUnitNode = 4711;

// The program's windows as a window manager sees them: found by the process that owns them,
// and asked to close.
class XClient {
public:
    XClient() : m_Display(XOpenDisplay(nullptr)) {}
    ~XClient() {
        if (m_Display != nullptr) XCloseDisplay(m_Display);
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
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(m_Display, DefaultRootWindow(m_Display), &root, &parent, &children, &count) == 0)
            return shown;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            if (XGetWindowAttributes(m_Display, children[i], &attributes) == 0 ||
                attributes.map_state != IsViewable)
                continue;
            const std::string owner = Property(children[i], "_NET_WM_PID", XA_CARDINAL);
            // A 32-bit property comes as an array of C longs.
            if (owner.size() < sizeof(long) || *reinterpret_cast<const long*>(owner.data()) != pid) continue;
            shown.push_back(Shown{children[i], Property(children[i], "_NET_WM_NAME", Intern("UTF8_STRING"))});
        }
        if (children != nullptr) XFree(children);
        return shown;
    }

    // What a window manager's close button sends: the program closes the window itself.
    bool AskToClose(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = Intern("WM_PROTOCOLS");
        event.xclient.format = 32;
        event.xclient.data.l[0] = static_cast<long>(Intern("WM_DELETE_WINDOW"));
        event.xclient.data.l[1] = CurrentTime;
        const bool sent = XSendEvent(m_Display, window, False, NoEventMask, &event) != 0;
        XFlush(m_Display);
        return sent;
    }

private:
    Atom Intern(const char* name) { return XInternAtom(m_Display, name, False); }

    std::string Property(Window window, const char* name, Atom type) {
        Atom actualType = 0;
        int format = 0;
        unsigned long items = 0, after = 0;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(m_Display, window, Intern(name), 0, 1024, False, type, &actualType, &format,
                               &items, &after, &data) != Success ||
            data == nullptr)
            return std::string();
        const std::size_t unit = format == 32 ? sizeof(long) : format == 16 ? sizeof(short) : 1;
        std::string value(reinterpret_cast<const char*>(data), items * unit);
        XFree(data);
        return value;
    }

    Display* m_Display;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!x.Ready()) GTEST_SKIP() << "no X display to look at the program's windows";
    }

    // lu-sim, or console-sim, on a port of its own; the arguments that tell the program where
    // to find it.
    std::vector<std::string> StartSim(bool direct, std::vector<std::string> extra) {
        tool.reset();
        sim = std::make_unique<SimProcess>();
        std::vector<std::string> args = {"--bind", "::1", "--port", "0"};
        if (direct) args.insert(args.end(), {"--node", std::to_string(kUnitNode), "--key", kKeyDigits});
        args.insert(args.end(), extra.begin(), extra.end());
        std::string error;
        EXPECT_TRUE(sim->Start(direct ? TOLVANE_LU_SIM_PATH : TOLVANE_CONSOLE_SIM_PATH, args, 5s, &error))
            << error;
        const std::string port = std::to_string(sim->Port());
        if (!direct) return {"-v" + port};
        return {"-g" + std::to_string(kUnitNode), "-e::1", "-h" + port, std::string("-k") + kKeyDigits};
    }

    // Starts the program and waits for its window whose title begins with `titleStart`; false
    // when the program ends first or shows no such window in time.
    bool StartTool(const std::vector<std::string>& args, const std::string& titleStart) {
        toolArgs = args;
        tool = std::make_unique<SimProcess>();
        std::string error;
        if (!tool->Launch(TOLVANE_APP_PATH, args, &error)) {
            ADD_FAILURE() << "cannot start the program: " << error;
            return false;
        }
        const auto end = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < end) {
            for (const XClient::Shown& w : x.WindowsOf(tool->Pid())) {
                if (w.title.rfind(titleStart, 0) == 0) {
                    window = w;
                    return true;
                }
            }
            if (tool->Wait(0ms)) {
                ADD_FAILURE() << "the program ended before its window opened; error log:\n" << LogText();
                return false;
            }
            std::this_thread::sleep_for(20ms);
        }
        ADD_FAILURE() << "no window titled '" << titleStart << "...' within 10 s; error log:\n" << LogText();
        return false;
    }

    // The error log of a run that got through: the start line of the arguments, no failure,
    // "Stop" last.
    void ExpectCleanLog() {
        std::string start = "Startv1.1.2 ";
        for (const std::string& arg : toolArgs) start += " " + arg;
        EXPECT_EQ(ReadLogTexts(home.BadLogDir()), (std::vector<std::string>{start, "Stop"}));
    }

    // The unit answered the parameters and every one of the 32 words with its default.
    void ExpectAllWordsAnswered() {
        std::set<int> words;
        bool params = false;
        for (const std::string& line : sim->Lines()) {
            params = params || line.find("device parameters -> ") != std::string::npos;
            const std::size_t at = line.find("read word ");
            if (at != std::string::npos && line.find(" (default 0x") != std::string::npos)
                words.insert(std::atoi(line.c_str() + at + 10));
        }
        EXPECT_TRUE(params);
        EXPECT_EQ(words.size(), 32u);
        EXPECT_TRUE(words.count(0) == 1 && words.count(31) == 1);
    }

    std::string LogText() const {
        std::string text;
        for (const std::string& line : ReadLogTexts(home.BadLogDir())) text += line + "\n";
        return text;
    }

    XClient x;
    ScopedHome home;
    // The program goes before the simulator, so it is never left waiting on a link whose
    // other end has already been killed.
    std::unique_ptr<SimProcess> sim;
    std::unique_ptr<SimProcess> tool;
    std::vector<std::string> toolArgs;
    XClient::Shown window;
};

// Whole runs in both modes, each ended as in the field: the window closed, a stop signal from a
// session script, the console closing the link. Each shows the unit's type in the title, reads
// every word, ends with status 0 and "Stop" last, and the other end learns that the tool went.
// Four real runs of the program take about 2.5 s.
TEST_F(EndToEndTest, EachModeRunsFromStartToItsEnd) {
    enum typEnd { kCloseWindow, kStopSignal, kConsoleCloses };
    struct Case {
        const char* what;
        bool direct;
        std::vector<std::string> simArgs;
        std::vector<std::string> toolArgs;
        std::string title;
        typEnd end;
        const char* farEnd;  // the simulator's line when the link is closed
    } cases[] = {
        {"direct, window closed", true, {}, {"enu"}, "Tolvane ID:4711 - ", kCloseWindow, "link closed by"},
        {"direct, stop signal", true, {}, {"enu"}, "Tolvane ID:4711 - ", kStopSignal, "link closed by"},
        {"lift code, the console closes",
         false,
         {"--lift", "17"},
         {"-I17", "enu"},
         "Tolvane CodLift:17 - ",
         kConsoleCloses,
         "CloseLink sent to"},
        // With its address given, the console answers from the console number, and the packets
        // it passes on carry that number; without it they would carry console 0 only.
        {"console address, window closed",
         false,
         {"--source", "console", "--console", "1"},
         {"-q::1", "-n1", "-s3", "-a5", "enu"},
         "Tolvane 1:0:3:5 - ",
         kCloseWindow,
         "CloseLink from the tool"},
    };
    // The type name the tool gives the simulators' unit (type 14) in English.
    const std::string type = LoadStringFromResourceENU(41242).ToStr() + " ";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(home.BadLogDir());
        std::vector<std::string> args = StartSim(c.direct, c.simArgs);
        args.insert(args.end(), c.toolArgs.begin(), c.toolArgs.end());
        ASSERT_TRUE(StartTool(args, c.title));
        EXPECT_EQ(window.title.rfind(c.title + type, 0), 0u) << window.title;
        EXPECT_GT(window.title.size(), (c.title + type).size()) << "the controller's name follows";
        ExpectAllWordsAnswered();
        EXPECT_EQ(x.WindowsOf(tool->Pid()).size(), 1u) << "the loading dialog is gone, and no box is open";
        ASSERT_TRUE(c.end == kCloseWindow  ? x.AskToClose(window.id)
                    : c.end == kStopSignal ? tool->Signal(SIGTERM)
                                           : sim->Signal(SIGUSR1));
        const std::optional<int> code = tool->WaitExitCode(5s);
        ASSERT_TRUE(code.has_value()) << "the program still runs 5 s after its end was asked";
        EXPECT_EQ(*code, 0);
        ExpectCleanLog();
        EXPECT_TRUE(sim->WaitForLineContaining(c.farEnd, 2s));
    }
}

// A box waits for its user; a stop signal must not: the box goes and the run still ends in
// order, "Stop" the error log's last line.
TEST_F(EndToEndTest, AStopSignalWhileABoxIsOpenStillEndsTheRunInOrder) {
    std::vector<std::string> args = StartSim(true, {"--refuse"});
    args.push_back("enu");
    ASSERT_TRUE(StartTool(args, "Tolvane"));
    EXPECT_EQ(window.title, "Tolvane") << "the refusal's box";
    ASSERT_TRUE(tool->Signal(SIGTERM));
    const std::optional<int> code = tool->WaitExitCode(5s);
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
        number = display.FirstLine();
        if (number.empty()) std::this_thread::sleep_for(50ms);
    }
    ASSERT_FALSE(number.empty()) << "Xvfb named no display";
    const std::vector<std::string> args = StartSim(true, {});
    const std::string ours = std::getenv("DISPLAY");
    ::setenv("DISPLAY", (":" + number).c_str(), 1);
    tool = std::make_unique<SimProcess>();
    const bool launched = tool->Launch(TOLVANE_APP_PATH, args, &error);
    ::setenv("DISPLAY", ours.c_str(), 1);
    ASSERT_TRUE(launched) << error;
    ASSERT_TRUE(sim->WaitForLineContaining("read word 31", 10s)) << "the unit was never read";
    std::this_thread::sleep_for(300ms);  // the window opens once the last word is in
    display.Kill();
    const std::optional<int> code = tool->WaitExitCode(10s);
    ASSERT_TRUE(code.has_value()) << "the program outlived its display";
    EXPECT_NE(*code, 0);
    const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "TolvaneApp: the connection to the display is lost") << LogText();
    EXPECT_EQ(lines.back(), "Stop");
}

#endif

}  // namespace
