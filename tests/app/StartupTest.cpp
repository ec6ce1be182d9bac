// Start-up: the command line, the checks of each mode, the locale, the seam from the link threads
// to the windows, and the built program's answer to a command line it cannot work with.

#include <climits>
#include <clocale>
#include <locale>
#include <sstream>

#include "AppTestUtil.h"
#include "KeySys.h"
#include "SimProcessUtil.h"
#include "Xml.h"
#include "utilities.h"

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
static std::vector<std::string> Args(const std::string& text) {
    std::vector<std::string> args;
    std::istringstream in(text);
    for (std::string arg; std::getline(in, arg, '|');) args.push_back(arg);
    return args;
}

// Either case of an option's letter sets its field, read as strtol reads it and held within int;
// the last occurrence counts, anything else changes nothing.
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

// The dispatcher mode names the first setting missing, both refuse a number that cannot reach the
// unit; an accepted line gives the title.
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

    // A lift code stands for the unit's place; 32 upper-case hex digits are the key itself,
    // anything else a phrase to derive it from. (The end-to-end runs show the rest.)
    Check({"-v5001", "-I17"});
    EXPECT_EQ((std::vector<int>{app.pultNum, app.umNum, app.slotNum, app.devAddr}),
              (std::vector<int>{0, 0, 7, 1}));
    const std::string digits = "00112233445566778899AABBCCDDEEFF";
    for (const std::string& key :
         {digits, std::string("00112233445566778899aabbccddeeff"), digits + "0", std::string()}) {
        Check({"-g4711", "-h6000", "-k" + key});
        CKeySys derived;
        derived.Create(DBString(key).c_str());
        EXPECT_TRUE(key == digits ? app.receivV7.GetKey().GetString().ToStr() == digits
                                  : app.receivV7.GetKey() == derived)
            << key;
    }
    EXPECT_EQ(app.sendV7.GetRemoteIdent().GetNode(), 4711);
    EXPECT_TRUE(app.receivV7.GetIdent().IsProg()) << "the tool draws a program identity";
}

// Absent or unknown, LANG still leaves a UTF-8 locale; numbers are always written with a point.
TEST_F(StartupTest, NumbersAreWrittenWithAPointWhateverLangSays) {
    const std::optional<std::string> saved =
        std::getenv("LANG") ? std::getenv("LANG") : std::optional<std::string>();
    for (const char* lang : {"", "xx_NOWHERE.bogus", "C.UTF-8"}) {
        *lang != '\0' ? setenv("LANG", lang, 1) : unsetenv("LANG");
        app.SetLocale();
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", 1.5);
        EXPECT_EQ(std::string(std::setlocale(LC_NUMERIC, nullptr)) + " " + text, "C.UTF-8 1.5") << lang;
        EXPECT_EQ(std::locale().name(), "C.UTF-8") << lang;
    }
    saved ? setenv("LANG", saved->c_str(), 1) : unsetenv("LANG");
}

// A frame that counts the link events it gets by type, those with an id other than -1 under 0.
class CountingFrame : public wxFrame {
public:
    CountingFrame() : wxFrame(nullptr, wxID_ANY, "events") {
        for (const auto& type : {PACKV5_RECEIVED, PACKV7_RECEIVED, NO_LINK})
            Bind(type, [this, type](wxCommandEvent& e) { ++count[e.GetId() == wxID_ANY ? int(type) : 0]; });
    }
    std::map<int, int> count;
};

// Link threads only queue: the top window gets the events on the GUI thread, and without one they
// are dropped, not kept for the next. An error-log line for the user becomes a box there too.
TEST_F(StartupTest, LinkEventsReachTheTopWindowOnTheGuiThreadOnly) {
    ScopedHome home;
    app.badLog.Open("C", "log");
    auto* frame = new CountingFrame;
    app.SetTopWindowTracked(frame);
    std::thread link([this] {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(app.events.Post(typAppEvent::PackV5Received));
        app.events.Post(typAppEvent::PackV7Received);
        app.events.Post(typAppEvent::NoLink);
        app.badLog.Put(L"from a link thread", true);
        app.badLog.Put(L"only logged", false);
    });
    link.join();
    EXPECT_TRUE(frame->count.empty() && Seen().boxes.empty()) << "nothing ran on the link thread";
    EXPECT_TRUE(PumpUntil([&] { return frame->count[NO_LINK] == 1 && !Seen().boxes.empty(); }, 2s));
    app.badLog.Put(L"on the GUI thread", true);
    ASSERT_EQ(Seen().Texts(), (std::vector<wxString>{"from a link thread", "on the GUI thread"}));
    EXPECT_EQ(Seen().boxes[0].caption + wxString::Format(" %ld", Seen().boxes[0].style),
              wxString::Format("Tolvane %d", wxICON_ERROR));
    app.badLog.Close();
    EXPECT_EQ(ReadLogTexts(home.BadLogDir()),
              (std::vector<std::string>{"from a link thread", "only logged", "on the GUI thread"}));
    EXPECT_EQ(frame->count, (std::map<int, int>{{PACKV5_RECEIVED, 3}, {PACKV7_RECEIVED, 1}, {NO_LINK, 1}}));

    app.SetTopWindowTracked(nullptr);
    app.events.Post(typAppEvent::PackV7Received);
    PumpFor(50ms);
    app.SetTopWindowTracked(frame);
    PumpFor(20ms);
    EXPECT_EQ(frame->count[PACKV7_RECEIVED], 1);
    frame->Show();
    app.events.Post(typAppEvent::CloseTopWindow);
    EXPECT_TRUE(PumpUntil([&] { return app.topWindow == nullptr; }, 2s)) << "closing destroys the frame";
    app.events.Post(typAppEvent::PackV5Received);
    PumpFor(30ms);
}

#ifdef TOLVANE_APP_PATH

// Without a display the built program answers --help, and refuses a bad command line with the
// reason on the terminal and in the error log: the start line with the arguments, why, "Stop".
// Its language is the configuration file's, or English after an argument beginning with "enu".
TEST(ProgramStartTest, ABadCommandLineIsRefusedWithoutADisplay) {
    ScopedHome home;
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    const std::shared_ptr<void> back(nullptr, [&](void*) { ::setenv("DISPLAY", display.c_str(), 1); });
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
        {"--help|enu", "", true, ""},                         {"", "", false, "Missing -v<Dorvik port>"},
        {"-v5000", "", false, text(1100, false)},             {"-v5000|-n-1|-s3|-a5", "", false, text(1100, false)},
        {"-v5000|-n1|-u-2|-s3|-a5", "", false, text(1101, false)}, {"-V5000|-N1|-A5", "", false, text(1102, false)},
        {"-v5000|-n1|-s3", "", false, text(1103, false)},     {"-v5000", "enu", true, text(1100, true)},
        {"-v5000|-n2|enu", "rus", true, text(1102, true)},  {"-v5000|-n2|enuXYZ", " rus ", true, text(1102, true)},
        {"-v5000|ENU|-enu", "", false, text(1100, false)},  {"-v5000|rus", "enu", true, text(1100, true)},
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
