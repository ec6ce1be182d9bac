// tolvane-cli as a process against lu-sim and console-sim as processes: what only the whole
// road shows, from the command line through the links to the unit and back to the exit status,
// the files and the traffic logs.

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "LoadRes.h"
#include "NvramLayout.h"
#include "ScopedHomeUtil.h"
#include "SimLu.h"
#include "SimProcessUtil.h"

#if defined(TOLVANE_CLI_PATH) && defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

namespace {

using namespace std::chrono_literals;
using Args = std::vector<std::string>;

struct Outcome {
    int exit = -1;
    std::string out;
    std::string err;
};

Outcome RunCli(Args args) {
    args.push_back("--lang");
    args.push_back("en");
    SimProcess cli;
    Outcome o;
    std::string error;
    if (!cli.Launch(TOLVANE_CLI_PATH, args, &error)) {
        o.err = error;
        return o;
    }
    o.exit = cli.WaitExitCode(20s).value_or(-2);
    cli.WaitOutputClosed(2s);
    o.out = cli.FirstLine();
    for (const std::string& line : cli.Lines()) o.out += "\n" + line;
    for (const std::string& line : cli.ErrLines()) o.err += line + "\n";
    return o;
}

// A simulator on a free loopback port; `Link` gives the options that reach it.
struct Sim {
    Sim(bool console, Args options) : console(console) {
        options.insert(options.end(), {"--port", "0"});
        if (!console) options.insert(options.end(), {"--node", std::to_string(kNode)});
        std::string error;
        started =
            process.Start(console ? TOLVANE_CONSOLE_SIM_PATH : TOLVANE_LU_SIM_PATH, options, 5000ms, &error);
        EXPECT_TRUE(started) << error;
    }
    Args Link() const {
        if (console) return {"-v" + std::to_string(process.Port()), "-I17"};
        return {"-g" + std::to_string(kNode), "-e::1", "-h" + std::to_string(process.Port())};
    }
    bool Said(const std::string& text) const { return process.WaitForLineContaining(text, 2000ms); }

    static constexpr int kNode = 104233;
    bool console;
    bool started = false;
    SimProcess process;
};

Args Cat(Args a, const Args& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteImage(const std::string& path, const SimLuWords& words) {
    std::ofstream out(path, std::ios::binary);
    for (uint16_t w : words) out << static_cast<char>(w & 0xFF) << static_cast<char>(w >> 8);
}

class CliRun : public ::testing::Test {
protected:
    void SetUp() override { g_StringENU = true; }
    std::string Path(const std::string& name) const { return home.Path() + "/" + name; }
    std::string Log(const char* which) const {
        return home.Path() + "/ZARN/logs/Tolvane/" + which + "/C0000001.log";
    }

    ScopedHome home;
    const SimLuWords words = SimLuBuiltinNvram(SimLuOptions{});
};

TEST_F(CliRun, ReadWriteDiffAndTheTrafficLogAgainstTheUnit) {
    // OUT1 mode 10 reads "Button OUT1" ... with quotes, which the JSON must escape.
    SimLuWords quoted = words;
    quoted[1] = static_cast<uint16_t>((quoted[1] & 0xFF00) | 10);
    WriteImage(Path("quoted.046"), quoted);
    Sim lu(false, {"--nvram", Path("quoted.046")});
    ASSERT_TRUE(lu.started);

    const Outcome json = RunCli(Cat({"read", "--json"}, lu.Link()));
    ASSERT_EQ(json.exit, 0) << json.err;
    std::ofstream(Path("read.json")) << json.out;
    // Python's own JSON reader as the second opinion.
    SimProcess python;
    ASSERT_TRUE(
        python.Launch("/usr/bin/env", {"python3", "-c",
                                       "import json,sys; d=json.load(open(sys.argv[1])); "
                                       "p={x['key']: x for x in d['parameters']}; "
                                       "print(d['type'], len(p), d['words'][1], p['door_reversing']['raw'], "
                                       "p['out1_mode']['value'])",
                                       Path("read.json")}));
    EXPECT_EQ(python.WaitExitCode(10s), 0);
    python.WaitOutputClosed(2s);
    EXPECT_EQ(python.FirstLine(), "14 " + std::to_string(AllParams(7).size()) + " " +
                                      std::to_string(quoted[1]) + " " + std::to_string(quoted[1] >> 8) + " " +
                                      _S_(1612).ToStr());

    ASSERT_EQ(RunCli(Cat({"read", "-o", Path("a.046")}, lu.Link())).exit, 0);
    EXPECT_EQ(Contents(Path("a.046")), Contents(Path("quoted.046")));

    SimLuWords changed = quoted;
    changed[1] = static_cast<uint16_t>((changed[1] & 0x00FF) | 0x0700);
    changed[12] = 0x1234;
    WriteImage(Path("b.046"), changed);
    const Outcome write = RunCli(Cat({"write", Path("b.046"), "--yes", "--restart"}, lu.Link()));
    ASSERT_EQ(write.exit, 0) << write.err;
    EXPECT_NE(write.out.find("door_reversing (1:8-15)"), std::string::npos) << write.out;
    EXPECT_NE(write.out.find("word_12"), std::string::npos) << write.out;
    EXPECT_NE(write.out.find(_S_(1111).ToStr()), std::string::npos) << write.out;
    // Low byte first, and the restart only once every word was read back.
    EXPECT_TRUE(lu.Said("write byte 3 := 0x07"));
    EXPECT_TRUE(lu.Said("restart requested"));
    auto lineOf = [&lu](const std::string& text) {
        std::size_t index = 0;
        const bool seen = lu.process.WaitForLine(
            [&](const std::string& l) { return l.find(text) != std::string::npos; }, 0ms, nullptr, 0, &index);
        return seen ? index : SIZE_MAX;
    };
    EXPECT_LT(lineOf("write byte 24 :="), lineOf("write byte 25 :="));
    EXPECT_LT(lineOf("write byte 25 :="), lineOf("restart requested"));

    ASSERT_EQ(RunCli(Cat({"restart"}, lu.Link())).exit, 0);
    EXPECT_TRUE(lu.Said("restart requested (restart 2)"));
    const Outcome show = RunCli({"show", Path("b.046")});
    EXPECT_NE(show.out.find("door_reversing (1:8-15) 4. Number of door reversing: 7"), std::string::npos)
        << show.out;

    const Outcome diff = RunCli(Cat({"diff", "unit", Path("b.046")}, lu.Link()));
    EXPECT_EQ(diff.exit, 0) << diff.err;
    EXPECT_EQ(diff.out, _S_(1232).ToStr());

    const Outcome log = RunCli({"decode-log", Log("pro")});
    ASSERT_EQ(log.exit, 0) << log.err;
    for (const char* text :
         {"NVRAM write byte 3 (word 1 high) := 0x07", "NVRAM word 31 = ", "restart", "close link"})
        EXPECT_NE(log.out.find(text), std::string::npos) << text;
    EXPECT_EQ(log.out.find("? "), std::string::npos) << "a line of the log was not understood";
}

// About a second under the sanitizers: seven runs of the program, each beside a simulator of its
// own, and the silent, wordless and write-protected units give up only after five 20 ms ticks.
TEST_F(CliRun, EachFailureHasItsExitStatus) {
    WriteImage(Path("b.046"), [this] {
        SimLuWords w = words;
        w[1] ^= 0x0400;
        return w;
    }());
    std::ofstream(Path("long.046")) << std::string(65, 'x');
    const struct {
        const char* name;
        bool console;
        Args sim;
        Args cli;
        int exit;
        std::string said;
    } cases[] = {
        {"refused", false, {"--refuse"}, {"read"}, 4, _S_(1105).ToStr()},
        {"silent", false, {"--silent"}, {"read", "--tick", "20"}, 3, _S_(1104).ToStr()},
        {"words never come", false, {"--read-error"}, {"read", "--tick", "20"}, 3, "0 of 32 words read"},
        {"write-protected",
         false,
         {"--ignore-writes"},
         {"write", Path("b.046"), "--yes", "--tick", "20"},
         6,
         _S_(1133).ToStr() + "\nword 1: 0x" +
             [this] {
                 char t[16];
                 std::snprintf(t, sizeof t, "%04X, 0x%04X", words[1] ^ 0x0400, words[1]);
                 return std::string(t);
             }()},
        // Answers come 20 ms late, the console closes the link after 100 ms: in the middle of the load.
        {"console closes the link",
         true,
         {"--delay", "20", "--close-after", "100"},
         {"read"},
         5,
         _S_(1106).ToStr()},
        {"a setting that reaches nobody", false, {}, {"read", "-g0", "-v0"}, 2, "Missing -v<Dorvik port>"},
        {"not a settings file", false, {}, {"show", Path("long.046")}, 1, "65 bytes"},
    };
    for (const auto& c : cases) {
        Sim sim(c.console, c.sim);
        ASSERT_TRUE(sim.started) << c.name;
        Args args = c.cli;
        if (c.exit != 2) args = Cat(args, sim.Link());
        const Outcome o = RunCli(args);
        EXPECT_EQ(o.exit, c.exit) << c.name << "\n" << o.out << o.err;
        EXPECT_NE(o.err.find(c.said), std::string::npos) << c.name << ": " << o.err;
    }
}

TEST_F(CliRun, AListOfUnitsEndsNonZeroWhenOneFails) {
    // Units a and b are a hall of two in one lu-sim: b is the next node on its own port.
    Sim hall(false, {"--units", "2"}), console(true, {}), refusing(false, {"--refuse"});
    ASSERT_TRUE(hall.started && console.started && refusing.started);
    std::string second;
    ASSERT_TRUE(hall.process.WaitForLineContaining("listening on", 2000ms, &second));
    const Args b = {"-g" + std::to_string(Sim::kNode + 1), "-e::1",
                    "-h" + second.substr(second.rfind(':') + 1)};
    std::ofstream list(Path("units.csv"));
    list << "# name, link options\n";
    for (const auto& [name, link] :
         {std::pair{"a", hall.Link()}, {"b", b}, {"console", console.Link()}, {"busy", refusing.Link()}}) {
        list << name;
        for (const std::string& option : link) list << "," << option;
        list << "\n";
    }
    list.close();
    const Outcome o = RunCli({"read", "--units", Path("units.csv"), "-j", "4", "-o", Path("images")});
    EXPECT_EQ(o.exit, 8) << o.out << o.err;
    std::vector<std::string> lines;
    for (size_t at = 0; at < o.out.size();) {
        const size_t end = std::min(o.out.find('\n', at), o.out.size());
        lines.push_back(o.out.substr(at, end - at));
        at = end + 1;
    }
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 4u) << o.out;
    EXPECT_EQ(lines[0].rfind("a\tok\t", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("b\tok\t", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("busy\trefused\t", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("console\tok\t", 0), 0u) << lines[3];
    for (const char* name : {"a", "b", "console"})
        EXPECT_EQ(Contents(Path("images/") + name + ".046").size(), 64u);
    EXPECT_TRUE(Contents(Path("images/busy.046")).empty());

    const Outcome log = RunCli({"decode-log", Log("disp")});
    EXPECT_EQ(log.exit, 0) << log.err;
    EXPECT_NE(log.out.find("SendMsg target 17 kind 8 | type 58 dev 1 255.15->0.7 NVRAM read"),
              std::string::npos);
}

}  // namespace

#endif
