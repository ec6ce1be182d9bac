#pragma once

#include <atomic>

#include "AppEvents.h"
#include "Queue.h"
#include "SendDisp.h"

class BadLog;
class DispLog;
class ReceiveUtil;

// The tool's sender on the dispatcher link. It talks to the console at [::1] unless
// told otherwise (SetPeer), hands the console's line packets for the tool to the
// windows through the input queue and a PackV5Received event, and ends the tool's work
// (a CloseTopWindow event) when the console closes the link or stops acknowledging. It
// never touches a window itself.
class SendUtil : public CSendDisp {
public:
    // The receiver is only stored: it may not be constructed yet.
    SendUtil(BasePoolThread* pool, ReceiveUtil& receiv, InpMesQueue& input, DispLog& dispLog, BadLog& badLog,
             AppEventSink& events);
    // Unlink. The owner should stop the receiver before destroying this object: its
    // task calls into it, and must not meet it half taken apart.
    ~SendUtil() override;

    void LogSend(const in6_addr& addr, int port, const CPackDisp& p) override;
    void LogReceive(const in6_addr& addr, int port, const CPackDisp& p) override;
    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int code) override;
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) override;
    int Send(const unsigned char* data, int n, const in6_addr& addr, int port) override;
    void Disconnect(const in6_addr& addr, int port) override;
    void HandlingData(CPackDisp& p) override;

    // What decides whether a Msg from the console is for the tool: the lift code (-I,
    // 0 when none), the console number (-n) and whether the console's address was given
    // (-q with an address other than the null one).
    void SetAcceptance(int codLift, int pultNum, bool viaAddress);

    // The receiver is going away; nothing is sent through it any more.
    void DetachReceiv();

protected:
    // Stops the sender (telling the console), then the receiver, whose task calls into
    // this object, and parts from it. A subclass calls this first in its destructor.
    void Unlink();

private:
    // Accepts one Msg; false when it is not for the tool.
    bool TakeMsg(const CMesDisp& m);

    std::atomic<ReceiveUtil*> m_Receiv;
    InpMesQueue* m_Input;
    DispLog* m_DispLog;
    BadLog* m_BadLog;
    AppEventSink* m_Events;
    std::atomic<int> m_CodLift{0};
    std::atomic<int> m_PultNum{0};
    std::atomic<bool> m_ViaAddress{false};
};
