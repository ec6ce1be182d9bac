// Start-up of the application: the command line, the checks of each mode, the language, the
// locale, the seam between the link threads and the windows, and the built program's failed
// starts as the console program would see them (the error log, no window, "Stop" last).

#include <gtest/gtest.h>
#include <wx/frame.h>

#include <climits>
#include <clocale>
#include <cstdlib>
#include <filesystem>
#include <locale>
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

using namespace std::chrono_literals;

class StartupTest : public ::testing::Test {
protected:
    void SetUp() override { ResetApp(); }
    void TearDown() override { ResetApp(); }

    TolvaneApp& app = TestApp();
};

// The text of the ErrorXML that CheckSettings throws; empty when it accepts the settings.
std::string CheckFailure(TolvaneApp& app) {
    try {
        app.CheckSettings();
    } catch (const ErrorXML& e) {
        return e.Text().ToStr();
    }
    return std::string();
}

TEST_F(StartupTest, CommandLineTextAndDefaults) {
    EXPECT_EQ(app.ReadCommandLine({}), " ");
    EXPECT_EQ(app.pultNum, -1);
    EXPECT_EQ(app.umNum, 0);
    EXPECT_EQ(app.slotNum, -1);
    EXPECT_EQ(app.devAddr, 0);
    EXPECT_EQ(app.ReadCommandLine({"-n1", "-s3", "-a5"}), "  -n1 -s3 -a5");
    EXPECT_EQ(app.pultNum, 1);
    EXPECT_EQ(app.slotNum, 3);
    EXPECT_EQ(app.devAddr, 5);
    EXPECT_EQ(app.umNum, 0);
}

TEST_F(StartupTest, OptionValuesFollowStrtolAndTheLastOccurrence) {
    app.ReadCommandLine({"-V5000", "-N1", "-U2", "-S3", "-A5", "-i9", "-G0", "-H77", "-P-whatever"});
    EXPECT_EQ(app.utilPort, 5000);
    EXPECT_EQ(app.pultNum, 1);
    EXPECT_EQ(app.umNum, 2);
    EXPECT_EQ(app.slotNum, 3);
    EXPECT_EQ(app.devAddr, 5);
    EXPECT_EQ(app.codLift, 9);
    EXPECT_EQ(app.v7Id, 0);
    EXPECT_EQ(app.v7Port, 77);

    // "-n" "1": an empty value, and the lone 1 is no option.
    app.ReadCommandLine({"-n", "1"});
    EXPECT_EQ(app.pultNum, 0);
    app.ReadCommandLine({"-nx"});
    EXPECT_EQ(app.pultNum, 0);
    app.ReadCommandLine({"-n-1"});
    EXPECT_EQ(app.pultNum, -1);
    app.ReadCommandLine({"-s 12abc", "-a+7"});
    EXPECT_EQ(app.slotNum, 12);
    EXPECT_EQ(app.devAddr, 7);
    app.ReadCommandLine({"-n4", "-n6"});
    EXPECT_EQ(app.pultNum, 6);
    // Far beyond int: held at the limit instead of wrapping into a small number.
    app.ReadCommandLine({"-v99999999999999"});
    EXPECT_EQ(app.utilPort, INT_MAX);
}

TEST_F(StartupTest, AddressesKeyAndUnknownArguments) {
    app.ReadCommandLine({"-q10.1.2.3", "-e::1", "-kpass phrase", "-x5", "n5", "-"});
    EXPECT_EQ(IPv6ToStr(app.utilAddr), IPv6ToStr(IP6FromStr("10.1.2.3")));
    EXPECT_EQ(IPv6ToStr(app.v7Addr), "::1");
    EXPECT_EQ(app.keyText, DBString(L"pass phrase"));
    EXPECT_EQ(app.pultNum, -1);
    app.ReadCommandLine({"-qnonsense"});
    EXPECT_TRUE(isNulIPv6(app.utilAddr));
}

TEST_F(StartupTest, EnuArgumentSwitchesToEnglishOnly) {
    g_StringENU = false;
    app.ReadCommandLine({"-n1", "rus"});
    EXPECT_FALSE(g_StringENU);
    app.ReadCommandLine({"enu"});
    EXPECT_TRUE(g_StringENU);
    g_StringENU = false;
    app.ReadCommandLine({"enuXYZ"});
    EXPECT_TRUE(g_StringENU);
    g_StringENU = false;
    app.ReadCommandLine({"ENU", "-enu"});
    EXPECT_FALSE(g_StringENU);
}

TEST_F(StartupTest, ConfigurationFileChoosesTheLanguage) {
    ScopedHome home;
    g_StringENU = true;
    TolvaneApp::ChooseLanguage();
    EXPECT_FALSE(g_StringENU) << "no file: Russian";
    home.WriteClientLanguage("enu");
    TolvaneApp::ChooseLanguage();
    EXPECT_TRUE(g_StringENU);
    home.WriteClientLanguage(" rus ");
    TolvaneApp::ChooseLanguage();
    EXPECT_FALSE(g_StringENU);
    // The argument still wins over a Russian file.
    app.ReadCommandLine({"enu"});
    EXPECT_TRUE(g_StringENU);
}

TEST_F(StartupTest, DispatcherChecksInOrder) {
    g_StringENU = true;
    app.ReadCommandLine({});
    EXPECT_EQ(CheckFailure(app), "Missing -v<Dorvik port>");
    app.ReadCommandLine({"-v5000"});
    EXPECT_EQ(CheckFailure(app), _S_(1100).ToStr());
    app.ReadCommandLine({"-v5000", "-n1", "-u-1"});
    EXPECT_EQ(CheckFailure(app), _S_(1101).ToStr());
    app.ReadCommandLine({"-v5000", "-n1", "-u0"});
    EXPECT_EQ(CheckFailure(app), _S_(1102).ToStr());
    app.ReadCommandLine({"-v5000", "-n1", "-s3"});
    EXPECT_EQ(CheckFailure(app), _S_(1103).ToStr());
    EXPECT_EQ(_S_(1103).ToStr(), "Not defined parameter -a<number_LU_in_LB>");
}

TEST_F(StartupTest, NumbersThatCannotReachTheUnitAreRefusedInBothModes) {
    struct Case {
        std::vector<std::string> args;
        const char* refused;  // the option named in the text; nullptr: accepted
    } cases[] = {
        {{"-v5000", "-n1", "-s3", "-a128"}, "-a128"},
        {{"-v5000", "-n1", "-s3", "-a-3"}, "-a-3"},
        {{"-v5000", "-n1", "-s3", "-a127"}, nullptr},
        {{"-v5000", "-n1", "-u300", "-s3", "-a5"}, "-u300"},
        {{"-v5000", "-n1", "-u255", "-s15", "-a5"}, nullptr},
        {{"-v5000", "-n1", "-s16", "-a5"}, "-s16"},
        {{"-v70000", "-n1", "-s3", "-a5"}, "-v70000"},
        {{"-v65535", "-I17"}, nullptr},
        {{"-g5", "-h6000", "-a200"}, "-a200"},
        {{"-g5", "-h6000", "-s16"}, "-s16"},
        {{"-g5", "-h6000", "-u-1"}, "-u-1"},
        {{"-g5", "-h70000"}, "-h70000"},
        {{"-g5"}, "-h0"},
        {{"-g10000000", "-h6000"}, "-g10000000"},
        {{"-g5", "-h6000", "-u255", "-s15", "-a127"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.front() + " " + c.args.back());
        ResetApp();
        g_StringENU = true;
        app.ReadCommandLine(c.args);
        const std::string failure = CheckFailure(app);
        if (c.refused == nullptr) {
            EXPECT_EQ(failure, "");
            continue;
        }
        EXPECT_EQ(failure.rfind("Option " + std::string(c.refused) + " cannot reach the unit", 0), 0u)
            << failure;
    }
}

TEST_F(StartupTest, TitleSuffixesOfTheThreeAddressingForms) {
    app.ReadCommandLine({"-v5000", "-n1", "-s3", "-a5"});
    EXPECT_EQ(app.CheckSettings(), wxString(" 1:0:3:5"));
    EXPECT_EQ(app.sendDisp.GetPeerPort(), 5000);
    EXPECT_EQ(IPv6ToStr(app.sendDisp.GetPeerAddr()), IPv6ToStr(LocalHostIPv6()));

    ResetApp();
    app.ReadCommandLine({"-v5001", "-I17", "-q10.0.0.9"});
    EXPECT_EQ(app.CheckSettings(), wxString(" CodLift:17"));
    EXPECT_EQ(app.pultNum, 0);
    EXPECT_EQ(app.umNum, 0);
    EXPECT_EQ(app.slotNum, 7);
    EXPECT_EQ(app.devAddr, 1);
    EXPECT_EQ(app.sendDisp.GetPeerPort(), 5001);
    EXPECT_EQ(IPv6ToStr(app.sendDisp.GetPeerAddr()), IPv6ToStr(IP6FromStr("10.0.0.9")));

    // Direct mode validates no structure numbers and needs no console port.
    ResetApp();
    app.ReadCommandLine({"-g4711", "-n-5", "-e::1", "-h6000"});
    EXPECT_EQ(app.CheckSettings(), wxString(" ID:4711"));
    EXPECT_EQ(app.TitleSuffix(), wxString(" ID:4711"));
    EXPECT_EQ(app.sendV7.GetRemoteIdent().GetNode(), 4711);
    EXPECT_EQ(app.sendV7.GetRemoteIdent().GetDev(), 0);
    EXPECT_EQ(app.sendV7.GetPort(), 6000);
    EXPECT_TRUE(app.receivV7.GetIdent().IsProg()) << "the tool draws a program identity";
    // Negative structure numbers could not address a message; they become 0.
    EXPECT_EQ(app.pultNum, 0);
    EXPECT_EQ(app.slotNum, 0);
}

TEST_F(StartupTest, KeyDigitsOrPassPhrase) {
    const std::string digits = "00112233445566778899AABBCCDDEEFF";
    app.ReadCommandLine({"-g5", "-h6000", "-k" + digits});
    app.CheckSettings();
    EXPECT_EQ(app.receivV7.GetKey().GetString().ToStr(), digits);

    std::string lower = "00112233445566778899aabbccddeeff";
    for (const std::string& phrase : {lower, digits.substr(1), digits + "0", std::string()}) {
        app.ReadCommandLine({"-g5", "-h6000", "-k" + phrase});
        app.CheckSettings();
        CKeySys derived;
        derived.Create(DBString(phrase).c_str());
        EXPECT_TRUE(app.receivV7.GetKey() == derived) << "'" << phrase << "'";
    }
}

TEST_F(StartupTest, LocaleKeepsThePointForNumbers) {
    const char* saved = std::getenv("LANG");
    const std::string savedLang = saved != nullptr ? saved : "";
    for (const char* lang : {static_cast<const char*>(nullptr), "xx_NOWHERE.bogus", "C.UTF-8"}) {
        if (lang != nullptr)
            setenv("LANG", lang, 1);
        else
            unsetenv("LANG");
        app.SetLocale();
        EXPECT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C.UTF-8") << (lang ? lang : "(unset)");
        // Absent or unknown: the standard library still gets a UTF-8 locale.
        EXPECT_EQ(std::locale().name(), "C.UTF-8") << (lang ? lang : "(unset)");
        char text[32];
        std::snprintf(text, sizeof text, "%.1f", 1.5);
        EXPECT_STREQ(text, "1.5");
    }
    if (saved != nullptr) setenv("LANG", savedLang.c_str(), 1);
}

// A frame that counts the link events it gets.
class CountingFrame : public wxFrame {
public:
    CountingFrame() : wxFrame(nullptr, wxID_ANY, "events") {
        Bind(PACKV5_RECEIVED, [this](wxCommandEvent& e) { Count(e, v5); });
        Bind(PACKV7_RECEIVED, [this](wxCommandEvent& e) { Count(e, v7); });
        Bind(NO_LINK, [this](wxCommandEvent& e) { Count(e, noLink); });
    }
    int v5 = 0;
    int v7 = 0;
    int noLink = 0;
    int badId = 0;

private:
    void Count(wxCommandEvent& e, int& counter) {
        if (e.GetId() != wxID_ANY) ++badId;
        ++counter;
    }
};

TEST_F(StartupTest, LinkEventsReachTheTopWindowOnTheGuiThreadOnly) {
    auto* frame = new CountingFrame;
    app.SetTopWindowTracked(frame);
    std::thread link([this] {
        for (int i = 0; i < 3; ++i) EXPECT_TRUE(app.events.Post(typAppEvent::PackV5Received));
        app.events.Post(typAppEvent::PackV7Received);
        app.events.Post(typAppEvent::NoLink);
    });
    link.join();
    // Queued only: nothing ran on the link thread.
    EXPECT_EQ(frame->v5 + frame->v7 + frame->noLink, 0);
    EXPECT_TRUE(PumpUntil([&] { return frame->noLink == 1; }, 2s));
    EXPECT_EQ(frame->v5, 3);
    EXPECT_EQ(frame->v7, 1);
    EXPECT_EQ(frame->badId, 0);

    // Without a top window the events are dropped, not kept for a later one.
    app.SetTopWindowTracked(nullptr);
    app.events.Post(typAppEvent::PackV7Received);
    PumpFor(50ms);
    app.SetTopWindowTracked(frame);
    PumpFor(20ms);
    EXPECT_EQ(frame->v7, 1);
    frame->Destroy();
    PumpFor(20ms);
}

TEST_F(StartupTest, DestroyedTopWindowIsForgottenAndCloseEventClosesIt) {
    auto* frame = new CountingFrame;
    app.SetTopWindowTracked(frame);
    frame->Show();
    app.events.Post(typAppEvent::CloseTopWindow);
    EXPECT_TRUE(PumpUntil([&] { return app.topWindow == nullptr; }, 2s)) << "closing destroys the frame";

    auto* second = new CountingFrame;
    app.SetTopWindowTracked(second);
    delete second;
    EXPECT_EQ(app.topWindow, nullptr);
    // An event queued for it afterwards finds no window.
    app.events.Post(typAppEvent::PackV5Received);
    PumpFor(30ms);
}

TEST_F(StartupTest, ErrorLogLinesForTheUserBecomeBoxes) {
    ScopedHome home;
    app.badLog.Open("C", "log");
    std::thread link([this] { app.badLog.Put(L"from a link thread", true); });
    link.join();
    EXPECT_TRUE(ShownBoxes().empty()) << "the box waits for the GUI thread";
    ASSERT_TRUE(PumpUntil([] { return !ShownBoxes().empty(); }, 2s));
    EXPECT_EQ(ShownBoxes()[0].text, wxString("from a link thread"));
    EXPECT_EQ(ShownBoxes()[0].caption, wxString("Tolvane"));
    EXPECT_EQ(ShownBoxes()[0].style, 0x200);

    ClearShownBoxes();
    app.badLog.Put(L"on the GUI thread", true);
    ASSERT_EQ(ShownBoxes().size(), 1u) << "shown at once";
    app.badLog.Put(L"only logged", false);
    PumpFor(30ms);
    EXPECT_EQ(ShownBoxes().size(), 1u);
    app.badLog.Close();
    const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
    EXPECT_EQ(lines, (std::vector<std::string>{"from a link thread", "on the GUI thread", "only logged"}));
}

// ---- The built program ----------------------------------------------------------------

#ifdef TOLVANE_APP_PATH

class ProgramStartTest : public ::testing::Test {
protected:
    // Runs the program; it must end by itself (a window would keep it running).
    std::vector<std::string> Run(const std::vector<std::string>& args) {
        const int code = RunProgram(TOLVANE_APP_PATH, args, 20s);
        EXPECT_NE(code, -2) << "the program did not end: a window was left open";
        EXPECT_NE(code, 0) << "a failed start must not report success";
        return ReadLogTexts(home.BadLogDir());
    }

    ScopedHome home;
};

// --help and a command line the tool cannot work with are answered on the terminal, with no
// display needed: the usage, and for a bad line the reason, which the error log also holds.
TEST_F(ProgramStartTest, HelpAndABadCommandLineAnswerOnTheTerminalWithoutADisplay) {
    const std::string display = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    ::unsetenv("DISPLAY");
    struct Case {
        std::vector<std::string> args;
        int code;
        std::string reason;
    } cases[] = {
        {{"--help", "enu"}, 0, ""},
        {{"-v5000", "-n1", "-s3", "-a200", "enu"}, 1, "Reason: Option -a200 cannot reach the unit"},
    };
    for (const Case& c : cases) {
        SimProcess tool;
        std::string error;
        ASSERT_TRUE(tool.Launch(TOLVANE_APP_PATH, c.args, &error)) << error;
        EXPECT_EQ(tool.WaitExitCode(10s), c.code);
        tool.WaitOutputClosed(1s);
        const std::vector<std::string> err = tool.ErrLines();
        ASSERT_FALSE(err.empty());
        EXPECT_EQ(err.front(), "Usage: tolvane [options] [enu]");
        EXPECT_EQ(err.back().rfind(c.reason, 0), 0u) << err.back();
    }
    const std::vector<std::string> lines = ReadLogTexts(home.BadLogDir());
    ASSERT_EQ(lines.size(), 3u) << "help leaves no trace in the error log, a refused start does";
    EXPECT_EQ(lines[1].rfind("Option -a200", 0), 0u);
    if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
}

TEST_F(ProgramStartTest, NoArgumentsMissingConsolePort) {
    const std::vector<std::string> lines = Run({});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Startv1.1.2 ");
    EXPECT_EQ(lines[1], "Missing -v<Dorvik port>");
    EXPECT_EQ(lines[2], "Stop");
}

TEST_F(ProgramStartTest, EachCheckFailureIsLoggedAndStopComesLast) {
    struct Case {
        std::vector<std::string> args;
        int message;
    };
    const std::vector<Case> cases = {
        {{"-v5000"}, 1100},
        {{"-v5000", "-n-1", "-s3", "-a5"}, 1100},
        {{"-v5000", "-n1", "-u-2", "-s3", "-a5"}, 1101},
        {{"-V5000", "-N1", "-A5"}, 1102},
        {{"-v5000", "-n1", "-s3"}, 1103},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(home.BadLogDir());
        const std::vector<std::string> lines = Run(c.args);
        std::string start = "Startv1.1.2 ";
        for (const std::string& arg : c.args) start += " " + arg;
        ASSERT_EQ(lines.size(), 3u) << start;
        EXPECT_EQ(lines[0], start);
        EXPECT_EQ(lines[1], LoadStringFromResource(c.message).ToStr()) << "Russian without a configuration";
        EXPECT_EQ(lines[2], "Stop");
    }
}

TEST_F(ProgramStartTest, LanguageFromConfigurationOrArgument) {
    home.WriteClientLanguage("enu");
    std::vector<std::string> lines = Run({"-v5000"});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Not defined parameter -n<number_subnet>");

    std::filesystem::remove_all(home.BadLogDir());
    home.WriteClientLanguage("rus");
    lines = Run({"-v5000", "-n2", "enu"});
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], "Not defined parameter -s<number_slot_NM>");
}

#endif

}  // namespace
