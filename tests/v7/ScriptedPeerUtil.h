#pragma once

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppEvents.h"
#include "Logger.h"
#include "Queue.h"
#include "ReceiveNet.h"
#include "SendNet.h"

template <class Pred>
bool WaitUntil(Pred pred, int ms = 2000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!pred() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

// The far end of a V7 link for the tests: a UDP socket on ::1 that codes and decodes datagrams with
// a link key of its own choosing. Every wait has its own time-out.
class ScriptedPeer {
public:
    explicit ScriptedPeer(const CKeySys& key);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return m_Port; }
    bool ReceiveRaw(std::vector<unsigned char>& out, int timeoutMs);
    // The next datagram that decodes with the key; the others are skipped.
    bool Receive(CPackV7& out, int timeoutMs);
    bool Send(CPackV7 p, int port);
    bool SendRaw(const unsigned char* bytes, int n, int port);

private:
    CKeySys m_Key;
    int m_Socket = -1;
    int m_Port = 0;
};

// A packet of the unit to the tool that carries nothing but its ident.
CPackV7 PeerPacket(const CIdentV7& from, const CIdentV7& to, int ident);
// A data packet (class 4, type 2) carrying a 16-bit number, so that it can be recognised.
CPackV7 NumberedPacket(int number);
// The number of a NumberedPacket, or -1 for any other packet.
int PacketNumber(const CPackV7& p);

// The tool's end: its endpoint and sender with everything they tell the outside recorded as
// lines: reports ("! " in front when also shown in a box), events ("event " and the number) and
// offers of new parties. Nothing is started; the unit is kUnit at ::1:unitPort.
inline const CIdentV7 kTool(12345678, 0);
inline const CIdentV7 kUnit(123456, 0);
inline const std::wstring kPackV7Received = L"event 1";
inline const std::wstring kNoLink = L"event 2";
// The tool's link key, or another one.
CKeySys LinkKey(bool other = false);

class Recorder {
public:
    void Add(const std::wstring& line) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Lines.push_back(line);
    }
    std::vector<std::wstring> Lines() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Lines;
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<std::wstring> m_Lines;
};

class RigSend : public SendNet {
public:
    RigSend(BasePoolThread* pool, ReceiveNet& r, ProLog& pro, BadLog& bad, AppEventSink& ev, Recorder& rec)
        : SendNet(pool, r, pro, bad, ev), m_Rec(rec) {}
    ~RigSend() override { StopOnly(); }
    void BadPut(const wchar_t* text) override { m_Rec.Add(text); }

private:
    Recorder& m_Rec;
};

class RigReceiv : public ReceiveNet {
public:
    RigReceiv(BasePoolThread* pool, SendNet& s, InpQueuePackV7& in, ProLog& pro, BadLog& bad,
              AppEventSink& ev, Recorder& rec)
        : ReceiveNet(pool, s, in, pro, bad, ev), m_Send(s), m_Rec(rec) {}
    ~RigReceiv() override {
        m_Send.StopOnly();
        Stop();
    }
    using CReceivV7::Receive;  // one datagram through every check, without a socket
    void BadPut(const wchar_t* text, bool show) override {
        m_Rec.Add((show ? L"! " : L"") + std::wstring(text));
    }
    void BadPutErr(const wchar_t* text, int error) override { m_Rec.Add(CBaseLog::CnvErr(text, error)); }
    void BadPutMes(const wchar_t* text, const unsigned char*, int, bool show) override { BadPut(text, show); }
    CSendV7* NewSender(const CIdentV7& ident, const in6_addr&, int, const CKeySys&,
                       const CReceivV7*) override {
        m_Rec.Add(L"offered " + ident.GetString());
        return nullptr;
    }

private:
    SendNet& m_Send;
    Recorder& m_Rec;
};

struct LinkRig {
    explicit LinkRig(int unitPort);

    BasePoolThread pool{"LinkRig"};
    ProLog proLog;
    BadLog badLog;
    Recorder rec;
    AppEventSink events;
    InpQueuePackV7 input;
    RigSend send{&pool, receiv, proLog, badLog, events, rec};
    RigReceiv receiv{&pool, send, input, proLog, badLog, events, rec};
};
