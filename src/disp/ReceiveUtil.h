#pragma once

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include "ReceivDisp.h"

class BadLog;
class DispLog;
class SendUtil;

// The tool's dispatcher socket: every datagram from the console's address goes to the one
// sender of the tool. Anything else on the port is dropped, and each foreign source is written
// once to the dispatcher log: any local process could otherwise forge a CloseLink.
class ReceiveUtil : public CReceivDisp {
public:
    // The sender is only stored: it may not be constructed yet.
    ReceiveUtil(BasePoolThread* pool, SendUtil& send, BadLog& badLog, DispLog& dispLog);
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
    DispLog* m_DispLog;
    // Foreign sources already written to the dispatcher log; a bounded set, so a flood of
    // sources cannot grow it.
    std::mutex m_ForeignMutex;
    std::set<std::string> m_Foreign;
};
