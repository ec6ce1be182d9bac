// Start-up: the command line into the settings, the checks of each mode, the language, the
// locale, the seam between the link threads and the windows, and the built program refusing a
// command line as the console program sees it (the terminal, the error log, "Stop" last).

#include <wx/frame.h>

#include <algorithm>
#include <climits>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <locale>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "AppTestUtil.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "SimProcessUtil.h"
#include "Xml.h"
#include "utilities.h"

namespace {

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { ResetApp(); }
    void TearDown() override { ResetApp(); }

    // The title suffix CheckSettings gives, or the text of the ErrorXML it throws.
    std::string Check(const std::vector<std::string>& args) {
        app.ResetSettings();
        app.ReadCommandLine(args);
        try {
            return app.CheckSettings().utf8_string();
        } catch (const ErrorXML& e) {
            return e.Text().ToStr();
        }
    }

    TolvaneApp& app = TestApp();
};

// Arguments written as one text, '|' between them.
std::vector<std::string> Args(const std::string& text) {
    std::vector<std::string> args;
    for (size_t at = 0; !text.empty() && at <= text.size();) {
        const size_t bar = std::min(text.find('|', at), text.size());
        args.push_back(text.substr(at, bar - at));
        at = bar + 1;
    }
    return args;
}

// Either case of an option's letter sets its field; values are read as strtol reads them, held
// at the limits of int, and the last occurrence counts. Anything else changes nothing.
TEST_F(StartupTest, EachOptionSetsItsField) {
    using F = int ToolContext::*;
    const F pult = &ToolContext::pultNum, um = &ToolContext::umNum, slot = &ToolContext::slotNum,
            dev = &ToolContext::devAddr, lift = &ToolContext::codLift, port = &ToolContext::utilPort,
            id = &ToolContext::v7Id, v7Port = &ToolContext::v7Port;
    const struct {
        const char* args;
        F field;
        int value;
    } cases[] = {
        // clang-format off
        {"", pult, -1},    {"", um, 0},       {"", slot, -1},      {"", dev, 0},
        {"-u7", um, 7},    {"-U7", um, 7},    {"-s3", slot, 3},    {"-S3", slot, 3},
        {"-a5", dev, 5},   {"-A5", dev, 5},   {"-n1", pult, 1},    {"-N1", pult, 1},
        {"-I9", lift, 9},  {"-i9", lift, 9},  {"-v50", port, 50},  {"-V50", port, 50},
        {"-g4", id, 4},    {"-G4", id, 4},    {"-h7", v7Port, 7},  {"-H7", v7Port, 7},
        {"-n|1", pult, 0}, {"-nx", pult, 0},  {"-n-1", pult, -1},  {"-s 12abc", slot, 12},
        {"-a+7", dev, 7},  {"-n4|-n6", pult, 6},  {"-x5|n5|-|-P-7|-p3", pult, -1},
        {"-v99999999999999", port, INT_MAX},
        // clang-format on
    };
    for (const auto& c : cases) {
        app.ResetSettings();
        app.ReadCommandLine(Args(c.args));
        EXPECT_EQ(app.*c.field, c.value) << c.args;
    }
    EXPECT_EQ(app.ReadCommandLine({}), " ");
    EXPECT_EQ(app.ReadCommandLine({"-n1", "-s3", "-a5"}), "  -n1 -s3 -a5");
    app.ReadCommandLine({"-q10.1.2.3", "-E::1", "-Kpass phrase"});
    EXPECT_EQ(IPv6ToStr(app.utilAddr), IPv6ToStr(IP6FromStr("10.1.2.3")));
    EXPECT_EQ(IPv6ToStr(app.v7Addr), "::1");
    EXPECT_EQ(app.keyText, DBString(L"pass phrase"));
    app.ReadCommandLine({"-Qnonsense"});
    EXPECT_TRUE(isNulIPv6(app.utilAddr));
}

// The configuration file chooses the language; an argument beginning with "enu" switches to
// English, and nothing switches back.
TEST_F(StartupTest, LanguageFromTheConfigurationOrAnEnuArgument) {
    ScopedHome home;
    const struct {
        const char* file;
        const char* args;
        bool english;
    } cases[] = {
        // clang-format off
        {"", "", false},    {"enu", "", true},            {" rus ", "", false},  {" rus ", "enu", true},
        {"enu", "rus", true}, {"", "-n1|enuXYZ", true},   {"", "ENU|-enu", false},
        // clang-format on
    };
    for (const auto& c : cases) {
        home.WriteClientLanguage(c.file);
        TolvaneApp::ChooseLanguage();
        app.ReadCommandLine(Args(c.args));
        EXPECT_EQ(g_StringENU, c.english) << "'" << c.file << "' " << c.args;
    }
}

// The dispatcher mode names the first setting missing; both modes refuse a number no request
// could carry to the unit. An accepted line gives the window's title.
TEST_F(StartupTest, EachModeChecksItsSettings) {
    g_StringENU = true;
    const std::string reach = " cannot reach the unit";
    const std::pair<const char*, std::string> cases[] = {
        // clang-format off
        {"", "Missing -v<Dorvik port>"},             {"-v5000", _S_(1100).ToStr()},
        {"-v5000|-n1|-u-1", _S_(1101).ToStr()},      {"-v5000|-n1|-u0", _S_(1102).ToStr()},
        {"-v5000|-n1|-s3", _S_(1103).ToStr()},       {"-v5000|-n1|-s3|-a5", " 1:0:3:5"},
        {"-v65535|-I17|-n-4", " CodLift:17"},        {"-g4711|-n-5|-h6000", " ID:4711"},
        {"-g5|-h6000|-u255|-s15|-a127", " ID:5"},    {"-v5000|-n1|-u255|-s15|-a127", " 1:255:15:127"},
        {"-v5000|-n1|-s3|-a128", "Option -a128" + reach},      {"-v5000|-n1|-s3|-a-3", "Option -a-3" + reach},
        {"-v5000|-n1|-u300|-s3|-a5", "Option -u300" + reach},  {"-v5000|-n1|-s16|-a5", "Option -s16" + reach},
        {"-v70000|-n1|-s3|-a5", "Option -v70000" + reach},     {"-g5|-h6000|-a200", "Option -a200" + reach},
        {"-g5|-h6000|-U-1", "Option -u-1" + reach},            {"-g5|-h70000", "Option -h70000" + reach},
        {"-g5", "Option -h0" + reach},                         {"-g10000000|-h6000", "Option -g10000000" + reach},
        // clang-format on
    };
    for (const auto& [args, result] : cases)
        EXPECT_EQ(Check(Args(args)).substr(0, result.size()), result) << args;

    // What an accepted line prepares: the console's address, the lift code's place in the
    // structure, the unit's identity and the key.
    Check({"-v5001", "-I17", "-q10.0.0.9"});
    EXPECT_EQ(app.sendDisp.GetPeerPort(), 5001);
    EXPECT_EQ(IPv6ToStr(app.sendDisp.GetPeerAddr()), IPv6ToStr(IP6FromStr("10.0.0.9")));
    EXPECT_EQ((std::vector<int>{app.pultNum, app.umNum, app.slotNum, app.devAddr}),
              (std::vector<int>{0, 0, 7, 1}));
    Check({"-v5000", "-n1", "-s3", "-a5"});
    EXPECT_EQ(IPv6ToStr(app.sendDisp.GetPeerAddr()), IPv6ToStr(LocalHostIPv6()));
    const std::string digits = "00112233445566778899AABBCCDDEEFF";
    Check({"-g4711", "-e::1", "-h6000", "-k" + digits});
    EXPECT_EQ(app.sendV7.GetRemoteIdent().GetNode(), 4711);
    EXPECT_EQ(app.sendV7.GetRemoteIdent().GetDev(), 0);
    EXPECT_EQ(app.sendV7.GetPort(), 6000);
    EXPECT_TRUE(app.receivV7.GetIdent().IsProg()) << "the tool draws a program identity";
    EXPECT_EQ(app.receivV7.GetKey().GetString().ToStr(), digits);
    // Anything but 32 upper-case hexadecimal digits is a phrase the key is derived from.
    for (const std::string& phrase :
         {std::string("00112233445566778899aabbccddeeff"), digits.substr(1), digits + "0", std::string()}) {
        Check({"-g5", "-h6000", "-k" + phrase});
        CKeySys derived;
        derived.Create(DBString(phrase).c_str());
        EXPECT_TRUE(app.receivV7.GetKey() == derived) << "'" << phrase << "'";
    }
}

TEST_F(StartupTest, NumbersAreWrittenWithAPointWhateverLangSays) {
    const char* saved = std::getenv("LANG");
    const std::string savedLang = saved != nullptr ? saved : "";
    for (const char* lang : {static_cast<const char*>(nullptr), "xx_NOWHERE.bogus", "C.UTF-8"}) {
        SCOPED_TRACE(lang ? lang : "(unset)");
        if (lang != nullptr)
            setenv("LANG", lang, 1);
        else
            unsetenv("LANG");
        app.SetLocale();
        EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C.UTF-8");
        // Absent or unknown: the standard library still gets a UTF-8 locale.
        EXPECT_EQ(std::locale().name(), "C.UTF-8");
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", 1.5);
        EXPECT_STREQ(text, "1.5");
    }
    if (saved != nullptr) setenv("LANG", savedLang.c_str(), 1);
}

// A frame that counts the link events it gets, and those that came with another id.
class CountingFrame : public wxFrame {
public:
    CountingFrame() : wxFrame(nullptr, wxID_ANY, "events") {
        for (const auto& type : {PACKV5_RECEIVED, PACKV7_RECEIVED, NO_LINK})
            Bind(type, [this, type](wxCommandEvent& e) {
                ++count[type];
                if (e.GetId() != wxID_ANY) ++badId;
            });
    }
    std::map<wxEventType, int> count;
    int badId = 0;
};

// Link threads only queue; the top window gets the events on the GUI thread, and without a
// top window (none yet, or one destroyed) they are dropped rather than kept for a later one.
TEST_F(StartupTest, LinkEventsReachTheTopWindowOnTheGuiThreadOnly) {
    auto* frame = new CountingFrame;
    app.SetTopWindowTracked(frame);
    std::thread link([this] {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(app.events.Post(typAppEvent::PackV5Received));
        app.events.Post(typAppEvent::PackV7Received);
        app.events.Post(typAppEvent::NoLink);
    });
    link.join();
    EXPECT_TRUE(frame->count.empty()) << "nothing ran on the link thread";
    EXPECT_TRUE(PumpUntil([&] { return frame->count[NO_LINK] == 1; }, 2s));
    EXPECT_EQ(frame->count[PACKV5_RECEIVED], 3);
    EXPECT_EQ(frame->count[PACKV7_RECEIVED], 1);
    EXPECT_EQ(frame->badId, 0);

    app.SetTopWindowTracked(nullptr);
    app.events.Post(typAppEvent::PackV7Received);
    PumpFor(50ms);
    app.SetTopWindowTracked(frame);
    PumpFor(20ms);
    EXPECT_EQ(frame->count[PACKV7_RECEIVED], 1);

    frame->Show();
    app.events.Post(typAppEvent::CloseTopWindow);
    EXPECT_TRUE(PumpUntil([&] { return app.topWindow == nullptr; }, 2s)) << "closing destroys the frame";
    auto* second = new CountingFrame;
    app.SetTopWindowTracked(second);
    delete second;
    EXPECT_EQ(app.topWindow, nullptr);
    app.events.Post(typAppEvent::PackV5Received);
    PumpFor(30ms);
}

// An error-log line meant for the user becomes a box on the GUI thread, whichever thread wrote it.
TEST_F(StartupTest, ErrorLogLinesForTheUserBecomeBoxes) {
    ScopedHome home;
    app.badLog.Open("C", "log");
    std::thread link([this] { app.badLog.Put(L"from a link thread", true); });
    link.join();
    EXPECT_TRUE(Seen().boxes.empty()) << "the box waits for the GUI thread";
    ASSERT_TRUE(PumpUntil([] { return !Seen().boxes.empty(); }, 2s));
    app.badLog.Put(L"on the GUI thread", true);
    ASSERT_EQ(Seen().boxes.size(), 2u) << "shown at once";
    app.badLog.Put(L"only logged", false);
    PumpFor(30ms);
    ASSERT_EQ(Seen().boxes.size(), 2u);
    EXPECT_EQ(Seen().boxes[0].text, "from a link thread");
    EXPECT_EQ(Seen().boxes[0].caption, "Tolvane");
    EXPECT_EQ(Seen().boxes[0].style, wxICON_ERROR);
    app.badLog.Close();
    EXPECT_EQ(ReadLogTexts(home.BadLogDir()),
              (std::vector<std::string>{"from a link thread", "on the GUI thread", "only logged"}));
}

#ifdef TOLVANE_APP_PATH

// The built program refuses a command line it cannot work with before it needs a display: the
// usage and the reason on the terminal, and in the error log the start line with the whole
// command line, the reason and "Stop". --help answers on the terminal alone.
TEST(ProgramStartTest, ABadCommandLineIsRefusedWithoutADisplay) {
    ScopedHome home;
    const struct DisplayBack {
        std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
        ~DisplayBack() {
            if (!saved.empty()) ::setenv("DISPLAY", saved.c_str(), 1);
        }
    } display;
    ::unsetenv("DISPLAY");
    auto text = [](int n, bool english) {
        return (english ? LoadStringFromResourceENU(n) : LoadStringFromResource(n)).ToStr();
    };
    const struct {
        const char* args;
        const char* language;  // of the configuration file
        bool english;
        std::string reason;  // empty: help
    } cases[] = {
        // clang-format off
        {"--help|enu", "", true, ""},
        {"", "", false, "Missing -v<Dorvik port>"},
        {"-v5000", "", false, text(1100, false)},
        {"-v5000|-n-1|-s3|-a5", "", false, text(1100, false)},
        {"-v5000|-n1|-u-2|-s3|-a5", "", false, text(1101, false)},
        {"-V5000|-N1|-A5", "", false, text(1102, false)},
        {"-v5000|-n1|-s3", "", false, text(1103, false)},
        {"-v5000", "enu", true, text(1100, true)},
        {"-v5000|-n2|enu", "rus", true, text(1102, true)},
        {"-v5000|-n1|-s3|-a200|enu", "", true, "Option -a200 cannot reach the unit"},
        // clang-format on
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        std::filesystem::remove_all(home.BadLogDir());
        home.WriteClientLanguage(c.language);
        SimProcess tool;
        std::string error;
        ASSERT_TRUE(tool.Launch(TOLVANE_APP_PATH, Args(c.args), &error)) << error;
        EXPECT_EQ(tool.WaitExitCode(10s), c.reason.empty() ? 0 : 1);
        tool.WaitOutputClosed(1s);
        const std::vector<std::string> err = tool.ErrLines();
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.front(), text(1186, c.english));
        EXPECT_NE(err.back().find(c.reason), std::string::npos) << err.back();
        const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
        if (c.reason.empty()) {
            EXPECT_TRUE(lines.empty()) << "help leaves no trace in the error log";
            continue;
        }
        std::string start = "Startv1.1.2 ";
        for (const std::string& arg : Args(c.args)) start += " " + arg;
        ASSERT_EQ(lines.size(), 3u);
        EXPECT_EQ(lines[0], start);
        EXPECT_EQ(lines[1].substr(0, c.reason.size()), c.reason);
        EXPECT_EQ(lines[2], "Stop");
    }
}

#endif

}  // namespace
