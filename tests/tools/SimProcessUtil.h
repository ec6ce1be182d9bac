#pragma once

// Runs a simulator (or the tool) as a real child process for tests: starts it with arguments,
// learns its UDP port from its first stdout line ("...listening on [addr]:port"), collects the
// rest of its output, signals it and waits for it with a time limit. The destructor kills and
// reaps a child that is still running, so a failing test never leaves one behind.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

class SimProcess {
public:
    using Ms = std::chrono::milliseconds;

    SimProcess() = default;
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;
    ~SimProcess();

    // Launch, then ReadPort. False (with `error`) when the program cannot be started, ends
    // first, says nothing in time or its first line names no port.
    bool Start(const std::string& program, const std::vector<std::string>& args, Ms timeout = Ms(5000),
               std::string* error = nullptr);
    // Starts the program with stdout and stderr piped into this object; does not wait.
    bool Launch(const std::string& program, const std::vector<std::string>& args,
                std::string* error = nullptr);
    // Waits for the first stdout line and takes the port from its end.
    bool ReadPort(Ms timeout, std::string* error = nullptr);

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    // The first stdout line; every stdout line after it and every stderr line, as far as received.
    std::string FirstLine() const { return Locked(first_); }
    std::vector<std::string> Lines() const { return Locked(lines_[0]); }
    std::vector<std::string> ErrLines() const { return Locked(lines_[1]); }
    std::size_t LineCount() const { return Locked(lines_[0]).size(); }

    // Waits until a stdout line after the first (seen before or arriving within the time)
    // satisfies `match`, starting the search at line `from`. Gives the line and its index.
    bool WaitForLine(const std::function<bool(const std::string&)>& match, Ms timeout,
                     std::string* found = nullptr, std::size_t from = 0, std::size_t* index = nullptr) const;
    bool WaitForLineContaining(const std::string& text, Ms timeout, std::string* found = nullptr,
                               std::size_t from = 0) const;

    bool Signal(int sig) const;
    // Waits for the child to end: its wait status, or nothing on time-out.
    std::optional<int> Wait(Ms timeout);
    // Exit code of a child that ended normally, else -1 (or nothing on time-out).
    std::optional<int> WaitExitCode(Ms timeout);
    // Also waits until both pipes are closed, so every output line is in.
    bool WaitOutputClosed(Ms timeout) const;
    // SIGKILL and reap; nothing when not running.
    void Kill();

private:
    template <class T>
    T Locked(const T& value) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value;
    }
    void ReaderLoop(int outFd, int errFd);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    int port_ = 0;
    std::thread reader_;

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool haveFirst_ = false;
    bool closed_[2] = {false, false};  // stdout, stderr
    bool stop_ = false;
    std::string first_;
    std::vector<std::string> lines_[2];  // stdout after the first line, stderr
};
