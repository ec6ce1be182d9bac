#include "SendV7.h"

#include <algorithm>
#include <iterator>

#include "Mes.h"
#include "ReceivV7.h"
#include "utilities.h"

// ---------------------------------------------------------------------------------------
// CReplyListV7

int CReplyListV7::Add(int ident, Ms now) {
    m_List.remove_if([&](const Entry& e) { return now - e.arrived > kLifetime; });
    const auto code = static_cast<std::uint8_t>(ident);
    for (Entry& e : m_List) {
        if (e.ident == code) {
            e.sent = false;
            e.arrived = now;
            return 0;
        }
    }
    while (m_List.size() >= kMaxEntries) m_List.pop_front();
    m_List.push_back(Entry{code, false, now});
    return 1;
}

int CReplyListV7::AddReplyToPack(CPackV7& p) {
    for (Entry& e : m_List) {
        if (e.sent) continue;
        // Only one acknowledgement fits; the entry stays pending when the packet carries
        // one already.
        if (p.AddRepl(e.ident) == 0) return 0;
        e.sent = true;
        return 1;
    }
    return 0;
}

bool CReplyListV7::ExistNoSendReply() const {
    return std::any_of(m_List.begin(), m_List.end(), [](const Entry& e) { return !e.sent; });
}

// ---------------------------------------------------------------------------------------
// CSendV7::CReplyForSend

int CSendV7::CReplyForSend::Add(int ident) {
    const auto now =
        std::chrono::duration_cast<CReplyListV7::Ms>(std::chrono::steady_clock::now().time_since_epoch());
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_List.Add(ident, now);
}

int CSendV7::CReplyForSend::AddReplyToPack(CPackV7& p) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_List.AddReplyToPack(p);
}

bool CSendV7::CReplyForSend::ExistNoSendReply() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_List.ExistNoSendReply();
}

void CSendV7::CReplyForSend::Clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_List.Clear();
}

std::size_t CSendV7::CReplyForSend::Size() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_List.Size();
}

// ---------------------------------------------------------------------------------------
// CSendV7

CSendV7::CSendV7(BasePoolThread* pool) : m_Pool(pool), m_Wind(this, pool) {
    ClearIPv6(m_Address);
    ClearIPv6(m_RelayAddress);
}

CSendV7::~CSendV7() {
    StopOnly();
}

bool CSendV7::Retransmission(CReceivV7*, CPackV7&, const in6_addr&, int) {
    return false;
}

void CSendV7::LogPut(const CIdentV7&, const in6_addr&, int, const unsigned char*, int) {}

void CSendV7::MngReply(int repl) {
    m_Wind.MngReply(static_cast<unsigned char>(repl));
}

int CSendV7::Put(CPackV7& p) {
    // Nothing shorter than a header could be coded at the other end of the queue.
    if (m_Disabled.load() || p.GetLength() < CPackV7::kHeadSize) return 0;
    const bool priority = p.IsOnOffGGS();
    if (m_Driven && PutDirect(p, priority)) return 1;
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        if (!m_Running.load()) return 0;
        // A queue that cannot drain (the party does not acknowledge) must not eat the
        // memory: the oldest ordinary packets go first, loudspeaker switching last.
        while (m_Queue.size() > kQueueLimit) {
            auto victim =
                std::find_if(m_Queue.begin(), m_Queue.end(), [](const Queued& q) { return !q.priority; });
            m_Queue.erase(victim != m_Queue.end() ? victim : m_Queue.begin());
        }
        if (priority) {
            // Ahead of every ordinary packet, but behind the switching packets already
            // waiting: "on" then "off" must not reach the unit as "off" then "on".
            auto at =
                std::find_if(m_Queue.begin(), m_Queue.end(), [](const Queued& q) { return !q.priority; });
            m_Queue.insert(at, Queued{p, true});
        } else {
            m_Queue.push_back(Queued{p, false});
        }
    }
    m_QueueSignal.notify_one();
    return 1;
}

int CSendV7::SendMes(const CMes& m) {
    CPackV7 p(m);
    return Put(p);
}

bool CSendV7::PutDirect(CPackV7& p, bool priority) {
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        if (!m_Running.load() || m_Handing || !m_Queue.empty()) return false;
        m_Handing = true;
    }
    HandToWindow(Queued{p, priority});
    return true;
}

void CSendV7::Pump() {
    for (;;) {
        Queued next;
        {
            std::lock_guard<std::mutex> lock(m_QueueMutex);
            if (!m_Running.load() || m_Handing || m_Queue.empty()) return;
            next = std::move(m_Queue.front());
            m_Queue.pop_front();
            m_Handing = true;
        }
        if (!HandToWindow(std::move(next))) return;
    }
}

bool CSendV7::HandToWindow(Queued item) {
    CPackV7 p = item.pack;
    Address(p);
    const bool put = m_Wind.TryPut(p);
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    m_Handing = false;
    // Packets put meanwhile waited behind this one: a full window leaves it first in line.
    if (!put && m_Running.load()) m_Queue.push_front(std::move(item));
    return put;
}

void CSendV7::Address(CPackV7& p) {
    p.UnPack();
    const CIdentV7 remote = GetRemoteIdent();
    const int dev = p.GetDest().GetDev() != 0 ? p.GetDest().GetDev() : remote.GetDev();
    CIdentV7 dest;
    dest.SetBigNode(remote.GetBigNode());
    dest.SetDev(dev);
    p.SetID(GetReceiv()->GetIdent(), dest);
}

void CSendV7::Send() {
    CPackV7 p;
    {
        std::unique_lock<std::mutex> lock(m_QueueMutex);
        m_QueueSignal.wait(lock, [this] { return !m_Queue.empty() || !m_Running.load(); });
        if (!m_Running.load()) return;
        p = m_Queue.front().pack;
        m_Queue.pop_front();
    }
    Address(p);
    m_Wind.Put(p);
}

bool CSendV7::PutProc(void* self) {
    auto* sender = static_cast<CSendV7*>(self);
    while (sender->m_Running.load()) sender->Send();
    return false;
}

bool CSendV7::Transmit(CPackV7& p, const unsigned char* key) {
    CReceivV7* receiv = GetReceiv();
    unsigned char out[CPackV7::kBufSize];
    in6_addr to{};
    int port = 0;
    int n = 0;
    {
        std::lock_guard<std::mutex> lock(m_ParamMutex);
        if (m_ViaRelay.load()) {
            to = m_RelayAddress;
            port = m_RelayPort;
        } else {
            to = m_Address;
            port = m_Port;
        }
    }
    if (m_ViaRelay.load())
        n = p.ChanCloudProCod(out, sizeof out, key);
    else
        n = p.ChanCod(out, sizeof out, key);
    if (n <= 0) {
        BadPutMes(L"CSendV7::SendSocket(): packet cannot be coded", p.GetBuf(), p.GetLength());
        return false;
    }
    const bool sent = receiv->Send(out, n, to, port) >= 0;
    LogPut(GetRemoteIdent(), to, port, p.GetBuf(), p.GetLength() + 2);
    return sent;
}

CSendV7::typSent CSendV7::SendInWindow(CPackV7& p) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (m_Disabled.load()) return typSent::Skipped;
    CReceivV7* receiv = GetReceiv();
    const CIdentV7 own = receiv->GetIdent();
    if (p.GetSource() == own) m_Replies.AddReplyToPack(p);
    if (p.GetClass() == CPackV7::classLink && p.GetDest().GetDev() != 0)
        p.SetID(p.GetSource(), p.GetDest().GetNodeIdent());
    if (p.GetClass() == CPackV7::classData && p.GetIdent() == 0 && p.GetRepl() == 0 &&
        p.GetLength() <= CPackV7::kHeadSize)
        return typSent::Skipped;
    if (!m_Running.load()) return typSent::Skipped;
    CKeySys key = GetKey();
    if (key.IsEmpty()) key = receiv->GetKey();
    return Transmit(p, key.Get()) ? typSent::Sent : typSent::Failed;
}

bool CSendV7::SendSocket(CPackV7& p) {
    const typSent sent = SendInWindow(p);
    // After the send lock is released: the window takes its own lock first and the send
    // lock second.
    if (sent != typSent::Skipped && m_Wind.IsNoLink()) IsNoLink();
    return sent != typSent::Failed;
}

bool CSendV7::SendSocketTranzit(CPackV7& p, const unsigned char* key) {
    if (key == nullptr) return false;
    std::lock_guard<std::mutex> lock(m_SendMutex);
    if (m_Disabled.load() || !m_Running.load()) return true;
    return Transmit(p, key);
}

int CSendV7::NextIdent() {
    int current = m_IdentCounter.load();
    int next = 0;
    do {
        next = (current + 1) & 127;
        if (next == 0) next = 1;
    } while (!m_IdentCounter.compare_exchange_weak(current, next));
    return next;
}

int CSendV7::MngIdentInp(unsigned char ident) {
    return m_Replies.Add(ident);
}

void CSendV7::SendReply() {
    if (!m_Replies.ExistNoSendReply()) return;
    CPackV7 p(GetReceiv()->GetIdent(), GetRemoteIdent());
    SendSocket(p);
}

void CSendV7::ClearReplyForSend() {
    m_Replies.Clear();
}

void CSendV7::Start() {
    if (m_Disabled.load()) return;
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        if (m_Running.load()) return;
        m_Queue.clear();
        m_Handing = false;
        m_Running = true;
    }
    {
        std::lock_guard<std::mutex> lock(m_ParamMutex);
        m_AddrChanged = false;
    }
    m_Replies.Clear();
    if (m_Driven) {
        m_Wind.Start(false);
        return;
    }
    m_Handle = m_Pool != nullptr ? m_Pool->StartProc(m_ProcName, PutProc, this, 0, 0) : nullptr;
    if (m_Handle == nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_QueueMutex);
            m_Running = false;
        }
        BadPut(L"CSendV7::Start(): the thread pool does not run");
        return;
    }
    m_Wind.Start();
}

void CSendV7::StopOnly() {
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        m_Running = false;
    }
    m_QueueSignal.notify_all();
    // The window first: the queue procedure may be waiting in it for room.
    m_Wind.Stop();
    if (m_Pool != nullptr) m_Pool->StopProc(PutProc, this);
    m_Handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        m_Queue.clear();
    }
    m_Replies.Clear();
}

CPackV7 CSendV7::CloseLinkPack(const CIdentV7& to) {
    const CIdentV7 own = GetReceiv()->GetIdent();
    unsigned char wire[CIdentV7::kWireSize];
    own.GetValue(wire);
    CPackV7 p;
    p.SetID(own, to);
    p.SetLink(CPackV7::typCloseLink, wire, CIdentV7::kWireSize);
    return p;
}

void CSendV7::Stop() {
    CPackV7 p = CloseLinkPack(GetRemoteIdent());
    SendSocket(p);
    StopOnly();
}

// ---------------------------------------------------------------------------------------
// Settings

void CSendV7::SetAddress(const in6_addr& address, int port) {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    m_Address = address;
    m_Port = port;
}

in6_addr CSendV7::GetAddress() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_Address;
}

int CSendV7::GetPort() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_Port;
}

void CSendV7::SetRelayAddress(const in6_addr& address, int port) {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    m_RelayAddress = address;
    m_RelayPort = port;
}

in6_addr CSendV7::GetRelayAddress() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_RelayAddress;
}

int CSendV7::GetRelayPort() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_RelayPort;
}

void CSendV7::SetRemoteIdent(const CIdentV7& ident) {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    m_RemoteIdent = ident;
}

CIdentV7 CSendV7::GetRemoteIdent() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_RemoteIdent;
}

void CSendV7::SetKey(const CKeySys& key) {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    m_Key = key;
}

CKeySys CSendV7::GetKey() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_Key;
}

bool CSendV7::MoveAddress(const in6_addr& address, int port, int guardMs, in6_addr& oldAddress,
                          int& oldPort) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    oldAddress = m_Address;
    oldPort = m_Port;
    if (m_AddrChanged && now - m_LastAddrChange <= std::chrono::milliseconds(guardMs)) return false;
    m_AddrChanged = true;
    m_LastAddrChange = now;
    m_Address = address;
    m_Port = port;
    return true;
}

bool CSendV7::HasAddressChanged() const {
    std::lock_guard<std::mutex> lock(m_ParamMutex);
    return m_AddrChanged;
}

std::size_t CSendV7::QueueSize() const {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    return m_Queue.size();
}
