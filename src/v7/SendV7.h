#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <list>
#include <mutex>
#include <string>

#include "IdentV7.h"
#include "KeySys.h"
#include "PackV7.h"
#include "Thread.h"
#include "WindV7.h"

class CMes;
class CReceivV7;

// The idents of the party's packets that need, or recently had, an acknowledgement: the
// repeat filter and the source of the acknowledgement byte of outgoing packets. Pure: the
// caller passes the time and serialises the calls.
class CReplyListV7 {
public:
    using Ms = std::chrono::milliseconds;

    static constexpr std::size_t kMaxEntries = 10;
    static constexpr Ms kLifetime{60000};

    // 1 for a new ident, 0 for a repeat (which is to be acknowledged again).
    int Add(int ident, Ms now);
    // Puts the oldest unacknowledged ident into the packet and marks it; 1 when one went
    // in. A packet carries one acknowledgement at most.
    int AddReplyToPack(CPackV7& p);
    bool ExistNoSendReply() const;
    void Clear() { m_List.clear(); }
    std::size_t Size() const { return m_List.size(); }

private:
    struct Entry {
        std::uint8_t ident;
        bool sent;
        Ms arrived;
    };

    std::list<Entry> m_List;  // oldest first
};

// One remote party of a V7 endpoint: queues the packets for it, numbers those that need
// an acknowledgement, keeps them in the delivery window until acknowledged, acknowledges
// the party's own packets and reports a lost link. Transmits through the endpoint's
// socket (CReceivV7::Send).
//
// Put only queues and wakes the queue procedure, so the GUI thread never waits for the
// network; a sender driven by its owner's thread (SetDriven) has no threads and transmits
// from Put instead. The hooks run on the pool workers and on the receive worker; a concrete
// sender must call StopOnly() first thing in its destructor.
class CSendV7 {
public:
    // The reply list behind its lock, on the steady clock.
    class CReplyForSend {
    public:
        static constexpr std::size_t kMaxEntries = CReplyListV7::kMaxEntries;

        int Add(int ident);
        int AddReplyToPack(CPackV7& p);
        bool ExistNoSendReply() const;
        void Clear();
        std::size_t Size() const;

    private:
        mutable std::mutex m_Mutex;
        CReplyListV7 m_List;
    };

    // What became of a packet handed to the socket.
    enum class typSent {
        Skipped,  // nothing had to go out: disabled, stopped, or an empty acknowledgement
        Sent,
        Failed,
    };

    static constexpr std::size_t kQueueLimit = 1000;
    static constexpr int kDefaultMaxSends = CWindV7Core::kDefaultMaxSends;
    static constexpr int kDefaultRepeatInterval = static_cast<int>(CWindV7Core::kDefaultRepeat.count());

    explicit CSendV7(BasePoolThread* pool);
    CSendV7(const CSendV7&) = delete;
    CSendV7& operator=(const CSendV7&) = delete;
    virtual ~CSendV7();

    // Forwards a packet meant for someone else; false when this sender does not.
    virtual bool Retransmission(CReceivV7* receiv, CPackV7& pack, const in6_addr& address, int port);
    virtual void LogPut(const CIdentV7& ident, const in6_addr& address, int port, const unsigned char* bytes,
                        int count);
    // The party stopped acknowledging.
    virtual void IsNoLink() = 0;
    virtual void BadPut(const wchar_t* text) = 0;
    virtual void BadPutErr(const wchar_t* text, int error) = 0;
    virtual void BadPutMes(const wchar_t* text, const unsigned char* bytes, int count) = 0;
    virtual CReceivV7* GetReceiv() = 0;
    virtual void MngReply(int repl);
    // Queues a copy: 1, or 0 when the link is disabled, the sender not started or the
    // packet shorter than a header.
    virtual int Put(CPackV7& p);
    // One step of the queue procedure: waits for a packet and hands it to the window.
    virtual void Send();

    void Start();
    int SendMes(const CMes& m);
    static bool PutProc(void* self);
    // Codes and transmits one packet now; true when it went to the socket or nothing
    // had to be sent.
    bool SendSocket(CPackV7& p);
    // SendSocket without the lost-link check, for the window, which makes that check
    // itself under its own lock.
    typSent SendInWindow(CPackV7& p);
    // Codes p with the given key and transmits it to the party; for forwarding.
    bool SendSocketTranzit(CPackV7& p, const unsigned char* key);
    int NextIdent();
    int MngIdentInp(unsigned char ident);
    void SendReply();
    void ClearReplyForSend();
    // Stops the threads and empties queue, window and reply list; sends nothing.
    void StopOnly();
    // Tells the party the link is closed, then StopOnly.
    virtual void Stop();

    // Settings. Address, port and key may also change while the link runs (the receiver
    // moves a party that changed its address); the others are set before Start.
    void SetAddress(const in6_addr& address, int port);
    in6_addr GetAddress() const;
    int GetPort() const;
    void SetRelayAddress(const in6_addr& address, int port);
    in6_addr GetRelayAddress() const;
    int GetRelayPort() const;
    void SetRemoteIdent(const CIdentV7& ident);
    CIdentV7 GetRemoteIdent() const;
    // An empty key means the endpoint's key.
    void SetKey(const CKeySys& key);
    CKeySys GetKey() const;
    void SetFixedAddress(bool fixed) { m_FixedAddress = fixed; }
    bool IsFixedAddress() const { return m_FixedAddress.load(); }
    void SetDisabled(bool disabled) { m_Disabled = disabled; }
    bool IsDisabled() const { return m_Disabled.load(); }
    void SetViaRelay(bool viaRelay) { m_ViaRelay = viaRelay; }
    // Driven by its owner's thread instead of threads of its own, for an owner that serves
    // many parties from one thread: Put transmits at once when nothing waits before the
    // packet and the window has room, and queues it otherwise; the owner calls Pump whenever
    // the window may have room again (after receiving, after a tick) and ticks the window
    // itself (Window().Tick() every Window().GetTick() ms). Set before Start.
    void SetDriven(bool driven) { m_Driven = driven; }
    bool IsDriven() const { return m_Driven; }
    // Moves queued packets into the window while it has room.
    void Pump();
    bool IsViaRelay() const { return m_ViaRelay.load(); }
    void SetMaxSends(int sends) { m_Wind.SetMaxSends(sends); }
    int GetMaxSends() const { return m_Wind.GetMaxSends(); }
    void SetRepeatInterval(int ms) { m_Wind.SetRepeatInterval(ms); }
    int GetRepeatInterval() const { return m_Wind.GetRepeatInterval(); }

    // Moves the party to a new address unless the previous move is less than guardMs
    // ago; old gets the address it had. False when refused.
    bool MoveAddress(const in6_addr& address, int port, int guardMs, in6_addr& oldAddress, int& oldPort);
    // Whether the receiver has moved the party since Start.
    bool HasAddressChanged() const;

    bool IsRunning() const { return m_Running.load(); }
    std::size_t QueueSize() const;
    CWindV7& Window() { return m_Wind; }
    CReplyForSend& Replies() { return m_Replies; }

protected:
    // Class 3, type 4 with the endpoint's identity as payload, from it to `to`.
    CPackV7 CloseLinkPack(const CIdentV7& to);

private:
    struct Queued {
        CPackV7 pack;
        bool priority;  // loudspeaker switching goes before everything else
    };
    using Clock = std::chrono::steady_clock;

    // Coding and sendto; the caller holds the send lock.
    bool Transmit(CPackV7& p, const unsigned char* key);
    // Addresses a queued packet from this endpoint to the party, as it enters the window.
    void Address(CPackV7& p);
    // Put on the caller's thread; false, with nothing done, when the packet must queue.
    bool PutDirect(CPackV7& p, bool priority);
    // With m_Handing claimed: the packet into the window, or back to the front of the queue
    // when the window is full (false). Releases the claim.
    bool HandToWindow(Queued item);

    std::atomic<int> m_IdentCounter{0};
    BasePoolThread* m_Pool;
    const std::string m_ProcName = "CSendV7::PutProc";
    BasePoolThread::Thread* m_Handle = nullptr;
    std::mutex m_SendMutex;
    mutable std::mutex m_QueueMutex;
    std::condition_variable m_QueueSignal;
    std::atomic<bool> m_Running{false};
    std::deque<Queued> m_Queue;  // guarded by m_QueueMutex
    // Driven: a packet is between the queue and the window (guarded by m_QueueMutex). Whoever
    // holds one keeps the other puts queueing, so packets reach the window in the order they
    // were put. The queue procedure does not run then.
    bool m_Handing = false;
    bool m_Driven = false;
    CReplyForSend m_Replies;

    mutable std::mutex m_ParamMutex;  // guards the party's whereabouts below
    bool m_AddrChanged = false;
    Clock::time_point m_LastAddrChange{};
    in6_addr m_Address{};
    int m_Port = 0;
    in6_addr m_RelayAddress{};
    int m_RelayPort = 0;
    CIdentV7 m_RemoteIdent;
    CKeySys m_Key;

    std::atomic<bool> m_FixedAddress{false};
    std::atomic<bool> m_Disabled{false};
    std::atomic<bool> m_ViaRelay{false};
    CWindV7 m_Wind;
};
