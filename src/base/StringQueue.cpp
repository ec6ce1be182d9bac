#include "StringQueue.h"

#include <iterator>

StringQueue::StringQueue(std::size_t limit) : limit(limit) {}

namespace {
// Spares larger than this would pin memory for the rare long line.
constexpr std::size_t spareCapacity = 1024;
// What a string holds without storage of its own; such a spare would save nothing.
const std::size_t inlineCapacity = std::string().capacity();
}  // namespace

bool StringQueue::Put(std::string line) {
    return Push(line, false);
}

bool StringQueue::Exchange(std::string& line) {
    return Push(line, true);
}

bool StringQueue::Push(std::string& line, bool exchange) {
    bool kept = true;
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mtx);
        while (lines.size() > limit) {
            lines.pop_front();
            kept = false;
        }
        lines.push_back(std::move(line));
        line.clear();
        if (exchange && !spares.empty()) {
            line.swap(spares.back());
            spares.pop_back();
        }
        wake = waiting > 0 || (napping > 0 && lines.size() >= WakeLevel());
    }
    // Waking only a blocked reader keeps the common case free of a system call.
    if (wake) cv.notify_one();
    return kept;
}

bool StringQueue::Read(std::string& line) {
    std::unique_lock<std::mutex> lock(mtx);
    ++waiting;
    cv.wait(lock, [this] { return closed || !lines.empty(); });
    --waiting;
    std::deque<std::string>& source = Source();
    if (source.empty()) return false;
    line = std::move(source.front());
    source.pop_front();
    return true;
}

std::size_t StringQueue::ReadAll(std::deque<std::string>& out, std::chrono::milliseconds nap) {
    std::unique_lock<std::mutex> lock(mtx);
    if (nap.count() > 0 && !closed && lines.empty()) {
        ++napping;
        cv.wait_for(lock, nap, [this] { return closed || lines.size() >= WakeLevel(); });
        --napping;
    }
    ++waiting;
    cv.wait(lock, [this] { return closed || !lines.empty(); });
    --waiting;
    std::deque<std::string>& source = Source();
    const std::size_t count = source.size();
    if (out.empty())
        out.swap(source);
    else
        out.insert(out.end(), std::make_move_iterator(source.begin()), std::make_move_iterator(source.end()));
    source.clear();
    return count;
}

void StringQueue::Recycle(std::deque<std::string>& used) {
    for (std::string& text : used) text.clear();
    {
        std::lock_guard<std::mutex> lock(mtx);
        for (std::string& text : used) {
            if (spares.size() > limit) break;
            if (text.capacity() > inlineCapacity && text.capacity() <= spareCapacity)
                spares.push_back(std::move(text));
        }
    }
    used.clear();
}

void StringQueue::Close() {
    {
        std::lock_guard<std::mutex> lock(mtx);
        if (!closed) {
            closed = true;
            owed.swap(lines);
        }
    }
    cv.notify_all();
}

void StringQueue::Reopen() {
    std::lock_guard<std::mutex> lock(mtx);
    if (!closed) return;
    closed = false;
    // Whatever the reader did not take keeps its place before the newer lines.
    lines.insert(lines.begin(), std::make_move_iterator(owed.begin()), std::make_move_iterator(owed.end()));
    owed.clear();
}

std::size_t StringQueue::Size() const {
    std::lock_guard<std::mutex> lock(mtx);
    return lines.size() + owed.size();
}
