#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "DBTime.h"
#include "Logger.h"

namespace fs = std::filesystem;

namespace {

// Every test gets a HOME of its own and leaves the process's HOME as it was.
class LoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("HOME")) savedHome = old;
        char pattern[] = "/tmp/tolvane-logger-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home = pattern;
        ASSERT_EQ(::setenv("HOME", home.c_str(), 1), 0);
    }
    void TearDown() override {
        BadLog::SetShowHandler(nullptr);
        if (savedHome)
            ::setenv("HOME", savedHome->c_str(), 1);
        else
            ::unsetenv("HOME");
        fs::remove_all(home);
    }

    std::string LogFile(const char* log, int number = 1) const {
        char name[32];
        std::snprintf(name, sizeof name, "/C%07d.log", number);
        return home + "/ZARN/logs/Tolvane/" + log + name;
    }

    std::string home;
    std::optional<std::string> savedHome;
};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Whether text has the form "dd.mm.yyyy hh:mm:ss " (digits where the letters are).
bool IsStamp(const std::string& text) {
    const std::string shape = "00.00.0000 00:00:00 ";
    if (text.size() != shape.size()) return false;
    for (std::size_t i = 0; i < shape.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (shape[i] == '0' ? !digit : text[i] != shape[i]) return false;
    }
    return true;
}

// The texts of time-stamped lines, after checking that each has a stamp.
std::vector<std::string> Texts(const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (const auto& line : lines) {
        EXPECT_TRUE(IsStamp(line.substr(0, 20))) << line;
        texts.push_back(line.size() >= 20 ? line.substr(20) : line);
    }
    return texts;
}

in6_addr Address(const char* text) {
    in6_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET6, text, &address), 1) << text;
    return address;
}

// Whether text is DBTime's log form of some second from first to last.
bool LogStampWithin(const std::string& text, std::time_t first, std::time_t last) {
    for (std::time_t t = first; t <= last; ++t)
        if (DBTime(static_cast<int64_t>(t)).DatTimForLog() == text) return true;
    return false;
}

std::string PasswdHome() {
    const passwd* entry = ::getpwuid(::getuid());
    return entry != nullptr && entry->pw_dir != nullptr ? entry->pw_dir : "";
}

}  // namespace

TEST_F(LoggerTest, DirectoriesUnderHome) {
    EXPECT_EQ(BadLog().Dir().ToStr(), home + "/ZARN/logs/Tolvane/bad");
    EXPECT_EQ(ProLog().Dir().ToStr(), home + "/ZARN/logs/Tolvane/pro");
    EXPECT_EQ(DispLog().Dir().ToStr(), home + "/ZARN/logs/Tolvane/disp");

    {
        BadLog log;
        ASSERT_TRUE(log.Open("C", "log"));
        EXPECT_TRUE(fs::is_regular_file(LogFile("bad")));
        log.Put(L"Start", false);
        // Destroyed open: the destructor finishes the log.
    }
    EXPECT_EQ(Texts(ReadLines(LogFile("bad"))), std::vector<std::string>{"Start"});
}

TEST_F(LoggerTest, UnusableHomeFallsBackToAnAbsoluteDirectory) {
    // The password database's home where that is usable, else /tmp; never a path
    // relative to the current directory.
    std::string expected = PasswdHome();
    if (expected.empty() || expected[0] != '/') expected = "/tmp";

    ::unsetenv("HOME");
    EXPECT_EQ(LogHome(), expected);
    for (const char* bad : {"", "relative/home", "./home", "/home/\xFF\xFE"}) {
        ::setenv("HOME", bad, 1);
        EXPECT_EQ(LogHome(), expected) << bad;
    }
    ::setenv("HOME", "/home/op", 1);
    EXPECT_EQ(LogHome(), "/home/op");
    EXPECT_EQ(BadLog().Dir().ToStr(), "/home/op/ZARN/logs/Tolvane/bad");
}

TEST_F(LoggerTest, ProtocolLogLines) {
    ProLog log;
    ASSERT_TRUE(log.Open("C", "log"));
    const in6_addr peer = Address("::ffff:10.0.0.5");
    const unsigned char bytes[] = {0x01, 0x02, 0x03};
    const unsigned char big[] = {0xAB, 0xCD};

    const std::time_t before = std::time(nullptr);
    log.Put(recReceived, peer, 5000, bytes, 3);
    log.Put(recSent, Address("2001:db8::1"), 65535, big, 2);
    log.Put(recSent, peer, 5000, bytes, 0);  // nothing for an empty datagram
    log.Put(recSent, peer, 5000, bytes, -1);
    log.Put(recSent, peer, 5000, nullptr, 3);
    log.Close();
    const std::time_t after = std::time(nullptr);

    const auto lines = ReadLines(LogFile("pro"));
    ASSERT_EQ(lines.size(), 2u);
    const std::string received = "0 " + std::string(24, ' ') + "::ffff:10.0.0.5|05000 ";
    const std::string sent = "0>" + std::string(28, ' ') + "2001:db8::1|65535 ";
    ASSERT_EQ(lines[0].size(), received.size() + 19 + 1 + 9);
    EXPECT_EQ(lines[0].substr(0, received.size()), received);
    EXPECT_TRUE(LogStampWithin(lines[0].substr(received.size(), 19), before, after)) << lines[0];
    EXPECT_EQ(lines[0].substr(received.size() + 19), "<01 02 03 ");

    ASSERT_EQ(lines[1].size(), sent.size() + 19 + 1 + 6);
    EXPECT_EQ(lines[1].substr(0, sent.size()), sent);
    EXPECT_TRUE(LogStampWithin(lines[1].substr(sent.size(), 19), before, after)) << lines[1];
    EXPECT_EQ(lines[1].substr(sent.size() + 19), " AB CD ");
}

TEST_F(LoggerTest, DispatcherLogLinesHaveNoLeadingZero) {
    DispLog log;
    ASSERT_TRUE(log.Open("C", "log"));
    const in6_addr peer = Address("::ffff:192.168.1.20");
    const unsigned char bytes[] = {0x10, 0x00, 0xFF};
    log.Put(recSent, peer, 7001, bytes, 3);
    log.Put(recReceived, peer, 7001, bytes, 1);
    log.Put(recReceived, peer, 7001, bytes, 0);
    log.Close();

    const auto lines = ReadLines(LogFile("disp"));
    ASSERT_EQ(lines.size(), 2u);
    const std::string peerText = std::string(20, ' ') + "::ffff:192.168.1.20|07001 ";
    EXPECT_EQ(lines[0].substr(0, 1 + peerText.size()), ">" + peerText);
    EXPECT_EQ(lines[0].substr(1 + peerText.size() + 19), " 10 00 FF ");
    EXPECT_EQ(lines[1].substr(0, 1 + peerText.size()), " " + peerText);
    EXPECT_EQ(lines[1].substr(1 + peerText.size() + 19), "<10 ");
}

TEST_F(LoggerTest, ErrorLogTextsAndFilter) {
    BadLog log;
    ASSERT_TRUE(log.Open("C", "log"));
    unsigned char bytes[31];
    for (int i = 0; i < 31; ++i) bytes[i] = static_cast<unsigned char>(i);

    log.PutErr(L"CReceivV7::Bind(): bind()", 0, false);
    log.PutErr(L"CReceivV7::Bind(): bind()", 2, false);
    log.PutErr(L"CReceivV7::Bind(): bind()", 2, false);  // these forms are never filtered
    log.PutErr(L"", 0, false);                           // nothing to say
    log.PutMes(L"Пакет", bytes, 31, false);
    log.Put(L"Start", false);
    // The base forms pass the five-minute filter.
    log.PutErr(L"sendto()", 2);
    log.PutErr(L"sendto()", 2);
    log.Close();

    std::string dump = "Пакет";
    for (int i = 0; i < 30; ++i) {
        char hex[4];
        std::snprintf(hex, sizeof hex, " %02X", i);
        dump += hex;
    }
    EXPECT_EQ(Texts(ReadLines(LogFile("bad"))),
              (std::vector<std::string>{"CReceivV7::Bind(): bind()",
                                        "CReceivV7::Bind(): bind(): 2 - No such file or directory",
                                        "CReceivV7::Bind(): bind(): 2 - No such file or directory",
                                        dump + " ...", "Start", "sendto(): 2 - No such file or directory"}));
}

TEST_F(LoggerTest, ShowHandlerOnlyForShownTexts) {
    std::vector<std::wstring> shown;
    BadLog::SetShowHandler([&shown](const DBString& text) { shown.push_back(text); });
    BadLog log;
    ASSERT_TRUE(log.Open("C", "log"));
    const unsigned char bytes[] = {0x7F};

    log.Put(L"quiet", false);
    log.Put(L"loud", true);
    log.Put(std::wstring(L"loud too"), true);
    log.PutErr(L"socket()", 24, true);
    log.PutErr(L"socket()", 24, false);
    log.PutMes(L"refused", bytes, 1, true);
    log.Put(L"base form");  // never shown

    BadLog::SetShowHandler(nullptr);
    log.Put(L"no handler", true);  // still written
    log.Close();

    EXPECT_EQ(shown, (std::vector<std::wstring>{L"loud", L"loud too", L"socket(): 24 - Too many open files",
                                                L"refused 7F"}));
    EXPECT_EQ(Texts(ReadLines(LogFile("bad"))).size(), 8u);
}

TEST_F(LoggerTest, ShowHandlerCanBeSwappedWhileThreadsShow) {
    BadLog log;
    ASSERT_TRUE(log.Open("C", "log"));
    std::atomic<int> first{0};
    std::atomic<int> second{0};
    std::atomic<bool> stop{false};
    constexpr int perThread = 200;

    std::vector<std::thread> writers;
    for (int t = 0; t < 3; ++t)
        writers.emplace_back([&log] {
            for (int i = 0; i < perThread; ++i) log.Put(L"shown", true);
        });
    std::thread swapper([&] {
        while (!stop.load()) {
            BadLog::SetShowHandler([&first](const DBString&) { first.fetch_add(1); });
            BadLog::SetShowHandler(nullptr);
            BadLog::SetShowHandler([&second](const DBString&) { second.fetch_add(1); });
        }
    });
    for (auto& w : writers) w.join();
    stop.store(true);
    swapper.join();
    BadLog::SetShowHandler(nullptr);
    log.Close();

    EXPECT_LE(first.load() + second.load(), 3 * perThread);
    EXPECT_EQ(ReadLines(LogFile("bad")).size(), static_cast<std::size_t>(3 * perThread));
}
