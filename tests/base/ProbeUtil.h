#pragma once

// A procedure for thread, pool and timer tests: it records when and on which thread it runs,
// can be held inside until released, can take a while, and returns false at a chosen run.

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "Thread.h"

namespace testutil {

using Clock = std::chrono::steady_clock;

inline long Ms(Clock::duration d) {
    return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
}

struct Probe {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Clock::time_point> starts;
    std::vector<long> tids;
    int returned = 0;
    int inside = 0;
    int maxInside = 0;
    bool held = false;  // stay inside until Release
    int sleepMs = 0;
    int sleepFirstMs = 0;
    int falseAt = 0;  // 1-based run that returns false; 0: never
    std::function<void()> body;

    static bool Proc(void* self) { return static_cast<Probe*>(self)->Run(); }

    bool Run() {
        int n, pause;
        {
            std::unique_lock<std::mutex> lk(mutex);
            starts.push_back(Clock::now());
            tids.push_back(BaseThread::CurrentTid());
            n = static_cast<int>(starts.size());
            pause = (n == 1 && sleepFirstMs) ? sleepFirstMs : sleepMs;
            maxInside = std::max(maxInside, ++inside);
            changed.notify_all();
            changed.wait(lk, [&] { return !held; });
        }
        if (pause) std::this_thread::sleep_for(std::chrono::milliseconds(pause));
        if (body) body();
        std::lock_guard<std::mutex> lk(mutex);
        --inside;
        ++returned;
        changed.notify_all();
        return falseAt == 0 || n < falseAt;
    }

    bool WaitStarts(std::size_t n, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        std::unique_lock<std::mutex> lk(mutex);
        return changed.wait_for(lk, timeout, [&] { return starts.size() >= n; });
    }
    bool WaitReturned(int n, std::chrono::milliseconds timeout = std::chrono::milliseconds(2000)) {
        std::unique_lock<std::mutex> lk(mutex);
        return changed.wait_for(lk, timeout, [&] { return returned >= n; });
    }
    std::size_t Count() {
        std::lock_guard<std::mutex> lk(mutex);
        return starts.size();
    }
    int Returned() {
        std::lock_guard<std::mutex> lk(mutex);
        return returned;
    }
    int MaxInside() {
        std::lock_guard<std::mutex> lk(mutex);
        return maxInside;
    }
    std::vector<Clock::time_point> Starts() {
        std::lock_guard<std::mutex> lk(mutex);
        return starts;
    }
    Clock::time_point FirstStart() {
        std::lock_guard<std::mutex> lk(mutex);
        return starts.front();
    }
    long FirstTid() {
        std::lock_guard<std::mutex> lk(mutex);
        return tids.empty() ? 0 : tids.front();
    }
    void Hold() {
        std::lock_guard<std::mutex> lk(mutex);
        held = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lk(mutex);
            held = false;
        }
        changed.notify_all();
    }
};

}  // namespace testutil
