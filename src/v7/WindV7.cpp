#include "WindV7.h"

#include "ReceivV7.h"
#include "SendV7.h"

CWindV7::CWindV7(CSendV7* owner, BasePoolThread* pool) : m_Pool(pool), m_Send(owner) {}

CWindV7::~CWindV7() {
    Stop();
}

void CWindV7::Start() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_List.clear();
        m_Failures = 0;
        m_Expired = 0;
        m_LinkUp = false;
        m_Running = true;
    }
    if (m_Pool != nullptr) m_Handle = m_Pool->StartProc(m_ProcName, TimerProc, this, m_Tick, m_Tick);
}

void CWindV7::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Running = false;
        m_List.clear();
    }
    m_Room.notify_all();
    if (m_Pool != nullptr) m_Pool->StopProc(TimerProc, this);
    m_Handle = nullptr;
}

void CWindV7::Clear() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_List.clear();
    }
    m_Room.notify_all();
}

void CWindV7::Put(CPackV7& p) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Room.wait(lock, [this] { return m_List.size() < kCapacity || !m_Running; });
    if (!m_Running) return;
    const CIdentV7 own = m_Send->GetReceiv()->GetIdent();
    if (p.IsInIdent()) {
        if (p.GetSource() == own) {
            p.SetIdent(m_Send->NextIdent());
            if (m_Send->SendSocket(p))
                m_List.push_back(std::make_unique<CPackWindV7>(p, this, m_Send->GetRepeatInterval()));
            else
                ++m_Failures;
            return;
        }
        // Someone else's numbered packet: its acknowledgement is not ours to wait for.
        if (!m_Send->SendSocket(p)) ++m_Failures;
        return;
    }
    p.DelIdent();
    if (!m_Send->SendSocket(p)) ++m_Failures;
}

void CWindV7::MngReply(unsigned char repl) {
    m_Failures = 0;
    m_LinkUp = true;
    if (repl == 0) return;
    bool room = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (auto it = m_List.begin(); it != m_List.end(); ++it) {
            if ((*it)->GetIdent() != repl) continue;
            // The party has moved past the older ones, so they were lost: repeat them at
            // the next tick instead of waiting out their interval.
            for (auto before = m_List.begin(); before != it; ++before) (*before)->countdown = 0;
            m_List.erase(it);
            room = m_List.size() < kCapacity;
            break;
        }
    }
    if (room) m_Room.notify_all();
}

bool CWindV7::IsNoLink() {
    int failures = m_Failures.load();
    while (failures >= 2) {
        if (m_Failures.compare_exchange_weak(failures, 0)) return true;
    }
    return false;
}

bool CWindV7::TimerProc(void* self) {
    static_cast<CWindV7*>(self)->Tick();
    return true;
}

void CWindV7::Tick() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Running) return;
        const int maxSends = m_Send->GetMaxSends();
        const int repeat = m_Send->GetRepeatInterval();
        for (auto it = m_List.begin(); it != m_List.end();) {
            CPackWindV7& w = **it;
            if (w.sends < maxSends) {
                w.countdown -= m_Tick;
                if (w.countdown < 1) {
                    if (!m_Send->SendSocket(w)) ++m_Failures;
                    ++w.sends;
                    w.countdown = repeat;
                }
                ++it;
                continue;
            }
            ++m_Failures;
            if (++m_Expired > kExpiryReport) {
                if (m_LinkUp.load()) {
                    const DBString text = L"Remote unit " + m_Send->GetRemoteIdent().GetString() +
                                          L" not receiving data from it unit";
                    m_Send->BadPut(text.c_str());
                }
                m_Expired = 0;
                m_LinkUp = false;
            }
            it = m_List.erase(it);
        }
    }
    m_Room.notify_all();
}

int CWindV7::Count() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_List.size());
}

std::vector<int> CWindV7::Idents() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    std::vector<int> idents;
    for (const auto& w : m_List) idents.push_back(w->GetIdent());
    return idents;
}

bool CWindV7::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Running;
}
