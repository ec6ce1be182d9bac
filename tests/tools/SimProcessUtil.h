#pragma once

// Runs a simulator (or the tool) as a real child process for tests: starts it with arguments,
// learns its UDP port from its first stdout line ("...listening on [addr]:port"), reads the
// rest of its output, signals it and waits for it with a time limit. The output goes to files
// of its own, so a child never blocks on a reader. The destructor kills and reaps a child
// that is still running, so a failing test never leaves one behind.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
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
    // Starts the program with its stdout and stderr kept by this object; does not wait.
    bool Launch(const std::string& program, const std::vector<std::string>& args,
                std::string* error = nullptr);
    // Waits for the first stdout line and takes the port from its end.
    bool ReadPort(Ms timeout, std::string* error = nullptr);

    pid_t Pid() const { return pid_; }
    int Port() const { return port_; }
    // The first stdout line; every stdout line after it and every stderr line, as far as written.
    std::string FirstLine() const;
    std::vector<std::string> Lines() const;
    std::vector<std::string> ErrLines() const { return Read(2); }
    std::size_t LineCount() const { return Lines().size(); }

    // Waits until a stdout line after the first (written before or within the time) satisfies
    // `match`, starting the search at line `from`. Gives the line and its index.
    bool WaitForLine(const std::function<bool(const std::string&)>& match, Ms timeout,
                     std::string* found = nullptr, std::size_t from = 0, std::size_t* index = nullptr) const;
    bool WaitForLineContaining(const std::string& text, Ms timeout, std::string* found = nullptr,
                               std::size_t from = 0) const;

    bool Signal(int sig) const;
    // Waits for the child to end: its wait status, or nothing on time-out.
    std::optional<int> Wait(Ms timeout);
    // Exit code of a child that ended normally, else -1 (or nothing on time-out).
    std::optional<int> WaitExitCode(Ms timeout);
    // Waits until the child has ended, so every output line is in.
    bool WaitOutputClosed(Ms timeout) const;
    // SIGKILL and reap; nothing when not running.
    void Kill();

private:
    // The complete lines written to stdout (1) or stderr (2); once the child has ended, an
    // unterminated last line too.
    std::vector<std::string> Read(int fd) const;
    bool Ended() const;

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    int port_ = 0;
    std::string dir_;  // holds the files "1" and "2"
};
