#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "DBString.h"
#include "IdentV7.h"
#include "KeySys.h"
#include "PackV7.h"
#include "Thread.h"
#include "UdpEndpoint.h"

class CSendV7;

// One V7 endpoint: owns the UDP socket, runs the receive loop on a pool worker, checks
// every datagram (key, relay, address, destination), passes acknowledgements to the
// sender that stands for the remote party, filters repeats and hands new data to
// HandlingData. The senders transmit through Send on the same socket.
//
// The hooks run on the receive worker. A concrete endpoint must call Stop() first thing
// in its destructor, so that no hook runs while its members go.
class CReceivV7 {
public:
    static constexpr int kMaxDatagram = 1024;
    // Shorter datagrams cannot hold a packet header, its CRC and the trailer.
    static constexpr int kMinDatagram = 15;
    static constexpr int kRelayNode = 9999997;
    static constexpr int kDefaultAddrChangeGuardMs = 2000;
    static constexpr int kMaxDatagramsAtOnce = 64;

    explicit CReceivV7(BasePoolThread* pool);
    CReceivV7(const CReceivV7&) = delete;
    CReceivV7& operator=(const CReceivV7&) = delete;
    virtual ~CReceivV7();

    // A sender for a party that the endpoint does not know yet; null refuses it.
    virtual CSendV7* NewSender(const CIdentV7& ident, const in6_addr& address, int port, const CKeySys& key,
                               const CReceivV7* receiv);
    // False drops a packet of an unknown party without a report.
    virtual bool UnknownSender(const CIdentV7& ident, const in6_addr& address, int port, const CKeySys& key);
    virtual void LogPut(const CSendV7* sender, const in6_addr& address, int port, const unsigned char* bytes,
                        int count);
    virtual void BadPut(const wchar_t* text, bool show) = 0;
    virtual void BadPutErr(const wchar_t* text, int error) = 0;
    virtual void BadPutMes(const wchar_t* text, const unsigned char* bytes, int count, bool show) = 0;
    virtual void HandlingData(const CPackV7& pack, const CSendV7* sender) = 0;
    virtual CSendV7* GetSend(const CIdentV7& ident) = 0;
    // Told after the receiver moved a party to a new address.
    virtual void IsChangIP(const CSendV7* sender);
    // A reset or an empty datagram; false ends the receive loop.
    virtual bool ConnReset(const wchar_t* text, int error);
    // A second decoder for datagrams the link key does not open; it may give the key
    // carried in the packet and tell that the packet came through the relay.
    virtual bool ChanDecod(const unsigned char* in, int n, CPackV7& pack, CKeySys& key, bool& viaRelay);
    virtual DBString NameApp() const;

    // Opens and binds the socket and starts the receive loop. Throws ErrorXML (with the
    // error number) when the socket cannot be opened or bound, or the pool does not run.
    void Start();
    // Opens and binds the socket without starting the loop: 0, or the error number (err
    // gets the report text).
    int Bind(DBString& err);
    // Opens and binds the socket like Start, for a caller that waits for datagrams itself
    // (poll on Socket()) and hands them on with ReceiveWaiting, on its own thread: one
    // thread may then serve many endpoints without a hand-off per datagram.
    void StartWithoutLoop();
    int Socket() const { return m_Endpoint.Socket(); }
    // The datagrams waiting at the socket, at most `most`, each as the receive loop takes it:
    // how many, or -1 when the endpoint can no longer receive (it is stopped then). A caller
    // that polls again anyway takes one at a time and saves the receive that finds none.
    int ReceiveWaiting(int most = kMaxDatagramsAtOnce);
    // With deferred replies the acknowledgements of received packets wait for
    // SendDueReplies, so that packets sent meanwhile carry them and no datagram goes for
    // the acknowledgement alone. For ReceiveWaiting's caller, which sends its answers in
    // between.
    void SetDeferReplies(bool defer) { m_DeferReplies = defer; }
    void SendDueReplies();
    // Ends the receive loop, waits for it and closes the socket. Safe to repeat.
    void Stop();
    // One datagram to [to]:port: the byte count, or -1. The null address sends nothing
    // and counts as sent.
    int Send(const unsigned char* data, int len, const in6_addr& to, int port);

    static bool WinSockProc(void* self);

    // Settings; made before Start.
    void SetIdent(const CIdentV7& ident) { m_Ident = ident; }
    const CIdentV7& GetIdent() const { return m_Ident; }
    void SetKey(const CKeySys& key) { m_Key = key; }
    const CKeySys& GetKey() const { return m_Key; }
    void SetBindAddress(const in6_addr& address) { m_Endpoint.SetAddress(address, m_Endpoint.GetPort()); }
    in6_addr GetBindAddress() const { return m_Endpoint.GetAddress(); }
    void SetBindPort(int port) { m_Endpoint.SetAddress(m_Endpoint.GetAddress(), port); }
    int GetBindPort() const { return m_Endpoint.GetPort(); }
    // How long after moving a party to a new address another move is refused.
    void SetAddrChangeGuard(int ms) { m_AddrChangeGuardMs = ms; }
    int GetAddrChangeGuard() const { return m_AddrChangeGuardMs; }

    // The port the socket is bound to; 0 before Start.
    int GetBoundPort() const { return m_Endpoint.GetBoundPort(); }
    bool IsRunning() const { return m_Running.load(); }
    // When a packet of the relay last came (seconds since the epoch), 0 when none did.
    std::int64_t GetRelayReportTime() const { return m_RelayReport.load(); }
    CUdpEndpoint& Endpoint() { return m_Endpoint; }

protected:
    // Every check of one datagram, up to its handing on: what the receive loop does with a
    // datagram of kMinDatagram bytes or more. A subclass may drive it without a socket.
    void Receive(const unsigned char* data, int n, const in6_addr& from, int port);

private:
    void ReceiveLoop();
    // What the loop does with one result of a receive; false ends receiving.
    bool Take(const unsigned char* buf, int n, int error, const in6_addr& address, int port);
    // The checks of the party's address; false drops the packet.
    bool CheckAddress(CSendV7& sender, const CPackV7& pack, const in6_addr& from, int port,
                      const DBString& fromText);

    CUdpEndpoint m_Endpoint;
    std::atomic<bool> m_Running{false};
    BasePoolThread* m_Pool;
    const std::string m_ProcName = "CReceivV7::WinSockProc";
    BasePoolThread::Thread* m_Handle = nullptr;
    CIdentV7 m_Ident;
    CKeySys m_Key;
    std::atomic<std::int64_t> m_RelayReport{0};
    int m_AddrChangeGuardMs = kDefaultAddrChangeGuardMs;
    bool m_DeferReplies = false;
    std::vector<CSendV7*> m_RepliesDue;
};
