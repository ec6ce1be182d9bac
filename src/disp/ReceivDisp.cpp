#include "ReceivDisp.h"

#include <cerrno>

#include "SendDisp.h"
#include "Xml.h"
#include "utilities.h"

CReceivDisp::CReceivDisp(BasePoolThread* pool, bool bigBuffers)
    : m_Endpoint(L"CReceivDisp", bigBuffers,
                 {[this](const wchar_t* text) { BadPut(text); },
                  [this](const wchar_t* text, int error) { BadPutErr(text, error); },
                  [this](int n, const in6_addr& addr, int port, int error) {
                      DBString text;
                      text.Format(L"CReceivDisp::Send sendto() aLen=%d, IP:Port=", n);
                      text += IPv6PortToStrW(addr, port);
                      BadPutErr(text.c_str(), error);
                  }}),
      m_Thread(pool, "CReceivDisp::WinSockProc", WinSockProc, this),
      m_Pool(pool) {
    m_Endpoint.SetAddress(NulIPv6(), 0);
}

CReceivDisp::~CReceivDisp() {
    Stop();
}

void CReceivDisp::LogPut(const in6_addr&, int, const unsigned char*, int) {}

CSendDisp* CReceivDisp::Connect(const in6_addr&, int, const unsigned char*, int) {
    return nullptr;
}

DBString CReceivDisp::NameApp() const {
    return DBString(L"CReceivDisp");
}

void CReceivDisp::SetOwnAddress(const in6_addr& addr, int port) {
    m_Endpoint.SetAddress(addr, port);
}

int CReceivDisp::Bind(DBString& text) {
    return m_Endpoint.Open(text);
}

void CReceivDisp::Start() {
    if (m_Running.load()) return;
    DBString text;
    const int e = Bind(text);
    if (e != 0) throw ErrorXML(DBString(), e);
    m_Running = true;
    if (m_Thread.Start(0, 0) == nullptr) {
        m_Running = false;
        m_Endpoint.Close();
        throw ErrorXML(L"CReceivDisp::Start(): the thread pool does not run", 0);
    }
}

void CReceivDisp::Stop() {
    m_Running = false;
    m_Endpoint.Wake();
    if (m_Pool != nullptr) m_Pool->StopProc(WinSockProc, this);
    m_Endpoint.Close();
}

int CReceivDisp::Send(const unsigned char* data, int n, const in6_addr& addr, int port) {
    return m_Endpoint.Send(data, n, addr, port);
}

bool CReceivDisp::WinSockProc(void* self) {
    static_cast<CReceivDisp*>(self)->ReceiveLoop();
    return false;
}

void CReceivDisp::ReceiveLoop() {
    unsigned char buf[kMaxDatagram];
    while (m_Running.load()) {
        in6_addr addr{};
        int port = 0;
        int e = 0;
        const int n = m_Endpoint.Receive(buf, sizeof buf, addr, port, e);
        if (!m_Running.load()) break;
        if (n < 0) {
            if (e == ENETRESET || e == ECONNRESET) continue;
            BadPutErr(L"CReceivDisp::WinSockProc recvfrom()", e);
            if (e == EMSGSIZE) continue;
            // The port the console knows first; the configured one (the system's choice)
            // only when that is taken meanwhile.
            if (!m_Endpoint.Rebind(true)) break;
            continue;
        }
        if (n == 0) continue;
        LogPut(addr, port, buf, n);
        if (n < kMinDatagram) continue;
        CSendDisp* send = GetSendRemote(addr, port);
        if (send == nullptr) send = Connect(addr, port, buf, n);
        if (send != nullptr) send->Handling(buf, n);
    }
    m_Running = false;
}
