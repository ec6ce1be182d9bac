// lu-sim: one simulated lift unit on a V7 socket, for rehearsing with the tool without
// a real unit. The first stdout line tells where it listens; every request it handles
// gets one line after that.

#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>

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

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    // No SA_RESTART: the wait for datagrams is cut short and the stop flag seen at once.
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    SimLu lu(luOptions);
    SimFaults faults(luOptions);
    LuSimV7 endpoint(lu, faults, v7Options, luOptions.refuse);
    if (!endpoint.Open(error)) {
        std::fprintf(stderr, "lu-sim: %s\n", error.c_str());
        return 1;
    }
    PrintLine(endpoint.ListenLine());
    // A long soak or a fleet of units makes lines nobody reads, by the thousand.
    if (!quiet) lu.SetPrinter(PrintLine);

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
    PrintLine("lu-sim: node " + std::to_string(endpoint.Ident().GetNode()) + ", key " +
              endpoint.Key().GetString().ToStr() + ", type " + std::to_string(o.devType) + " variant " +
              std::to_string(o.variant) + " version " + std::to_string(o.versionMajor) + "." +
              std::to_string(o.versionMinor) + "." + std::to_string(o.versionPatch) + ", " +
              (o.longReport ? "long" : "short") + " report, " + (o.withDefaults ? "with" : "without") +
              " defaults, NVRAM " + (o.nvram ? o.nvramFile : std::string("built-in")) + ", defaults " +
              (o.defaults ? o.defaultsFile : std::string("built-in")) +
              (faultsText.empty() ? std::string() : ", faults:" + faultsText));

    endpoint.Run(g_stop);
    endpoint.Close();

    int rc = 0;
    if (!o.saveFile.empty()) {
        if (lu.SaveNvram(error)) {
            PrintLine("lu-sim: NVRAM saved to " + o.saveFile);
        } else {
            std::fprintf(stderr, "lu-sim: NVRAM not saved: %s\n", error.c_str());
            rc = 1;
        }
    }
    if (faults.Active()) PrintLine("lu-sim: datagrams " + faults.Summary());
    PrintLine(lu.TimingReport());
    return rc;
}
