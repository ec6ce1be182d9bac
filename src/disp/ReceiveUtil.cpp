#include "ReceiveUtil.h"

#include "Logger.h"
#include "SendUtil.h"

ReceiveUtil::ReceiveUtil(BasePoolThread* pool, SendUtil& send, BadLog& badLog)
    : CReceivDisp(pool, false), m_Send(&send), m_BadLog(&badLog) {}

ReceiveUtil::~ReceiveUtil() {
    if (SendUtil* send = m_Send.exchange(nullptr)) {
        // Told while the socket is still there, so that the console hears the close.
        send->Halt();
        Stop();
        send->DetachReceiv();
    }
    Stop();
}

void ReceiveUtil::DetachSend() {
    m_Send = nullptr;
}

void ReceiveUtil::BadPut(const wchar_t* text) {
    m_BadLog->Put(text, false);
}

void ReceiveUtil::BadPutErr(const wchar_t* text, int code) {
    m_BadLog->PutErr(text, code, true);
}

void ReceiveUtil::BadPutMes(const wchar_t* text, const unsigned char* data, int n) {
    m_BadLog->PutMes(text, data, n, true);
}

CSendDisp* ReceiveUtil::GetSendRemote(const in6_addr&, int) {
    return m_Send.load();
}
