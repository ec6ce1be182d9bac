#include "SimLu.h"

#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <limits>
#include <utility>

#include "DBString.h"
#include "NvRam.h"

namespace {

// A report whose last unit has bit 5 set is an error report of the unit.
constexpr unsigned char kErrorUnit = 0x20;

std::string Hex4(unsigned v) {
    return FormatStr("0x%04X", v & 0xFFFFu);
}

// Whole text as a decimal number in [lo, hi]; nothing else is accepted.
bool ParseInt(const std::string& text, long lo, long hi, long& out) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || v < lo || v > hi) return false;
    // strtol accepts leading blanks; an option value with them is a typing slip.
    if (text[0] == ' ' || text[0] == '\t') return false;
    out = v;
    return true;
}

struct OptionShape {
    const char* name;
    bool takesValue;
};

const OptionShape kOptions[] = {
    {"--type", true},         {"--variant", true},
    {"--fw-version", true},   {"--report", true},
    {"--line-address", true}, {"--no-defaults", false},
    {"--word-form", true},    {"--nvram", true},
    {"--defaults", true},     {"--save", true},
    {"--silent", false},      {"--param-error", false},
    {"--read-error", false},  {"--ignore-writes", false},
    {"--refuse", false},      {"--drop", true},
    {"--drop-in", true},      {"--drop-out", true},
    {"--dup", true},          {"--dup-in", true},
    {"--dup-out", true},      {"--delay", true},
    {"--seed", true},         {"--reorder", true},
    {"--blackout", true},     {"--restart-after-writes", true},
};

// "A:B" of two whole numbers, B optional when `second` holds a default. False for anything else.
bool ParsePair(const std::string& text, long lo, long hi, long& first, long& second, bool secondOptional) {
    const auto colon = text.find(':');
    if (colon == std::string::npos) return secondOptional && ParseInt(text, lo, hi, first);
    return ParseInt(text.substr(0, colon), lo, hi, first) && ParseInt(text.substr(colon + 1), lo, hi, second);
}

}  // namespace

// ---- Options ---------------------------------------------------------------------------

int ParseSimLuOption(int argc, char** argv, int& i, SimLuOptions& o, std::string& error) {
    if (i < 0 || i >= argc || argv[i] == nullptr) return 0;
    const std::string arg = argv[i];
    const auto eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    const OptionShape* shape = nullptr;
    for (const auto& s : kOptions) {
        if (name == s.name) shape = &s;
    }
    if (shape == nullptr) return 0;

    std::string value;
    int last = i;
    if (shape->takesValue) {
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < argc && argv[i + 1] != nullptr) {
            value = argv[i + 1];
            last = i + 1;
        } else {
            error = name + " needs a value";
            return -1;
        }
    } else if (eq != std::string::npos) {
        error = name + " takes no value";
        return -1;
    }

    long v = 0;
    auto number = [&](long lo, long hi, const char* what) {
        if (ParseInt(value, lo, hi, v)) return true;
        error = FormatStr("%s: '%s' is not %s (%ld..%ld)", name.c_str(), value.c_str(), what, lo, hi);
        return false;
    };
    auto percent = [&](int& a, int* b) {
        if (!number(0, 100, "a percentage")) return false;
        a = static_cast<int>(v);
        if (b != nullptr) *b = static_cast<int>(v);
        return true;
    };

    bool ok = true;
    if (name == "--type") {
        // The type travels in one 6-bit unit.
        ok = number(0, 63, "a device type");
        if (ok) o.devType = static_cast<int>(v);
    } else if (name == "--variant") {
        ok = number(0, 4095, "a variant");
        if (ok) o.variant = static_cast<int>(v);
    } else if (name == "--fw-version") {
        int a = -1, b = -1, c = -1, used = 0;
        if (std::sscanf(value.c_str(), "%d.%d.%d%n", &a, &b, &c, &used) != 3 ||
            used != static_cast<int>(value.size()) || a < 0 || a > 25 || b < 0 || b > 9 || a * 10 + b > 255 ||
            c < 0 || c > 63) {
            // a*10+b is one byte and c one 6-bit unit of the long report.
            error = name + ": '" + value + "' is no version a.b.c (a 0..25, b 0..9, c 0..63)";
            ok = false;
        } else {
            o.versionMajor = a;
            o.versionMinor = b;
            o.versionPatch = c;
        }
    } else if (name == "--report") {
        if (value == "short") {
            o.longReport = false;
        } else if (value == "long") {
            o.longReport = true;
        } else {
            error = name + ": '" + value + "' is neither short nor long";
            ok = false;
        }
    } else if (name == "--line-address") {
        ok = number(0, kLuMaxDev, "a device number");
        if (ok) o.lineAddress = static_cast<int>(v);
    } else if (name == "--no-defaults") {
        o.withDefaults = false;
    } else if (name == "--word-form") {
        if (value == "12" || value == "13" || value == "16") {
            o.wordForm = std::stoi(value);
            o.withDefaults = o.wordForm == 16;
        } else {
            error = name + ": '" + value + "' is none of 12, 13 and 16";
            ok = false;
        }
    } else if (name == "--nvram" || name == "--defaults") {
        SimLuWords words{};
        std::string why;
        if (value.empty() || !LoadSimLuFile(value, words, why)) {
            error = name + ": " + (value.empty() ? std::string("no file named") : why);
            ok = false;
        } else if (name == "--nvram") {
            o.nvram = words;
            o.nvramFile = value;
        } else {
            o.defaults = words;
            o.defaultsFile = value;
        }
    } else if (name == "--save") {
        if (value.empty()) {
            error = name + ": no file named";
            ok = false;
        } else {
            o.saveFile = value;
        }
    } else if (name == "--silent") {
        o.silent = true;
    } else if (name == "--param-error") {
        o.paramError = true;
    } else if (name == "--read-error") {
        o.readError = true;
    } else if (name == "--ignore-writes") {
        o.ignoreWrites = true;
    } else if (name == "--refuse") {
        o.refuse = true;
    } else if (name == "--drop") {
        ok = percent(o.dropIn, &o.dropOut);
    } else if (name == "--drop-in") {
        ok = percent(o.dropIn, nullptr);
    } else if (name == "--drop-out") {
        ok = percent(o.dropOut, nullptr);
    } else if (name == "--dup") {
        ok = percent(o.dupIn, &o.dupOut);
    } else if (name == "--dup-in") {
        ok = percent(o.dupIn, nullptr);
    } else if (name == "--dup-out") {
        ok = percent(o.dupOut, nullptr);
    } else if (name == "--delay") {
        ok = number(0, 60000, "a delay in milliseconds");
        if (ok) o.delayMs = static_cast<int>(v);
    } else if (name == "--seed") {
        ok = number(0, std::numeric_limits<int>::max(), "a seed");
        if (ok) o.seed = static_cast<unsigned>(v);
    } else if (name == "--reorder") {
        ok = percent(o.reorder, nullptr);
    } else if (name == "--blackout") {
        long at = 0, length = 0;
        ok = ParsePair(value, 0, 3600000, at, length, false);
        if (ok) {
            o.blackoutAtMs = static_cast<int>(at);
            o.blackoutMs = static_cast<int>(length);
        } else {
            error = name + ": '" + value + "' is not AT_MS:DURATION_MS (0..3600000 each)";
        }
    } else if (name == "--restart-after-writes") {
        long writes = 0, silent = o.restartSilentMs;
        ok = ParsePair(value, 0, 3600000, writes, silent, true) && writes >= 1;
        if (ok) {
            o.restartAfterWrites = static_cast<int>(writes);
            o.restartSilentMs = static_cast<int>(silent);
        } else {
            error = name + ": '" + value + "' is not N or N:SILENT_MS (N 1 or more)";
        }
    }
    if (!ok) return -1;
    i = last;
    return 1;
}

bool CheckSimLuOptions(const SimLuOptions& o, std::string& error) {
    if (!o.longReport && o.variant > 63) {
        error = FormatStr("--variant %d needs the long report: the short one holds 0..63", o.variant);
        return false;
    }
    return true;
}

std::string SimLuOptionsHelp() {
    return "Lift unit:\n"
           "  --type N            device type in the parameters report, 0..63 (default 14)\n"
           "  --variant N         model variant / controller kind, 0..4095 (short report: 0..63;\n"
           "                      default 0)\n"
           "  --fw-version A.B.C  firmware version, A 0..25, B 0..9, C 0..63 (default 2.1.5);\n"
           "                      also the value of the built-in word 0\n"
           "  --report short|long form of the parameters report (default long)\n"
           "  --line-address N    answer only requests for device N, 0..127 (default: any)\n"
           "  --no-defaults       NVRAM answers without the word's default value\n"
           "  --word-form N       units of a word answer: 16 with the default (the default), 13\n"
           "                      without it and padded (as --no-defaults), 12 without it, bare:\n"
           "                      a value of 0x8000 or more then ends in the error-report bit\n"
           "  --nvram FILE        NVRAM words from a .046 file (64 bytes; default: built-in)\n"
           "  --defaults FILE     default words from a .046 file (64 bytes; default: built-in)\n"
           "  --save FILE         write the NVRAM to a .046 file on exit\n"
           "Faults:\n"
           "  --silent            never answer any request (the link still acknowledges)\n"
           "  --param-error       answer the parameters request with an error report\n"
           "  --read-error        answer NVRAM reads with error reports\n"
           "  --ignore-writes     answer byte writes without storing them (a write-protected\n"
           "                      NVRAM: the words stay as they were)\n"
           "  --refuse            refuse every link (all links busy)\n"
           "  --drop P            drop P% of the datagrams in each direction (0..100)\n"
           "  --drop-in P         drop P% of the datagrams received\n"
           "  --drop-out P        drop P% of the datagrams sent\n"
           "  --dup P             send/take P% of the datagrams twice, each direction\n"
           "  --dup-in P          take P% of the datagrams received twice\n"
           "  --dup-out P         send P% of the datagrams twice\n"
           "  --delay MS          send answers MS milliseconds late (0..60000)\n"
           "  --seed N            seed of the drop/duplicate draws (default: random)\n"
           "  --reorder P         hold back P% of the datagrams sent and send each after the next\n"
           "                      one (alone after 500 ms when none follows)\n"
           "  --blackout AT:MS    lose every datagram both ways for MS milliseconds, from AT ms\n"
           "                      after the first datagram received\n"
           "  --restart-after-writes N[:MS]\n"
           "                      restart once right after the N-th byte write: the link is\n"
           "                      forgotten and nothing answered for MS ms (default 3000); the\n"
           "                      words written so far stay\n"
           "Values may also be attached: --type=12.\n";
}

// ---- Built-in words ---------------------------------------------------------------------

namespace {

uint16_t VersionWord(const SimLuOptions& o) {
    return static_cast<uint16_t>(((o.versionMajor * 10 + o.versionMinor) & 0xFF) |
                                 ((o.versionPatch & 0xFF) << 8));
}

}  // namespace

SimLuWords SimLuBuiltinNvram(const SimLuOptions& o) {
    // An installed unit: nine floors, a few states monitored, table usage on (0x55).
    SimLuWords w = {
        0,      0x0301, 0x0200, 0x0001, 0x0900, 0x0000, 0x03FF, 0x00FF, 0x5500, 0x7FFE, 0x00FF,
        0x000F, 0x0000, 0x0005, 0x0F0F, 0x00F0, 0x0003, 0x0101, 0x0000, 0x0001, 0x0000, 0x0000,
        0x5555, 0x3333, 0x7777, 0x1111, 0x0000, 0x2222, 0x0000, 0x0000, 0x0055, 0x0000,
    };
    w[0] = VersionWord(o);
    return w;
}

SimLuWords SimLuBuiltinDefaults(const SimLuOptions& o) {
    // Factory settings: differ from the installed unit in words 1, 4, 9, 14 and 22, so an
    // editor has something to mark.
    SimLuWords w = SimLuBuiltinNvram(o);
    w[1] = 0x0000;
    w[4] = 0x0000;
    w[9] = 0xFFFF;
    w[14] = 0x0000;
    w[22] = 0x0000;
    return w;
}

// ---- Settings files ---------------------------------------------------------------------

bool LoadSimLuFile(const std::string& path, SimLuWords& words, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = path + ": cannot be opened: " + std::strerror(errno);
        return false;
    }
    unsigned char bytes[kSimLuFileBytes + 1] = {};
    in.read(reinterpret_cast<char*>(bytes), sizeof bytes);
    const auto got = in.gcount();
    if (in.bad()) {
        error = path + ": read error";
        return false;
    }
    if (got != kSimLuFileBytes) {
        error = FormatStr("%s: %s, a .046 file holds exactly %d bytes (%d words)", path.c_str(),
                          got > kSimLuFileBytes ? "more bytes" : (std::to_string(got) + " bytes").c_str(),
                          kSimLuFileBytes, kSimLuWords);
        return false;
    }
    for (int k = 0; k < kSimLuWords; ++k) {
        words[k] = static_cast<uint16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
    }
    return true;
}

bool SaveSimLuFile(const std::string& path, const SimLuWords& words, std::string& error) {
    unsigned char bytes[kSimLuFileBytes];
    for (int k = 0; k < kSimLuWords; ++k) {
        bytes[2 * k] = static_cast<unsigned char>(words[k] & 0xFF);
        bytes[2 * k + 1] = static_cast<unsigned char>(words[k] >> 8);
    }
    const std::string temp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) {
            error = temp + ": cannot be created: " + std::strerror(errno);
            return false;
        }
        out.write(reinterpret_cast<const char*>(bytes), sizeof bytes);
        out.flush();
        if (!out) {
            error = temp + ": write error";
            out.close();
            std::remove(temp.c_str());
            return false;
        }
    }
    if (std::rename(temp.c_str(), path.c_str()) != 0) {
        error = path + ": cannot be replaced: " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

// ---- Time stamps -----------------------------------------------------------------------

std::string SimTimeStamp() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    std::tm tm{};
    const time_t secs = tv.tv_sec;
    ::localtime_r(&secs, &tm);
    return FormatStr("%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                     static_cast<int>(tv.tv_usec / 1000));
}

// ---- The unit --------------------------------------------------------------------------

SimLu::SimLu(SimLuOptions options) : options_(std::move(options)), clock_([] { return Clock::now(); }) {
    nvram_ = options_.nvram ? *options_.nvram : SimLuBuiltinNvram(options_);
    defaults_ = options_.defaults ? *options_.defaults : SimLuBuiltinDefaults(options_);
}

void SimLu::SetPrinter(std::function<void(const std::string&)> printer) {
    std::lock_guard<std::mutex> lock(mutex_);
    printer_ = std::move(printer);
}

void SimLu::SetClock(std::function<Clock::time_point()> clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = std::move(clock);
}

void SimLu::Print(const std::string& text) {
    std::function<void(const std::string&)> printer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        printer = printer_;
    }
    if (printer) printer(SimTimeStamp() + " " + text);
}

std::vector<CMes> SimLu::Handle(const CMes& request) {
    std::vector<std::string> lines;
    std::vector<CMes> answers;
    std::function<void(const std::string&)> printer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        answers = HandleLocked(request, lines);
        printer = printer_;
    }
    // Printing outside the lock: a printer may well call back into the unit.
    if (printer) {
        for (const auto& l : lines) printer(SimTimeStamp() + " " + l);
    }
    return answers;
}

std::vector<CMes> SimLu::HandleLocked(const CMes& rq, std::vector<std::string>& lines) {
    ++requests_;
    if (!firstRequest_) firstRequest_ = clock_();

    if (rq.typ != CMes::mesDevAsk || rq.len < 8) {
        lines.push_back("ignored: " + Describe(rq) + " (not a device request)");
        return {};
    }
    if (options_.lineAddress >= 0 && rq.dev != options_.lineAddress) {
        lines.push_back(FormatStr("ignored: request for device %d, this unit is device %d", rq.dev,
                                  options_.lineAddress));
        return {};
    }

    const int payloadUnits = rq.len - 8;
    unsigned char bytes[3] = {};
    CMes::Conv6To8(std::min(payloadUnits, 4), rq.data + 8, 3, bytes, 3);

    std::string what;
    switch (rq.ask) {
        case CMes::askDevParam:
            what = "device parameters";
            break;
        case CMes::askLbNVRAM:
            if (payloadUnits == 0) {
                what = FormatStr("read word %d", nextRead_);
            } else if (payloadUnits >= 4 && (bytes[0] & 0x80) && (bytes[1] & 0x80)) {
                const int addr = (bytes[0] & 0x7F) | ((bytes[1] & 15) << 7) | (((bytes[1] >> 4) & 3) << 11);
                what = FormatStr("write byte %d := 0x%02X", addr, bytes[2]);
            } else {
                lines.push_back(FormatStr(
                    "ignored: NVRAM request with %d payload units that is no byte write", payloadUnits));
                return {};
            }
            break;
        case CMes::askRestart:
            what = bytes[0] == CMes::sub18Restart ? "restart"
                                                  : FormatStr("command %d (sub-address 18)", bytes[0]);
            break;
        default:
            lines.push_back("ignored: " + Describe(rq) + " (sub-address not served)");
            return {};
    }

    if (IsDownLocked()) {
        lines.push_back(what + " -> no answer (restarting)");
        return {};
    }
    if (options_.silent) {
        lines.push_back(what + " -> no answer (silent)");
        // A silent unit still moves on, as a unit whose answers are lost would.
        if (rq.ask == CMes::askLbNVRAM && payloadUnits == 0) nextRead_ = (nextRead_ + 1) % kSimLuWords;
        return {};
    }

    if (rq.ask == CMes::askDevParam) {
        if (options_.paramError) {
            lines.push_back(what + " -> error report (fault)");
            return {ErrorReport(rq)};
        }
        lines.push_back(FormatStr("%s -> %s report: type %d, variant %d, version %d.%d.%d", what.c_str(),
                                  options_.longReport ? "long" : "short", options_.devType, options_.variant,
                                  options_.versionMajor, options_.versionMinor, options_.versionPatch));
        return {DeviceParameters(rq)};
    }

    if (rq.ask == CMes::askRestart) {
        if (bytes[0] == CMes::sub18Restart) {
            ++restarts_;
            lines.push_back(FormatStr("restart requested (restart %d)", restarts_));
        } else {
            lines.push_back(what + " ignored");
        }
        return {};
    }

    // NVRAM service.
    if (payloadUnits == 0) {
        const int word = nextRead_;
        nextRead_ = (nextRead_ + 1) % kSimLuWords;
        if (options_.readError) {
            lines.push_back(what + " -> error report (fault)");
            return {ErrorReport(rq)};
        }
        if (options_.withDefaults) {
            lines.push_back(what + " -> " + Hex4(nvram_[word]) + " (default " + Hex4(defaults_[word]) + ")");
        } else {
            lines.push_back(what + " -> " + Hex4(nvram_[word]));
        }
        NoteWordAnswered(word);
        return {WordAnswer(rq, word)};
    }

    const int addr = (bytes[0] & 0x7F) | ((bytes[1] & 15) << 7) | (((bytes[1] >> 4) & 3) << 11);
    const int word = addr / 2;
    if (word >= kSimLuWords) {
        lines.push_back(
            what + FormatStr(" -> refused: the unit has bytes 0..%d (error report)", kSimLuFileBytes - 1));
        return {ErrorReport(rq)};
    }
    uint16_t& w = nvram_[word];
    if (options_.ignoreWrites) {
        lines.push_back(what + FormatStr(" -> ignored, word %d stays ", word) + Hex4(w));
        return {WordAnswer(rq, word)};
    }
    if (addr % 2 == 0) {
        w = static_cast<uint16_t>((w & 0xFF00) | bytes[2]);
    } else {
        w = static_cast<uint16_t>((w & 0x00FF) | (bytes[2] << 8));
    }
    lines.push_back(what + FormatStr(" -> word %d = ", word) + Hex4(w));
    if (++byteWrites_ == options_.restartAfterWrites) {
        // The byte is in, its answer never leaves: the unit goes down right after taking it.
        downUntil_ = clock_() + std::chrono::milliseconds(options_.restartSilentMs);
        linkReset_ = true;
        lines.push_back(FormatStr("unit restarts after %d byte writes (fault): silent for %d ms", byteWrites_,
                                  options_.restartSilentMs));
        return {};
    }
    return {WordAnswer(rq, word)};
}

void SimLu::NoteWordAnswered(int word) {
    wordsAnswered_.insert(word);
    if (!allWords_ && static_cast<int>(wordsAnswered_.size()) == kSimLuWords) {
        allWords_ = clock_();
    }
}

CMes SimLu::Answer(const CMes& rq, const unsigned char* units, int n) const {
    // Back the way the request came: its sender becomes the receiver.
    return CMes(rq.origNode, rq.origSub, rq.destNode, rq.destSub, rq.dev, CMes::mesDevAnswer,
                static_cast<CMes::askFromMain>(rq.ask), units, n, -1);
}

CMes SimLu::ErrorReport(const CMes& rq) const {
    const unsigned char unit = kErrorUnit;
    return Answer(rq, &unit, 1);
}

CMes SimLu::DeviceParameters(const CMes& rq) const {
    // Units from parameter unit 2 on (the first two hold device number and sub-address).
    unsigned char u[22] = {};
    u[0] = static_cast<unsigned char>(options_.devType & 63);  // 2: type
    u[3] = static_cast<unsigned char>(options_.variant & 63);  // 5: variant
    if (!options_.longReport) {
        // Exactly 14 units; the last one stays 0 so the report is no error report.
        return Answer(rq, u, 6);
    }
    u[4] = 0;                                                         // 6: 0 marks the long form
    u[5] = static_cast<unsigned char>((options_.variant >> 6) & 63);  // 7: variant, high part
    u[7] = static_cast<unsigned char>(options_.versionMajor & 63);    // 9
    u[8] = static_cast<unsigned char>(options_.versionMinor & 63);    // 10
    u[9] = static_cast<unsigned char>(options_.versionPatch & 63);    // 11
    return Answer(rq, u, 22);
}

CMes SimLu::WordAnswer(const CMes& rq, int word) const {
    const uint16_t v = nvram_[word];
    const uint16_t d = defaults_[word];
    const unsigned char bytes[6] = {
        static_cast<unsigned char>(word & 0x7F), static_cast<unsigned char>(v & 0xFF),
        static_cast<unsigned char>(v >> 8),      static_cast<unsigned char>(d & 0xFF),
        static_cast<unsigned char>(d >> 8),      0};
    unsigned char units[9] = {};
    if (options_.withDefaults) {
        // 16 units; the padding byte keeps the last unit 0.
        const int n = CMes::Conv8To6(6, bytes, units, 8);
        return Answer(rq, units, n);
    }
    // The last of four units carries the top bits of the value's high byte: a value of
    // 0x8000 or more ends the bare form in a unit with bit 5 set, the bit of an error report.
    // The padded form adds one unit that keeps every value clear of it.
    const int n = CMes::Conv8To6(3, bytes, units, 4);
    if (options_.wordForm == 12) return Answer(rq, units, n);
    units[n] = 0;
    return Answer(rq, units, n + 1);
}

std::string SimLu::Describe(const CMes& rq) const {
    return FormatStr("type %d from %d:%d to %d:%d, device %d, sub-address %d, %d units", rq.typ, rq.origNode,
                     rq.origSub, rq.destNode, rq.destSub, rq.dev, rq.ask, rq.len);
}

std::optional<std::chrono::nanoseconds> SimLu::TimeToAllWords() const {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!firstRequest_ || !allWords_) return std::nullopt;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(*allWords_ - *firstRequest_);
}

std::string SimLu::TimingReport() const {
    const auto t = TimeToAllWords();
    if (t) {
        return FormatStr("%s: first request to answer of word 32: %.3f ms", options_.program.c_str(),
                         std::chrono::duration<double, std::milli>(*t).count());
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return FormatStr("%s: first request to answer of word 32: not reached (%zu of %d words answered)",
                     options_.program.c_str(), wordsAnswered_.size(), kSimLuWords);
}

bool SimLu::SaveNvram(std::string& error) {
    SimLuWords words;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        words = nvram_;
    }
    if (options_.saveFile.empty()) {
        error = "no file to save the NVRAM into (--save FILE)";
        return false;
    }
    return SaveSimLuFile(options_.saveFile, words, error);
}

SimLuWords SimLu::Nvram() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nvram_;
}

SimLuWords SimLu::Defaults() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return defaults_;
}

int SimLu::NextReadWord() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return nextRead_;
}

bool SimLu::IsDownLocked() const {
    return downUntil_ && clock_() < *downUntil_;
}

bool SimLu::IsDown() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return IsDownLocked();
}

bool SimLu::TakeLinkReset() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::exchange(linkReset_, false);
}

int SimLu::RestartCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return restarts_;
}

int SimLu::RequestCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

// ---- Datagram faults -------------------------------------------------------------------

SimFaults::SimFaults(const SimLuOptions& o)
    : random_(o.seed != 0 ? o.seed : std::random_device{}()),
      delayMs_(o.delayMs),
      reorderPercent_(o.reorder),
      blackoutAtMs_(o.blackoutAtMs),
      blackoutMs_(o.blackoutMs),
      clock_([] { return Clock::now(); }) {
    in_.dropPercent = o.dropIn;
    in_.dupPercent = o.dupIn;
    out_.dropPercent = o.dropOut;
    out_.dupPercent = o.dupOut;
}

void SimFaults::SetClock(std::function<Clock::time_point()> clock) {
    std::lock_guard<std::mutex> lock(mutex_);
    clock_ = std::move(clock);
}

bool SimFaults::Hit(int percent) {
    if (percent <= 0) return false;
    if (percent >= 100) return true;
    return std::uniform_int_distribution<int>(0, 99)(random_) < percent;
}

bool SimFaults::InBlackout(Clock::time_point now) const {
    if (blackoutAtMs_ < 0 || !firstIn_) return false;
    const auto from = *firstIn_ + std::chrono::milliseconds(blackoutAtMs_);
    return now >= from && now < from + std::chrono::milliseconds(blackoutMs_);
}

int SimFaults::Copies(SimDirection d) {
    std::lock_guard<std::mutex> lock(mutex_);
    const auto now = clock_();
    if (d == SimDirection::In && !firstIn_) firstIn_ = now;
    if (InBlackout(now)) {
        ++blackedOut_;
        return 0;
    }
    Way& w = At(d);
    if (Hit(w.dropPercent)) {
        ++w.dropped;
        return 0;
    }
    if (Hit(w.dupPercent)) {
        ++w.duplicated;
        return 2;
    }
    return 1;
}

std::vector<SimFaults::Send> SimFaults::Reorder(Send send) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (held_) {
        std::vector<Send> due{std::move(send), std::move(*held_)};
        held_.reset();
        ++reordered_;
        return due;
    }
    if (Hit(reorderPercent_)) {
        held_ = std::move(send);
        heldAt_ = clock_();
        return {};
    }
    return {std::move(send)};
}

std::vector<SimFaults::Send> SimFaults::Overdue() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!held_ || clock_() - heldAt_ < kMaxHold) return {};
    std::vector<Send> due{std::move(*held_)};
    held_.reset();
    return due;
}

bool SimFaults::Active() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return in_.dropPercent || in_.dupPercent || out_.dropPercent || out_.dupPercent || delayMs_ ||
           reorderPercent_ || blackoutAtMs_ >= 0;
}

int SimFaults::Dropped(SimDirection d) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return At(d).dropped;
}

int SimFaults::Duplicated(SimDirection d) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return At(d).duplicated;
}

int SimFaults::Reordered() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return reordered_;
}

int SimFaults::BlackedOut() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return blackedOut_;
}

std::string SimFaults::Summary() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text = FormatStr("in: %d dropped, %d duplicated; out: %d dropped, %d duplicated", in_.dropped,
                                 in_.duplicated, out_.dropped, out_.duplicated);
    if (reorderPercent_ > 0) text += FormatStr("; %d sent after a later one", reordered_);
    if (blackoutAtMs_ >= 0) text += FormatStr("; %d lost in the blackout", blackedOut_);
    return text;
}
