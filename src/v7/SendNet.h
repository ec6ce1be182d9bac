#pragma once

#include "AppEvents.h"
#include "SendV7.h"

class BadLog;
class ProLog;
class ReceiveNet;

// The tool's link to the one lift unit it services. Reaches the windows only through
// the application's event sink: a lost link becomes a NoLink event.
class SendNet : public CSendV7 {
public:
    // The receiver may be constructed after this object; it is only used once the link
    // runs.
    SendNet(BasePoolThread* pool, ReceiveNet& receiv, ProLog& proLog, BadLog& badLog, AppEventSink& events);
    ~SendNet() override;

    CReceivV7* GetReceiv() override;
    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int error) override;
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int count) override;
    void LogPut(const CIdentV7& ident, const in6_addr& address, int port, const unsigned char* bytes,
                int count) override;
    void IsNoLink() override;
    // Close-link packets to the unit and to 0.0 at its address, then the base Stop.
    void Stop() override;

private:
    ReceiveNet* m_Receiv;
    ProLog* m_ProLog;
    BadLog* m_BadLog;
    AppEventSink* m_Events;
};
