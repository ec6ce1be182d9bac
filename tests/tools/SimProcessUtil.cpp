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

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

}  // namespace

SimProcess::~SimProcess() {
    Kill();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    if (reader_.joinable()) {
        reader_.join();
    }
}

bool SimProcess::Start(const std::string& program, const std::vector<std::string>& args, Ms timeout,
                       std::string* error) {
    return Launch(program, args, error) && ReadPort(timeout, error);
}

bool SimProcess::Launch(const std::string& program, const std::vector<std::string>& args,
                        std::string* error) {
    if (pid_ > 0) {
        if (error) *error = "already launched";
        return false;
    }
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        if (error) *error = std::string("pipe2: ") + std::strerror(errno);
        CloseFd(out[0]);
        CloseFd(out[1]);
        return false;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    // dup2 onto 1 and 2 drops the close-on-exec flag there, and only there.
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);

    std::vector<std::string> all;
    all.push_back(program);
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    CloseFd(out[1]);
    CloseFd(err[1]);
    if (rc != 0) {
        if (error) *error = "posix_spawn " + program + ": " + std::strerror(rc);
        CloseFd(out[0]);
        CloseFd(err[0]);
        return false;
    }
    pid_ = pid;
    reaped_ = false;
    reader_ = std::thread(&SimProcess::ReaderLoop, this, out[0], err[0]);
    return true;
}

bool SimProcess::ReadPort(Ms timeout, std::string* error) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!changed_.wait_for(lock, timeout, [this] { return haveFirst_ || outClosed_; })) {
        if (error) *error = "no first line within " + std::to_string(timeout.count()) + " ms";
        return false;
    }
    if (!haveFirst_) {
        if (error) {
            *error = "the program ended its output without a first line";
            for (const auto& l : err_) *error += "\n  " + l;
        }
        return false;
    }
    const auto colon = first_.rfind(':');
    if (colon == std::string::npos) {
        if (error) *error = "no port in: " + first_;
        return false;
    }
    char* end = nullptr;
    const long port = std::strtol(first_.c_str() + colon + 1, &end, 10);
    if (end == first_.c_str() + colon + 1 || *end != '\0' || port <= 0 || port > 65535) {
        if (error) *error = "no port in: " + first_;
        return false;
    }
    port_ = static_cast<int>(port);
    return true;
}

std::string SimProcess::FirstLine() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return first_;
}

std::vector<std::string> SimProcess::Lines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_;
}

std::vector<std::string> SimProcess::ErrLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return err_;
}

std::size_t SimProcess::LineCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return out_.size();
}

bool SimProcess::WaitForLine(const std::function<bool(const std::string&)>& match, Ms timeout,
                             std::string* found, std::size_t from, std::size_t* index) const {
    std::unique_lock<std::mutex> lock(mutex_);
    std::size_t next = from;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        for (; next < out_.size(); ++next) {
            if (match(out_[next])) {
                if (found) *found = out_[next];
                if (index) *index = next;
                return true;
            }
        }
        if (outClosed_) return false;
        if (changed_.wait_until(lock, deadline) == std::cv_status::timeout && next >= out_.size()) {
            return false;
        }
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
    if (pid_ <= 0) return std::nullopt;
    if (reaped_) return status_;
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            status_ = status;
            return status;
        }
        if (r < 0 && errno != EINTR) return std::nullopt;
        if (Clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(Ms(5));
    }
}

std::optional<int> SimProcess::WaitExitCode(Ms timeout) {
    const auto status = Wait(timeout);
    if (!status) return std::nullopt;
    return WIFEXITED(*status) ? WEXITSTATUS(*status) : -1;
}

bool SimProcess::WaitOutputClosed(Ms timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return outClosed_ && errClosed_; });
}

void SimProcess::Kill() {
    if (pid_ <= 0 || reaped_) return;
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    status_ = status;
    reaped_ = true;
}

void SimProcess::ReaderLoop(int outFd, int errFd) {
    std::string partial[2];
    int fds[2] = {outFd, errFd};
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stop_ || (fds[0] < 0 && fds[1] < 0)) break;
        }
        pollfd p[2];
        int n = 0;
        int which[2];
        for (int k = 0; k < 2; ++k) {
            if (fds[k] >= 0) {
                p[n] = {fds[k], POLLIN, 0};
                which[n++] = k;
            }
        }
        const int r = ::poll(p, static_cast<nfds_t>(n), 50);
        if (r < 0 && errno != EINTR) break;
        for (int j = 0; j < n && r > 0; ++j) {
            if ((p[j].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
            const int k = which[j];
            char buf[4096];
            const ssize_t got = ::read(fds[k], buf, sizeof buf);
            if (got < 0 && errno == EINTR) continue;
            std::lock_guard<std::mutex> lock(mutex_);
            if (got <= 0) {
                if (!partial[k].empty()) {
                    (k == 0 ? out_ : err_).push_back(partial[k]);
                    partial[k].clear();
                }
                CloseFd(fds[k]);
                (k == 0 ? outClosed_ : errClosed_) = true;
                changed_.notify_all();
                continue;
            }
            partial[k].append(buf, static_cast<std::size_t>(got));
            std::size_t pos;
            while ((pos = partial[k].find('\n')) != std::string::npos) {
                std::string line = partial[k].substr(0, pos);
                partial[k].erase(0, pos + 1);
                if (k == 0 && !haveFirst_) {
                    first_ = line;
                    haveFirst_ = true;
                } else {
                    (k == 0 ? out_ : err_).push_back(line);
                }
            }
            changed_.notify_all();
        }
    }
    CloseFd(fds[0]);
    CloseFd(fds[1]);
    std::lock_guard<std::mutex> lock(mutex_);
    outClosed_ = errClosed_ = true;
    changed_.notify_all();
}
