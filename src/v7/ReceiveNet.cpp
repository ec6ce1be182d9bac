#include "ReceiveNet.h"

#include "Logger.h"
#include "SendNet.h"

ReceiveNet::ReceiveNet(BasePoolThread* pool, SendNet& send, InpQueuePackV7& input, ProLog& proLog,
                       BadLog& badLog, AppEventSink& events)
    : CReceivV7(pool),
      m_Send(&send),
      m_Input(&input),
      m_ProLog(&proLog),
      m_BadLog(&badLog),
      m_Events(&events) {}

ReceiveNet::~ReceiveNet() {
    m_Send->StopOnly();
    Stop();
}

void ReceiveNet::LogPut(const CSendV7*, const in6_addr& address, int port, const unsigned char* bytes,
                        int count) {
    m_ProLog->Put(recReceived, address, port, bytes, count);
}

void ReceiveNet::BadPut(const wchar_t* text, bool show) {
    m_BadLog->Put(text, show);
}

void ReceiveNet::BadPutErr(const wchar_t* text, int error) {
    m_BadLog->PutErr(text, error, false);
}

void ReceiveNet::BadPutMes(const wchar_t* text, const unsigned char* bytes, int count, bool show) {
    m_BadLog->PutMes(text, bytes, count, show);
}

CSendV7* ReceiveNet::GetSend(const CIdentV7& ident) {
    if (ident == m_Send->GetRemoteIdent() || ident.FullEQ(CIdentV7())) return m_Send;
    return nullptr;
}

void ReceiveNet::HandlingData(const CPackV7& pack, const CSendV7*) {
    if (!pack.GetDest().FullEQ(GetIdent()) || !pack.GetSource().FullEQ(m_Send->GetRemoteIdent())) return;
    // With no window to tell, nobody would read the packet at the time it belongs to.
    const auto ticket = m_Input->Put(pack);
    if (!m_Events->Post(typAppEvent::PackV7Received)) m_Input->Withdraw(ticket);
}
