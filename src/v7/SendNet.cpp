#include "SendNet.h"

#include "Logger.h"
#include "ReceiveNet.h"

SendNet::SendNet(BasePoolThread* pool, ReceiveNet& receiv, ProLog& proLog, BadLog& badLog,
                 AppEventSink& events)
    : CSendV7(pool), m_Receiv(&receiv), m_ProLog(&proLog), m_BadLog(&badLog), m_Events(&events) {}

SendNet::~SendNet() {
    // The workers call the overrides below; they must be gone before this part is.
    StopOnly();
}

CReceivV7* SendNet::GetReceiv() {
    return m_Receiv;
}

void SendNet::BadPut(const wchar_t* text) {
    m_BadLog->Put(text, false);
}

void SendNet::BadPutErr(const wchar_t* text, int error) {
    m_BadLog->PutErr(text, error, false);
}

void SendNet::BadPutMes(const wchar_t* text, const unsigned char* bytes, int count) {
    m_BadLog->PutMes(text, bytes, count, false);
}

void SendNet::LogPut(const CIdentV7&, const in6_addr& address, int port, const unsigned char* bytes,
                     int count) {
    m_ProLog->Put(recSent, address, port, bytes, count);
}

void SendNet::IsNoLink() {
    m_Events->Post(typAppEvent::NoLink);
}

void SendNet::Stop() {
    CPackV7 toUnit = CloseLinkPack(GetRemoteIdent());
    SendSocket(toUnit);
    CPackV7 toNode = CloseLinkPack(CIdentV7());
    SendSocket(toNode);
    CSendV7::Stop();
}
