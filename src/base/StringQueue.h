#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// Bounded first-in first-out queue of finished log lines (UTF-8), shared by any
// number of writers and one reader. When the reader falls behind, the oldest lines
// go first, so memory stays bounded however slow the disk is.
class StringQueue {
public:
    explicit StringQueue(std::size_t limit);

    StringQueue(const StringQueue&) = delete;
    StringQueue& operator=(const StringQueue&) = delete;

    // Appends a line after dropping lines from the front while more than the limit
    // are held, so at most limit + 1 lines are ever queued. Returns false when
    // lines were dropped.
    bool Put(std::string line);

    // Put for a caller that builds its lines in a buffer of its own: the line is
    // moved in and line is left empty, holding the storage of a line the reader
    // has given back with Recycle when there is one. A busy writer thread thus
    // allocates nothing per line, and the reader frees nothing.
    bool Exchange(std::string& line);

    // Waits for a line and moves it out. Returns false only after Close(), once
    // every line queued before Close() has been handed out.
    bool Read(std::string& line);

    // Like Read, but moves out every line available at once (appended to lines),
    // so that the reader takes the mutex once per batch rather than once per line.
    // Returns the number of lines moved; 0 only after Close() with nothing owed.
    //
    // With a nap, a reader that finds the queue empty first waits that long
    // without asking writers to wake it (unless the queue fills to half its limit
    // or is closed), and only then waits until woken. While lines keep coming, a
    // writer thus never pays for waking the reader; the lines wait at most a nap.
    std::size_t ReadAll(std::deque<std::string>& lines,
                        std::chrono::milliseconds nap = std::chrono::milliseconds(0));

    // Takes the buffers of lines the reader has finished with (used is left
    // empty); a bounded number is kept for Exchange, the rest are freed.
    void Recycle(std::deque<std::string>& used);

    // Lets the reader finish: every line already queued is still handed out, even
    // if later lines overflow the queue meanwhile; lines queued after Close() stay
    // for a reader after Reopen().
    void Close();
    void Reopen();

    std::size_t Size() const;
    std::size_t Limit() const { return limit; }

private:
    bool Push(std::string& line, bool exchange);
    // The lines the reader is to get next; needs the mutex held.
    std::deque<std::string>& Source() { return closed ? owed : lines; }
    // How full the queue gets before a napping reader is woken: early enough
    // that a burst does not overflow it.
    std::size_t WakeLevel() const { return limit / 2 > 0 ? limit / 2 : 1; }

    const std::size_t limit;
    mutable std::mutex mtx;
    std::condition_variable cv;
    std::deque<std::string> lines;
    std::size_t waiting = 0;  // readers that only a Put wakes
    std::size_t napping = 0;  // readers that wake by themselves
    bool closed = false;
    std::deque<std::string> owed;     // set aside by Close() for the reader, beyond the limit
    std::vector<std::string> spares;  // empty strings with storage, for Exchange
};
