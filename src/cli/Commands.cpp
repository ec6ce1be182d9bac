#include "Commands.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <sstream>

#include "CliOptions.h"
#include "CliTexts.h"
#include "ClientCFG.h"
#include "LoadRes.h"
#include "LogDecode.h"
#include "ParamView.h"
#include "SettingsFile.h"
#include "UnitRun.h"

namespace {

std::atomic<bool> g_Stop{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set from a signal handler");

void OnStopSignal(int) {
    g_Stop.store(true);
}

void Out(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

void Err(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    if (!text.empty() && text.back() != '\n') std::fputc('\n', stderr);
}

bool IsTerminal(int fd) {
    return ::isatty(fd) == 1;
}

// Without --lang: the client configuration file as the window reads it, and without one the
// language of the environment.
void ChooseLanguage(const std::optional<bool>& english) {
    if (english) {
        g_StringENU = *english;
        return;
    }
    struct stat st {};
    const std::string cfg = CClientCFG::FileName();
    if (!cfg.empty() && ::stat(cfg.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        g_StringENU = false;
        try {
            CClientCFG::SetDefLanguage();
        } catch (const ErrorXML&) {
        }
        return;
    }
    const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
    for (const char* name : names) {
        const char* value = std::getenv(name);
        if (value != nullptr && *value != '\0') {
            g_StringENU = std::strncmp(value, "ru", 2) != 0;
            return;
        }
    }
    g_StringENU = true;
}

void SetLocale() {
    if (std::setlocale(LC_ALL, "") == nullptr) std::setlocale(LC_ALL, "C.UTF-8");
    // Numbers are written and read with a point, whatever the environment says.
    std::setlocale(LC_NUMERIC, "C.UTF-8");
}

void InstallStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// --tick sets the pace of everything that waits for the unit: the session's clocks and the
// links' repeats keep their proportions, so a write's bound never ends before the link has
// repeated what it lost.
double PaceFactor(const CliOptions& o) {
    return o.tickMs > 0 ? o.tickMs / static_cast<double>(UnitSessionTiming{}.tick.count()) : 1.0;
}

bool LoadImage(const std::string& path, WordMap& words) {
    SettingsFileError e;
    if (LoadSettingsFile(path, words, e)) return true;
    const DBString p = Wide(path);
    switch (e.kind) {
        case SettingsFileError::typKind::WrongLength:
            Err(TextF(kTextFileLength, p.c_str(), e.length));
            break;
        case SettingsFileError::typKind::NotRegular:
            Err(TextF(kTextFileNotRegular, p.c_str()));
            break;
        default:
            Err(TextF(kTextFileUnreadable, p.c_str(), Wide(std::strerror(e.error)).c_str()));
            break;
    }
    return false;
}

bool SaveImage(const std::string& path, const WordMap& words, std::string& error) {
    SettingsFileError e;
    if (SaveSettingsFile(path, words, e)) return true;
    error = TextF(kTextFileNotSaved, Wide(path).c_str(), Wide(std::strerror(e.error)).c_str());
    return false;
}

void WordsJson(JsonWriter& json, const WordMap& words) {
    json.BeginArray();
    for (int w = 0; w < kLuWords; ++w) json.Int(GetWord(words, w));
    json.EndArray();
}

// The outcome as one word for scripts, the same in every language.
std::string StatusWord(int status) {
    static const char* const kStatus[] = {"ok",      "failed",    "usage",         "not-responding",
                                          "refused", "link-lost", "verify-failed", "not-confirmed"};
    if (status >= 0 && status < static_cast<int>(std::size(kStatus))) return kStatus[status];
    return status == kExitInterrupted ? "interrupted" : "failed";
}

// The one-line account of a unit of a list.
std::string Summary(const CUnitRun& unit, bool dryRun, const std::string& saved) {
    const UnitResult& r = unit.Result();
    const int status = r.exit;
    std::string text;
    if (status != kExitDone) {
        text = r.reason;
    } else if (unit.Job().work == UnitJob::typWork::Read) {
        text = TextF(kTextUnitRead, static_cast<int>(r.read.size()), Wide(saved).c_str());
    } else if (r.bytesWritten == 0) {
        text = Text(kTextUnitNothingToWrite);
    } else if (dryRun) {
        text = TextF(kTextUnitDryRun, static_cast<int>(LuWriteBytes(r.read, unit.Job().image).size()));
    } else {
        text = TextF(kTextUnitWritten, r.bytesWritten);
    }
    if (status == kExitDone && r.restarted) text += "; " + Text(kTextUnitRestarted);
    for (char& c : text)
        if (c == '\n') c = ' ';
    return unit.Name() + "\t" + StatusWord(status) + "\t" + text + "\n";
}

class Cli {
public:
    explicit Cli(const CliOptions& o)
        : m_O(o),
          m_Fleet(m_Logs, o.jobs, UnitSessionTiming{}.Scaled(PaceFactor(o)),
                  LinkTiming{}.Scaled(PaceFactor(o))) {}

    // `commandLine` goes into the error log's start line, as the window writes its own.
    int Run(const std::string& commandLine);

private:
    int Read();
    int Write();
    int Diff();
    int Show();
    int Restart();
    int DecodeLog();
    int Fleet();

    // One unit of the command line, run to its end.
    const UnitResult& RunOne(UnitJob job, CUnitRun::Gate gate = {});
    void RunFleet();
    void ShowProgress(const CFleet& fleet);
    void EndProgress();
    int Failed(const UnitResult& r);

    int ProtoVer(int devType) const { return ProtoVerOfType(devType); }

    const CliOptions& m_O;
    ToolLogs m_Logs;
    CFleet m_Fleet;
    bool m_Progress = IsTerminal(STDERR_FILENO);
    bool m_ProgressShown = false;
};

int Cli::Run(const std::string& commandLine) {
    m_Logs.bad.Open("C", "log");
    m_Logs.bad.PutUtf8("Start tolvane-cli" + commandLine);
    int status = kExitFailed;
    switch (m_O.command) {
        case typCommand::Read:
            status = m_O.unitsFile.empty() ? Read() : Fleet();
            break;
        case typCommand::Write:
            status = m_O.unitsFile.empty() ? Write() : Fleet();
            break;
        case typCommand::Diff:
            status = Diff();
            break;
        case typCommand::Show:
            status = Show();
            break;
        case typCommand::Restart:
            status = Restart();
            break;
        case typCommand::DecodeLog:
            status = DecodeLog();
            break;
        case typCommand::None:
            break;
    }
    std::fflush(stdout);
    m_Logs.bad.PutUtf8("Stop");
    return status;
}

void Cli::ShowProgress(const CFleet& fleet) {
    if (!m_Progress) return;
    std::string text;
    if (fleet.Units().size() > 1) {
        text = TextF(kTextProgressUnits, static_cast<int>(fleet.Finished()),
                     static_cast<int>(fleet.Units().size()));
    } else {
        const CUnitRun& u = *fleet.Units().front();
        // The question stands alone on its line until it is answered.
        if (!u.IsRunning() || u.IsAsking()) return;
        text = TextF(u.IsVerifying() ? kTextProgressVerifying : kTextProgressLoading, u.WordsIn());
    }
    std::fputs(("\r" + text + "\033[K").c_str(), stderr);
    m_ProgressShown = true;
}

void Cli::EndProgress() {
    if (m_ProgressShown) std::fputs("\r\033[K", stderr);
    m_ProgressShown = false;
}

const UnitResult& Cli::RunOne(UnitJob job, CUnitRun::Gate gate) {
    auto unit = std::make_unique<CUnitRun>(std::string(), m_O.link, std::move(job));
    unit->SetGate(std::move(gate));
    m_Fleet.Add(std::move(unit));
    RunFleet();
    return m_Fleet.Units().front()->Result();
}

void Cli::RunFleet() {
    m_Fleet.onProgress = [this](const CFleet& f) { ShowProgress(f); };
    m_Fleet.Run(g_Stop);
    EndProgress();
}

int Cli::Failed(const UnitResult& r) {
    Err(r.reason);
    return r.exit;
}

int Cli::Read() {
    const UnitResult& r = RunOne(UnitJob{});
    if (r.exit != kExitDone) return Failed(r);
    if (!m_O.output.empty()) {
        std::string error;
        if (!SaveImage(m_O.output, r.read, error)) {
            Err(error);
            return kExitFailed;
        }
    }
    const int protoVer = ProtoVer(r.devType);
    const auto values = ParamValues(r.read, r.defaultsComplete ? &r.defaults : nullptr, protoVer);
    if (m_O.json) {
        JsonWriter json;
        json.BeginObject();
        json.Key("type").Int(r.devType);
        json.Key("type_name").String(r.typeName);
        json.Key("protocol").Int(protoVer);
        json.Key("words");
        WordsJson(json, r.read);
        json.Key("defaults");
        if (r.defaultsComplete)
            WordsJson(json, r.defaults);
        else
            json.Null();
        json.Key("parameters");
        ValuesJson(json, values);
        json.EndObject();
        Out(json.Take());
    } else if (m_O.output.empty()) {
        Out(ValuesText(values));
    }
    return kExitDone;
}

int Cli::Write() {
    UnitJob job;
    job.work = UnitJob::typWork::Write;
    job.restartAfter = m_O.restart;
    if (!LoadImage(m_O.args[0], job.image)) return kExitFailed;
    const WordMap image = job.image;
    const bool ask = !m_O.yes && !m_O.dryRun && IsTerminal(STDIN_FILENO);
    const UnitResult& r = RunOne(std::move(job), [&](const CUnitRun& unit) {
        const WordMap& read = unit.Result().read;
        const int bytes = static_cast<int>(LuWriteBytes(read, image).size());
        EndProgress();
        Out(TextF(kTextChanges, bytes) + "\n" +
            ChangesText(DescribeChanges(ProtoVer(unit.Result().devType), read, image)));
        std::fflush(stdout);
        if (m_O.dryRun) return typGate::Stop;
        if (!ask) return typGate::Go;
        std::fputs(TextF(kTextAskWrite, bytes).c_str(), stderr);
        return typGate::Ask;
    });
    if (r.exit != kExitDone) return Failed(r);
    if (r.bytesWritten == 0) Out(Text(kTextNothingToWrite) + "\n");
    if (r.written == typWriteResult::Verified) Out(Text(kTextWriteVerified) + "\n");
    if (r.restarted) Out(Text(kTextRestartSent) + "\n");
    return kExitDone;
}

int Cli::Restart() {
    UnitJob job;
    job.work = UnitJob::typWork::Restart;
    const UnitResult& r = RunOne(std::move(job));
    if (r.exit != kExitDone) return Failed(r);
    Out(Text(kTextRestartSent) + "\n");
    return kExitDone;
}

int Cli::Diff() {
    WordMap sides[2];
    int devType = m_O.devType;
    bool unitRead = false;
    for (int i = 0; i < 2; ++i) {
        if (m_O.args[static_cast<size_t>(i)] != "unit") {
            if (!LoadImage(m_O.args[static_cast<size_t>(i)], sides[i])) return kExitFailed;
            continue;
        }
        if (!unitRead) {
            const UnitResult& r = RunOne(UnitJob{});
            if (r.exit != kExitDone) return Failed(r);
            unitRead = true;
            devType = r.devType;
        }
        sides[i] = m_Fleet.Units().front()->Result().read;
    }
    const auto changes = DescribeChanges(ProtoVer(devType), sides[0], sides[1]);
    if (m_O.json) {
        JsonWriter json;
        json.BeginObject();
        json.Key("type").Int(devType);
        json.Key("changes");
        ChangesJson(json, changes);
        json.EndObject();
        Out(json.Take());
    } else {
        Out(changes.empty() ? Text(kTextNoDifference) + "\n" : ChangesText(changes));
    }
    return kExitDone;
}

int Cli::Show() {
    WordMap words;
    if (!LoadImage(m_O.args[0], words)) return kExitFailed;
    const int protoVer = ProtoVer(m_O.devType);
    const auto values = ParamValues(words, nullptr, protoVer);
    if (!m_O.json) {
        Out(ValuesText(values));
        return kExitDone;
    }
    JsonWriter json;
    json.BeginObject();
    json.Key("type").Int(m_O.devType);
    json.Key("protocol").Int(protoVer);
    json.Key("words");
    WordsJson(json, words);
    json.Key("parameters");
    ValuesJson(json, values);
    json.EndObject();
    Out(json.Take());
    return kExitDone;
}

int Cli::DecodeLog() {
    const std::string& path = m_O.args[0];
    std::ifstream file;
    if (path != "-") {
        file.open(path, std::ios::binary);
        if (!file) {
            Err(TextF(kTextLogUnreadable, Wide(path).c_str(), Wide(std::strerror(errno)).c_str()));
            return kExitFailed;
        }
    }
    std::istream& in = path == "-" ? std::cin : file;
    int decoded = 0;
    std::string out;
    for (std::string line; std::getline(in, line);) {
        if (const auto parsed = ParseLogLine(line)) {
            out += DecodeLogLine(*parsed) + "\n";
            ++decoded;
        } else if (!line.empty()) {
            out += "? " + line + "\n";
        }
        if (out.size() > 65536) {
            Out(out);
            out.clear();
        }
    }
    Out(out);
    if (decoded > 0) return kExitDone;
    Err(TextF(kTextLogNothingDecoded, Wide(path).c_str()));
    return kExitFailed;
}

int Cli::Fleet() {
    std::ifstream file(m_O.unitsFile, std::ios::binary);
    if (!file) {
        Err(TextF(kTextFileUnreadable, Wide(m_O.unitsFile).c_str(), Wide(std::strerror(errno)).c_str()));
        return kExitFailed;
    }
    std::stringstream text;
    text << file.rdbuf();
    std::vector<UnitLine> lines;
    DBString error;
    if (!ParseUnitList(text.str(), lines, error)) {
        Err(error.ToStr());
        return kExitUsage;
    }
    UnitJob job;
    if (m_O.command == typCommand::Write) {
        job.work = UnitJob::typWork::Write;
        job.restartAfter = m_O.restart;
        if (!LoadImage(m_O.args[0], job.image)) return kExitFailed;
        if (!m_O.yes && !m_O.dryRun && IsTerminal(STDIN_FILENO)) {
            std::fputs(
                TextF(kTextAskWriteUnits, Wide(m_O.args[0]).c_str(), static_cast<int>(lines.size())).c_str(),
                stderr);
            std::atomic<bool> never{false};
            if (!ReadYes(never)) {
                Err(Text(kTextNotWritten));
                return kExitNotConfirmed;
            }
        }
    }
    const std::string dir = m_O.output.empty() ? std::string(".") : m_O.output;
    for (const UnitLine& line : lines) {
        // Options on the command line serve every unit; the list's own follow and win.
        std::vector<std::string> link = m_O.link;
        link.insert(link.end(), line.link.begin(), line.link.end());
        auto unit = std::make_unique<CUnitRun>(line.name, std::move(link), job);
        if (m_O.dryRun) unit->SetGate([](const CUnitRun&) { return typGate::Stop; });
        m_Fleet.Add(std::move(unit));
    }
    if (job.work == UnitJob::typWork::Read) ::mkdir(dir.c_str(), 0775);

    std::vector<bool> reported(lines.size(), false);
    // Each image is saved on a thread of its own as soon as its unit is done: a save waits for
    // the disk twice, and a list's saves one after the other would hold up the units still
    // running and the end of the run.
    std::vector<std::future<std::string>> saves(lines.size());
    int failed = 0;
    auto report = [&](const CFleet& fleet, bool wait) {
        for (size_t i = 0; i < fleet.Units().size(); ++i) {
            const CUnitRun& u = *fleet.Units()[i];
            if (reported[i] || !u.IsDone()) continue;
            const bool save = u.Result().exit == kExitDone && job.work == UnitJob::typWork::Read;
            const std::string path = dir + "/" + u.Name() + ".046";
            if (save && !saves[i].valid()) {
                saves[i] = std::async(std::launch::async, [path, words = u.Result().read] {
                    std::string why;
                    SaveImage(path, words, why);
                    return why;
                });
            }
            if (save && !wait && saves[i].wait_for(std::chrono::seconds(0)) != std::future_status::ready)
                continue;
            reported[i] = true;
            const std::string why = save ? saves[i].get() : std::string();
            EndProgress();
            if (!why.empty())
                Out(u.Name() + "\t" + StatusWord(kExitFailed) + "\t" + why + "\n");
            else
                Out(Summary(u, m_O.dryRun, save ? path : std::string()));
            std::fflush(stdout);
            if (!why.empty() || u.Result().exit != kExitDone) ++failed;
        }
        ShowProgress(fleet);
    };
    m_Fleet.onProgress = [&report](const CFleet& fleet) { report(fleet, false); };
    m_Fleet.Run(g_Stop);
    report(m_Fleet, true);
    EndProgress();
    if (failed == 0) return kExitDone;
    Err(TextF(kTextUnitsFailed, failed, static_cast<int>(lines.size())));
    return kExitSomeUnitsFailed;
}

}  // namespace

int RunCli(const std::vector<std::string>& args) {
    SetLocale();
    ChooseLanguage(FindLanguage(args));
    CliOptions options;
    DBString error;
    if (!ParseCliOptions(args, options, error)) {
        Err(error.ToStr());
        Err(Text(kTextTryHelp));
        return kExitUsage;
    }
    if (options.help) {
        for (int t = kTextHelpFirst; t <= kTextHelpLast; ++t) Out(Text(t) + "\n");
        return kExitDone;
    }
    InstallStopSignals();
    std::string commandLine;
    for (const std::string& arg : args) commandLine += " " + arg;
    Cli cli(options);
    return cli.Run(commandLine);
}
