// loss-matrix: runs the tool's session against both simulators under one fault at a time and
// prints the load times per cell. See --help.

#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "LoadRes.h"
#include "LossMatrix.h"

namespace {

void Usage() {
    std::printf(
        "Usage: loss-matrix [--pace F] [--seeds N] [--lu-sim PATH] [--console-sim PATH]\n"
        "Loads a simulated unit, writes all 32 words changed and reads them back, over V7 (lu-sim)\n"
        "and over the console (console-sim), under each fault of the matrix, all cells at once.\n"
        "Prints the load time per cell (min, median, max over the seeds) and how each run ended;\n"
        "ends 1 when a run ended in a way the tool must never end (a claimed write the unit does\n"
        "not hold, a failure other than a silent unit or a lost link), or a fault never happened.\n"
        "  --pace F      1 (default): the links' and the session's own intervals; 0.1: ten times\n"
        "                as fast, the faults' durations with them\n"
        "  --seeds N     seeds 1..N of the simulators' draws (default 3)\n"
        "The logs go under $HOME, as the command line's.\n");
}

}  // namespace

int main(int argc, char** argv) {
    MatrixOptions options;
    options.luSim = TOLVANE_LU_SIM_PATH;
    options.consoleSim = TOLVANE_CONSOLE_SIM_PATH;
    int seeds = 3;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (arg == "--help" || arg == "-h") {
            Usage();
            return 0;
        } else if (arg == "--pace" && value != nullptr) {
            options.pace = std::atof(value);
        } else if (arg == "--seeds" && value != nullptr) {
            seeds = std::atoi(value);
        } else if (arg == "--lu-sim" && value != nullptr) {
            options.luSim = value;
        } else if (arg == "--console-sim" && value != nullptr) {
            options.consoleSim = value;
        } else {
            std::fprintf(stderr, "loss-matrix: bad argument '%s'\nTry 'loss-matrix --help'.\n", arg.c_str());
            return 2;
        }
        ++i;
    }
    if (options.pace <= 0 || options.pace > 10 || seeds < 1 || seeds > 100) {
        std::fprintf(stderr, "loss-matrix: --pace is 0..10 and --seeds 1..100\n");
        return 2;
    }
    options.seeds.clear();
    for (int s = 1; s <= seeds; ++s) options.seeds.push_back(static_cast<unsigned>(s));
    char dir[] = "/tmp/loss-matrix-XXXXXX";
    if (::mkdtemp(dir) == nullptr) {
        std::perror("loss-matrix: mkdtemp");
        return 1;
    }
    options.workDir = dir;
    g_StringENU = true;

    std::vector<CellRun> runs;
    std::string error;
    const bool ran = RunLossMatrix(options, runs, error);
    int rc = 0;
    if (!ran) {
        std::fprintf(stderr, "loss-matrix: %s\n", error.c_str());
        rc = 1;
    } else {
        std::fputs(LoadTimeTable(runs).c_str(), stdout);
        for (const CellRun& r : runs) {
            const char* link = r.console ? "Disp" : "V7";
            if (!r.problem.empty()) {
                std::printf("FAULT %s over %s, seed %u: %s\n", r.cell.c_str(), link, r.seed,
                            r.problem.c_str());
                rc = 1;
            } else if (r.result.exit != kExitDone) {
                // The first line of the tool's reason: which failure it was.
                std::printf("%s over %s, seed %u: %s\n", r.cell.c_str(), link, r.seed,
                            r.result.reason.substr(0, r.result.reason.find('\n')).c_str());
            }
        }
    }
    std::error_code ec;
    if (rc == 0)
        std::filesystem::remove_all(options.workDir, ec);
    else
        std::printf("simulators' output kept in %s\n", options.workDir.c_str());
    return rc;
}
