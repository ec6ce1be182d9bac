#pragma once

#include "AppEvents.h"
#include "Queue.h"
#include "ReceivV7.h"

class BadLog;
class ProLog;
class SendNet;

// The tool's V7 endpoint. It knows one party, the lift unit behind its SendNet, and hands
// the unit's packets for the tool to the windows through the input queue and a
// PackV7Received event; it never touches a window itself.
class ReceiveNet : public CReceivV7 {
public:
    ReceiveNet(BasePoolThread* pool, SendNet& send, InpQueuePackV7& input, ProLog& proLog, BadLog& badLog,
               AppEventSink& events);
    // Also stops the sender's workers: they transmit through this object. The sender must
    // therefore outlive it: the owner declares the SendNet before the ReceiveNet.
    ~ReceiveNet() override;

    void LogPut(const CSendV7* sender, const in6_addr& address, int port, const unsigned char* bytes,
                int count) override;
    void BadPut(const wchar_t* text, bool show) override;
    void BadPutErr(const wchar_t* text, int error) override;
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int count, bool show) override;
    // The sender for the unit's node, and for 0.0.
    CSendV7* GetSend(const CIdentV7& ident) override;
    void HandlingData(const CPackV7& pack, const CSendV7* sender) override;

private:
    SendNet* m_Send;
    InpQueuePackV7* m_Input;
    ProLog* m_ProLog;
    BadLog* m_BadLog;
    AppEventSink* m_Events;
};
