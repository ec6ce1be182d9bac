#pragma once

#include <optional>
#include <string>
#include <vector>

#include "DBString.h"

// Exit statuses: one per outcome a script may want to tell apart.
enum CliExit : int {
    kExitDone = 0,
    kExitFailed = 1,           // a file that cannot be read or written, a log with nothing to decode
    kExitUsage = 2,            // a bad command line, or a setting with which no unit can be reached
    kExitNotResponding = 3,    // the unit never answered, or stopped answering while loading
    kExitRefused = 4,          // the unit has all its links busy
    kExitLinkLost = 5,         // the link went, or the unit or the console closed it
    kExitVerifyFailed = 6,     // the unit holds other words than were written, or could not say
    kExitNotConfirmed = 7,     // the write was not confirmed at the terminal; nothing was written
    kExitSomeUnitsFailed = 8,  // a run over a list of units in which one or more failed
    kExitInterrupted = 130     // SIGINT, SIGTERM or SIGHUP: the links were closed in order
};

enum class typCommand { None, Read, Write, Diff, Show, Restart, DecodeLog };

struct CliOptions {
    typCommand command = typCommand::None;
    // Arguments after the command: the file of write, show and decode-log; diff's two sides.
    std::vector<std::string> args;
    // The unit's link options in the letter form the console program passes ("-g5", "-e::1");
    // the long options are stored here translated.
    std::vector<std::string> link;
    std::string output;
    std::string unitsFile;
    int jobs = 1;
    int devType = 14;
    bool json = false;
    bool dryRun = false;
    bool restart = false;
    bool yes = false;
    bool help = false;
    // Repeat pace of the session in milliseconds; 0 keeps the unit's own pace.
    int tickMs = 0;
    std::optional<bool> english;
};

// The --lang value among the arguments, looked for before anything is parsed, so that every
// complaint about the rest already speaks the chosen language. Empty when not given or bad.
std::optional<bool> FindLanguage(const std::vector<std::string>& args);

// Reads the arguments after the program name. False with `error` set (in the current language)
// for a command line the program cannot act on.
bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& options, DBString& error);

// One link option (a letter with its value attached, or a long option whose value is `next`
// or follows "="), translated into the letter form and appended to `link`. Returns the number
// of arguments used (1 or 2), 0 when `arg` is no link option, -1 with `error` for a bad value.
int ParseLinkOption(const std::string& arg, const std::string* next, std::vector<std::string>& link,
                    DBString& error);

// One unit of a --units list: its name (also the name of its image) and its link options.
struct UnitLine {
    std::string name;
    std::vector<std::string> link;
};

// Lines of "name,option,option,...": fields separated by commas, a field in double quotes may
// hold commas (a doubled quote stands for one), blank lines and lines beginning with '#' are
// skipped. A name is letters, digits, '.', '_' and '-', not beginning with '.', and unique.
bool ParseUnitList(const std::string& text, std::vector<UnitLine>& units, DBString& error);
