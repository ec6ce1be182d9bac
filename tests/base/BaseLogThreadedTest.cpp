#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "BaseLog.h"
#include "DBTime.h"
#include "Logger.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// A log in a directory of the test's choice that keeps what it reports; onError runs on the
// writer thread, so a test can hold the writer there.
class TestLog : public CBaseLog {
public:
    explicit TestLog(std::string dir, std::size_t limit = 1000) : CBaseLog(limit, 0), where(std::move(dir)) {}
    ~TestLog() override { Close(); }
    DBString Dir() override { return DBString(where); }
    void Error(const std::string& line) override {
        {
            std::lock_guard<std::mutex> lock(mtx);
            errors += line + "|";
        }
        if (onError) onError();
    }
    std::string Errors() {
        std::lock_guard<std::mutex> lock(mtx);
        return errors;
    }
    std::function<void()> onError;

private:
    std::string where, errors;
    std::mutex mtx;
};

// Each test gets a directory of its own, which is also HOME for the tool's own logs; HOME and
// the show handler are put back afterwards.
class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_NE(::mkdtemp(root.data()), nullptr);
        ::setenv("HOME", root.c_str(), 1);
    }
    void TearDown() override {
        BadLog::SetShowHandler(nullptr);
        saved ? ::setenv("HOME", saved, 1) : ::unsetenv("HOME");
        fs::remove_all(root);
    }
    std::string dir() const { return root + "/logs"; }
    // File `number` of the test's log, or of one of the tool's logs.
    std::string File(int number, const std::string& log = "") const {
        char name[32];
        std::snprintf(name, sizeof name, "/C%07d.log", number);
        return (log.empty() ? dir() : root + "/ZARN/logs/Tolvane/" + log) + name;
    }
    static void MakeFile(const std::string& path, std::size_t size = 0) {
        std::ofstream(path, std::ios::binary) << std::string(size, 'x');
    }
    // The lines of a file. A time stamp of a second since the test began reads as <time>: at the
    // start of a text line, or after the port of a packet line, in its form with a point.
    std::vector<std::string> Lines(const std::string& path, bool packets = false) const {
        std::ifstream in(path, std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line); lines.push_back(line)) {
            const std::size_t at = packets ? line.find('|') + 7 : 0, n = packets ? 19 : 20;
            for (std::time_t t = begin; t <= std::time(nullptr) && line.size() >= at + n; ++t) {
                const DBTime time(int64_t{t});
                if (line.compare(at, n, packets ? time.DatTimForLog() : time.DatTimStr()) == 0)
                    line.replace(at, n, "<time>");
            }
        }
        return lines;
    }

    const char* saved = std::getenv("HOME");  // glibc keeps the old value when HOME is set anew
    std::string root = "/tmp/tolvane-log-XXXXXX";
    const std::time_t begin = std::time(nullptr);
};

in6_addr Address(const char* text) {
    in6_addr address{};
    EXPECT_EQ(::inet_pton(AF_INET6, text, &address), 1) << text;
    return address;
}

}  // namespace

TEST(BaseLogDelay, RepeatsWithinTheIntervalAreDroppedAndExpiredLinesForgotten) {
    std::int64_t now = 1'000'000;
    CBaseLog::DelayMsg delay(5), minute(1);
    delay.SetClock([&now] { return now; });
    minute.SetClock([&now] { return now; });
    // A written line blocks its repeats for five minutes; a dropped repeat does not extend that.
    std::string put;
    const std::tuple<int, const char*> steps[] = {{0, "a"}, {0, "a"},   {0, "b"}, {299, "a"},
                                                  {1, "a"}, {299, "a"}, {0, "b"}};
    for (const auto& [advance, line] : steps) {
        now += advance;
        put += delay.IsNeedToPut(line) ? "1" : "0";
    }
    EXPECT_EQ(put, "1010101");
    for (int i = 0; i < 50; ++i) minute.IsNeedToPut("line " + std::to_string(i));
    now += 61;
    EXPECT_TRUE(minute.IsNeedToPut("fresh"));
    EXPECT_EQ(minute.Size(), 1u);
}

TEST_F(LogTest, FileNamesTheirNumbersAndLineTexts) {
    TestLog log(dir());
    ASSERT_TRUE(log.Open("C", "log"));
    std::string numbers;
    for (const char* name :
         {"C0000012.log", "C12.log", "C1.log", "D0000012.log", "C0000012", "C0000012.log.old", "C12abc.log",
          ".", "..", "C2147483647.log", "C99999999999999999999.log", "C2147483646.log"})
        numbers += std::to_string(log.NumFile(name)) + " ";
    // One character between prefix and point is no number; nor is one too large to follow.
    EXPECT_EQ(numbers, "12 12 -1 -1 -1 12 12 -1 -1 -1 -1 -1 ");
    EXPECT_EQ(std::make_tuple(log.NameFile(12), log.NameFile(1234567), log.NumFile(nullptr)),
              std::make_tuple(DBString(L"C0000012.log"), DBString(L"C1234567.log"), -1));
    const unsigned char bytes[31] = {0x01, 0xAB, 0xFF};  // texts: no system text, 30 bytes, no limit
    EXPECT_EQ(std::make_tuple(CBaseLog::CnvErr(L"open", 9999), CBaseLog::CnvMes(L"p", bytes, 30).size(),
                              CBaseLog::StrMes(bytes, 31).size(), CBaseLog::ToStr(in6_addr{}, 0)),
              std::make_tuple(DBString(L"open: 9999 - ?"), 91u, 93u, std::string(37, ' ') + "::|00000 "));
}

TEST_F(LogTest, AFreshDirectoryGetsFileOneAndEveryFormItsLine) {
    const std::string deep = root + "/a/b/c";
    TestLog log(deep);
    ASSERT_TRUE(log.Open("C", "log"));
    log.Put(L"Ошибка связи");
    log.PutFormat(L"%d-%ls-%s", 42, L"w", "n");
    log.PutFormat(L"%ls", std::wstring(5000, L'z').c_str());  // cut at 4095 characters
    log.PutUtf8("готово");
    log.PutDirect(DBString(L"без метки"));
    log.Close();
    EXPECT_EQ(std::make_tuple(Lines(deep + "/C0000001.log"), log.Errors()),
              std::make_tuple(
                  std::vector<std::string>{"<time>Ошибка связи", "<time>42-w-n",
                                           "<time>" + std::string(4095, 'z'), "<time>готово", "без метки"},
                  ""));
}

TEST_F(LogTest, ChangesFileAfterAMegabyteAndKeepsAHundredBelow) {
    fs::create_directories(dir());
    for (int i = 1; i < 150; ++i) MakeFile(File(i));
    MakeFile(File(150), 999990);
    MakeFile(dir() + "/C1.log");  // no number: never deleted
    MakeFile(dir() + "/D0000001.log");
    TestLog log(dir());
    ASSERT_TRUE(log.Open("C", "log"));          // goes on in the highest number
    log.PutDirect(std::string("last in 150"));  // 150 passes 999999 bytes with it
    log.PutDirect(std::string("first in 151"));
    log.Close();
    int first = 0, kept = 0;
    for (int i = 151; i >= 1; --i)
        if (fs::exists(File(i))) first = i, ++kept;
    EXPECT_EQ(
        std::make_tuple(fs::file_size(File(150)), Lines(File(151)), first, kept,
                        fs::exists(dir() + "/C1.log") && fs::exists(dir() + "/D0000001.log"), log.Errors()),
        std::make_tuple(1000002u, std::vector<std::string>{"first in 151"}, 51, 101, true, ""));
}

// Stray files cannot stop the rotation: a number beyond seven digits is not the log's own, and
// past 9999999 the count starts again at 1, clearing what lies outside the kept numbers. A
// link planted as the next file is not followed.
TEST_F(LogTest, StrayNumbersAndPlantedLinksCannotHoldTheLogsBack) {
    fs::create_directories(dir());
    MakeFile(dir() + "/C2147483646.log");
    MakeFile(File(9999999), 999990);
    TestLog log(dir());
    ASSERT_TRUE(log.Open("C", "log"));
    log.PutDirect(std::string("last in 9999999"));
    log.PutDirect(std::string("first in 1"));
    log.Close();
    EXPECT_EQ(
        std::make_tuple(Lines(File(1)), fs::exists(File(9999999)), fs::exists(dir() + "/C2147483646.log")),
        std::make_tuple(std::vector<std::string>{"first in 1"}, false, true));

    const std::string planted = root + "/elsewhere";
    MakeFile(planted);
    fs::remove(File(1));
    fs::create_symlink(planted, File(1));
    TestLog linked(dir());
    linked.Open("C", "log");
    linked.PutDirect(std::string("must not reach the link's target"));
    linked.Close();
    EXPECT_EQ(fs::file_size(planted), 0u);
    EXPECT_NE(linked.Errors(), "") << "the refused file is reported";

    // Without any home the logs go to the user's own directory under /tmp: never one that is
    // a link or belongs to another user.
    const std::string own = root + "/tolvane-" + std::to_string(::getuid());
    EXPECT_EQ(PrivateTempDir(root), own);
    EXPECT_EQ(fs::status(own).permissions() & fs::perms::all, fs::perms::owner_all);
    fs::remove(own);
    fs::create_directory_symlink(root + "/a", own);
    const std::string fresh = PrivateTempDir(root);
    EXPECT_TRUE(fresh != own && fs::is_directory(fresh) && !fs::is_symlink(fresh)) << fresh;
}

TEST_F(LogTest, CallersNeverWaitForAHeldUpWriterWhichKeepsTheNewestLines) {
    // File 1 is full and its directory vanishes, so the change of file fails and the writer
    // reports it; the report holds the writer until the test lets it go.
    fs::create_directories(dir());
    MakeFile(File(1), 1000000);
    TestLog log(dir(), 1000);
    std::promise<void> inError, release;
    std::shared_future<void> released = release.get_future().share();
    log.onError = [&] {
        inError.set_value();
        released.wait_for(2s);  // a caller that waits for the writer waits this long
        fs::create_directories(dir());
    };
    ASSERT_TRUE(log.Open("C", "log"));
    fs::rename(dir(), root + "/moved");
    log.PutDirect(std::string("lost to the missing directory"));
    ASSERT_EQ(inError.get_future().wait_for(5s), std::future_status::ready);
    const auto begin = std::chrono::steady_clock::now();
    for (int i = 0; i < 1002; ++i) log.PutDirect("line " + std::to_string(i));
    EXPECT_EQ(std::make_tuple(std::chrono::steady_clock::now() - begin < 1s, log.QueueSize()),
              std::make_tuple(true, 1001u));  // at once; the limit and one, the oldest went
    release.set_value();
    const auto until = std::chrono::steady_clock::now() + 5s;  // until the writer has taken them
    while (log.QueueSize() > 0 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    std::atomic<bool> stop{false};
    std::thread producer([&] {
        while (!stop) log.PutDirect(std::string("more"));
    });
    log.Close();  // must end although the producer never pauses
    stop = true;
    producer.join();
    const auto lines = Lines(File(2));
    ASSERT_GE(lines.size(), 1001u);
    EXPECT_EQ(std::make_tuple(lines.front(), lines[1000], log.Errors()),
              std::make_tuple("line 1", "line 1001", "CBaseLog::OpenNew 3: 2 - No such file or directory|"));
}

TEST_F(LogTest, FailuresGoToErrorAndLinesWaitForTheNextOpen) {
    MakeFile(root + "/blocker");  // a plain file where a directory should be
    TestLog bad(root + "/blocker/logs");
    EXPECT_FALSE(bad.Open("C", "log"));
    bad.Put(L"lost");
    bad.Close();
    EXPECT_EQ(bad.Errors(),
              "CBaseLog::OpenNew 1: 20 - Not a directory|CBaseLog::OpenNew 2: 20 - Not a directory|");

    TestLog log(dir());
    log.PutDirect(std::string("before open"));
    ASSERT_TRUE(log.Open("C", "log"));
    log.Close();
    log.Close();  // a second close does nothing
    log.PutDirect(std::string("while closed"));
    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_TRUE(log.Open("C", "log"));  // already open: nothing else happens
    log.Close();
    EXPECT_EQ(Lines(File(1)), (std::vector<std::string>{"before open", "while closed"}));
}

TEST_F(LogTest, EachLogHasItsDirectoryUnderAnAbsoluteHome) {
    EXPECT_EQ(std::make_tuple(BadLog().Dir().ToStr(), ProLog().Dir().ToStr(), DispLog().Dir().ToStr()),
              std::make_tuple(root + "/ZARN/logs/Tolvane/bad", root + "/ZARN/logs/Tolvane/pro",
                              root + "/ZARN/logs/Tolvane/disp"));
    // Without a usable HOME: the password database's home, else /tmp; never a relative path.
    const passwd* entry = ::getpwuid(::getuid());
    const std::string other = entry && entry->pw_dir && entry->pw_dir[0] == '/' ? entry->pw_dir : "/tmp";
    std::string homes, want;
    for (const char* value : {"", "relative/home", "./home", "/home/\xFF\xFE", "unset"}) {
        std::string(value) == "unset" ? ::unsetenv("HOME") : ::setenv("HOME", value, 1);
        homes += LogHome() + "|";
        want += other + "|";
    }
    EXPECT_EQ(homes, want);
}

TEST_F(LogTest, PacketLinesOfTheProtocolAndDispatcherLogs) {
    ProLog pro;
    DispLog disp;
    ASSERT_TRUE(pro.Open("C", "log") && disp.Open("C", "log"));
    const unsigned char bytes[] = {0x01, 0x02, 0x03};
    const in6_addr lu = Address("::ffff:10.0.0.5"), console = Address("::ffff:192.168.1.20");
    pro.Put(recReceived, lu, 5000, bytes, 3);
    pro.Put(recSent, Address("2001:db8::1"), 65535, bytes, 2);
    pro.Put(recSent, lu, 5000, bytes, 0);  // nothing for an empty datagram
    pro.Put(recSent, lu, 5000, nullptr, 3);
    disp.Put(recSent, console, 7001, bytes, 3);
    disp.Put(recReceived, console, 7001, bytes, 1);
    pro.Close();
    disp.Close();
    EXPECT_EQ(
        Lines(File(1, "pro"), true),
        (std::vector<std::string>{"0 " + std::string(24, ' ') + "::ffff:10.0.0.5|05000 <time><01 02 03 ",
                                  "0>" + std::string(28, ' ') + "2001:db8::1|65535 <time> 01 02 "}));
    EXPECT_EQ(
        Lines(File(1, "disp"), true),
        (std::vector<std::string>{">" + std::string(20, ' ') + "::ffff:192.168.1.20|07001 <time> 01 02 03 ",
                                  " " + std::string(20, ' ') + "::ffff:192.168.1.20|07001 <time><01 "}));
}

TEST_F(LogTest, ErrorLogTextsShownTextsAndTheRepeatFilter) {
    std::vector<std::wstring> shown;
    BadLog::SetShowHandler([&shown](const DBString& text) { shown.push_back(text); });
    BadLog log;
    ASSERT_TRUE(log.Open("C", "log"));
    unsigned char bytes[31];
    for (int i = 0; i < 31; ++i) bytes[i] = static_cast<unsigned char>(i);
    log.PutErr(L"bind()", 0, false);
    log.PutErr(L"bind()", 2, true);
    log.PutErr(L"bind()", 2, false);  // the forms with a show flag are never filtered
    log.PutErr(L"", 0, true);         // nothing to say
    log.PutMes(L"Пакет", bytes, 31, true);
    log.Put(std::wstring(L"quiet"), false);
    log.PutErr(L"sendto()", 2);  // the base forms pass the five-minute filter and are never shown
    log.PutErr(L"sendto()", 2);
    BadLog::SetShowHandler(nullptr);
    log.Put(L"no handler", true);  // still written
    log.Close();
    std::string dump = "Пакет";
    for (int i = 0; i < 30; ++i) dump += (i < 16 ? " 0" : " 1") + std::string(1, "0123456789ABCDEF"[i % 16]);
    const std::string enoent = ": 2 - No such file or directory";
    EXPECT_EQ(Lines(File(1, "bad")),
              (std::vector<std::string>{"<time>bind()", "<time>bind()" + enoent, "<time>bind()" + enoent,
                                        "<time>" + dump + " ...", "<time>quiet", "<time>sendto()" + enoent,
                                        "<time>no handler"}));
    EXPECT_EQ(shown,
              (std::vector<std::wstring>{L"bind(): 2 - No such file or directory", DBString(dump + " ...")}));
}
