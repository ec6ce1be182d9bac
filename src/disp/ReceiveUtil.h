#pragma once

#include <atomic>

#include "ReceivDisp.h"

class BadLog;
class SendUtil;

// The tool's dispatcher socket: every datagram goes to the one sender of the tool.
class ReceiveUtil : public CReceivDisp {
public:
    // The sender is only stored: it may not be constructed yet.
    ReceiveUtil(BasePoolThread* pool, SendUtil& send, BadLog& badLog);
    // Stops the receive task; a sender still attached is halted first, since it
    // transmits through this object.
    ~ReceiveUtil() override;

    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int code) override;
    void BadPutMes(const wchar_t* text, const unsigned char* data, int n) override;
    CSendDisp* GetSendRemote(const in6_addr& addr, int port) override;

    // The sender is going away; datagrams are dropped from now on.
    void DetachSend();

private:
    std::atomic<SendUtil*> m_Send;
    BadLog* m_BadLog;
};
