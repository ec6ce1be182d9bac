// What a caller pays to hand one line to a log while the log's writer thread runs:
// CBaseLog beside spdlog's asynchronous logger, the same 80-character line.
//
// Burst: 1000 lines back to back, as many as the queue holds (limit 1000 for us,
// 1000 slots for spdlog), so no line is dropped and spdlog's blocking policy
// (async_factory) never has to block.
// Between bursts, outside the measurement, both queues are left to drain. The time
// of a burst divided by its 1000 lines is reported as the iteration's time.
//
// Paced: one line every 20 microseconds, each timed alone; the waiting between
// lines is not measured.
//
// Each benchmark runs 5 times; the figure to read is the median row of the
// counter per_line_ns (the median line or burst of each run, median of the runs).

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BaseLog.h"

#ifdef TOLVANE_HAVE_SPDLOG
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

constexpr int burstLines = 1000;
constexpr std::size_t queueLimit = 1000;
constexpr auto pace = std::chrono::microseconds(20);
constexpr int pacedLines = 20000;
constexpr int repetitions = 5;

const wchar_t wideLine[] =
    L"CSendV7::Queue(): packet 4711 to node 12 repeated, window 5 of 8, key 3, len 196";
const char narrowLine[] = "CSendV7::Queue(): packet 4711 to node 12 repeated, window 5 of 8, key 3, len 196";
// 80 characters and the terminating zero.
static_assert(sizeof wideLine / sizeof wideLine[0] == 81 && sizeof narrowLine == 81);

// A scratch directory that outlives every benchmark and is removed at exit.
struct Scratch {
    Scratch() {
        char pattern[] = "/tmp/tolvane-logbench-XXXXXX";
        if (::mkdtemp(pattern) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        path = pattern;
    }
    ~Scratch() { std::filesystem::remove_all(path); }
    std::string path;
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

class BenchLog : public CBaseLog {
public:
    BenchLog() : CBaseLog(queueLimit, 0), dir(TheScratch().path + "/ours") {
        if (!Open("C", "log")) std::abort();
    }
    ~BenchLog() override { Close(); }
    DBString Dir() override { return DBString(dir); }

private:
    std::string dir;
};

BenchLog& OurLog() {
    static BenchLog log;
    return log;
}

void WaitUntilDrained(const std::function<std::size_t()>& queued) {
    while (queued() > 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

double Median(std::vector<double>& samples) {
    if (samples.empty()) return 0;
    auto middle = samples.begin() + static_cast<std::ptrdiff_t>(samples.size() / 2);
    std::nth_element(samples.begin(), middle, samples.end());
    return *middle;
}

// The time of a whole burst, divided by its lines, is the iteration's time; the
// counter per_line_ns is the median of those over the run, so that a moment in
// which the machine took the processor away does not count as the logger's cost.
template <typename PutLine, typename Queued>
void Burst(benchmark::State& state, PutLine putLine, Queued queued) {
    std::vector<double> perLine;
    perLine.reserve(static_cast<std::size_t>(state.max_iterations));
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < burstLines; ++i) putLine();
        const auto end = Clock::now();
        const double seconds = std::chrono::duration<double>(end - start).count() / burstLines;
        state.SetIterationTime(seconds);
        perLine.push_back(seconds * 1e9);
        WaitUntilDrained(queued);
    }
    state.counters["per_line_ns"] = Median(perLine);
}

// Each line timed alone; per_line_ns is the median over the run.
template <typename PutLine>
void Paced(benchmark::State& state, PutLine putLine) {
    std::vector<double> perLine;
    perLine.reserve(static_cast<std::size_t>(state.max_iterations));
    auto next = Clock::now();
    for (auto _ : state) {
        next += pace;
        while (Clock::now() < next) {
        }
        const auto start = Clock::now();
        putLine();
        const auto end = Clock::now();
        const double seconds = std::chrono::duration<double>(end - start).count();
        state.SetIterationTime(seconds);
        perLine.push_back(seconds * 1e9);
    }
    state.counters["per_line_ns"] = Median(perLine);
}

void BM_CBaseLog_Put_Burst(benchmark::State& state) {
    BenchLog& log = OurLog();
    Burst(
        state, [&log] { log.Put(wideLine); }, [&log] { return log.QueueSize(); });
}

void BM_CBaseLog_PutUtf8_Burst(benchmark::State& state) {
    BenchLog& log = OurLog();
    Burst(
        state, [&log] { log.PutUtf8(narrowLine); }, [&log] { return log.QueueSize(); });
}

void BM_CBaseLog_Put_Paced(benchmark::State& state) {
    BenchLog& log = OurLog();
    WaitUntilDrained([&log] { return log.QueueSize(); });
    Paced(state, [&log] { log.Put(wideLine); });
}

#define TOLVANE_BURST(name) \
    BENCHMARK(name)->UseManualTime()->Iterations(200)->Repetitions(repetitions)->ReportAggregatesOnly(true)
#define TOLVANE_PACED(name)        \
    BENCHMARK(name)                \
        ->UseManualTime()          \
        ->Iterations(pacedLines)   \
        ->Repetitions(repetitions) \
        ->ReportAggregatesOnly(true)

TOLVANE_BURST(BM_CBaseLog_Put_Burst);
TOLVANE_BURST(BM_CBaseLog_PutUtf8_Burst);
TOLVANE_PACED(BM_CBaseLog_Put_Paced);

#ifdef TOLVANE_HAVE_SPDLOG

// spdlog's own thread pool with the same queue size and one worker, a plain file
// sink and a pattern that gives the same line as ours.
std::shared_ptr<spdlog::logger> SpdLog() {
    static std::shared_ptr<spdlog::logger> logger = [] {
        spdlog::init_thread_pool(queueLimit, 1);
        auto made =
            spdlog::basic_logger_mt<spdlog::async_factory>("bench", TheScratch().path + "/spdlog.log");
        made->set_pattern("%d.%m.%Y %H:%M:%S %v");
        return made;
    }();
    return logger;
}

std::size_t SpdQueued() {
    return spdlog::thread_pool()->queue_size();
}

void BM_spdlog_async_Burst(benchmark::State& state) {
    auto logger = SpdLog();
    Burst(
        state, [&logger] { logger->info(std::string_view(narrowLine)); }, SpdQueued);
}

void BM_spdlog_async_Paced(benchmark::State& state) {
    auto logger = SpdLog();
    WaitUntilDrained(SpdQueued);
    Paced(state, [&logger] { logger->info(std::string_view(narrowLine)); });
}

TOLVANE_BURST(BM_spdlog_async_Burst);
TOLVANE_PACED(BM_spdlog_async_Paced);

#endif

}  // namespace
