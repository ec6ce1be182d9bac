#pragma once

// For the thread, pool and timer tests: a procedure that records when it runs (on its clock), a
// clock under which delays, periods and overruns come out exactly and at once, reported lines.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Thread.h"

namespace testutil {

// Stands still until a procedure spends time, and jumps to every deadline a thread waits for
// unless the thread is asked to stop.
class JumpClock : public BaseClock {
public:
    TimePoint Now() const override { return TimePoint(std::chrono::milliseconds(m_Ms.load())); }
    bool WaitUntil(std::condition_variable&, std::unique_lock<std::mutex>&, TimePoint deadline,
                   const std::function<bool()>& stop) const override {
        const long long target =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline.time_since_epoch()).count();
        for (long long now = m_Ms.load(); now < target && !stop();) m_Ms.compare_exchange_weak(now, target);
        return stop();
    }
    void Spend(int ms) { m_Ms += ms; }

private:
    mutable std::atomic<long long> m_Ms{0};
};

// The lines a thread, pool or list reports, for the tests to look at.
class LogLines {
public:
    void Add(const std::string& line) {
        std::lock_guard<std::mutex> lk(m_Mutex);
        m_Text += line + "\n";
    }
    std::string Text() {
        std::lock_guard<std::mutex> lk(m_Mutex);
        return m_Text;
    }
    // How many lines begin with head and hold part.
    int Count(const std::string& head, const std::string& part = "") {
        std::istringstream in(Text());
        int n = 0;
        for (std::string l; std::getline(in, l);)
            n += l.rfind(head, 0) == 0 && l.find(part) != std::string::npos;
        return n;
    }

private:
    std::mutex m_Mutex;
    std::string m_Text;
};

inline long Ms(std::chrono::steady_clock::time_point since) {
    return static_cast<long>((std::chrono::steady_clock::now() - since) / std::chrono::milliseconds(1));
}

// Waits until f() holds, at most 5 s; false on time-out.
template <class F>
bool Eventually(F f) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!f()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

struct Probe {
    const BaseClock* clock = &BaseClock::Steady();
    int falseAt = 0;             // 1-based run that returns false; 0: never
    std::function<void()> body;  // runs inside the procedure, without the probe's lock
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<long long> starts;  // ms on the clock
    int returned = 0;
    bool held = false;  // stay inside until released

    static bool Proc(void* self) { return static_cast<Probe*>(self)->Run(); }
    bool Run() {
        std::unique_lock<std::mutex> lk(mutex);
        starts.push_back(
            std::chrono::duration_cast<std::chrono::milliseconds>(clock->Now().time_since_epoch()).count());
        const int n = static_cast<int>(starts.size());
        changed.notify_all();
        changed.wait(lk, [&] { return !held; });
        lk.unlock();
        if (body) body();
        lk.lock();
        ++returned;
        changed.notify_all();
        return falseAt == 0 || n < falseAt;
    }
    // A copy of a field, taken under the lock.
    template <class T>
    T Get(T Probe::*field) {
        std::lock_guard<std::mutex> lk(mutex);
        return this->*field;
    }
    template <class Pred>
    bool Until(Pred pred) {
        std::unique_lock<std::mutex> lk(mutex);
        return changed.wait_for(lk, std::chrono::seconds(5), pred);
    }
    bool WaitStarts(std::size_t n) {
        return Until([&] { return starts.size() >= n; });
    }
    bool WaitReturned(int n) {
        return Until([&] { return returned >= n; });
    }
    void Hold(bool h) {
        std::lock_guard<std::mutex> lk(mutex);
        held = h;
        changed.notify_all();
    }
};

}  // namespace testutil
