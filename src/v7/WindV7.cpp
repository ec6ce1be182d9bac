#include "WindV7.h"

#include <algorithm>

#include "ReceivV7.h"
#include "SendV7.h"

// ---------------------------------------------------------------------------------------
// CWindV7Core

void CWindV7Core::Start(Ms now) {
    m_List.clear();
    m_Failures = 0;
    m_Expired = 0;
    m_LinkUp = false;
    m_LastTick = now;
}

bool CWindV7Core::Put(CPackV7& p, const CIdentV7& own) {
    if (IsFull()) return false;
    // Someone else's numbered packet passes through unchanged: its acknowledgement is not
    // ours to wait for.
    const bool keep = p.IsInIdent() && p.GetSource() == own;
    if (keep)
        p.SetIdent(m_Link.NextIdent());
    else if (!p.IsInIdent())
        p.DelIdent();
    if (!m_Link.Transmit(p))
        ++m_Failures;
    else if (keep)
        m_List.emplace_back(p, m_Repeat);
    return true;
}

bool CWindV7Core::MngReply(unsigned char repl) {
    m_Failures = 0;
    m_LinkUp = true;
    if (repl == 0) return false;
    const auto it = std::find_if(m_List.begin(), m_List.end(),
                                 [repl](const CPackWindV7& w) { return w.GetIdent() == repl; });
    if (it == m_List.end()) return false;
    // The party has moved past the older ones, so they were lost: repeat them at the next
    // tick instead of waiting out their interval.
    for (auto before = m_List.begin(); before != it; ++before) before->countdown = Ms{0};
    m_List.erase(it);
    return true;
}

void CWindV7Core::Tick(Ms now) {
    const Ms elapsed = std::max(now - m_LastTick, Ms{0});
    m_LastTick = now;
    for (auto it = m_List.begin(); it != m_List.end();) {
        if (it->sends >= m_MaxSends) {
            GiveUp();
            it = m_List.erase(it);
            continue;
        }
        it->countdown -= elapsed;
        if (it->countdown < Ms{1}) {
            if (!m_Link.Transmit(*it)) ++m_Failures;
            ++it->sends;
            it->countdown = m_Repeat;
        }
        ++it;
    }
}

void CWindV7Core::GiveUp() {
    ++m_Failures;
    if (++m_Expired <= kExpiryReport) return;
    // Once per stretch of silence: the report needs an answer from the party since the
    // previous one.
    if (m_LinkUp) m_Link.NotReceiving();
    m_Expired = 0;
    m_LinkUp = false;
}

bool CWindV7Core::IsNoLink() {
    if (m_Failures < kNoLinkFailures) return false;
    m_Failures = 0;
    return true;
}

std::vector<int> CWindV7Core::Idents() const {
    std::vector<int> idents;
    for (const CPackWindV7& w : m_List) idents.push_back(w.GetIdent());
    return idents;
}

// ---------------------------------------------------------------------------------------
// CWindV7

CWindV7::CWindV7(CSendV7* owner, BasePoolThread* pool) : m_Pool(pool), m_Send(owner) {}

CWindV7::~CWindV7() {
    Stop();
}

CWindV7Core::Ms CWindV7::Now() {
    return std::chrono::duration_cast<CWindV7Core::Ms>(std::chrono::steady_clock::now().time_since_epoch());
}

void CWindV7::Start(bool timer) {
    int tick = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Core.Start(Now());
        m_Running = true;
        tick = m_Tick;
    }
    if (timer && m_Pool != nullptr) m_Handle = m_Pool->StartProc(m_ProcName, TimerProc, this, tick, tick);
}

void CWindV7::Stop() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Running = false;
        m_Core.Clear();
    }
    m_Room.notify_all();
    if (m_Pool != nullptr) m_Pool->StopProc(TimerProc, this);
    m_Handle = nullptr;
}

void CWindV7::Clear() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Core.Clear();
    }
    m_Room.notify_all();
}

void CWindV7::Put(CPackV7& p) {
    std::unique_lock<std::mutex> lock(m_Mutex);
    m_Room.wait(lock, [this] { return !m_Core.IsFull() || !m_Running; });
    if (!m_Running) return;
    m_Core.Put(p, m_Send->GetReceiv()->GetIdent());
}

bool CWindV7::TryPut(CPackV7& p) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    // A stopped window takes the packet and drops it, as Put does.
    if (!m_Running) return true;
    return m_Core.Put(p, m_Send->GetReceiv()->GetIdent());
}

void CWindV7::MngReply(unsigned char repl) {
    bool room = false;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        room = m_Core.MngReply(repl);
    }
    if (room) m_Room.notify_all();
}

bool CWindV7::IsNoLink() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.IsNoLink();
}

bool CWindV7::TimerProc(void* self) {
    static_cast<CWindV7*>(self)->Tick();
    return true;
}

void CWindV7::Tick() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        if (!m_Running) return;
        m_Core.Tick(Now());
    }
    m_Room.notify_all();
}

// The core's link; these run under the window lock.

int CWindV7::NextIdent() {
    return m_Send->NextIdent();
}

bool CWindV7::Transmit(CPackV7& p) {
    const CSendV7::typSent sent = m_Send->SendInWindow(p);
    // Asked after every transmission, as SendSocket does for the packets that do not pass
    // through the window.
    if (sent != CSendV7::typSent::Skipped && m_Core.IsNoLink()) m_Send->IsNoLink();
    return sent != CSendV7::typSent::Failed;
}

void CWindV7::NotReceiving() {
    const DBString text =
        L"Remote unit " + m_Send->GetRemoteIdent().GetString() + L" not receiving data from it unit";
    m_Send->BadPut(text.c_str());
}

// ---------------------------------------------------------------------------------------
// Settings and state, each under the window lock

void CWindV7::SetTick(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Tick = ms;
}

int CWindV7::GetTick() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Tick;
}

void CWindV7::SetMaxSends(int sends) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Core.SetMaxSends(sends);
}

int CWindV7::GetMaxSends() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.GetMaxSends();
}

void CWindV7::SetRepeatInterval(int ms) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Core.SetRepeat(CWindV7Core::Ms{ms});
}

int CWindV7::GetRepeatInterval() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Core.GetRepeat().count());
}

int CWindV7::Count() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return static_cast<int>(m_Core.Count());
}

std::vector<int> CWindV7::Idents() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Idents();
}

int CWindV7::Failures() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Failures();
}

int CWindV7::Expired() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Expired();
}

bool CWindV7::IsLinkUp() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.IsLinkUp();
}

bool CWindV7::IsRunning() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Running;
}
