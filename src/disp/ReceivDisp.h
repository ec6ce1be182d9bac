#pragma once

#include <netinet/in.h>

#include <atomic>

#include "DBString.h"
#include "Thread.h"
#include "UdpEndpoint.h"

class CSendDisp;

// The UDP socket of the dispatcher link. A pool task receives the datagrams and hands
// each one to the sender that serves its address, which decodes and interprets it; the
// senders transmit through Send on this same socket.
//
// A concrete receiver must call Stop() first thing in its destructor, so that no hook
// runs while its members go.
class CReceivDisp {
public:
    static constexpr int kMaxDatagram = 524;
    // A frame with its check sum is at least six bytes.
    static constexpr int kMinDatagram = 6;
    static constexpr int kBigBuffer = CUdpEndpoint::kBigBuffer;

    CReceivDisp(BasePoolThread* pool, bool bigBuffers);
    CReceivDisp(const CReceivDisp&) = delete;
    CReceivDisp& operator=(const CReceivDisp&) = delete;
    virtual ~CReceivDisp();

    virtual void LogPut(const in6_addr& addr, int port, const unsigned char* data, int n);
    // A sender for an address nobody serves yet; null drops the datagram.
    virtual CSendDisp* Connect(const in6_addr& addr, int port, const unsigned char* data, int n);
    virtual void BadPut(const wchar_t* text) = 0;
    virtual void BadPutErr(const wchar_t* text, int code) = 0;
    virtual void BadPutMes(const wchar_t* text, const unsigned char* data, int n) = 0;
    virtual CSendDisp* GetSendRemote(const in6_addr& addr, int port) = 0;
    virtual DBString NameApp() const;

    // Binds and starts the receive task; throws ErrorXML with the error number when the
    // socket cannot be had.
    void Start();
    // Ends the receive task, waits for it and closes the socket. Safe when not started
    // and repeated.
    void Stop();
    // Opens and binds the socket: 0 or the error number (text gets the report).
    int Bind(DBString& text);
    // One datagram: what sendto returned; -1 with errno set on failure.
    int Send(const unsigned char* data, int n, const in6_addr& addr, int port);

    static bool WinSockProc(void* self);

    // Local address and port to bind; made before Start (port 0: the system chooses).
    void SetOwnAddress(const in6_addr& addr, int port);
    // The bound port; 0 before Start.
    int GetPort() const { return m_Endpoint.GetBoundPort(); }
    bool IsRunning() const { return m_Running.load(); }
    CUdpEndpoint& Endpoint() { return m_Endpoint; }

private:
    void ReceiveLoop();

    CUdpEndpoint m_Endpoint;
    Thread m_Thread;
    BasePoolThread* m_Pool;
    std::atomic<bool> m_Running{false};
};
