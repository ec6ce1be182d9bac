#include "SendUtil.h"

#include <cerrno>

#include "Logger.h"
#include "ReceiveUtil.h"
#include "Xml.h"
#include "utilities.h"

SendUtil::SendUtil(BasePoolThread* pool, ReceiveUtil& receiv, InpMesQueue& input, DispLog& dispLog,
                   BadLog& badLog, AppEventSink& events)
    : CSendDisp(pool, LocalHostIPv6(), 0, 1, nullptr),
      m_Receiv(&receiv),
      m_Input(&input),
      m_DispLog(&dispLog),
      m_BadLog(&badLog),
      m_Events(&events) {}

SendUtil::~SendUtil() {
    Unlink();
    Shutdown();
}

void SendUtil::Unlink() {
    // The workers call the overrides; they must be gone before this part is.
    Halt();
    if (ReceiveUtil* receiv = m_Receiv.exchange(nullptr)) {
        // The receive task hands datagrams to this object.
        receiv->Stop();
        receiv->DetachSend();
    }
}

void SendUtil::DetachReceiv() {
    m_Receiv = nullptr;
}

void SendUtil::LogSend(const in6_addr& addr, int port, const CPackDisp& p) {
    LogPacket(*m_DispLog, recSent, addr, port, p);
}

void SendUtil::LogReceive(const in6_addr& addr, int port, const CPackDisp& p) {
    LogPacket(*m_DispLog, recReceived, addr, port, p);
}

void SendUtil::BadPut(const wchar_t* text) {
    m_BadLog->Put(text, false);
}

void SendUtil::BadPutErr(const wchar_t* text, int code) {
    m_BadLog->PutErr(text, code, true);
}

void SendUtil::BadPutMes(const wchar_t* text, const unsigned char* bytes, int n) {
    m_BadLog->PutMes(text, bytes, n, true);
}

int SendUtil::Send(const unsigned char* data, int n, const in6_addr& addr, int port) {
    ReceiveUtil* receiv = m_Receiv.load();
    if (receiv == nullptr) {
        errno = ENOTCONN;
        return -1;
    }
    return receiv->Send(data, n, addr, port);
}

void SendUtil::Disconnect(const in6_addr&, int) {
    Stop();
    m_Events->Post(typAppEvent::CloseTopWindow);
}

void SendUtil::SetAcceptance(int codLift, int pultNum, bool viaAddress) {
    m_CodLift = codLift;
    m_PultNum = pultNum;
    m_ViaAddress = viaAddress;
}

bool SendUtil::TakeMsg(const CMesDisp& m) {
    int source = 0;
    int n = 0;
    unsigned char bytes[255];
    if (!m.Parse_Msg(source, n, bytes, static_cast<int>(sizeof bytes))) return false;
    const int codLift = m_CodLift.load();
    const int pultNum = m_PultNum.load();
    int pultNo = 0;
    if (codLift > 0 && source == codLift) {
        pultNo = 0;
    } else if (codLift <= 0 && !m_ViaAddress.load()) {
        pultNo = 0;
    } else if (source == pultNum) {
        pultNo = pultNum;
    } else {
        return false;
    }
    CPackMes pack(n, bytes, 255);
    pack.pultNo = pultNo;
    // With no window to tell, nobody would read the packet at the time it belongs to.
    const auto ticket = m_Input->Put(pack);
    if (!m_Events->Post(typAppEvent::PackV5Received)) m_Input->Withdraw(ticket);
    return true;
}

void SendUtil::HandlingData(CPackDisp& p) {
    CMesDisp m;
    p.BegGet();
    while (p.GetMes(m)) {
        try {
            switch (m.TypMes()) {
                case CMesDisp::mesCloseLink:
                    Stop();
                    m_Events->Post(typAppEvent::CloseTopWindow);
                    break;
                case CMesDisp::mesMsg:
                    TakeMsg(m);
                    break;
                default:
                    break;
            }
        } catch (const ErrorXML& e) {
            BadPutErr(e.Text().c_str(), e.Number());
        }
    }
}
