// lu-sim: a simulated lift unit on a V7 socket, for rehearsing with the tool without a real
// unit, or a hall of them in one process. The first stdout line tells where it listens (one
// line per unit); every request it handles gets one line after that.

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "LuSimV7.h"
#include "SimLu.h"

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

void OnSignal(int) {
    g_stop.store(true);
}

void Usage(FILE* to) {
    std::fprintf(to,
                 "Usage: lu-sim [options]\n"
                 "A simulated lift unit that serves the tool's NVRAM requests over V7 (UDP).\n"
                 "The first output line is \"lu-sim: listening on [ADDR]:PORT\"; then one line per\n"
                 "request. SIGINT or SIGTERM end it: close-link is sent, the NVRAM saved (--save)\n"
                 "and the time from the first request to the answer of the 32nd word printed.\n\n"
                 "%s%s"
                 "Other:\n"
                 "  --quiet             no line per request: the first line and the closing ones stay\n"
                 "  --help              this text\n",
                 LuSimV7OptionsHelp().c_str(), SimLuOptionsHelp().c_str());
}

int BadUsage(const std::string& error) {
    std::fprintf(stderr, "lu-sim: %s\nTry 'lu-sim --help'.\n", error.c_str());
    return 2;
}

void PrintLine(const std::string& line) {
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

// One unit of the process, with its own NVRAM, fault draws and socket.
struct Unit {
    Unit(const SimLuOptions& luOptions, const LuSimV7Options& v7Options)
        : lu(luOptions),
          faults(luOptions),
          endpoint(std::make_unique<LuSimV7>(lu, faults, v7Options, luOptions.refuse)) {}
    SimLu lu;
    SimFaults faults;
    std::unique_ptr<LuSimV7> endpoint;
    // In front of the unit's own lines when the process serves more than one: "2001: ".
    std::string mark;
};

// One wait on all the units' sockets, so a hall of units costs the machine one process to wake,
// not one per unit; with one unit it is that unit's own loop.
void RunAll(const std::vector<std::unique_ptr<Unit>>& hall, const std::atomic<bool>& stop) {
    std::vector<pollfd> fds(hall.size());
    while (!stop.load()) {
        int timeout = 50;
        for (size_t k = 0; k < hall.size(); ++k) {
            fds[k] = pollfd{hall[k]->endpoint->Socket(), POLLIN, 0};
            timeout = std::min(timeout, hall[k]->endpoint->Timeout(50));
        }
        const int r = ::poll(fds.data(), fds.size(), timeout);
        for (size_t k = 0; k < hall.size(); ++k) hall[k]->endpoint->Serve(r > 0 && (fds[k].revents & POLLIN));
    }
}

}  // namespace

int main(int argc, char** argv) {
    SimLuOptions luOptions;
    LuSimV7Options v7Options;
    bool quiet = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            Usage(stdout);
            return 0;
        }
        if (arg == "--quiet") {
            quiet = true;
            continue;
        }
        std::string error;
        int r = ParseSimLuOption(argc, argv, i, luOptions, error);
        if (r == 0) r = ParseLuSimV7Option(argc, argv, i, v7Options, error);
        if (r < 0) return BadUsage(error);
        if (r == 0) return BadUsage("unknown option '" + arg + "'");
    }
    std::string error;
    if (!CheckSimLuOptions(luOptions, error)) return BadUsage(error);
    const int units = v7Options.units;
    if (units > 1 && !luOptions.saveFile.empty())
        return BadUsage("--save serves one unit, not --units " + std::to_string(units));
    if (v7Options.node + units - 1 > CIdentV7::kMaxLU)
        return BadUsage("--units " + std::to_string(units) + " from node " + std::to_string(v7Options.node) +
                        " runs past the last LU node " + std::to_string(CIdentV7::kMaxLU));
    if (v7Options.port != 0 && v7Options.port + units - 1 > 65535)
        return BadUsage("--units " + std::to_string(units) + " from port " + std::to_string(v7Options.port) +
                        " runs past port 65535");

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the wait for datagrams is cut short and the stop flag seen at once.
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<Unit>> hall;
    for (int k = 0; k < units; ++k) {
        LuSimV7Options v7 = v7Options;
        v7.node += k;
        if (v7.port != 0) v7.port += k;
        hall.push_back(std::make_unique<Unit>(luOptions, v7));
        if (units > 1) hall.back()->mark = std::to_string(v7.node) + ": ";
        if (!hall.back()->endpoint->Open(error)) {
            std::fprintf(stderr, "lu-sim: %s\n", error.c_str());
            return 1;
        }
        PrintLine(hall.back()->endpoint->ListenLine());
    }
    // A long soak or a fleet of units makes lines nobody reads, by the thousand.
    for (const auto& unit : hall) {
        if (!quiet)
            unit->lu.SetPrinter([mark = unit->mark](const std::string& line) { PrintLine(mark + line); });
    }
    const LuSimV7& endpoint = *hall.front()->endpoint;
    // --save serves a single unit.
    SimLu& lu = hall.front()->lu;
    SimFaults& faults = hall.front()->faults;

    const auto& o = luOptions;
    std::string faultsText;
    if (o.silent) faultsText += " silent";
    if (o.paramError) faultsText += " param-error";
    if (o.readError) faultsText += " read-error";
    if (o.ignoreWrites) faultsText += " ignore-writes";
    if (o.refuse) faultsText += " refuse";
    if (faults.Active()) {
        faultsText += " drop " + std::to_string(o.dropIn) + "/" + std::to_string(o.dropOut) + "%, dup " +
                      std::to_string(o.dupIn) + "/" + std::to_string(o.dupOut) + "% (in/out), delay " +
                      std::to_string(o.delayMs) + " ms";
        if (o.reorder > 0) faultsText += ", reorder " + std::to_string(o.reorder) + "%";
        if (o.blackoutAtMs >= 0)
            faultsText += ", blackout " + std::to_string(o.blackoutMs) + " ms at " +
                          std::to_string(o.blackoutAtMs) + " ms";
    }
    if (o.restartAfterWrites > 0)
        faultsText += " restart after " + std::to_string(o.restartAfterWrites) + " writes, silent " +
                      std::to_string(o.restartSilentMs) + " ms";
    for (const auto& unit : hall)
        PrintLine("lu-sim: node " + std::to_string(unit->endpoint->Ident().GetNode()) + ", key " +
                  endpoint.Key().GetString().ToStr() + ", type " + std::to_string(o.devType) + " variant " +
                  std::to_string(o.variant) + " version " + std::to_string(o.versionMajor) + "." +
                  std::to_string(o.versionMinor) + "." + std::to_string(o.versionPatch) + ", " +
                  (o.longReport ? "long" : "short") + " report, " + (o.withDefaults ? "with" : "without") +
                  " defaults, NVRAM " + (o.nvram ? o.nvramFile : std::string("built-in")) + ", defaults " +
                  (o.defaults ? o.defaultsFile : std::string("built-in")) +
                  (faultsText.empty() ? std::string() : ", faults:" + faultsText));

    RunAll(hall, g_stop);
    for (const auto& unit : hall) unit->endpoint->Close();

    int rc = 0;
    if (!o.saveFile.empty()) {
        if (lu.SaveNvram(error)) {
            PrintLine("lu-sim: NVRAM saved to " + o.saveFile);
        } else {
            std::fprintf(stderr, "lu-sim: NVRAM not saved: %s\n", error.c_str());
            rc = 1;
        }
    }
    for (const auto& unit : hall) {
        if (unit->faults.Active()) PrintLine(unit->mark + "lu-sim: datagrams " + unit->faults.Summary());
        PrintLine(unit->mark + unit->lu.TimingReport());
    }
    return rc;
}
