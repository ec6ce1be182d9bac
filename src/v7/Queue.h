#pragma once

// Queues that carry received packets from a link thread to the GUI thread, and the
// program's other packet queues. Each is a first-in first-out queue of copies under a
// mutex of its own, with no size bound: the GUI thread drains it completely on every
// event it gets, so it cannot grow while the windows keep up.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

#include "DBTime.h"
#include "Pack.h"
#include "PackV7.h"
#include "PackVoice.h"

template <class T>
class CLockedQueue {
public:
    using Ticket = std::uint64_t;

    CLockedQueue() = default;
    CLockedQueue(const CLockedQueue&) = delete;
    CLockedQueue& operator=(const CLockedQueue&) = delete;

    // Appends a copy. The ticket names this entry for Withdraw.
    Ticket Put(const T& item) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        const Ticket ticket = ++m_LastTicket;
        m_Items.push_back(Entry{ticket, DBTime::CurDateTime().GetTime(), item});
        return ticket;
    }

    // Moves the oldest entry into out: 1, or 0 when the queue is empty.
    int Read(T& out) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Items.empty()) return 0;
        out = std::move(m_Items.front().item);
        m_Items.pop_front();
        return 1;
    }

    // Takes back an entry that nobody may read after all, if it is still queued.
    bool Withdraw(Ticket ticket) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto it = m_Items.begin(); it != m_Items.end(); ++it) {
            if (it->ticket == ticket) {
                m_Items.erase(it);
                return true;
            }
        }
        return false;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Items.clear();
    }

    bool IsEmpty() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Items.empty();
    }

    std::size_t Size() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Items.size();
    }

    // When the oldest entry was queued (seconds since the epoch), 0 when empty.
    std::int64_t OldTime() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Items.empty() ? 0 : m_Items.front().queued;
    }

private:
    struct Entry {
        Ticket ticket;
        std::int64_t queued;
        T item;
    };

    mutable std::mutex m_Mutex;
    std::deque<Entry> m_Items;
    Ticket m_LastTicket = 0;
};

// Instantiated once, in Queue.cpp.
extern template class CLockedQueue<CPackV7>;
extern template class CLockedQueue<CPackMes>;
extern template class CLockedQueue<CPackVoice>;

// V7 packets the receiver accepted for the tool; read by the windows.
class InpQueuePackV7 : public CLockedQueue<CPackV7> {};

// Line packets that came from the console; read by the windows.
class InpMesQueue : public CLockedQueue<CPackMes> {};

// Line packets waiting to go out.
class OutputQueue : public CLockedQueue<CPackMes> {};

// Voice frames in and out; the tool itself carries no voice.
class InpVoiceQueue : public CLockedQueue<CPackVoice> {};

class OutputVoiceQueue : public CLockedQueue<CPackVoice> {};
