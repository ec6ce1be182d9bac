#include "SimProcessUtil.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// Asks `done` again every few milliseconds until it holds or the time is up; a last look
// after the time is up.
bool Poll(const std::function<bool()>& done, SimProcess::Ms timeout) {
    for (const auto deadline = Clock::now() + timeout; !done();
         std::this_thread::sleep_for(SimProcess::Ms(5)))
        if (Clock::now() >= deadline) return done();
    return true;
}

}  // namespace

SimProcess::~SimProcess() {
    Kill();
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
}

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& args, Ms timeout,
                       std::string* error) {
    return Launch(program, args, error) && ReadPort(timeout, error);
}

bool SimProcess::Launch(const std::string& program, const std::vector<std::string>& args,
                        std::string* error) {
    char pattern[] = "/tmp/tolvane-process-XXXXXX";
    if (pid_ > 0 || ::mkdtemp(pattern) == nullptr) {
        if (error) *error = pid_ > 0 ? "already launched" : std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    dir_ = pattern;
    const std::string out = dir_ + "/1", err = dir_ + "/2";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0600);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    reaped_ = false;
    if (rc == 0) return true;
    pid_ = -1;
    if (error) *error = "posix_spawn " + program + ": " + std::strerror(rc);
    return false;
}

bool SimProcess::ReadPort(Ms timeout, std::string* error) {
    bool ended = false;
    Poll([&] { return (ended = Ended()) || !Read(1).empty(); }, timeout);
    const std::string first = FirstLine();
    const auto colon = first.rfind(':');
    char* end = nullptr;
    const long port = colon == std::string::npos ? 0 : std::strtol(first.c_str() + colon + 1, &end, 10);
    if (port > 0 && port <= 65535 && *end == '\0') {
        port_ = static_cast<int>(port);
        return true;
    }
    if (!error) return false;
    *error = !first.empty() ? "no port in: " + first
             : ended        ? "the program ended its output without a first line"
                            : "no first line within " + std::to_string(timeout.count()) + " ms";
    for (const auto& l : first.empty() ? ErrLines() : std::vector<std::string>()) *error += "\n  " + l;
    return false;
}

std::vector<std::string> SimProcess::Read(int fd) const {
    const bool ended = Ended();  // before reading: then the file is whole
    std::ifstream in(dir_ + "/" + std::to_string(fd), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);)
        if (!text.eof() || ended) lines.push_back(line);
    return lines;
}

std::string SimProcess::FirstLine() const {
    const auto lines = Read(1);
    return lines.empty() ? std::string() : lines[0];
}

std::vector<std::string> SimProcess::Lines() const {
    auto lines = Read(1);
    if (!lines.empty()) lines.erase(lines.begin());
    return lines;
}

bool SimProcess::WaitForLine(const std::function<bool(const std::string&)>& match, Ms timeout,
                             std::string* found, std::size_t from, std::size_t* index) const {
    bool matched = false;
    Poll(
        [&] {
            const bool ended = Ended();  // then no line is still to come
            const auto lines = Lines();
            for (std::size_t i = from; i < lines.size() && !matched; ++i) {
                if (!match(lines[i])) continue;
                if (found) *found = lines[i];
                if (index) *index = i;
                matched = true;
            }
            return matched || ended;
        },
        timeout);
    return matched;
}

bool SimProcess::WaitForLineContaining(const std::string& text, Ms timeout, std::string* found,
                                       std::size_t from) const {
    return WaitForLine([&text](const std::string& l) { return l.find(text) != std::string::npos; }, timeout,
                       found, from);
}

bool SimProcess::Signal(int sig) const {
    return pid_ > 0 && !reaped_ && ::kill(pid_, sig) == 0;
}

bool SimProcess::Ended() const {
    // WNOWAIT leaves the child to be reaped by Wait, with its status.
    siginfo_t info{};
    return pid_ > 0 &&
           (reaped_ || (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                        info.si_pid == pid_));
}

std::optional<int> SimProcess::Wait(Ms timeout) {
    if (pid_ <= 0 || !Poll([this] { return Ended(); }, timeout)) return std::nullopt;
    while (!reaped_ && ::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    return status_;
}

std::optional<int> SimProcess::WaitExitCode(Ms timeout) {
    const auto status = Wait(timeout);
    if (!status) return std::nullopt;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool SimProcess::WaitOutputClosed(Ms timeout) const {
    return Poll([this] { return Ended(); }, timeout);
}

void SimProcess::Kill() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}
