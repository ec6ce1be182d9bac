#include "ReceiveUtil.h"

#include "Logger.h"
#include "SendUtil.h"
#include "utilities.h"

namespace {

constexpr std::size_t kForeignSourcesNoted = 64;

}  // namespace

ReceiveUtil::ReceiveUtil(BasePoolThread* pool, SendUtil& send, BadLog& badLog, DispLog& dispLog)
    : CReceivDisp(pool, false), m_Send(&send), m_BadLog(&badLog), m_DispLog(&dispLog) {}

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

CSendDisp* ReceiveUtil::GetSendRemote(const in6_addr& addr, int port) {
    SendUtil* send = m_Send.load();
    if (send == nullptr) return nullptr;
    const in6_addr console = send->GetPeerAddr();
    if (isEqIPv6(addr, console)) return send;
    const std::string source = IPv6PortToStr(addr, port);
    std::lock_guard<std::mutex> lock(m_ForeignMutex);
    if (m_Foreign.size() < kForeignSourcesNoted && m_Foreign.insert(source).second) {
        m_DispLog->Put((DBString(L"ReceiveUtil: datagrams from") + DBString(source.c_str()) +
                        L"dropped: not the console's address " + IPv6ToStrW(console))
                           .c_str());
    }
    return nullptr;
}
