#pragma once

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "DBString.h"

// One IPv6 UDP socket shared by a link's receive loop and its senders. The loop receives
// and, after a receive error, rebinds; the senders send from any thread; Wake, from any
// thread, ends a blocked receive and a rebind pause. One lock guards the socket, so a send
// never meets a socket that is being replaced: while it is down for a rebind, datagrams
// are held and go out on the new socket, and the send counts as done.
//
// The owner reports: every failed system call goes to its error report, with the owner's
// name in front of the bind texts.
class CUdpEndpoint {
public:
    static constexpr int kBigBuffer = 1048576;
    static constexpr std::chrono::milliseconds kRebindPause{1000};
    // Datagrams held during a rebind; a send beyond them fails.
    static constexpr std::size_t kMaxHeld = 64;

    struct Reports {
        std::function<void(const wchar_t* text)> note;
        std::function<void(const wchar_t* text, int error)> error;
        // A datagram that sendto refused.
        std::function<void(int n, const in6_addr& to, int port, int error)> sendFailed;
    };

    // owner: "CReceivV7", "CReceivDisp". bigBuffers: 1 MiB for both socket buffers, with
    // the sizes reported before and after.
    CUdpEndpoint(std::wstring owner, bool bigBuffers, Reports reports);
    CUdpEndpoint(const CUdpEndpoint&) = delete;
    CUdpEndpoint& operator=(const CUdpEndpoint&) = delete;
    ~CUdpEndpoint();

    // Local address and port to bind; port 0 lets the system choose.
    void SetAddress(const in6_addr& address, int port);
    in6_addr GetAddress() const;
    int GetPort() const;

    // A fresh socket bound to the configured address and port, in place of any previous
    // one: 0, or the error number (text gets the report). Throws ErrorXML when the system
    // does not tell the port it chose. Undoes Wake.
    int Open(DBString& text);
    // Blocks for the next datagram: its length, 0 for an empty one or after Wake, -1 with
    // error set. A signal does not end the wait. Without wait it returns at once: -1 with
    // EAGAIN when no datagram is there.
    int Receive(unsigned char* buf, int size, in6_addr& from, int& port, int& error, bool wait = true);
    // The socket for a caller that waits for datagrams itself (poll); -1 while there is
    // none. A rebind replaces it, so it is asked again before every wait.
    int Socket() const;
    // After a receive error: closes the socket, pauses, and binds again on the port it
    // had, so the party keeps the endpoint it knows; with configuredIfTaken, on the
    // configured port when that one is taken meanwhile. Held datagrams then go out. False
    // when woken meanwhile or no bind succeeds.
    bool Rebind(bool configuredIfTaken);
    // One datagram: the byte count, or -1 with errno set after the report.
    int Send(const unsigned char* data, int n, const in6_addr& to, int port);
    // Wakes a blocked Receive and cuts a rebind pause short; the socket stays open until
    // Close, so that its number cannot be handed out while the loop still uses it.
    void Wake();
    void Close();

    // The port the socket is bound to; 0 before the first Open.
    int GetBoundPort() const { return m_BoundPort.load(); }
    bool IsOpen() const;
    bool IsRebinding() const;
    // For tests: the datagram the loop receives next is dropped and error reported in its
    // place, as a socket would report a fault.
    void InjectReceiveError(int error) { m_Injected = error; }

private:
    struct Held {
        std::vector<unsigned char> bytes;
        in6_addr to;
        int port;
    };

    // The caller holds m_Mutex.
    int OpenLocked(int port, DBString& text);
    void EnlargeBuffers(int fd);
    int SendLocked(const unsigned char* data, int n, const in6_addr& to, int port);
    void CloseLocked();

    const std::wstring m_Owner;
    const bool m_BigBuffers;
    const Reports m_Reports;
    mutable std::mutex m_Mutex;
    std::condition_variable m_WakeCv;  // ends a rebind pause
    int m_Socket = -1;
    bool m_Woken = false;
    bool m_Rebinding = false;
    std::vector<Held> m_Held;
    in6_addr m_Address{};
    int m_Port = 0;
    std::atomic<int> m_BoundPort{0};
    std::atomic<int> m_Injected{0};
};
