#include "LossMatrix.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <thread>

#include "CliOptions.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;

// The unit's V7 node and the lift code the console serves.
constexpr int kNode = 4242;
constexpr int kLiftCode = 17;

std::string Ms(double pace, int ms) {
    return std::to_string(std::max(1, static_cast<int>(ms * pace)));
}

// One simulator process, its output going to a file: the first line names its port, the last
// ones its faults, after it was told to end.
class SimChild {
public:
    ~SimChild() { Stop(); }

    bool Start(const std::string& program, std::vector<std::string> args, const std::string& output,
               std::string& error) {
        m_Output = output;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
        args.insert(args.begin(), program);
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        const int rc = posix_spawn(&m_Pid, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) {
            m_Pid = -1;
            error = program + ": " + std::strerror(rc);
            return false;
        }
        // The first line says where it listens; a simulator says it at once or never.
        for (int i = 0; i < 500 && m_Port == 0; ++i) {
            const std::vector<std::string> lines = Lines();
            if (!lines.empty()) {
                const auto colon = lines.front().rfind(':');
                if (lines.front().find("listening on") != std::string::npos && colon != std::string::npos)
                    m_Port = std::atoi(lines.front().c_str() + colon + 1);
            }
            if (m_Port == 0) std::this_thread::sleep_for(10ms);
        }
        if (m_Port == 0) error = program + " did not say where it listens";
        return m_Port != 0;
    }

    // SIGTERM, and SIGKILL when it has not ended after 5 s.
    void Stop() {
        if (m_Pid <= 0) return;
        ::kill(m_Pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500 && ::waitpid(m_Pid, &status, WNOHANG) == 0; ++i)
            std::this_thread::sleep_for(10ms);
        if (::waitpid(m_Pid, &status, WNOHANG) == 0) {
            ::kill(m_Pid, SIGKILL);
            ::waitpid(m_Pid, &status, 0);
        }
        m_Pid = -1;
    }

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream in(m_Output);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    int Port() const { return m_Port; }

private:
    pid_t m_Pid = -1;
    int m_Port = 0;
    std::string m_Output;
};

struct Slot {
    const MatrixCell* cell = nullptr;
    bool console = false;
    unsigned seed = 0;
    std::string save;
    std::unique_ptr<SimChild> sim;
};

std::vector<std::string> SimOptions(const Slot& s, double pace, const std::string& save) {
    std::vector<std::string> o{"--port", "0",  "--seed",      std::to_string(s.seed),
                               "--save", save, "--repeat-ms", Ms(pace, 2000)};
    if (s.console) {
        o.insert(o.end(), {"--lift", std::to_string(kLiftCode)});
    } else {
        o.insert(o.end(), {"--node", std::to_string(kNode)});
    }
    o.insert(o.end(), s.cell->faults.begin(), s.cell->faults.end());
    return o;
}

std::vector<std::string> ToolLink(const Slot& s) {
    if (s.console) return {"-v" + std::to_string(s.sim->Port()), "-I" + std::to_string(kLiftCode)};
    return {"-g" + std::to_string(kNode), "-e::1", "-h" + std::to_string(s.sim->Port())};
}

const char* Ending(const CellRun& r) {
    if (!r.problem.empty()) return "FAULT";
    if (r.result.written == typWriteResult::Verified) return "exact";
    if (r.result.exit == kExitNotResponding) return "not responding";
    if (r.result.exit == kExitVerifyFailed) return "not verified";
    return "link lost";
}

}  // namespace

SimReport ReadSimReport(const std::vector<std::string>& lines) {
    SimReport r;
    for (const std::string& line : lines) {
        if (line.find("unit restarts after") != std::string::npos) r.restarted = true;
        const auto at = line.find(" in: ");
        if (at == std::string::npos) continue;
        int dupIn = 0, dupOut = 0;
        if (std::sscanf(line.c_str() + at, " in: %d dropped, %d duplicated; out: %d dropped, %d duplicated",
                        &r.droppedIn, &dupIn, &r.droppedOut, &dupOut) != 4)
            continue;
        r.seen = true;
        r.duplicated = dupIn + dupOut;
        // Then "; 5 sent after a later one" and "; 2 lost in the blackout" when those faults are on.
        for (auto part = line.find("; ", line.find("out: ", at)); part != std::string::npos;
             part = line.find("; ", part + 2)) {
            const std::string text = line.substr(part + 2, line.find(';', part + 2) - part - 2);
            if (text.find(" sent after a later one") != std::string::npos)
                r.reordered = std::atoi(text.c_str());
            if (text.find(" lost in the blackout") != std::string::npos)
                r.blackedOut = std::atoi(text.c_str());
        }
    }
    return r;
}

std::vector<MatrixCell> LossMatrixCells(double pace) {
    return {
        {"30% loss each way",
         {"--drop", "30"},
         [](const SimReport& r) { return r.droppedIn && r.droppedOut; },
         true},
        {"50% loss to the unit",
         {"--drop-in", "50"},
         [](const SimReport& r) { return r.droppedIn > 0; },
         true},
        {"5% duplication", {"--dup", "5"}, [](const SimReport& r) { return r.duplicated > 0; }},
        {"reordering (20%)", {"--reorder", "20"}, [](const SimReport& r) { return r.reordered > 0; }},
        {"300 ms delay", {"--delay", Ms(pace, 300)}, [](const SimReport& r) { return r.seen; }},
        // A clean load takes about ten milliseconds: 2 ms after the first request is in its middle.
        {"3 s blackout in the load",
         {"--blackout", "2:" + Ms(pace, 3000)},
         [](const SimReport& r) { return r.blackedOut > 0; }},
        {"restart in the write",
         {"--restart-after-writes", "20:" + Ms(pace, 3000)},
         [](const SimReport& r) { return r.restarted; }},
    };
}

WordMap MatrixImage() {
    const SimLuWords unit = SimLuBuiltinNvram(SimLuOptions{});
    WordMap image;
    for (int w = 0; w < kSimLuWords; ++w) image[w] = static_cast<uint16_t>(unit[w] ^ 0x5AA5);
    return image;
}

std::string JudgeCellRun(const CellRun& run, const MatrixCell& cell, const WordMap& image) {
    if (!cell.happened(run.report)) return "the fault never happened";
    if (!run.held) return "the simulator saved no words";
    bool exact = true;
    for (int w = 0; w < kSimLuWords; ++w) exact = exact && (*run.held)[w] == GetWord(image, w);
    const UnitResult& r = run.result;
    if (r.written == typWriteResult::Verified) {
        if (!exact) return "a write reported verified, but the unit holds other words";
        return r.exit == kExitDone ? std::string()
                                   : "a verified write ended with status " + std::to_string(r.exit);
    }
    if (r.exit == kExitDone) return "ended well without a verified write";
    // Loss may end a run only as a unit that stopped answering or a link given up; a write left
    // unverified under loss would leave the engineer a unit nobody can vouch for.
    const bool unitFailed = r.exit == kExitNotResponding || r.exit == kExitLinkLost;
    if (cell.mayFail && unitFailed) return {};
    return "ended with status " + std::to_string(r.exit) + ": " + r.reason;
}

bool RunLossMatrix(const MatrixOptions& options, std::vector<CellRun>& runs, std::string& error) {
    const std::vector<MatrixCell> cells = LossMatrixCells(options.pace);
    std::vector<Slot> slots;
    for (unsigned seed : options.seeds) {
        for (const MatrixCell& cell : cells) {
            for (bool console : {false, true}) {
                Slot s;
                s.cell = &cell;
                s.console = console;
                s.seed = seed;
                const std::string base = options.workDir + "/" + std::to_string(slots.size());
                s.save = base + ".046";
                s.sim = std::make_unique<SimChild>();
                if (!s.sim->Start(console ? options.consoleSim : options.luSim,
                                  SimOptions(s, options.pace, s.save), base + ".out", error))
                    return false;
                slots.push_back(std::move(s));
            }
        }
    }

    const WordMap image = MatrixImage();
    ToolLogs logs;
    logs.bad.Open("C", "log");
    logs.bad.PutUtf8("Start loss matrix");
    CFleet fleet(logs, static_cast<int>(slots.size()), UnitSessionTiming{}.Scaled(options.pace),
                 LinkTiming{}.Scaled(options.pace));
    for (const Slot& s : slots) {
        UnitJob job;
        job.work = UnitJob::typWork::Write;
        job.image = image;
        fleet.Add(std::make_unique<CUnitRun>(s.cell->name, ToolLink(s), job));
    }
    std::atomic<bool> stop{false};
    fleet.Run(stop);
    logs.bad.PutUtf8("Stop");

    runs.clear();
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot& s = slots[i];
        s.sim->Stop();
        CellRun run;
        run.cell = s.cell->name;
        run.console = s.console;
        run.seed = s.seed;
        run.result = fleet.Units()[i]->Result();
        run.simOutput = s.sim->Lines();
        run.report = ReadSimReport(run.simOutput);
        SimLuWords held{};
        std::string why;
        if (LoadSimLuFile(s.save, held, why)) run.held = held;
        run.problem = JudgeCellRun(run, *s.cell, image);
        runs.push_back(std::move(run));
    }
    return true;
}

std::string LoadTimeTable(const std::vector<CellRun>& runs) {
    struct Row {
        std::vector<double> seconds;
        int count = 0;
        std::map<std::string, int> endings;
    };
    std::vector<std::pair<std::string, Row>> rows;
    for (const CellRun& r : runs) {
        const std::string key = r.cell + (r.console ? "\tDisp" : "\tV7");
        auto it = std::find_if(rows.begin(), rows.end(), [&key](const auto& e) { return e.first == key; });
        if (it == rows.end()) it = rows.insert(rows.end(), {key, Row{}});
        ++it->second.count;
        ++it->second.endings[Ending(r)];
        if (r.result.loadTime)
            it->second.seconds.push_back(std::chrono::duration<double>(*r.result.loadTime).count());
    }
    char line[256];
    std::snprintf(line, sizeof line, "%-26s %-5s %6s %8s %8s %8s  %s\n", "cell", "link", "loads", "min s",
                  "median s", "max s", "endings");
    std::string text = line;
    for (auto& [key, row] : rows) {
        const auto tab = key.find('\t');
        std::sort(row.seconds.begin(), row.seconds.end());
        std::string endings;
        for (const auto& [name, n] : row.endings)
            endings += (endings.empty() ? "" : ", ") + std::to_string(n) + " " + name;
        const std::string loads = std::to_string(row.seconds.size()) + "/" + std::to_string(row.count);
        if (row.seconds.empty()) {
            std::snprintf(line, sizeof line, "%-26s %-5s %6s %8s %8s %8s  %s\n", key.substr(0, tab).c_str(),
                          key.substr(tab + 1).c_str(), loads.c_str(), "-", "-", "-", endings.c_str());
        } else {
            const size_t n = row.seconds.size();
            const double median =
                n % 2 ? row.seconds[n / 2] : (row.seconds[n / 2 - 1] + row.seconds[n / 2]) / 2;
            std::snprintf(line, sizeof line, "%-26s %-5s %6s %8.3f %8.3f %8.3f  %s\n",
                          key.substr(0, tab).c_str(), key.substr(tab + 1).c_str(), loads.c_str(),
                          row.seconds.front(), median, row.seconds.back(), endings.c_str());
        }
        text += line;
    }
    return text;
}
