// console-sim: stands in for the dispatcher console program so that the tool's console
// mode can be exercised without the real network. See --help.

#include <arpa/inet.h>
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <exception>
#include <string>

#include "ConsoleSim.h"
#include "SimLu.h"
#include "Thread.h"
#include "Xml.h"

namespace {

void Usage() {
    std::printf(
        "Usage: console-sim [options]\n"
        "Stands in for the dispatcher console program: answers the tool's Disp link on a UDP port,\n"
        "hands each line packet of a SendMsg to a simulated lift unit and returns its answers in\n"
        "Msg messages. The first output line is the address listened on; then one line per request.\n"
        "\n"
        "Console:\n%s\n%s",
        ConsoleSimOptionsHelp().c_str(), SimLuOptionsHelp().c_str());
}

int BadUsage(const std::string& error) {
    std::fprintf(stderr, "console-sim: %s\nTry 'console-sim --help'.\n", error.c_str());
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    ConsoleSimOptions options;
    SimLuOptions luOptions;
    luOptions.program = "console-sim";
    for (int i = 1; i < argc; ++i) {
        std::string error;
        int r = ParseConsoleSimOption(argc, argv, i, options, error);
        if (r == 0) r = ParseSimLuOption(argc, argv, i, luOptions, error);
        if (r < 0) return BadUsage(error);
        if (r == 0) return BadUsage(std::string("unknown option '") + argv[i] + "'");
    }
    if (options.help) {
        Usage();
        return 0;
    }
    // The dispatcher link has no way to say "all links busy"; accepting the option would
    // promise a fault that never comes.
    if (luOptions.refuse) return BadUsage("--refuse: the console's link cannot refuse a tool; use --mute");

    // The signals are taken by this thread alone, synchronously: every thread started
    // from here on inherits the blocked mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A vanished reader of our output must not kill us in the middle of a send.
    signal(SIGPIPE, SIG_IGN);

    SimLu lu(luOptions);
    ThreadPool pool(nullptr, "console-sim");
    int rc = 0;
    {
        ConsoleSim sim(&pool, options, lu);
        try {
            sim.Start();
        } catch (const ErrorXML& e) {
            std::fprintf(stderr, "console-sim: cannot listen on [%s]:%d: %s\n",
                         AddrText(options.bindAddr).c_str(), options.port,
                         e.Number() != 0 ? std::strerror(e.Number()) : e.what());
            pool.Stop();
            return 1;
        }
        sim.PrintLine("console-sim: listening on [" + AddrText(options.bindAddr) +
                      "]:" + std::to_string(sim.BoundPort()));

        for (;;) {
            timespec tick{0, ConsoleSim::kTickMs * 1000000L};
            const int sig = sigtimedwait(&signals, nullptr, &tick);
            if (sig == SIGINT || sig == SIGTERM) {
                sim.PrintLine(SimTimeStamp() + " " + (sig == SIGINT ? "SIGINT" : "SIGTERM") + ": ending");
                break;
            }
            if (sig == SIGUSR1) sim.CloseAll("SIGUSR1");
            sim.Poll();
        }
        sim.Stop();

        sim.PrintLine(lu.TimingReport());
        if (!luOptions.saveFile.empty()) {
            std::string error;
            if (lu.SaveNvram(error)) {
                sim.PrintLine("console-sim: NVRAM saved to " + luOptions.saveFile);
            } else {
                std::fprintf(stderr, "console-sim: %s\n", error.c_str());
                rc = 1;
            }
        }
        if (sim.Faults().Active()) sim.PrintLine("console-sim: faults: " + sim.Faults().Summary());
    }
    pool.Stop();
    return rc;
}
