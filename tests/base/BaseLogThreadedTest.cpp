#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "BaseLog.h"
#include "DBString.h"
#include "DBTime.h"
#include "StringQueue.h"

namespace fs = std::filesystem;

namespace {

// A log in a directory of the test's choice, recording what it reports.
class TestLog : public CBaseLog {
public:
    TestLog(std::string dir, std::size_t limit = 1000, int minutes = 0)
        : CBaseLog(limit, minutes), where(std::move(dir)) {}
    ~TestLog() override { Close(); }

    DBString Dir() override { return DBString(where); }
    void Error(const std::string& line) override {
        {
            std::lock_guard<std::mutex> lock(mtx);
            errors.push_back(line);
        }
        if (onError) onError();
    }
    std::vector<std::string> Errors() {
        std::lock_guard<std::mutex> lock(mtx);
        return errors;
    }

    using CBaseLog::delay;
    std::function<void()> onError;  // runs on the writer thread

private:
    std::string where;
    std::mutex mtx;
    std::vector<std::string> errors;
};

class BaseLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tolvane-baselog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root = pattern;
        dir = root + "/logs";
    }
    void TearDown() override { fs::remove_all(root); }

    std::string File(int number) const {
        char name[32];
        std::snprintf(name, sizeof name, "/C%07d.log", number);
        return dir + name;
    }

    std::string root;
    std::string dir;
};

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

void MakeFile(const std::string& path, std::size_t size = 0) {
    std::ofstream out(path, std::ios::binary);
    out << std::string(size, 'x');
}

// Whether stamp is DBTime's text of some second from first to last.
bool StampWithin(const std::string& stamp, std::time_t first, std::time_t last) {
    for (std::time_t t = first; t <= last; ++t)
        if (DBTime(static_cast<int64_t>(t)).DatTimStr() == stamp) return true;
    return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// The queue with a reader thread

namespace {

// Runs ReadAll on a thread of its own; gives up after a few seconds and then
// closes the queue, so that a reader that is never woken fails the test rather
// than hang it.
std::size_t ReadAllOnThread(StringQueue& queue, std::chrono::milliseconds nap,
                            const std::function<void()>& meanwhile, std::chrono::milliseconds* took) {
    std::promise<std::size_t> done;
    auto result = done.get_future();
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        std::deque<std::string> batch;
        done.set_value(queue.ReadAll(batch, nap));
    });
    meanwhile();
    const bool ready = result.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
    if (!ready) queue.Close();
    reader.join();
    *took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_TRUE(ready) << "reader was not woken";
    return result.get();
}

}  // namespace

TEST(StringQueueReader, ReaderIsWokenByALineByHalfTheLimitAndByClose) {
    using std::chrono::milliseconds;
    StringQueue queue(4);
    milliseconds took{};
    const auto later = [](const std::function<void()>& act) {
        return [act] {
            std::this_thread::sleep_for(milliseconds(20));
            act();
        };
    };
    // One line wakes a reader that waits without a nap or whose nap ran out.
    EXPECT_EQ(ReadAllOnThread(queue, milliseconds(0), later([&] { queue.Put("a"); }), &took), 1u);
    EXPECT_EQ(ReadAllOnThread(queue, milliseconds(5), later([&] { queue.Put("b"); }), &took), 1u);

    // A reader in a long nap wakes at half the limit, and on Close.
    const milliseconds longNap(20000);
    EXPECT_GE(ReadAllOnThread(queue, longNap, later([&] {
                                  queue.Put("c");
                                  queue.Put("d");
                              }),
                              &took),
              1u);
    EXPECT_LT(took, milliseconds(5000));
    std::deque<std::string> rest;
    if (queue.Size() > 0) queue.ReadAll(rest);
    EXPECT_EQ(ReadAllOnThread(queue, longNap, later([&] { queue.Close(); }), &took), 0u);
    EXPECT_LT(took, milliseconds(5000));
}

// ---------------------------------------------------------------------------
// Texts

TEST(BaseLogTexts, CnvErrAddsNumberAndSystemText) {
    EXPECT_EQ(CBaseLog::CnvErr(L"CReceivV7::Bind(): bind()", 0), DBString(L"CReceivV7::Bind(): bind()"));
    EXPECT_EQ(CBaseLog::CnvErr(L"open", 2), DBString(L"open: 2 - No such file or directory"));
    EXPECT_EQ(CBaseLog::CnvErr(L"open", 13), DBString(L"open: 13 - Permission denied"));
    // Numbers the system has no text for.
    EXPECT_EQ(CBaseLog::CnvErr(L"open", 9999), DBString(L"open: 9999 - ?"));
    EXPECT_EQ(CBaseLog::CnvErr(L"open", -5), DBString(L"open: -5 - ?"));
    EXPECT_EQ(CBaseLog::CnvErr(nullptr, 2), DBString(L": 2 - No such file or directory"));
}

TEST(BaseLogTexts, CnvMesAndStrMesDumpBytes) {
    unsigned char bytes[31];
    std::wstring thirty = L"pack";
    for (int i = 0; i < 31; ++i) {
        bytes[i] = static_cast<unsigned char>(i * 7 + 0x0A);
        wchar_t hex[8];
        std::swprintf(hex, 8, L" %02X", bytes[i]);
        if (i < 30) thirty += hex;
    }
    EXPECT_EQ(CBaseLog::CnvMes(L"pack", bytes, 31), DBString(thirty + L" ..."));
    EXPECT_EQ(CBaseLog::CnvMes(L"pack", bytes, 30), DBString(thirty));
    EXPECT_EQ(CBaseLog::CnvMes(L"p", bytes, 0), DBString(L"p"));
    EXPECT_EQ(CBaseLog::CnvMes(L"p", nullptr, 5), DBString(L"p"));

    const unsigned char some[] = {0x01, 0xAB, 0xFF, 0x00};
    EXPECT_EQ(CBaseLog::StrMes(some, 4), "01 AB FF 00 ");
    EXPECT_EQ(CBaseLog::StrMes(some, -1), "");
    EXPECT_EQ(CBaseLog::StrMes(bytes, 31).size(), 93u);  // no limit
}

TEST(BaseLogTexts, ToStrAlignsAddressAndPadsPort) {
    in6_addr address{};
    ASSERT_EQ(::inet_pton(AF_INET6, "::ffff:10.0.0.5", &address), 1);
    EXPECT_EQ(CBaseLog::ToStr(address, 5000), std::string(24, ' ') + "::ffff:10.0.0.5|05000 ");

    ASSERT_EQ(::inet_pton(AF_INET6, "fe80:1234:5678:9abc:def0:1234:5678:9abc", &address), 1);
    EXPECT_EQ(CBaseLog::ToStr(address, 65535), "fe80:1234:5678:9abc:def0:1234:5678:9abc|65535 ");

    const in6_addr any{};
    EXPECT_EQ(CBaseLog::ToStr(any, 0), std::string(37, ' ') + "::|00000 ");
}

// ---------------------------------------------------------------------------
// Repeat filter

TEST(BaseLogDelay, RepeatWithinIntervalIsSuppressed) {
    std::int64_t now = 1'000'000;
    CBaseLog::DelayMsg delay(5);
    delay.SetClock([&now] { return now; });

    EXPECT_TRUE(delay.IsNeedToPut("a"));
    EXPECT_FALSE(delay.IsNeedToPut("a"));
    EXPECT_TRUE(delay.IsNeedToPut("b"));
    now += 299;
    EXPECT_FALSE(delay.IsNeedToPut("a"));
    now += 1;  // exactly five minutes after the first
    EXPECT_TRUE(delay.IsNeedToPut("a"));
    // A suppressed repeat does not extend the interval; a written one does.
    now += 299;
    EXPECT_FALSE(delay.IsNeedToPut("a"));
    EXPECT_TRUE(delay.IsNeedToPut("b"));

    CBaseLog::DelayMsg off(0);
    EXPECT_TRUE(off.IsNeedToPut("a"));
    EXPECT_TRUE(off.IsNeedToPut("a"));
}

TEST(BaseLogDelay, ExpiredLinesAreForgotten) {
    std::int64_t now = 1'000'000;
    CBaseLog::DelayMsg delay(1);
    delay.SetClock([&now] { return now; });
    for (int i = 0; i < 50; ++i) delay.IsNeedToPut("line " + std::to_string(i));
    EXPECT_EQ(delay.Size(), 50u);

    now += 61;
    EXPECT_TRUE(delay.IsNeedToPut("fresh"));
    EXPECT_EQ(delay.Size(), 1u);
}

// ---------------------------------------------------------------------------
// File names

TEST_F(BaseLogTest, FileNamesAndNumbers) {
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_EQ(log.NameFile(12), DBString(L"C0000012.log"));
    EXPECT_EQ(log.NameFile(1234567), DBString(L"C1234567.log"));

    EXPECT_EQ(log.NumFile("C0000012.log"), 12);
    EXPECT_EQ(log.NumFile("C12.log"), 12);
    EXPECT_EQ(log.NumFile("C1.log"), -1);        // one character is not enough
    EXPECT_EQ(log.NumFile("D0000012.log"), -1);  // another prefix
    EXPECT_EQ(log.NumFile("C0000012"), -1);      // no point
    EXPECT_EQ(log.NumFile("C0000012.log.old"), 12);
    EXPECT_EQ(log.NumFile("C12abc.log"), 12);  // digits first, the rest ignored
    EXPECT_EQ(log.NumFile("."), -1);
    EXPECT_EQ(log.NumFile(".."), -1);
    EXPECT_EQ(log.NumFile(nullptr), -1);
    // Too large to number a following file.
    EXPECT_EQ(log.NumFile("C2147483647.log"), -1);
    EXPECT_EQ(log.NumFile("C99999999999999999999.log"), -1);
    EXPECT_EQ(log.NumFile("C2147483646.log"), 2147483646);
}

// ---------------------------------------------------------------------------
// Opening, writing, closing

TEST_F(BaseLogTest, FreshDirectoryGetsFileOneAndLinesInOrder) {
    const std::string deep = root + "/a/b/c";
    TestLog log(deep);
    const std::time_t before = std::time(nullptr);
    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_TRUE(fs::exists(deep + "/C0000001.log"));

    log.Put(L"Ошибка связи");
    log.Put(std::wstring(L"wide string"));
    log.PutFormat(L"%d-%ls-%s", 42, L"w", "n");
    log.PutUtf8("готово");
    log.PutUtf8(std::string("narrow"));
    log.PutDirect(DBString(L"без метки"));
    log.PutDirect(std::string("raw"));
    log.Put(std::wstring(1, static_cast<wchar_t>(0xD800)));  // no UTF-8 form
    log.Close();
    const std::time_t after = std::time(nullptr);

    const auto lines = ReadLines(deep + "/C0000001.log");
    ASSERT_EQ(lines.size(), 8u);
    const std::vector<std::string> texts = {"Ошибка связи", "wide string", "42-w-n", "готово", "narrow"};
    for (std::size_t i = 0; i < texts.size(); ++i) {
        ASSERT_GE(lines[i].size(), 20u);
        const std::string stamp = lines[i].substr(0, 20);
        EXPECT_TRUE(StampWithin(stamp, before, after)) << stamp;
        EXPECT_EQ(lines[i].substr(20), texts[i]);
    }
    EXPECT_EQ(lines[5], "без метки");
    EXPECT_EQ(lines[6], "raw");
    EXPECT_EQ(lines[7].substr(20), DBString(std::wstring(1, static_cast<wchar_t>(0xD800))).ToStr());
    EXPECT_TRUE(log.Errors().empty());
}

TEST_F(BaseLogTest, PutFormatCutsAtBufferSize) {
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    const std::wstring longText(5000, L'z');
    log.PutFormat(L"%ls", longText.c_str());
    log.PutFormat(L"%ls|", std::wstring(4095, L'y').c_str());
    log.Close();
    const auto lines = ReadLines(File(1));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].substr(20), std::string(4095, 'z'));
    EXPECT_EQ(lines[1].substr(20), std::string(4095, 'y'));
}

TEST_F(BaseLogTest, ContinuesInHighestNumberedFile) {
    fs::create_directories(dir);
    MakeFile(File(3));
    {
        std::ofstream out(File(7), std::ios::binary);
        out << "old\n";
    }
    MakeFile(dir + "/C1.log");
    MakeFile(dir + "/X0000099.log");

    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_EQ(log.LastNum(), 7);
    log.PutDirect(std::string("new"));
    log.Close();
    EXPECT_EQ(ReadLines(File(7)), (std::vector<std::string>{"old", "new"}));
    EXPECT_EQ(fs::file_size(File(3)), 0u);

    // A file the owner opened before Open is kept, and written.
    ASSERT_TRUE(log.OpenNew(3));
    ASSERT_TRUE(log.Open("C", "log"));
    log.PutDirect(std::string("into 3"));
    log.Close();
    EXPECT_EQ(ReadLines(File(3)), std::vector<std::string>{"into 3"});
}

TEST_F(BaseLogTest, ChangesFileAtLimitAndKeepsHundredBelow) {
    fs::create_directories(dir);
    for (int i = 1; i < 150; ++i) MakeFile(File(i));
    MakeFile(File(150), 999990);
    MakeFile(dir + "/C1.log");
    MakeFile(dir + "/D0000001.log");

    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    log.PutDirect(std::string("last in 150"));  // 150 now passes the limit
    log.PutDirect(std::string("first in 151"));
    log.PutDirect(std::string("second in 151"));
    log.Close();

    EXPECT_GT(fs::file_size(File(150)), 999999u);
    EXPECT_EQ(ReadLines(File(151)), (std::vector<std::string>{"first in 151", "second in 151"}));
    for (int i = 1; i <= 50; ++i) EXPECT_FALSE(fs::exists(File(i))) << i;
    for (int i = 51; i <= 151; ++i) EXPECT_TRUE(fs::exists(File(i))) << i;
    EXPECT_TRUE(fs::exists(dir + "/C1.log"));
    EXPECT_TRUE(fs::exists(dir + "/D0000001.log"));
    EXPECT_TRUE(log.Errors().empty());
}

TEST_F(BaseLogTest, FileAlreadyPastLimitIsNotWrittenAgain) {
    fs::create_directories(dir);
    MakeFile(File(4), 1000000);
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    log.PutDirect(std::string("goes to 5"));
    log.Close();
    EXPECT_EQ(fs::file_size(File(4)), 1000000u);
    EXPECT_EQ(ReadLines(File(5)), std::vector<std::string>{"goes to 5"});
}

TEST_F(BaseLogTest, CloseWaitsForAWriterThatIsHeldUp) {
    // File 1 is full and the directory vanishes, so the change of file fails; the
    // writer is then held up well beyond a short grace time before the directory
    // is back.
    fs::create_directories(dir);
    MakeFile(File(1), 1000000);
    TestLog log(dir);
    log.onError = [this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(250));
        fs::create_directories(dir);
    };
    ASSERT_TRUE(log.Open("C", "log"));
    fs::rename(dir, root + "/moved");
    log.PutDirect(std::string("lost to the missing directory"));
    for (int i = 0; i < 999; ++i) log.PutDirect("line " + std::to_string(i));
    log.PutUtf8("Stop");
    log.Close();

    EXPECT_EQ(log.Errors(), std::vector<std::string>{"CBaseLog::OpenNew 3: 2 - No such file or directory"});
    const auto lines = ReadLines(File(2));
    ASSERT_EQ(lines.size(), 1000u);
    for (int i = 0; i < 999; ++i) ASSERT_EQ(lines[static_cast<std::size_t>(i)], "line " + std::to_string(i));
    EXPECT_EQ(lines.back().substr(20), "Stop");
    EXPECT_EQ(log.QueueSize(), 0u);
}

TEST_F(BaseLogTest, LinesFromOtherThreadsDuringCloseAreKeptForReopen) {
    TestLog log(dir);
    ASSERT_TRUE(log.Open("C", "log"));
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread producer([&] {
        while (!stop.load()) {
            log.PutDirect("p" + std::to_string(sent.load()));
            sent.fetch_add(1);
        }
    });
    while (sent.load() < 100) std::this_thread::yield();
    log.Close();  // must end although the producer never pauses
    const int atClose = sent.load();
    while (sent.load() < atClose + 10) std::this_thread::yield();
    stop.store(true);
    producer.join();
    EXPECT_FALSE(log.IsRunning());
    EXPECT_FALSE(log.is_open());
    // At least the 100 lines before Close, or a full queue's worth when the
    // producer outran the writer; in the order they were sent.
    const auto lines = ReadLines(File(1));
    ASSERT_GE(lines.size(), 100u);
    int previous = -1;
    for (const auto& line : lines) {
        const int number = std::stoi(line.substr(1));
        ASSERT_GT(number, previous);
        previous = number;
    }
    EXPECT_GE(log.QueueSize(), 9u);

    ASSERT_TRUE(log.Open("C", "log"));
    log.Close();
    const auto after = ReadLines(File(1));
    ASSERT_GT(after.size(), lines.size());
    EXPECT_GT(std::stoi(after[lines.size()].substr(1)), previous);
}

TEST_F(BaseLogTest, ReopenAfterCloseAndLinesQueuedWhileClosed) {
    TestLog log(dir);
    log.PutDirect(std::string("before open"));
    ASSERT_TRUE(log.Open("C", "log"));
    log.PutDirect(std::string("first run"));
    log.Close();
    log.Close();  // a second close does nothing
    log.PutDirect(std::string("while closed"));
    EXPECT_EQ(ReadLines(File(1)).size(), 2u);

    ASSERT_TRUE(log.Open("C", "log"));
    EXPECT_TRUE(log.Open("C", "log"));  // already open: nothing else happens
    log.PutDirect(std::string("second run"));
    log.Close();
    EXPECT_EQ(ReadLines(File(1)),
              (std::vector<std::string>{"before open", "first run", "while closed", "second run"}));
}

TEST_F(BaseLogTest, FailuresGoToErrorAndNotToCallers) {
    // A regular file where a directory should be: nothing can be created below it.
    MakeFile(root + "/blocker");
    TestLog log(root + "/blocker/logs");
    EXPECT_FALSE(log.Open("C", "log"));
    log.Put(L"lost");
    log.PutErr(L"lost too", 2);
    log.Close();

    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 3u);
    EXPECT_EQ(errors[0], "CBaseLog::OpenNew 1: 20 - Not a directory");
    EXPECT_EQ(errors[1], "CBaseLog::OpenNew 2: 20 - Not a directory");
    EXPECT_EQ(errors[2], "CBaseLog::OpenNew 2: 20 - Not a directory");
}

TEST_F(BaseLogTest, PutErrAndPutMesPassTheRepeatFilter) {
    std::int64_t now = 2'000'000;
    TestLog log(dir, 1000, 5);
    log.delay.SetClock([&now] { return now; });
    ASSERT_TRUE(log.Open("C", "log"));
    const unsigned char bytes[] = {1, 2};

    log.PutErr(L"sendto()", 2);
    log.PutErr(L"sendto()", 2);
    log.PutErr(L"sendto()", 11);  // another text
    log.PutMes(L"bad packet", bytes, 2);
    log.PutMes(L"bad packet", bytes, 2);
    log.Put(L"plain");  // never filtered
    log.Put(L"plain");
    now += 5 * 60;
    log.PutErr(L"sendto()", 2);
    log.Close();

    std::vector<std::string> texts;
    for (const auto& line : ReadLines(File(1))) texts.push_back(line.substr(20));
    EXPECT_EQ(texts,
              (std::vector<std::string>{"sendto(): 2 - No such file or directory",
                                        "sendto(): 11 - Resource temporarily unavailable", "bad packet 01 02",
                                        "plain", "plain", "sendto(): 2 - No such file or directory"}));
}

TEST_F(BaseLogTest, ManyThreadsLoseNothingWithinTheLimit) {
    TestLog log(dir, 100000);
    ASSERT_TRUE(log.Open("C", "log"));
    constexpr int threads = 4;
    constexpr int perThread = 500;
    std::vector<std::thread> writers;
    for (int t = 0; t < threads; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < perThread; ++i) log.PutFormat(L"t%d n%d", t, i);
        });
    for (auto& w : writers) w.join();
    log.Close();

    std::vector<int> next(threads, 0);
    const auto lines = ReadLines(File(1));
    ASSERT_EQ(lines.size(), static_cast<std::size_t>(threads * perThread));
    for (const auto& line : lines) {
        int t = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(line.c_str() + 20, "t%d n%d", &t, &n), 2) << line;
        ASSERT_GE(t, 0);
        ASSERT_LT(t, threads);
        EXPECT_EQ(n, next[static_cast<std::size_t>(t)]++);  // each thread's lines stay in order
    }
}
