#include "SimProcessUtil.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

SimProcess::~SimProcess() {
    Kill();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (reader_.joinable()) reader_.join();
}

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& args, Ms timeout,
                       std::string* error) {
    return Launch(program, args, error) && ReadPort(timeout, error);
}

bool SimProcess::Launch(const std::string& program, const std::vector<std::string>& args,
                        std::string* error) {
    auto fail = [error](const std::string& why) {
        if (error) *error = why;
        return false;
    };
    int out[2] = {-1, -1}, err[2] = {-1, -1};
    if (pid_ > 0) return fail("already launched");
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        for (int fd : {out[0], out[1]}) ::close(fd);
        return fail(std::string("pipe2: ") + std::strerror(errno));
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto 1 and 2 drops the close-on-exec flag there, and only there.
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    std::vector<std::string> all = {program};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    const int rc = ::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (rc != 0) {
        pid_ = -1;
        ::close(out[0]);
        ::close(err[0]);
        return fail("posix_spawn " + program + ": " + std::strerror(rc));
    }
    reaped_ = false;
    reader_ = std::thread(&SimProcess::ReaderLoop, this, out[0], err[0]);
    return true;
}

bool SimProcess::ReadPort(Ms timeout, std::string* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [this] { return haveFirst_ || closed_[0]; });
    const auto colon = first_.rfind(':');
    char* end = nullptr;
    const long port = colon == std::string::npos ? 0 : std::strtol(first_.c_str() + colon + 1, &end, 10);
    if (haveFirst_ && port > 0 && port <= 65535 && *end == '\0') {
        port_ = static_cast<int>(port);
        return true;
    }
    if (error && haveFirst_) *error = "no port in: " + first_;
    if (error && !haveFirst_) {
        *error = closed_[0] ? "the program ended its output without a first line"
                            : "no first line within " + std::to_string(timeout.count()) + " ms";
        for (const auto& l : lines_[1]) *error += "\n  " + l;
    }
    return false;
}

bool SimProcess::WaitForLine(const std::function<bool(const std::string&)>& match, Ms timeout,
                             std::string* found, std::size_t from, std::size_t* index) const {
    std::unique_lock<std::mutex> lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (std::size_t next = from;; ++next) {
        if (!changed_.wait_until(lock, deadline, [&] { return next < lines_[0].size() || closed_[0]; }) ||
            next >= lines_[0].size())
            return false;
        if (!match(lines_[0][next])) continue;
        if (found) *found = lines_[0][next];
        if (index) *index = next;
        return true;
    }
}

bool SimProcess::WaitForLineContaining(const std::string& text, Ms timeout, std::string* found,
                                       std::size_t from) const {
    return WaitForLine([&text](const std::string& l) { return l.find(text) != std::string::npos; }, timeout,
                       found, from);
}

bool SimProcess::Signal(int sig) const {
    return pid_ > 0 && !reaped_ && ::kill(pid_, sig) == 0;
}

std::optional<int> SimProcess::Wait(Ms timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (pid_ > 0 && !reaped_) {
        const pid_t r = ::waitpid(pid_, &status_, WNOHANG);
        reaped_ = r == pid_;
        if ((r < 0 && errno != EINTR) || (!reaped_ && std::chrono::steady_clock::now() >= deadline))
            return std::nullopt;
        if (!reaped_) std::this_thread::sleep_for(Ms(5));
    }
    if (pid_ <= 0) return std::nullopt;
    return status_;
}

std::optional<int> SimProcess::WaitExitCode(Ms timeout) {
    const auto status = Wait(timeout);
    if (!status) return std::nullopt;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool SimProcess::WaitOutputClosed(Ms timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return closed_[0] && closed_[1]; });
}

void SimProcess::Kill() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, &status_, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
}

void SimProcess::ReaderLoop(int outFd, int errFd) {
    int fds[2] = {outFd, errFd};
    std::string partial[2];
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_ || (fds[0] < 0 && fds[1] < 0)) break;
        }
        // poll ignores a closed pipe's negative descriptor.
        pollfd p[2] = {{fds[0], POLLIN, 0}, {fds[1], POLLIN, 0}};
        if (::poll(p, 2, 50) < 0 && errno != EINTR) break;
        for (int k = 0; k < 2; ++k) {
            if (fds[k] < 0 || (p[k].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            char buf[4096];
            const ssize_t got = ::read(fds[k], buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (got > 0) partial[k].append(buf, static_cast<std::size_t>(got));
            if (got <= 0 && !partial[k].empty()) partial[k] += '\n';  // an unterminated last line
            for (std::size_t pos; (pos = partial[k].find('\n')) != std::string::npos;
                 partial[k].erase(0, pos + 1)) {
                if (k == 0 && !haveFirst_) {
                    first_ = partial[k].substr(0, pos);
                    haveFirst_ = true;
                } else {
                    lines_[k].push_back(partial[k].substr(0, pos));
                }
            }
            if (got <= 0) {
                ::close(fds[k]);
                fds[k] = -1;
                closed_[k] = true;
            }
            changed_.notify_all();
        }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    for (int k = 0; k < 2; ++k) {
        if (fds[k] >= 0) ::close(fds[k]);
        closed_[k] = true;
    }
    changed_.notify_all();
}
