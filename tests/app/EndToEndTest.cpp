// Whole runs of the built program against lu-sim or console-sim, its windows found and closed
// as a window manager would, and the traces each end leaves.

#include <signal.h>

#include "AppTestUtil.h"
#include "SimProcessUtil.h"

// Last: Xlib's macros (None, Status, True, ...) must not meet the other headers.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#if defined(TOLVANE_APP_PATH) && defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

constexpr const char* kKeyDigits = "0123456789ABCDEF0011223344556677";
constexpr int kUnitNode = 4711;

// The viewable top-level windows of a process, with their titles, and the request to close one.
class XClient {
public:
    XClient() : m_Display(XOpenDisplay(nullptr)) {}
    ~XClient() {
        if (m_Display != nullptr) XCloseDisplay(m_Display);
    }
    bool Ready() const { return m_Display != nullptr; }

    std::vector<std::pair<Window, std::string>> WindowsOf(pid_t pid) {
        std::vector<std::pair<Window, std::string>> shown;
        Window root = 0, parent = 0, *children = nullptr;
        unsigned count = 0;
        if (XQueryTree(m_Display, DefaultRootWindow(m_Display), &root, &parent, &children, &count) == 0)
            return shown;
        for (unsigned i = 0; i < count; ++i) {
            XWindowAttributes attributes{};
            const std::string owner = Property(children[i], "_NET_WM_PID", XA_CARDINAL);
            // A 32-bit property comes as an array of C longs.
            if (XGetWindowAttributes(m_Display, children[i], &attributes) != 0 &&
                attributes.map_state == IsViewable && owner.size() >= sizeof(long) &&
                *reinterpret_cast<const long*>(owner.data()) == pid)
                shown.emplace_back(children[i], Property(children[i], "_NET_WM_NAME", Intern("UTF8_STRING")));
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
        std::string value(reinterpret_cast<const char*>(data), items * (format == 32 ? sizeof(long) : 1));
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

    // lu-sim (direct) or console-sim; the arguments that lead the program to it.
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

    // Starts the program and waits up to 10 s for its window whose title begins with `titleStart`.
    bool StartTool(const std::vector<std::string>& args, const std::string& titleStart) {
        toolArgs = args;
        tool = std::make_unique<SimProcess>();
        window = {};
        std::string error;
        EXPECT_TRUE(tool->Launch(TOLVANE_APP_PATH, args, &error)) << error;
        PumpUntil(
            [&] {
                for (const auto& w : x.WindowsOf(tool->Pid()))
                    if (w.second.rfind(titleStart, 0) == 0) window = w;
                return window.first != 0 || tool->Wait(0ms).has_value();
            },
            10s);
        EXPECT_NE(window.first, 0u) << "no window '" << titleStart << "...'; error log:\n" << LogText();
        return window.first != 0;
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
    std::pair<Window, std::string> window;
};

// Both modes, ended as in the field: the window closed, a stop signal, the console closing the
// link. Each titles the window with the unit's type, reads every word, ends with status 0 and
// "Stop", and the other end learns the tool went. Four real runs take about 2.5 s.
TEST_F(EndToEndTest, EachModeRunsFromStartToItsEnd) {
    enum typEnd { kCloseWindow, kStopSignal, kConsoleCloses };
    const struct {
        bool direct;
        std::vector<std::string> simArgs, toolArgs;
        std::string title;
        typEnd end;
        const char* farEnd;  // the simulator's line when the link is closed
    } cases[] = {
        // clang-format off
        {true, {}, {"enu"}, "Tolvane ID:4711 - ", kCloseWindow, "link closed by"},
        {true, {}, {"enu"}, "Tolvane ID:4711 - ", kStopSignal, "link closed by"},
        {false, {"--lift", "17"}, {"-I17", "enu"}, "Tolvane CodLift:17 - ", kConsoleCloses, "CloseLink sent to"},
        // With its address given, the console's packets carry its number (else 0).
        {false, {"--source", "console", "--console", "1"}, {"-q::1", "-n1", "-s3", "-a5", "enu"},
         "Tolvane 1:0:3:5 - ", kCloseWindow, "CloseLink from the tool"},
        // clang-format on
    };
    // The type name the tool gives the simulators' unit (type 14) in English.
    const std::string type = LoadStringFromResourceENU(41242).ToStr() + " ";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title + std::to_string(c.end));
        std::filesystem::remove_all(home.BadLogDir());
        std::vector<std::string> args = StartSim(c.direct, c.simArgs);
        args.insert(args.end(), c.toolArgs.begin(), c.toolArgs.end());
        ASSERT_TRUE(StartTool(args, c.title));
        EXPECT_EQ(window.second.rfind(c.title + type, 0), 0u) << window.second;
        EXPECT_GT(window.second.size(), (c.title + type).size()) << "the controller's name follows";
        EXPECT_EQ(x.WindowsOf(tool->Pid()).size(), 1u) << "the loading dialog is gone, and no box is open";
        // The unit answered the parameters and each of the 32 words.
        EXPECT_TRUE(sim->WaitForLineContaining("device parameters -> ", 0ms));
        for (int w = 0; w < kLuWords; ++w)
            EXPECT_TRUE(sim->WaitForLineContaining("read word " + std::to_string(w) + " ", 0ms)) << w;
        ASSERT_TRUE(c.end == kCloseWindow  ? x.AskToClose(window.first)
                    : c.end == kStopSignal ? tool->Signal(SIGTERM)
                                           : sim->Signal(SIGUSR1));
        EXPECT_EQ(tool->WaitExitCode(5s), 0);
        std::string start = "Startv1.1.2 ";
        for (const std::string& arg : toolArgs) start += " " + arg;
        EXPECT_EQ(ReadLogTexts(home.BadLogDir()), (std::vector<std::string>{start, "Stop"}));
        EXPECT_TRUE(sim->WaitForLineContaining(c.farEnd, 2s));
    }
}

// A stop signal does not wait for a box's user: the run still ends in order, "Stop" last.
TEST_F(EndToEndTest, AStopSignalWhileABoxIsOpenStillEndsTheRunInOrder) {
    std::vector<std::string> args = StartSim(true, {"--refuse"});
    args.push_back("enu");
    ASSERT_TRUE(StartTool(args, "Tolvane"));
    EXPECT_EQ(window.second, "Tolvane") << "the refusal's box";
    ASSERT_TRUE(tool->Signal(SIGTERM));
    const std::optional<int> code = tool->WaitExitCode(5s);
    EXPECT_TRUE(code && *code != 0) << "a failed start ends, and says so";
    const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
    EXPECT_TRUE(!lines.empty() && lines.back() == "Stop") << LogText();
}

// A display that goes away ends the run; the error log says why, "Stop" last.
TEST_F(EndToEndTest, ADisplayThatGoesAwayIsWrittenToTheErrorLog) {
    SimProcess display;
    std::string error;
    ASSERT_TRUE(display.Launch(
        "/usr/bin/Xvfb", {"-displayfd", "1", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, &error))
        << error;
    // Xvfb names the display it took on its first line.
    PumpUntil([&] { return !display.FirstLine().empty(); }, 10s);
    ASSERT_FALSE(display.FirstLine().empty()) << "Xvfb named no display";
    const std::vector<std::string> args = StartSim(true, {});
    const std::string ours = std::getenv("DISPLAY");
    ::setenv("DISPLAY", (":" + display.FirstLine()).c_str(), 1);
    tool = std::make_unique<SimProcess>();
    const bool launched = tool->Launch(TOLVANE_APP_PATH, args, &error);
    ::setenv("DISPLAY", ours.c_str(), 1);
    ASSERT_TRUE(launched) << error;
    ASSERT_TRUE(sim->WaitForLineContaining("read word 31", 10s)) << "the unit was never read";
    std::this_thread::sleep_for(300ms);  // the window opens once the last word is in
    display.Kill();
    const std::optional<int> code = tool->WaitExitCode(10s);
    EXPECT_TRUE(code && *code != 0) << "the program outlived its display, or ended as if all went well";
    EXPECT_EQ(LogText().substr(LogText().find('\n') + 1),
              "TolvaneApp: the connection to the display is lost\nStop\n");
}

#endif
