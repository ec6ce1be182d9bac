#include "WindDisp.h"

#include <algorithm>

#include "SendDisp.h"

CDispWind::CDispWind(CSendDisp* owner, BasePoolThread* pool)
    : m_Pool(pool), m_Timer(pool, "CDispWind::TimerProc", TimerProc, this), m_Send(owner) {}

CDispWind::~CDispWind() {
    Halt();
}

void CDispWind::Start() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Running) return;
        m_List.clear();
        m_Running = true;
    }
    const int tick = m_Tick.load();
    if (m_Timer.Start(tick, tick) == nullptr) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Running = false;
    }
}

void CDispWind::StopTimer() {
    // From the timer's own procedure this only asks it to end, which is what a
    // disconnect from the timer needs.
    if (m_Pool != nullptr) m_Pool->StopProc(TimerProc, this);
}

void CDispWind::Stop() {
    bool wasRunning = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        wasRunning = m_Running;
        m_Running = false;
        m_List.clear();
    }
    m_Room.notify_all();
    if (wasRunning) {
        CMesDisp close;
        close.Create_CloseLink();
        CPackDisp p(close);
        m_Send->SendSocket(p);
    }
    StopTimer();
}

void CDispWind::Halt() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Running = false;
        m_List.clear();
    }
    m_Room.notify_all();
    StopTimer();
}

void CDispWind::Clear() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_List.clear();
    }
    m_Room.notify_all();
}

bool CDispWind::Put(CPackDisp& p) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    // A sender being stopped must not number one more frame after the window was
    // emptied for it.
    m_Room.wait(lock, [&] { return m_List.size() < kCapacity || !m_Running || !m_Send->IsStarted(); });
    if (!m_Running || !m_Send->IsStarted()) return true;
    if (!p.HasMessages() || p.isVoice) {
        p.DelIdent();
        return m_Send->SendSocket(p);
    }
    p.SetIdent(m_Send->NextIdent());
    const bool sent = m_Send->SendSocket(p);
    // A frame whose first send failed stays too, due at the next tick: dropping it
    // would lose its messages and hide a dead socket from the lost-link count.
    m_List.push_back(std::make_unique<CPackDispWind>(p, sent ? m_Resend.load() : 0));
    return sent;
}

void CDispWind::MngReply(int n, const unsigned char* ids) {
    if (n <= 0 || ids == nullptr) return;
    bool room = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto it = m_List.begin(); it != m_List.end();) {
            const int id = (*it)->ident;
            if (std::find(ids, ids + n, static_cast<unsigned char>(id)) == ids + n) {
                ++it;
                continue;
            }
            m_Send->m_Lost = 0;
            // The console has moved past the older ones, so they were lost on the way:
            // repeat them at the next tick instead of waiting out their interval.
            for (auto before = m_List.begin(); before != it; ++before) (*before)->countdown = 0;
            it = m_List.erase(it);
        }
        room = m_List.size() < kCapacity;
    }
    if (room) m_Room.notify_all();
}

bool CDispWind::TimerProc(void* self) {
    return static_cast<CDispWind*>(self)->Tick();
}

bool CDispWind::Tick() {
    bool disconnect = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Running) return false;
        const int tick = m_Tick.load();
        const int resend = m_Resend.load();
        for (auto it = m_List.begin(); it != m_List.end();) {
            CPackDispWind& w = **it;
            if (w.resends < kMaxResends) {
                w.countdown -= tick;
                if (w.countdown <= 0) {
                    m_Send->SendSocket(w);  // a failed repeat counts as a repeat
                    w.countdown = resend;
                    ++w.resends;
                }
                ++it;
                continue;
            }
            if (w.HasMessages() && !w.isVoice) ++m_Send->m_Lost;
            it = m_List.erase(it);
        }
        disconnect = m_Send->m_Lost.load() >= kLostLimit && m_Send->IsStarted();
    }
    m_Room.notify_all();
    if (!disconnect) return true;

    const DBString text = DBString(L"CDispWind::TimerProc - Disconnect") + m_Send->ToStr();
    m_Send->BadPut(text.c_str());
    m_Send->m_Lost = 0;
    m_Send->Disconnect(m_Send->GetPeerAddr(), m_Send->GetPeerPort());
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Running = false;
        m_List.clear();
    }
    m_Room.notify_all();
    return false;
}

int CDispWind::Count() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_List.size());
}

std::vector<int> CDispWind::Idents() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<int> ids;
    for (const auto& w : m_List) ids.push_back(w->ident);
    return ids;
}

bool CDispWind::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Running;
}
