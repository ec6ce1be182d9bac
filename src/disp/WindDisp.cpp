#include "WindDisp.h"

#include <algorithm>
#include <chrono>
#include <utility>

#include "SendDisp.h"

// ---------------------------------------------------------------------------------------
// CDispWindCore

void CDispWindCore::Start(int64_t now) {
    m_List.clear();
    m_Running = true;
    m_Last = now;
}

void CDispWindCore::Stop() {
    m_List.clear();
    m_Running = false;
}

void CDispWindCore::Clear() {
    m_List.clear();
}

bool CDispWindCore::Put(CPackDisp& p) {
    if (!m_Running) return true;
    if (!p.HasMessages() || p.isVoice) {
        p.DelIdent();
        return m_Out.send(p);
    }
    if (!HasRoom()) return false;
    p.SetIdent(NextIdent());
    const bool sent = m_Out.send(p);
    // A frame whose first send failed stays too, due at the next update: dropping it
    // would lose its messages and hide a dead socket from the lost-link count.
    m_List.emplace_back(p, sent ? m_Resend : 0);
    return sent;
}

void CDispWindCore::Acknowledge(int n, const unsigned char* ids) {
    m_Lost = 0;
    if (n <= 0 || ids == nullptr) return;
    for (auto it = m_List.begin(); it != m_List.end();) {
        if (std::find(ids, ids + n, static_cast<unsigned char>(it->ident)) == ids + n) {
            ++it;
            continue;
        }
        // The console has moved past the older ones, so they were lost on the way:
        // repeat them at the next update instead of waiting out their interval.
        for (auto before = m_List.begin(); before != it; ++before) before->countdown = 0;
        it = m_List.erase(it);
    }
}

void CDispWindCore::Update(int64_t now) {
    if (!m_Running) return;
    // The interval is counted in the time between updates, so repeats fall on the
    // shell's tick and a frame sent between two ticks is charged from the tick before.
    const int elapsed = static_cast<int>(std::clamp<int64_t>(now - m_Last, 0, 1 << 30));
    m_Last = now;
    for (auto it = m_List.begin(); it != m_List.end();) {
        if (it->resends >= kMaxResends) {
            it = m_List.erase(it);
            ++m_Lost;
            continue;
        }
        it->countdown -= elapsed;
        if (it->countdown <= 0) {
            m_Out.send(*it);  // a failed repeat counts as a repeat
            it->countdown = m_Resend;
            ++it->resends;
        }
        ++it;
    }
    if (m_Lost < kLostLimit) return;
    m_Lost = 0;
    m_List.clear();
    m_Out.linkLost();
}

int CDispWindCore::NextIdent() {
    m_Ident = m_Ident >= kMaxIdent ? 1 : m_Ident + 1;
    return m_Ident;
}

std::vector<int> CDispWindCore::Idents() const {
    std::vector<int> ids;
    for (const auto& w : m_List) ids.push_back(w.ident);
    return ids;
}

// ---------------------------------------------------------------------------------------
// CDispWind

namespace {

int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

CDispWind::CDispWind(CSendDisp* owner, BasePoolThread* pool, std::function<int64_t()> clock)
    : m_Core({[this](const CPackDisp& p) { return m_Send->SendSocket(p); }, [this] { m_LinkLost = true; }}),
      m_Clock(clock ? std::move(clock) : SteadyMs),
      m_Pool(pool),
      m_Timer(pool, "CDispWind::TimerProc", TimerProc, this),
      m_Send(owner) {}

CDispWind::~CDispWind() {
    Halt();
}

void CDispWind::Start() {
    int tick = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (m_Core.IsRunning()) return;
        m_Core.Start(m_Clock());
        tick = m_Tick;
    }
    if (m_Timer.Start(tick, tick) == nullptr) Shut();
}

void CDispWind::StopTimer() {
    // From the timer's own procedure this only asks it to end, which is what a
    // disconnect from the timer needs.
    if (m_Pool != nullptr) m_Pool->StopProc(TimerProc, this);
}

bool CDispWind::Shut() {
    bool was = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        was = m_Core.IsRunning();
        m_Core.Stop();
    }
    m_Room.notify_all();
    return was;
}

void CDispWind::Stop() {
    if (Shut()) {
        CMesDisp close;
        close.Create_CloseLink();
        CPackDisp p(close);
        m_Send->SendSocket(p);
    }
    StopTimer();
}

void CDispWind::Halt() {
    Shut();
    StopTimer();
}

void CDispWind::Clear() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Core.Clear();
    }
    m_Room.notify_all();
}

bool CDispWind::Put(CPackDisp& p) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    // A sender being stopped must not number one more frame after the window was
    // emptied for it.
    auto open = [&] { return m_Core.IsRunning() && m_Send->IsStarted(); };
    m_Room.wait(lock, [&] { return m_Core.HasRoom() || !open(); });
    if (!open()) return true;
    return m_Core.Put(p);
}

void CDispWind::MngReply(int n, const unsigned char* ids) {
    bool room = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Core.Acknowledge(n, ids);
        room = m_Core.HasRoom();
    }
    if (room) m_Room.notify_all();
}

int CDispWind::NextIdent() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.NextIdent();
}

bool CDispWind::TimerProc(void* self) {
    return static_cast<CDispWind*>(self)->Tick();
}

bool CDispWind::Tick() {
    bool lost = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Core.IsRunning()) return false;
        m_Core.Update(m_Clock());
        lost = std::exchange(m_LinkLost, false);
    }
    m_Room.notify_all();
    if (!lost || !m_Send->IsStarted()) return true;

    // The sender's Disconnect stops this window (telling the console), so it runs
    // without the window lock.
    const DBString text = DBString(L"CDispWind::TimerProc - Disconnect") + m_Send->ToStr();
    m_Send->BadPut(text.c_str());
    m_Send->Disconnect(m_Send->GetPeerAddr(), m_Send->GetPeerPort());
    Shut();
    return false;
}

void CDispWind::SetTick(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Tick = ms;
}

int CDispWind::GetTick() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Tick;
}

void CDispWind::SetResendInterval(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Core.SetResendInterval(ms);
}

int CDispWind::GetResendInterval() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.ResendInterval();
}

int CDispWind::Count() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Count();
}

int CDispWind::Lost() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Lost();
}

std::vector<int> CDispWind::Idents() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Idents();
}

bool CDispWind::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.IsRunning();
}
