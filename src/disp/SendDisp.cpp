#include "SendDisp.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>

#include "KeySys.h"
#include "Xml.h"
#include "utilities.h"

namespace {

using Clock = std::chrono::steady_clock;

uint32_t U32At(const unsigned char* d, int off) {
    return static_cast<uint32_t>(d[off]) | static_cast<uint32_t>(d[off + 1]) << 8 |
           static_cast<uint32_t>(d[off + 2]) << 16 | static_cast<uint32_t>(d[off + 3]) << 24;
}

// The keys an answer is matched on; false when the message is too short to carry them.
bool AnswerKeys(const CMesDisp& m, int& k1, int& k2) {
    k1 = k2 = 0;
    const unsigned char* d = m.Data();
    const int len = m.Len();
    auto u32 = [&](int off, int& out) {
        if (off + 4 > len) return false;
        out = static_cast<int>(U32At(d, off));
        return true;
    };
    switch (m.TypMes()) {
        case CMesDisp::mesTypLU:
        case CMesDisp::mesStateCar:
        case CMesDisp::mesGroupErr:
        case CMesDisp::mesParamStatict:
        case CMesDisp::mesNextState:
        case CMesDisp::mesStateOpenStatist:
        case CMesDisp::mesStateOpenErr:
        case CMesDisp::mesConfTCPData:  // the first four bytes of the identifier
            return u32(3, k1);
        case CMesDisp::mesStatist:
        case CMesDisp::mesErr:
            return u32(3, k1) && u32(7, k2);
        case CMesDisp::mesStatLUNode:
            if (!u32(3, k1) || len < 8) return false;
            k2 = d[7];
            return true;
        case CMesDisp::mesProfil:
            if (len < 5) return false;
            k1 = d[3] | d[4] << 8;
            return true;
        default:
            return true;
    }
}

int GuidKey(const DBGUID& g) {
    unsigned char bytes[16];
    std::memcpy(bytes, static_cast<const GUID*>(&g), sizeof bytes);
    return static_cast<int>(U32At(bytes, 0));
}

// A text cut into parts of at most n characters; an empty text is one empty part.
std::vector<DBString> Split(const wchar_t* text, int n) {
    std::vector<DBString> parts;
    const DBString all = text != nullptr ? DBString(text) : DBString();
    for (std::size_t at = 0; at < all.size(); at += static_cast<std::size_t>(n))
        parts.emplace_back(all.substr(at, static_cast<std::size_t>(n)));
    if (parts.empty()) parts.emplace_back();
    return parts;
}

}  // namespace

// ---------------------------------------------------------------------------------------
// CDispReplyCore and CSendDisp::CReplyForSend

bool CDispReplyCore::Add(int id) {
    const auto code = static_cast<unsigned char>(id);
    for (Entry& e : m_List) {
        if (e.ident == code) {
            e.sent = false;
            return false;
        }
    }
    while (m_List.size() > kMaxEntries - 1) m_List.pop_front();
    m_List.push_back(Entry{code, false});
    return true;
}

bool CDispReplyCore::Admit(int id, bool reopens) {
    if (id == 0) return true;
    // The frame just received once more: its acknowledgement was lost.
    if (id == m_LastIdent) {
        Add(id);
        return false;
    }
    m_LastIdent = id;
    // The console numbers from 1 again when it opens the link anew; the old idents
    // would make its first frames look like repeats.
    if (id == 1 && reopens) m_List.clear();
    return Add(id);
}

void CDispReplyCore::AddReplyToPack(CPackDisp& p) {
    for (Entry& e : m_List) {
        if (e.sent) continue;
        if (!p.AddReply(&e.ident, 1)) return;
        e.sent = true;
    }
}

bool CDispReplyCore::ExistNoSendReply() const {
    return std::any_of(m_List.begin(), m_List.end(), [](const Entry& e) { return !e.sent; });
}

void CDispReplyCore::Clear() {
    m_List.clear();
    m_LastIdent = 0;
}

bool CSendDisp::CReplyForSend::Add(int id) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Add(id);
}

bool CSendDisp::CReplyForSend::Admit(int id, bool reopens) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Admit(id, reopens);
}

void CSendDisp::CReplyForSend::AddReplyToPack(CPackDisp& p) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Core.AddReplyToPack(p);
}

bool CSendDisp::CReplyForSend::ExistNoSendReply() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.ExistNoSendReply();
}

void CSendDisp::CReplyForSend::Clear() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Core.Clear();
}

std::size_t CSendDisp::CReplyForSend::Size() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Core.Size();
}

// ---------------------------------------------------------------------------------------
// CSendDisp::Ask and ListAsk

CSendDisp::Ask::Ask(CSendDisp* owner, typAsk kind, int key1, int key2)
    : kind(kind), key1(key1), key2(key2), m_Owner(owner) {}

void CSendDisp::Ask::ExistAnsw() {
    m_Signal.notify_all();
}

void CSendDisp::Ask::Answer(const CMesDisp& m) {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Answer = m;
        m_Answered = true;
    }
    ExistAnsw();
}

void CSendDisp::Ask::Cancel() {
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Answered = true;
        m_Cancelled = true;
        m_Answer.Clear();
    }
    ExistAnsw();
}

bool CSendDisp::Ask::IsAnswered() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Answered;
}

bool CSendDisp::Ask::IsCancelled() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Cancelled;
}

CMesDisp CSendDisp::Ask::GetAnswer() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Answer;
}

bool CSendDisp::Ask::WaitExecution() {
    const int wait = m_Owner->GetAnswerWait();
    const auto start = Clock::now();
    const auto limit = std::chrono::milliseconds(wait);
    const auto step = std::chrono::milliseconds(std::max(1, std::min(kAnswerStep, wait)));
    for (;;) {
        m_Owner->DispatchEventLoop();
        std::unique_lock<std::mutex> lock(m_Mutex);
        if (m_Signal.wait_for(lock, step, [this] { return m_Answered; })) return true;
        if (Clock::now() - start > limit) return false;
    }
}

void CSendDisp::ListAsk::Insert(Ask* a) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_List.push_back(a);
}

void CSendDisp::ListAsk::Remove(Ask* a) {
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_List.remove(a);
}

void CSendDisp::ListAsk::CancelAll() {
    std::lock_guard<std::mutex> lock(m_Mutex);
    for (Ask* a : m_List) {
        a->kind = askNone;
        a->key1 = 0;
        a->Cancel();
    }
}

std::size_t CSendDisp::ListAsk::Size() const {
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_List.size();
}

// ---------------------------------------------------------------------------------------
// CSendDisp

CSendDisp::CSendDisp(BasePoolThread* pool, const in6_addr& peer, int port, int mode, const DBGUID* guid)
    : m_Mode(mode),
      m_Pool(pool),
      m_Worker(pool, "CSendDisp::PutProc", PutProc, this),
      m_PeerAddr(peer),
      m_PeerPort(port),
      m_Wind(this, pool) {
    if (guid != nullptr) m_Guid = *guid;
    CIdeaKey key;
    key.Set2(L"", L"", L"", m_Maska);
    m_Cipher.Key(key.Get());
}

CSendDisp::~CSendDisp() {
    Shutdown();
}

void CSendDisp::FragConfig(int, int) {}

void CSendDisp::PartNodeConfig(int, int, int, const wchar_t*, bool) {}

void CSendDisp::DispatchEventLoop() {}

void CSendDisp::Start() {
    std::lock_guard<std::mutex> state(m_StateMutex);
    if (m_Started.load()) return;
    m_Wind.MngReply(0, nullptr);  // frames given up before the start do not count
    m_Replies.Clear();
    {
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        m_Started = true;
    }
    if (m_Worker.Start(0, 0) == nullptr) {
        {
            std::lock_guard<std::mutex> lock(m_QueueMutex);
            m_Started = false;
        }
        BadPut(L"CSendDisp::Start(): the thread pool does not run");
        return;
    }
    m_Wind.Start();
}

bool CSendDisp::StopWorker() {
    {
        std::lock_guard<std::mutex> state(m_StateMutex);
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        if (!m_Started.load()) return false;
        m_Started = false;
    }
    Clear();
    m_QueueSignal.notify_all();
    if (m_Pool != nullptr) m_Pool->StopProc(PutProc, this);
    return true;
}

void CSendDisp::Stop() {
    if (!StopWorker()) return;
    m_Wind.Stop();
    m_Replies.Clear();
}

void CSendDisp::StopSendOnly() {
    if (!StopWorker()) return;
    m_Replies.Clear();
}

void CSendDisp::Halt() {
    Stop();
    // Another thread may be the one stopping (a disconnect on the timer, a CloseLink on
    // the receiver); whoever it is, neither task may outlive this call.
    if (m_Pool != nullptr) m_Pool->StopProc(PutProc, this);
    m_Wind.Halt();
}

void CSendDisp::Shutdown() {
    {
        std::lock_guard<std::mutex> state(m_StateMutex);
        std::lock_guard<std::mutex> lock(m_QueueMutex);
        m_Started = false;
    }
    Clear();
    m_QueueSignal.notify_all();
    if (m_Pool != nullptr) m_Pool->StopProc(PutProc, this);
    m_Wind.Halt();
    m_Replies.Clear();
}

void CSendDisp::Clear() {
    m_Asks.CancelAll();
    m_Wind.Clear();
    m_Replies.Clear();
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    m_Queue.clear();
}

bool CSendDisp::SendMes(const CMesDisp& m) {
    if (!m_Started.load()) return false;
    CPackDisp p(m);
    return Put(p);
}

bool CSendDisp::Put(CPackDisp& p) {
    if (!m_Started.load()) return false;
    if (p.HasMessages() && !p.isVoice) {
        {
            std::lock_guard<std::mutex> lock(m_QueueMutex);
            if (!m_Started.load()) return false;
            m_Queue.push_back(p);
        }
        m_QueueSignal.notify_one();
        return true;
    }
    p.DelIdent();
    return SendSocket(p);
}

bool CSendDisp::PutProc(void* self) {
    auto* s = static_cast<CSendDisp*>(self);
    while (s->m_Started.load()) s->SendStep();
    return false;
}

void CSendDisp::SendStep() {
    CPackDisp p;
    {
        std::unique_lock<std::mutex> lock(m_QueueMutex);
        m_QueueSignal.wait(lock, [this] { return !m_Queue.empty() || !m_Started.load(); });
        if (!m_Started.load()) return;
        p = TakeMerged(m_Queue);
    }
    m_Wind.Put(p);
}

CPackDisp CSendDisp::TakeMerged(std::list<CPackDisp>& queue) {
    if (queue.empty()) return CPackDisp();
    CPackDisp p = queue.front();
    queue.pop_front();
    while (!queue.empty()) {
        CPackDisp& next = queue.front();
        if (!p.Link(next)) break;
        if (next.HasMessages()) break;  // the rest of it leads the queue
        queue.pop_front();
    }
    return p;
}

void CSendDisp::SendReply() {
    if (!m_Replies.ExistNoSendReply()) return;
    CPackDisp p;
    SendSocket(p);
}

bool CSendDisp::SendSocket(const CPackDisp& frame) {
    std::lock_guard<std::mutex> lock(m_SendMutex);
    CPackDisp p = frame;
    m_Replies.AddReplyToPack(p);
    int nReply = 0;
    p.GetReply(nReply);
    if (p.ident == 0 && nReply == 0 && !p.HasMessages()) return true;
    if (m_Mode == 2) {
        CMesDisp stamp;
        if (stamp.Create_TimeAndGUID(static_cast<long>(std::time(nullptr)), m_Guid)) p.AddMes(stamp);
    }
    unsigned char out[kWireBuf];
    int n = 0;
    {
        std::lock_guard<std::mutex> cipher(m_CipherMutex);
        n = p.Encoding(out, sizeof out, &m_Cipher);
    }
    if (n <= 0) {
        BadPutMes(L"CSendDisp::SendSocket: Encoding()", p.Data(), p.Len());
        return false;
    }
    const in6_addr addr = GetPeerAddr();
    const int port = GetPeerPort();
    LogSend(addr, port, p);
    if (Send(out, n, addr, port) == -1) {
        BadPutErr(L"CSendDisp::SendSocket: Send()", errno);
        return false;
    }
    return true;
}

void CSendDisp::Handling(const unsigned char* data, int n) {
    CPackDisp p;
    {
        std::lock_guard<std::mutex> cipher(m_CipherMutex);
        p.Decoding(data, n, &m_Cipher);
    }
    if (!p.valid) return;
    LogReceive(GetPeerAddr(), GetPeerPort(), p);
    int nReply = 0;
    const unsigned char* replies = p.GetReply(nReply);
    m_Wind.MngReply(nReply, replies);

    const int id = p.ident;
    if (!m_Replies.Admit(id, id == 1 && Reopens(p))) {
        SendReply();
        return;
    }

    CMesDisp m;
    p.BegGet();
    while (p.GetMes(m)) {
        const int code = m.TypMes();
        if (code >= 6 && code <= 81) OfferAnswer(m);
    }
    p.BegGet();
    HandlingData(p);
    if (id != 0) SendReply();
}

bool CSendDisp::Reopens(CPackDisp& p) {
    CMesDisp m;
    for (p.BegGet(); p.GetMes(m);)
        if (m.TypMes() == CMesDisp::mesOpenLinkEx) return true;
    return false;
}

void CSendDisp::OfferAnswer(const CMesDisp& m) {
    const int code = m.TypMes();
    if (code == CMesDisp::mesGetStruct || code == CMesDisp::mesGetProfil) {
        int part = 0;
        const bool ok = code == CMesDisp::mesGetStruct ? m.Parse_GetStruct(part) : m.Parse_GetProfil(part);
        if (!ok) return;
        const bool profile = code == CMesDisp::mesGetProfil;
        const typAsk kind = profile ? askProfilProcessed : askStructAccepted;
        // There is one save at a time; it is found whatever its keys.
        DBString text;
        int partKey = -1;
        m_Asks.WithKind(kind, [&](Ask& a) {
            if (part < 0 || part >= static_cast<int>(a.parts.size())) return;
            text = a.parts[static_cast<std::size_t>(part)];
            partKey = part;
        });
        if (partKey < 0) return;
        CMesDisp answer;
        const bool built = profile ? answer.Create_Profil(partKey, text.c_str())
                                   : answer.Create_Struct(partKey, text.c_str());
        if (built) SendMes(answer);
        return;
    }
    int k1 = 0, k2 = 0;
    if (!AnswerKeys(m, k1, k2)) return;
    const auto kind = static_cast<typAsk>(code);
    if (kind == askConfig) {
        int part = 0, count = 0;
        DBString text;
        if (!m.Parse_Config(part, count, text)) return;
        bool last = false;
        const bool found = m_Asks.With(kind, 0, 0, [&](Ask& a) {
            if (count <= 1) {
                a.parts.assign(1, text);
                last = true;
            } else {
                if (static_cast<int>(a.parts.size()) != count)
                    a.parts.assign(static_cast<std::size_t>(count), DBString());
                if (part >= 0 && part < count) a.parts[static_cast<std::size_t>(part)] = text;
                a.partList.push_back(text);
                last = static_cast<int>(a.partList.size()) >= count;
            }
            if (last) a.Answer(m);
        });
        if (found) {
            FragConfig(part, count);
            PartNodeConfig(part, count, static_cast<int>(text.size()), text.c_str(), last);
        }
        return;
    }
    m_Asks.With(kind, k1, k2, [&](Ask& a) { a.Answer(m); });
}

// ---------------------------------------------------------------------------------------
// Request operations

void CSendDisp::Check(bool ok, const wchar_t* failText) {
    if (!ok) throw ErrorXML(failText, 0);
}

CMesDisp CSendDisp::Request(Ask& ask, const CMesDisp& m, const wchar_t* failText) {
    Check(m.IsValid(), failText);
    m_Asks.Insert(&ask);
    SendMes(m);
    const bool answered = ask.WaitExecution();
    m_Asks.Remove(&ask);
    Check(answered && !ask.IsCancelled(), failText);
    return ask.GetAnswer();
}

void CSendDisp::GetConfig(DBString& text) {
    const wchar_t* fail = L"Not receive configuration";
    text.clear();
    Ask ask(this, askConfig);
    CMesDisp m;
    m.Create_GetConfig();
    Request(ask, m, fail);
    for (const DBString& part : ask.parts) text += part;
}

void CSendDisp::GetProfile(int id, DBString& text) {
    const wchar_t* fail = L"Not receive configuration";
    text.clear();
    Ask ask(this, askProfil, id & 0xFFFF);
    CMesDisp m;
    m.Create_GetProfil(id & 0xFFFF);
    int k = 0;
    Check(Request(ask, m, fail).Parse_Profil(k, text), fail);
}

void CSendDisp::TypLU(int id, DBString& text) {
    const wchar_t* fail = L"Not receive TypLU";
    text.clear();
    Ask ask(this, askTypLU, id);
    CMesDisp m;
    m.Create_GetTypLU(id);
    int k = 0;
    Check(Request(ask, m, fail).Parse_TypLU(k, text), fail);
}

void CSendDisp::StateCar(int id, DBString& text, DBTime& t1, DBTime& t2) {
    const wchar_t* fail = L"Not receive StateCar";
    Ask ask(this, askStateCar, id);
    CMesDisp m;
    m.Create_GetStateCar(id);
    int k = 0;
    Check(Request(ask, m, fail).Parse_StateCar(k, text, t1, t2), fail);
}

void CSendDisp::GetGroupErr(int id, int& value) {
    const wchar_t* fail = L"Not receive GroupErr";
    Ask ask(this, askGroupErr, id);
    CMesDisp m;
    m.Create_GetGroupErr(id);
    int k = 0;
    Check(Request(ask, m, fail).Parse_GroupErr(k, value), fail);
}

void CSendDisp::ParamStatistic(int id, DBTime& time, double& value) {
    const wchar_t* fail = L"Not receive ParamStatist";
    Ask ask(this, askParamStatict, id);
    CMesDisp m;
    m.Create_GetParamStatict(id);
    int k = 0;
    Check(Request(ask, m, fail).Parse_ParamStatict(k, time, value), fail);
}

void CSendDisp::ReConnect(int& a, int& b, int& n, int* list, int size) {
    const wchar_t* fail = L"Not receive param reconnect";
    Ask ask(this, askParReConnect);
    CMesDisp m;
    m.Create_ReConnect();
    Check(Request(ask, m, fail).Parse_ParReConnect(a, b, n, list, size), fail);
}

void CSendDisp::GetParCfg(const wchar_t* name, int sel, int& a, int& b, int& c, int& d, int& n, int* list,
                          int size) {
    const wchar_t* fail = L"Not receive param config";
    Ask ask(this, askParCfg);
    CMesDisp m;
    Check(m.Create_GetParCfgEx(name, sel), fail);
    Check(Request(ask, m, fail).Parse_ParCfg(a, b, c, d, n, list, size), fail);
}

void CSendDisp::NextSost(int id, int& more, DBString& text, CSostDev::bitLB& bit) {
    Ask ask(this, askNextState, id);
    CMesDisp m;
    m.Create_GetNextState(id);
    const CMesDisp answer = Request(ask, m, L"Not receive NextSost");
    int k = 0, b = 0, c = 0;
    const bool ok = answer.Parse_NextState(k, more, b, c, text);
    Check(ok && b >= 0 && b < CSostDev::bitCount, L"Bad format NextState");
    bit = static_cast<CSostDev::bitLB>(b);
}

void CSendDisp::GetStatistic(int id, int index, int& c, DBTime& time, int& d, int& e, int& f, int& g) {
    const wchar_t* fail = L"Not receive Statist";
    Ask ask(this, askStatist, id, index);
    CMesDisp m;
    m.Create_GetStatist(id, index);
    int a = 0, b = 0;
    Check(Request(ask, m, fail).Parse_Statist(a, b, c, time, d, e, f, g), fail);
}

void CSendDisp::GetCheckPoint(int id, int index, int& c, int& d, DBTime& time, int& n, unsigned char* buf,
                              int size) {
    const wchar_t* fail = L"Not receive Err";
    Ask ask(this, askErr, id, index);
    CMesDisp m;
    m.Create_GetErr(id, index);
    int a = 0, b = 0;
    Check(Request(ask, m, fail).Parse_Err(a, b, c, d, time, n, buf, size), fail);
}

void CSendDisp::StatLUNode(int id, int sel, int c, int values[7]) {
    const wchar_t* fail = L"Not receive StatLUNode";
    Ask ask(this, askStatLUNode, id, sel & 0xFF);
    CMesDisp m;
    m.Create_GetStatLUNode(id, sel, c);
    int a = 0, b = 0;
    Check(Request(ask, m, fail).Parse_StatLUNode(a, b, values), fail);
}

void CSendDisp::TCPData(const DBGUID& guid, CMesDisp::typTCPData typ, int a, int& b, int& c) {
    const wchar_t* fail = L"Not receive GetData";
    Ask ask(this, askConfTCPData, GuidKey(guid));
    CMesDisp m;
    m.Create_TCPData(guid, typ, a, b);
    DBGUID g;
    Check(Request(ask, m, fail).Parse_ConfTCPData(g, b, c), fail);
}

void CSendDisp::OpenStatistic(int& handle, int id, const DBTime& from, const DBTime& to) {
    const wchar_t* fail = L"Not receive StateOpenStatist";
    Ask ask(this, askStateOpenStatist, id);
    CMesDisp m;
    m.Create_OpenStatist(id, from, to);
    int k = 0;
    Check(Request(ask, m, fail).Parse_StateOpenStatist(k, handle), fail);
}

void CSendDisp::OpenCheckPoint(int& handle, int id, const DBTime& from, const DBTime& to) {
    const wchar_t* fail = L"Not receive StateOpenErr";
    Ask ask(this, askStateOpenErr, id);
    CMesDisp m;
    m.Create_OpenErr(id, from, to);
    int k = 0;
    Check(Request(ask, m, fail).Parse_StateOpenErr(k, handle), fail);
}

void CSendDisp::OpenLog(int& handle, const DBTime& from, const DBTime& to, int a, int b, int c, int d, int e,
                        int f, const wchar_t* t1, const wchar_t* t2, const wchar_t* t3) {
    const wchar_t* fail = L"Not receive StateOpenLog";
    Ask ask(this, askStateOpenLog);
    CMesDisp m;
    Check(m.Create_OpenLog(from, to, a, b, c, d, e, f, t1, t2, t3), fail);
    int count = 0;
    Check(Request(ask, m, fail).Parse_StateOpenLog(handle, count), fail);
}

void CSendDisp::EventLog(long handle, EventRec& ev) {
    const wchar_t* fail = L"Not receive EventLog";
    Ask ask(this, askEvent);
    CMesDisp m;
    m.Create_GetEventLog(static_cast<int>(handle));
    Check(Request(ask, m, fail)
              .Parse_Event(ev.a, ev.b, ev.c, ev.time, ev.d, ev.e, ev.f, ev.g, ev.h, ev.i, ev.n, ev.state,
                           static_cast<int>(sizeof ev.state), ev.text),
          fail);
}

CIdeaKey CSendDisp::ChangeUserKey(const wchar_t* newUser, const wchar_t* newPassword) {
    const DBString digest = DBString(newPassword != nullptr ? newPassword : L"").Md5Hash();
    CIdeaKey key;
    key.Set2(newUser != nullptr ? newUser : L"", newPassword != nullptr ? newPassword : L"", digest.c_str(),
             m_Maska);
    return key;
}

void CSendDisp::ChangeUser(const wchar_t* user, const wchar_t* password, const wchar_t* newUser,
                           const wchar_t* newPassword, int& result) {
    const wchar_t* fail = L"Not receive ChangeUser";
    result = 0;
    // The credentials travel as an inner frame that only a holder of the new ones opens;
    // passwords only as their digests.
    CMesDisp inner;
    inner.SetTypMes(CMesDisp::mesChangeUser);
    const DBString oldDigest = DBString(password != nullptr ? password : L"").Md5Hash();
    const DBString newDigest = DBString(newPassword != nullptr ? newPassword : L"").Md5Hash();
    Check(inner.Add(user != nullptr ? user : L"") && inner.Add(oldDigest.c_str()) &&
              inner.Add(newUser != nullptr ? newUser : L"") && inner.Add(newDigest.c_str()),
          fail);
    CPackDisp frame(inner);
    const CIdeaCtx ctx(ChangeUserKey(newUser, newPassword).Get());
    unsigned char block[kWireBuf];
    const int n = frame.Encoding(block, sizeof block, &ctx);
    CMesDisp m;
    Check(n > 0 && m.Create_ChangeUser(n, block), fail);
    Ask ask(this, askResChangeUser);
    Check(Request(ask, m, fail).Parse_ResChangeUser(result), fail);
}

void CSendDisp::SaveProfile(int id, const wchar_t* text, int& result) {
    const wchar_t* fail = L"Not receive Profil";
    result = 0;
    Ask ask(this, askProfilProcessed);
    ask.parts = Split(text, kPartChars);
    CMesDisp m;
    Check(ask.parts.size() <= 255 && m.Create_AcceptProfil(id, static_cast<int>(ask.parts.size())), fail);
    Check(Request(ask, m, fail).Parse_ProfilProcessed(result), fail);
}

void CSendDisp::SaveStruct(const wchar_t* text, int& result) {
    const wchar_t* fail = L"Not delivered struct";
    result = 0;
    Ask ask(this, askStructAccepted);
    ask.parts = Split(text, kPartChars);
    CMesDisp m;
    Check(ask.parts.size() <= 0xFFFF && m.Create_AcceptStruct(static_cast<int>(ask.parts.size())), fail);
    Check(Request(ask, m, fail).Parse_StructAccepted(result), fail);
}

void CSendDisp::Connect(const wchar_t* a, const wchar_t* b, const wchar_t* c) {
    const DBString ta = a != nullptr ? a : L"";
    const DBString tb = b != nullptr ? b : L"";
    const DBString tc = c != nullptr ? c : L"";
    const DBString digest = (tb + tc).Md5Hash();
    CIdeaKey key;
    key.Set(ta.c_str(), digest.c_str(), m_Maska);
    std::lock_guard<std::mutex> cipher(m_CipherMutex);
    m_Cipher.Key(key.Get());
    m_User[0] = ta;
    m_User[1] = tb;
    m_User[2] = tc;
}

// ---------------------------------------------------------------------------------------
// Settings and helpers

DBString CSendDisp::ToStr() const {
    return IPv6PortToStrW(GetPeerAddr(), GetPeerPort());
}

DBGUID CSendDisp::GenIDConnect() {
    DBGUID g;
    g.Generate();
    return g;
}

uint32_t CSendDisp::CRC32(const DBString& text) {
    uint32_t crc = 0xFFFFFFFFu;
    auto feed = [&crc](unsigned char byte) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    };
    for (wchar_t ch : text) {
        const auto v = static_cast<uint32_t>(ch);
        feed(static_cast<unsigned char>(v & 0xFF));
        feed(static_cast<unsigned char>((v >> 8) & 0xFF));
    }
    return crc ^ 0xFFFFFFFFu;
}

void CSendDisp::SetPeer(const in6_addr& addr, int port) {
    std::lock_guard<std::mutex> lock(m_PeerMutex);
    m_PeerAddr = addr;
    m_PeerPort = port;
}

in6_addr CSendDisp::GetPeerAddr() const {
    std::lock_guard<std::mutex> lock(m_PeerMutex);
    return m_PeerAddr;
}

int CSendDisp::GetPeerPort() const {
    std::lock_guard<std::mutex> lock(m_PeerMutex);
    return m_PeerPort;
}

std::size_t CSendDisp::QueueSize() const {
    std::lock_guard<std::mutex> lock(m_QueueMutex);
    return m_Queue.size();
}
