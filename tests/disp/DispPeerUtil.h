#pragma once

#include <unistd.h>

#include <string>
#include <vector>

#include "Idea.h"
#include "PackDisp.h"
#include "SendDisp.h"
#include "utilities.h"

// The link cipher both ends derive from the shared base key.
CIdeaCtx LinkCipher();
// A frame of the console: the messages, then the ident and the acknowledged idents.
CPackDisp PeerFrame(const std::vector<CMesDisp>& messages, int ident,
                    const std::vector<unsigned char>& acks = {});
// A SendMsg carrying a recognisable number as its target and a short line packet.
CMesDisp NumberedMes(int number);
std::vector<int> Codes(CPackDisp p);
std::vector<unsigned char> Acks(const CPackDisp& p);

// The console's end of the link for the tests: a UDP socket on ::1 with the link cipher.
class DispPeer {
public:
    DispPeer();
    ~DispPeer() { ::close(m_Socket); }

    int Port() const { return m_Port; }
    // The next datagram that deciphers to a good frame (holding messages, when asked).
    bool Receive(CPackDisp& out, int timeoutMs, bool withMessages = false);
    bool ReceiveWithMessages(CPackDisp& out, int timeoutMs) { return Receive(out, timeoutMs, true); }
    // Every good frame until nothing has come for quietMs.
    std::vector<CPackDisp> Drain(int quietMs);
    bool Send(CPackDisp p, int port);
    bool SendRaw(const unsigned char* bytes, int n, int port);

private:
    CIdeaCtx m_Ctx;
    int m_Socket;
    int m_Port = 0;
};

// A sender whose datagrams stay in memory, deciphered, with its reports as texts.
class CapturingSender : public CSendDisp {
public:
    explicit CapturingSender(int mode = 1, const DBGUID* guid = nullptr, BasePoolThread* pool = nullptr)
        : CSendDisp(pool, LocalHostIPv6(), 4000, mode, guid) {}
    ~CapturingSender() override { Shutdown(); }

    void LogSend(const in6_addr&, int, const CPackDisp&) override {}
    void LogReceive(const in6_addr&, int, const CPackDisp&) override { ++received; }
    void BadPut(const wchar_t* text) override { errors.emplace_back(text); }
    void BadPutErr(const wchar_t* text, int code) override { errors.push_back(text + std::to_wstring(code)); }
    void BadPutMes(const wchar_t* text, const unsigned char*, int) override { errors.emplace_back(text); }
    int Send(const unsigned char* data, int n, const in6_addr&, int) override;  // -1 when `fail`
    void Disconnect(const in6_addr&, int) override { ++disconnects; }
    void HandlingData(CPackDisp&) override { ++handled; }
    // A datagram of the console, enciphered as it would come; `flip` spoils one byte.
    void Receive(CPackDisp frame, int flip = -1);

    bool fail = false;
    int received = 0, handled = 0, disconnects = 0;
    std::vector<CPackDisp> sent;
    std::vector<std::wstring> errors;
};
