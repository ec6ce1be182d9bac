#pragma once

#include <netinet/in.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "DBGUID.h"
#include "DBString.h"
#include "DBTime.h"
#include "Idea.h"
#include "KeySys.h"
#include "PackDisp.h"
#include "Sost.h"
#include "Thread.h"
#include "WindDisp.h"

// The idents of the console's frames that are to be acknowledged, the recent ones
// kept as the repeat filter. No lock: the sender's CReplyForSend holds one around it.
class CDispReplyCore {
public:
    static constexpr std::size_t kMaxEntries = 14;

    // Lists the ident to be acknowledged; false, marking it to be acknowledged again,
    // when it is listed already.
    bool Add(int id);
    // Whether a received frame with that ident is new and to be handled. Every
    // numbered frame is listed for acknowledgement, a repeat too. `reopens`: the frame
    // holds OpenLinkEx, so with ident 1 the console has started its numbering again.
    bool Admit(int id, bool reopens);
    // Puts the idents not yet sent into the frame while it takes them.
    void AddReplyToPack(CPackDisp& p);
    bool ExistNoSendReply() const;
    // Also forgets the last ident received.
    void Clear();
    std::size_t Size() const { return m_List.size(); }

private:
    struct Entry {
        unsigned char ident;
        bool sent;
    };
    std::list<Entry> m_List;  // oldest first
    int m_LastIdent = 0;      // of the last numbered frame received
};

// The sending side of the dispatcher link, and the place where the console's frames
// are interpreted, since acknowledgements and answers belong to the sending state.
//
// Outgoing frames are queued (SendMes, Put), merged by the worker where they fit, and
// handed to the delivery window, which numbers them and repeats them until the console
// acknowledges them. Received datagrams come from the receiver thread through
// Handling. The request operations block their caller until the answer is there or
// the answer wait has passed; they throw ErrorXML with their failure text.
//
// A concrete sender supplies the transport and the reports. Its destructor must call
// Stop() (or Halt()) first thing, so that no thread reaches an override while the
// object is being taken apart.
class CSendDisp {
public:
    // The base key of the link cipher; the console holds the same sixteen bytes.
    static constexpr unsigned char m_Maska[16] = {0x5D, 0x21, 0xA4, 0x7E, 0x96, 0x0B, 0xC3, 0x38,
                                                  0xE1, 0x4F, 0x72, 0xD9, 0x0A, 0x66, 0xB5, 0x8C};

    static constexpr int kDefaultAnswerWait = 15000;
    static constexpr int kAnswerStep = 500;
    // Characters of a text per Struct or Profil part; a part travels as one text field.
    static constexpr int kPartChars = 200;
    static constexpr int kWireBuf = 524;

    // The reply list's shell: one lock around the core, for the receiver thread that
    // admits frames and the threads whose datagrams carry the acknowledgements.
    class CReplyForSend {
    public:
        static constexpr std::size_t kMaxEntries = CDispReplyCore::kMaxEntries;

        bool Add(int id);
        bool Admit(int id, bool reopens);
        void AddReplyToPack(CPackDisp& p);
        bool ExistNoSendReply() const;
        void Clear();
        std::size_t Size() const;

    private:
        mutable std::mutex m_Mutex;
        CDispReplyCore m_Core;
    };

    // What a pending request waits for: the code of the answer message.
    enum typAsk : int {
        askNone = 0,
        askParCfg = CMesDisp::mesParCfg,
        askEvent = CMesDisp::mesEvent,
        askGroupErr = CMesDisp::mesGroupErr,
        askNextState = CMesDisp::mesNextState,
        askStateCar = CMesDisp::mesStateCar,
        askStateOpenLog = CMesDisp::mesStateOpenLog,
        askConfig = CMesDisp::mesConfig,
        askTypLU = CMesDisp::mesTypLU,
        askStateOpenStatist = CMesDisp::mesStateOpenStatist,
        askStatist = CMesDisp::mesStatist,
        askStateOpenErr = CMesDisp::mesStateOpenErr,
        askErr = CMesDisp::mesErr,
        askParamStatict = CMesDisp::mesParamStatict,
        askResChangeUser = CMesDisp::mesResChangeUser,
        askStatLUNode = CMesDisp::mesStatLUNode,
        askParReConnect = CMesDisp::mesParReConnect,
        askProfil = CMesDisp::mesProfil,
        askProfilProcessed = CMesDisp::mesProfilProcessed,
        askStructAccepted = CMesDisp::mesStructAccepted,
        askConfTCPData = CMesDisp::mesConfTCPData,
    };

    // One request waiting for its answer.
    class Ask {
    public:
        Ask(CSendDisp* owner, typAsk kind, int key1 = 0, int key2 = 0);
        Ask(const Ask&) = delete;
        Ask& operator=(const Ask&) = delete;

        bool operator==(const Ask& o) const { return kind == o.kind && key1 == o.key1 && key2 == o.key2; }

        // Wakes the waiter.
        void ExistAnsw();
        // Marks the request answered with m and wakes the waiter.
        void Answer(const CMesDisp& m);
        // Ends the wait without an answer.
        void Cancel();
        // True as soon as the request is answered, false once the answer wait passed.
        bool WaitExecution();
        bool IsAnswered() const;
        bool IsCancelled() const;
        CMesDisp GetAnswer() const;

        typAsk kind;
        int key1;
        int key2;
        // Answers in several parts (Config) collect here; parts to send (Struct, Profil)
        // wait here for the console to ask for them.
        std::list<DBString> partList;
        std::vector<DBString> parts;
        int partsExpected = 0;

    private:
        friend class CSendDisp;
        mutable std::mutex m_Mutex;
        std::condition_variable m_Signal;
        bool m_Answered = false;
        bool m_Cancelled = false;
        CMesDisp m_Answer;
        CSendDisp* m_Owner;
    };

    // The requests waiting for answers.
    class ListAsk {
    public:
        void Insert(Ask* a);
        void Remove(Ask* a);
        // Ends every wait without an answer.
        void CancelAll();
        std::size_t Size() const;
        // Runs f on the first waiting request of that kind and keys, under the list lock;
        // false when there is none.
        template <class F>
        bool With(typAsk kind, int key1, int key2, F f) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (Ask* a : m_List) {
                if (a->kind == kind && a->key1 == key1 && a->key2 == key2 && !a->IsAnswered()) {
                    f(*a);
                    return true;
                }
            }
            return false;
        }

        // Runs f on the first waiting request of that kind, whatever its keys.
        template <class F>
        bool WithKind(typAsk kind, F f) {
            std::lock_guard<std::mutex> lock(m_Mutex);
            for (Ask* a : m_List) {
                if (a->kind == kind && !a->IsAnswered()) {
                    f(*a);
                    return true;
                }
            }
            return false;
        }

    private:
        mutable std::mutex m_Mutex;
        std::list<Ask*> m_List;
    };

    // The fields of an Event message.
    struct EventRec {
        int a = 0;
        int64_t b = 0;
        int c = 0;
        DBTime time;
        int d = 0, e = 0, f = 0, g = 0, h = 0, i = 0;
        int n = 0;
        unsigned char state[64] = {};
        DBString text;
    };

    CSendDisp(BasePoolThread* pool, const in6_addr& peer, int port, int mode, const DBGUID* guid);
    CSendDisp(const CSendDisp&) = delete;
    CSendDisp& operator=(const CSendDisp&) = delete;
    virtual ~CSendDisp();

    virtual void LogSend(const in6_addr& addr, int port, const CPackDisp& p) = 0;
    virtual void LogReceive(const in6_addr& addr, int port, const CPackDisp& p) = 0;
    virtual void BadPut(const wchar_t* text) = 0;
    virtual void BadPutErr(const wchar_t* text, int code) = 0;
    virtual void BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) = 0;
    // One datagram to the console: the bytes sent, or -1 with errno set.
    virtual int Send(const unsigned char* data, int n, const in6_addr& addr, int port) = 0;
    // The link is lost.
    virtual void Disconnect(const in6_addr& addr, int port) = 0;
    // The messages of a new frame of the console.
    virtual void HandlingData(CPackDisp& p) = 0;
    // One part of a configuration arrived.
    virtual void FragConfig(int part, int count);
    virtual void PartNodeConfig(int part, int count, int length, const wchar_t* text, bool last);
    // Runs while a request waits, on the waiting thread.
    virtual void DispatchEventLoop();

    void Start();
    // Tells the console the link is closed (when the window ran), stops both threads
    // and drops everything queued or outstanding. Safe when not started and repeated.
    void Stop();
    // Stops the worker only; the window goes on.
    void StopSendOnly();
    // Stop, and waits until neither thread runs any more, whichever thread stopped them.
    void Halt();
    // Cancels the pending requests, empties window, reply list and queue.
    void Clear();

    // Queues a message for the console; nothing when not started.
    bool SendMes(const CMesDisp& m);
    bool Put(CPackDisp& p);
    int NextIdent() { return m_Wind.NextIdent(); }
    bool MngIdentInp(int id) { return m_Replies.Add(id); }
    // Sends an empty frame when an acknowledgement is due.
    void SendReply();
    // Adds the due acknowledgements, codes and transmits; false when the socket send
    // failed.
    bool SendSocket(const CPackDisp& p);
    // One datagram of the console; called by the receiver thread.
    void Handling(const unsigned char* data, int n);
    DBString ToStr() const;

    static DBGUID GenIDConnect();
    static uint32_t CRC32(const DBString& text);

    // ---- request operations; each throws ErrorXML with its failure text ----
    void GetConfig(DBString& text);
    void GetProfile(int id, DBString& text);
    void TypLU(int id, DBString& text);
    void StateCar(int id, DBString& text, DBTime& t1, DBTime& t2);
    void GetGroupErr(int id, int& value);
    void ParamStatistic(int id, DBTime& time, double& value);
    void ReConnect(int& a, int& b, int& n, int* list, int size);
    void GetParCfg(const wchar_t* name, int sel, int& a, int& b, int& c, int& d, int& n, int* list, int size);
    // more: the console's first byte (1 while more states follow); bit: the state bit.
    void NextSost(int id, int& more, DBString& text, CSostDev::bitLB& bit);
    void GetStatistic(int id, int index, int& c, DBTime& time, int& d, int& e, int& f, int& g);
    void GetCheckPoint(int id, int index, int& c, int& d, DBTime& time, int& n, unsigned char* buf, int size);
    void StatLUNode(int id, int sel, int c, int values[7]);
    // b goes out with the request and comes back as the confirmation's byte.
    void TCPData(const DBGUID& guid, CMesDisp::typTCPData typ, int a, int& b, int& c);
    void OpenStatistic(int& handle, int id, const DBTime& from, const DBTime& to);
    void OpenCheckPoint(int& handle, int id, const DBTime& from, const DBTime& to);
    void OpenLog(int& handle, const DBTime& from, const DBTime& to, int a, int b, int c, int d, int e, int f,
                 const wchar_t* t1, const wchar_t* t2, const wchar_t* t3);
    void EventLog(long handle, EventRec& event);
    void ChangeUser(const wchar_t* user, const wchar_t* password, const wchar_t* newUser,
                    const wchar_t* newPassword, int& result);
    void SaveProfile(int id, const wchar_t* text, int& result);
    void SaveStruct(const wchar_t* text, int& result);
    // Keys the link cipher from the user's texts and keeps them.
    void Connect(const wchar_t* a, const wchar_t* b, const wchar_t* c);

    // The key ChangeUser enciphers its credentials block with; the console derives it
    // the same way from the new credentials it expects.
    static CIdeaKey ChangeUserKey(const wchar_t* newUser, const wchar_t* newPassword);

    // ---- settings and state ----
    void SetPeer(const in6_addr& addr, int port);
    in6_addr GetPeerAddr() const;
    int GetPeerPort() const;
    // How long a request waits for its answer.
    void SetAnswerWait(int ms) { m_AnswerWait = ms; }
    int GetAnswerWait() const { return m_AnswerWait.load(); }
    bool IsStarted() const { return m_Started.load(); }
    int GetMode() const { return m_Mode; }
    int Lost() const { return m_Wind.Lost(); }
    std::size_t QueueSize() const;
    // Takes the first queued frame and merges the frames behind it into it while they
    // fit whole; what is left of a frame that fitted in part leads the queue.
    static CPackDisp TakeMerged(std::list<CPackDisp>& queue);
    std::size_t PendingAsks() const { return m_Asks.Size(); }
    CDispWind& Window() { return m_Wind; }
    CReplyForSend& Replies() { return m_Replies; }

protected:
    // Stops both threads and drops everything, without a word to the console.
    void Shutdown();

private:
    // Ends the queue worker and empties the queue; false when the sender was not started.
    bool StopWorker();
    static bool PutProc(void* self);
    // One step of the worker: waits for a frame, merges what follows into it, hands it
    // to the window.
    void SendStep();
    // Whether a frame of the console holds OpenLinkEx.
    static bool Reopens(CPackDisp& p);
    // Offers one received message to the pending requests.
    void OfferAnswer(const CMesDisp& m);
    // Inserts the request, queues m, waits, removes it; the answer, or throws failText.
    CMesDisp Request(Ask& ask, const CMesDisp& m, const wchar_t* failText);
    // Throws failText unless ok.
    static void Check(bool ok, const wchar_t* failText);

    std::list<CPackDisp> m_Queue;  // guarded by m_QueueMutex
    mutable std::mutex m_QueueMutex;
    std::condition_variable m_QueueSignal;
    const int m_Mode;
    BasePoolThread* m_Pool;
    Thread m_Worker;
    std::mutex m_SendMutex;
    mutable std::mutex m_CipherMutex;
    ListAsk m_Asks;
    mutable std::mutex m_PeerMutex;
    in6_addr m_PeerAddr{};
    int m_PeerPort = 0;
    DBGUID m_Guid;
    std::mutex m_StateMutex;  // serialises Start and the claim of a Stop
    std::atomic<bool> m_Started{false};
    CReplyForSend m_Replies;
    CIdeaCtx m_Cipher;  // guarded by m_CipherMutex
    DBString m_User[3];
    std::atomic<int> m_AnswerWait{kDefaultAnswerWait};
    CDispWind m_Wind;
};
