// The command line of tolvane-cli, the console program's option letters as the core reads them,
// and the --units list: tables of arguments and what becomes of them.

#include <gtest/gtest.h>

#include "CliOptions.h"
#include "LoadRes.h"
#include "MToolPult.h"
#include "utilities.h"

namespace {

using Args = std::vector<std::string>;

struct ParseCase {
    const char* name;
    Args args;
    bool ok;
    // Compared when ok: the command, the link options in letter form, and one flag set.
    typCommand command = typCommand::None;
    Args link = {};
};

TEST(CliOptions, CommandsOptionsAndTheirMistakes) {
    g_StringENU = true;
    const ParseCase cases[] = {
        {"letters pass as given",
         {"read", "-g5", "-e::1", "-h40001"},
         true,
         typCommand::Read,
         {"-g5", "-e::1", "-h40001"}},
        {"long options become letters, before the command too",
         {"--node", "5", "--address=10.0.0.5", "read", "--port", "40001", "--key", "abc"},
         true,
         typCommand::Read,
         {"-g5", "-e10.0.0.5", "-h40001", "-kabc"}},
        {"console options",
         {"restart", "--console-port=7000", "--lift", "17", "-P9"},
         true,
         typCommand::Restart,
         {"-v7000", "-I17", "-P9"}},
        {"a long number must be a number", {"read", "--node", "5x"}, false},
        {"a long address must be an address", {"read", "--address", "nowhere"}, false},
        {"a value is missing at the end", {"read", "--port"}, false},
        {"write takes its file",
         {"write", "a.046", "--dry-run", "--restart", "--yes"},
         true,
         typCommand::Write},
        {"write without a file", {"write"}, false},
        {"diff needs two sides", {"diff", "a.046"}, false},
        {"read takes no file", {"read", "a.046"}, false},
        {"--restart belongs to write", {"show", "a.046", "--restart"}, false},
        {"a list for read", {"read", "--units", "l.csv", "-j", "5"}, true, typCommand::Read},
        {"-j without a list", {"read", "-j", "5"}, false},
        {"no list for diff", {"diff", "a", "b", "--units", "l.csv"}, false},
        {"no JSON for a list", {"read", "--units", "l.csv", "--json"}, false},
        {"no jobs below one", {"read", "--units", "l.csv", "--jobs=0"}, false},
        {"a language the table lacks", {"read", "--lang", "de"}, false},
        {"an option nobody knows", {"-x", "read"}, false},
        {"a command nobody knows", {"frob"}, false},
        {"nothing at all", {}, false},
        {"help alone", {"--help"}, true},
    };
    for (const ParseCase& c : cases) {
        CliOptions o;
        DBString error;
        const bool ok = ParseCliOptions(c.args, o, error);
        EXPECT_EQ(ok, c.ok) << c.name << ": " << error.ToStr();
        EXPECT_EQ(error.empty(), c.ok) << c.name;
        if (!ok || !c.ok) continue;
        EXPECT_EQ(o.command, c.command) << c.name;
        EXPECT_EQ(o.link, c.link) << c.name;
    }
    CliOptions o;
    DBString error;
    ASSERT_TRUE(ParseCliOptions({"write", "a.046", "--dry-run", "--type=11", "-o", "out"}, o, error));
    EXPECT_TRUE(o.dryRun);
    EXPECT_FALSE(o.restart);
    EXPECT_EQ(o.devType, 11);
    EXPECT_EQ(o.output, "out");
    EXPECT_EQ(o.args, Args{"a.046"});
}

TEST(CliOptions, LanguageIsFoundBeforeParsing) {
    EXPECT_EQ(FindLanguage({"read", "--lang", "ru"}), std::optional<bool>(false));
    EXPECT_EQ(FindLanguage({"--lang=en", "read"}), std::optional<bool>(true));
    EXPECT_EQ(FindLanguage({"read", "--lang"}), std::nullopt);
}

TEST(ToolOptions, LettersWithTheWindowsValueRules) {
    struct Case {
        const char* arg;
        int ToolContext::*field;
        int value;
    };
    const Case cases[] = {
        {"-n5", &ToolContext::pultNum, 5},
        {"-N-1", &ToolContext::pultNum, -1},
        {"-nx", &ToolContext::pultNum, 0},
        {"-n", &ToolContext::pultNum, 0},
        {"-u 7", &ToolContext::umNum, 7},
        {"-S3", &ToolContext::slotNum, 3},
        {"-a12z", &ToolContext::devAddr, 12},
        {"-i17", &ToolContext::codLift, 17},
        {"-V7000", &ToolContext::utilPort, 7000},
        {"-G104233", &ToolContext::v7Id, 104233},
        {"-h99999999999", &ToolContext::v7Port, 2147483647},
    };
    for (const Case& c : cases) {
        ToolContext ctx;
        EXPECT_TRUE(ctx.ReadOption(c.arg)) << c.arg;
        EXPECT_EQ(ctx.*c.field, c.value) << c.arg;
    }
    ToolContext ctx;
    EXPECT_TRUE(ctx.ReadOption("-q::1"));
    EXPECT_TRUE(ctx.ReadOption("-E10.0.0.5"));
    EXPECT_TRUE(ctx.ReadOption("-kPass phrase"));
    EXPECT_TRUE(ctx.ReadOption("-p whatever"));
    EXPECT_FALSE(ctx.ReadOption("-z1"));
    EXPECT_FALSE(ctx.ReadOption("read"));
    EXPECT_EQ(IPv6ToStr(ctx.utilAddr), IPv6ToStr(LocalHostIPv6()));
    EXPECT_EQ(IPv6ToStr(ctx.v7Addr), IPv6ToStr(IP6FromStr("10.0.0.5")));
    EXPECT_EQ(ctx.keyText, DBString(L"Pass phrase"));
    g_StringENU = false;
    EXPECT_TRUE(ctx.ReadOption("enu"));
    EXPECT_TRUE(g_StringENU);
}

TEST(UnitList, LinesBecomeNamedUnits) {
    g_StringENU = true;
    std::vector<UnitLine> units;
    DBString error;
    ASSERT_TRUE(
        ParseUnitList("# name, options\r\n\nlift-a, -g5 ,\"--key=a,b\"\"c\", --port 40001\r\n"
                      "b.2,--node=6,-e::1\n",
                      units, error))
        << error.ToStr();
    ASSERT_EQ(units.size(), 2u);
    EXPECT_EQ(units[0].name, "lift-a");
    EXPECT_EQ(units[0].link, (Args{"-g5", "-ka,b\"c", "-h40001"}));
    EXPECT_EQ(units[1].link, (Args{"-g6", "-e::1"}));

    const char* bad[] = {"lift,-g5\nlift,-g6\n", ".hidden,-g5\n",   "a/b,-g5\n", "lift,\"-g5\n",
                         "lift,--colour=red\n",  "lift,--node x\n", "# only\n\n"};
    for (const char* text : bad) {
        units.clear();
        error.clear();
        EXPECT_FALSE(ParseUnitList(text, units, error)) << text;
        EXPECT_FALSE(error.empty()) << text;
    }
}

}  // namespace
