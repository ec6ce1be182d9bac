#include "CliOptions.h"

#include <arpa/inet.h>

#include <charconv>
#include <cstring>
#include <set>

#include "CliTexts.h"

namespace {

struct LongLink {
    const char* name;
    char letter;
    bool address;
};

// The long names of the window's option letters.
constexpr LongLink kLongLink[] = {
    {"--node", 'g', false},   {"--address", 'e', true},       {"--port", 'h', false},
    {"--key", 'k', false},    {"--console-port", 'v', false}, {"--console-address", 'q', true},
    {"--subnet", 'n', false}, {"--um", 'u', false},           {"--slot", 's', false},
    {"--device", 'a', false}, {"--lift", 'I', false},
};

// The letters the console program passes; -p is accepted and means nothing.
constexpr const char* kLetters = "uUsSaApPnNiIvVqQgGeEhHkK";

struct CommandName {
    const char* name;
    typCommand command;
};

constexpr CommandName kCommands[] = {
    {"read", typCommand::Read}, {"write", typCommand::Write},     {"diff", typCommand::Diff},
    {"show", typCommand::Show}, {"restart", typCommand::Restart}, {"decode-log", typCommand::DecodeLog},
};

bool IsInteger(const std::string& text, int& value) {
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty();
}

bool IsAddress(const std::string& text) {
    unsigned char buf[sizeof(in6_addr)];
    return inet_pton(AF_INET6, text.c_str(), buf) == 1 || inet_pton(AF_INET, text.c_str(), buf) == 1;
}

// "--name=value" or "--name" with the value in the next argument.
int TakeValue(const std::string& arg, const char* name, const std::string* next, std::string& value,
              DBString& error) {
    const size_t n = std::strlen(name);
    if (arg.size() > n && arg[n] == '=') {
        value = arg.substr(n + 1);
        return 1;
    }
    if (next == nullptr) {
        error = Wide(TextF(kTextNeedsValue, Wide(name).c_str()));
        return -1;
    }
    value = *next;
    return 2;
}

bool NameIs(const std::string& arg, const char* name) {
    const size_t n = std::strlen(name);
    return arg.compare(0, n, name) == 0 && (arg.size() == n || arg[n] == '=');
}

int BadValue(const char* name, const std::string& value, DBString& error) {
    error = Wide(TextF(kTextBadValue, Wide(name).c_str(), Wide(value).c_str()));
    return -1;
}

// The options of the program itself; returns arguments used, 0 for none of them, -1 on error.
int ParseOwnOption(const std::string& arg, const std::string* next, CliOptions& o, DBString& error) {
    std::string value;
    int used = 0;
    auto number = [&](const char* name, int& out, int low, int high) {
        used = TakeValue(arg, name, next, value, error);
        if (used < 0) return -1;
        if (!IsInteger(value, out) || out < low || out > high) return BadValue(name, value, error);
        return used;
    };
    auto text = [&](const char* name, std::string& out) {
        used = TakeValue(arg, name, next, value, error);
        if (used < 0) return -1;
        if (value.empty()) return BadValue(name, value, error);
        out = value;
        return used;
    };
    if (arg == "--json") return o.json = true, 1;
    if (arg == "--dry-run") return o.dryRun = true, 1;
    if (arg == "--restart") return o.restart = true, 1;
    if (arg == "--yes") return o.yes = true, 1;
    if (arg == "--help") return o.help = true, 1;
    if (NameIs(arg, "--output")) return text("--output", o.output);
    if (arg == "-o") return text("-o", o.output);
    if (NameIs(arg, "--units")) return text("--units", o.unitsFile);
    if (NameIs(arg, "--jobs")) return number("--jobs", o.jobs, 1, 1000);
    if (arg == "-j") return number("-j", o.jobs, 1, 1000);
    if (NameIs(arg, "--type")) return number("--type", o.devType, 0, 63);
    if (NameIs(arg, "--tick")) return number("--tick", o.tickMs, 1, 60000);
    if (NameIs(arg, "--lang")) {
        used = TakeValue(arg, "--lang", next, value, error);
        if (used < 0) return -1;
        if (value != "en" && value != "ru") return BadValue("--lang", value, error);
        o.english = value == "en";
        return used;
    }
    return 0;
}

}  // namespace

std::optional<bool> FindLanguage(const std::vector<std::string>& args) {
    for (size_t i = 0; i < args.size(); ++i) {
        std::string value;
        if (args[i] == "--lang" && i + 1 < args.size())
            value = args[i + 1];
        else if (args[i].compare(0, 7, "--lang=") == 0)
            value = args[i].substr(7);
        if (value == "en" || value == "ru") return value == "en";
    }
    return std::nullopt;
}

int ParseLinkOption(const std::string& arg, const std::string* next, std::vector<std::string>& link,
                    DBString& error) {
    if (arg.size() >= 2 && arg[0] == '-' && arg[1] != '-') {
        if (std::strchr(kLetters, arg[1]) == nullptr) return 0;
        link.push_back(arg);
        return 1;
    }
    for (const LongLink& l : kLongLink) {
        if (!NameIs(arg, l.name)) continue;
        std::string value;
        const int used = TakeValue(arg, l.name, next, value, error);
        if (used < 0) return -1;
        int number = 0;
        // Strict here, unlike the letters: a typing error must not become a plausible 0.
        if (l.address ? !IsAddress(value) : (l.letter != 'k' && !IsInteger(value, number)))
            return BadValue(l.name, value, error);
        link.push_back(std::string("-") + l.letter + value);
        return used;
    }
    return 0;
}

bool ParseCliOptions(const std::vector<std::string>& args, CliOptions& o, DBString& error) {
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        const std::string* next = i + 1 < args.size() ? &args[i + 1] : nullptr;
        int used = ParseOwnOption(arg, next, o, error);
        if (used == 0) used = ParseLinkOption(arg, next, o.link, error);
        if (used < 0) return false;
        if (used > 0) {
            i += static_cast<size_t>(used - 1);
            continue;
        }
        if (arg.size() > 1 && arg[0] == '-') {
            error = Wide(TextF(kTextUnknownOption, Wide(arg).c_str()));
            return false;
        }
        if (o.command != typCommand::None) {
            o.args.push_back(arg);
            continue;
        }
        for (const CommandName& c : kCommands)
            if (arg == c.name) o.command = c.command;
        if (o.command == typCommand::None) {
            error = Wide(TextF(kTextUnknownCommand, Wide(arg).c_str()));
            return false;
        }
    }
    if (o.help) return true;
    if (o.command == typCommand::None) {
        error = Wide(Text(kTextNoCommand));
        return false;
    }
    const char* name = "";
    for (const CommandName& c : kCommands)
        if (c.command == o.command) name = c.name;
    size_t wanted = 0;
    switch (o.command) {
        case typCommand::Write:
        case typCommand::Show:
        case typCommand::DecodeLog:
            wanted = 1;
            break;
        case typCommand::Diff:
            wanted = 2;
            break;
        default:
            break;
    }
    if (o.args.size() != wanted) {
        error = Wide(TextF(kTextArgumentCount, Wide(name).c_str(), static_cast<int>(wanted)));
        return false;
    }
    const bool fleet = !o.unitsFile.empty();
    const char* misplaced = nullptr;
    if (fleet && o.command != typCommand::Read && o.command != typCommand::Write) misplaced = "--units";
    if (fleet && o.json) misplaced = "--json";
    if (!fleet && o.jobs != 1) misplaced = "-j";
    if (o.command != typCommand::Write && (o.dryRun || o.restart || o.yes))
        misplaced = o.dryRun ? "--dry-run" : o.restart ? "--restart" : "--yes";
    if (misplaced != nullptr) {
        error = Wide(TextF(kTextOptionNotHere, Wide(misplaced).c_str(), Wide(name).c_str()));
        return false;
    }
    return true;
}

bool ParseUnitList(const std::string& text, std::vector<UnitLine>& units, DBString& error) {
    std::set<std::string> names;
    int lineNo = 0;
    size_t at = 0;
    auto fail = [&](const std::string& why) {
        error = Wide(TextF(kTextListLine, lineNo, Wide(why).c_str()));
        return false;
    };
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        std::string line = text.substr(at, end - at);
        at = end + 1;
        ++lineNo;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;

        std::vector<std::string> fields(1);
        bool quoted = false;
        for (size_t i = 0; i < line.size(); ++i) {
            const char c = line[i];
            if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
                fields.back() += '"';
                ++i;
            } else if (c == '"') {
                quoted = !quoted;
            } else if (c == ',' && !quoted) {
                fields.emplace_back();
            } else {
                fields.back() += c;
            }
        }
        if (quoted) return fail(Text(kTextUnclosedQuote));
        for (std::string& f : fields) {
            const size_t b = f.find_first_not_of(" \t");
            const size_t e = f.find_last_not_of(" \t");
            f = b == std::string::npos ? std::string() : f.substr(b, e - b + 1);
        }

        UnitLine unit;
        unit.name = fields[0];
        const bool nameOk = !unit.name.empty() && unit.name[0] != '.' &&
                            unit.name.find_first_not_of(
                                "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                "0123456789._-") == std::string::npos;
        if (!nameOk) return fail(TextF(kTextBadUnitName, Wide(unit.name).c_str()));
        if (!names.insert(unit.name).second) return fail(TextF(kTextDuplicateUnit, Wide(unit.name).c_str()));
        for (size_t i = 1; i < fields.size(); ++i) {
            if (fields[i].empty()) continue;
            // A long option may carry its value after a space in the same field.
            std::string arg = fields[i];
            std::string value;
            const size_t space = arg.find(' ');
            const bool split = arg.compare(0, 2, "--") == 0 && space != std::string::npos;
            if (split) {
                value = arg.substr(arg.find_first_not_of(' ', space));
                arg.resize(space);
            }
            DBString why;
            const int used = ParseLinkOption(arg, split ? &value : nullptr, unit.link, why);
            if (used < 0) return fail(why.ToStr());
            if (used == 0 || (split && used != 2))
                return fail(TextF(kTextUnknownOption, Wide(fields[i]).c_str()));
        }
        units.push_back(std::move(unit));
    }
    if (units.empty()) {
        error = Wide(Text(kTextEmptyList));
        return false;
    }
    return true;
}
