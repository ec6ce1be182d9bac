// The V7 receiver and sender over real UDP, against a scripted unit on ::1.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <exception>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AppEvents.h"
#include "Idea.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "Logger.h"
#include "Mes.h"
#include "Queue.h"
#include "ReceiveNet.h"
#include "ScriptedPeerUtil.h"
#include "SendNet.h"
#include "Xml.h"
#include "utilities.h"

namespace {

using Clock = std::chrono::steady_clock;

const CIdentV7 kTool(12345678, 0);
const CIdentV7 kUnit(123456, 0);

CKeySys LinkKey() {
    CKeySys k;
    k.Set(L"00112233445566778899AABBCCDDEEFF");
    return k;
}

CKeySys OtherKey() {
    CKeySys k;
    k.Set(L"FFEEDDCCBBAA99887766554433221100");
    return k;
}

template <class Pred>
bool WaitUntil(Pred pred, int ms = 1000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What the endpoint and the sender report, and what reaches the windows.
class Recorder {
public:
    void Add(const std::wstring& text, bool show) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Texts.push_back(text);
        m_Shown.push_back(show);
    }
    void AddEvent(typAppEvent e) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Events.push_back(e);
    }
    int Count(const std::wstring& part) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        int n = 0;
        for (const auto& t : m_Texts) n += t.find(part) != std::wstring::npos ? 1 : 0;
        return n;
    }
    // The first text that holds part, empty when none does.
    std::wstring Find(const std::wstring& part, bool* shown = nullptr) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (std::size_t i = 0; i < m_Texts.size(); ++i) {
            if (m_Texts[i].find(part) != std::wstring::npos) {
                if (shown != nullptr) *shown = m_Shown[i];
                return m_Texts[i];
            }
        }
        return {};
    }
    std::size_t Texts() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Texts.size();
    }
    int Events(typAppEvent e) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        int n = 0;
        for (auto x : m_Events) n += x == e ? 1 : 0;
        return n;
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<std::wstring> m_Texts;
    std::vector<bool> m_Shown;
    std::vector<typAppEvent> m_Events;
};

class TestSendNet : public SendNet {
public:
    TestSendNet(BasePoolThread* pool, ReceiveNet& receiv, ProLog& pro, BadLog& bad, AppEventSink& events,
                Recorder& rec)
        : SendNet(pool, receiv, pro, bad, events), m_Rec(rec) {}
    ~TestSendNet() override { StopOnly(); }
    void BadPut(const wchar_t* text) override {
        m_Rec.Add(text, false);
        SendNet::BadPut(text);
    }
    void BadPutErr(const wchar_t* text, int error) override {
        m_Rec.Add(CBaseLog::CnvErr(text, error), false);
        SendNet::BadPutErr(text, error);
    }
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int count) override {
        m_Rec.Add(text, false);
        SendNet::BadPutMes(text, bytes, count);
    }

private:
    Recorder& m_Rec;
};

class TestReceiveNet : public ReceiveNet {
public:
    TestReceiveNet(BasePoolThread* pool, SendNet& send, InpQueuePackV7& input, ProLog& pro, BadLog& bad,
                   AppEventSink& events, Recorder& rec)
        : ReceiveNet(pool, send, input, pro, bad, events), m_SendNet(send), m_Rec(rec) {}
    ~TestReceiveNet() override {
        m_SendNet.StopOnly();
        Stop();
    }
    void BadPut(const wchar_t* text, bool show) override {
        m_Rec.Add(text, show);
        ReceiveNet::BadPut(text, show);
    }
    void BadPutErr(const wchar_t* text, int error) override {
        m_Rec.Add(CBaseLog::CnvErr(text, error), false);
        ReceiveNet::BadPutErr(text, error);
    }
    void BadPutMes(const wchar_t* text, const unsigned char* bytes, int count, bool show) override {
        m_Rec.Add(text, show);
        ReceiveNet::BadPutMes(text, bytes, count, show);
    }
    // An endpoint that also listens to the relay: what the link key does not open may
    // be in the relay coding.
    bool ChanDecod(const unsigned char* in, int n, CPackV7& pack, CKeySys& key, bool& viaRelay) override {
        if (!relayDecoder.load() || !pack.ChanCloudProDecod(in, n, key)) return false;
        viaRelay = true;
        return true;
    }
    // Records who was offered as a new party; the tool's endpoint takes none.
    CSendV7* NewSender(const CIdentV7& ident, const in6_addr& address, int port, const CKeySys& key,
                       const CReceivV7* receiv) override {
        {
            std::lock_guard<std::mutex> lock(m_OfferedMutex);
            m_Offered.push_back(ident.GetString());
        }
        return ReceiveNet::NewSender(ident, address, port, key, receiv);
    }
    std::vector<std::wstring> Offered() const {
        std::lock_guard<std::mutex> lock(m_OfferedMutex);
        return m_Offered;
    }

    std::atomic<bool> relayDecoder{false};

private:
    SendNet& m_SendNet;
    Recorder& m_Rec;
    mutable std::mutex m_OfferedMutex;
    std::vector<std::wstring> m_Offered;
};

class V7Link : public ::testing::Test {
protected:
    void SetUp() override {
        g_StringENU = true;
        events.Install([this](typAppEvent e) { rec.AddEvent(e); });
    }

    void Connect(int repeatMs, int tickMs = 10, const CIdentV7& own = kTool, const CIdentV7& remote = kUnit) {
        receiv.SetIdent(own);
        receiv.SetKey(LinkKey());
        receiv.SetBindAddress(LocalHostIPv6());
        receiv.SetBindPort(0);
        send.SetAddress(LocalHostIPv6(), peer.Port());
        send.SetRemoteIdent(remote);
        send.SetRepeatInterval(repeatMs);
        send.Window().SetTick(tickMs);
        receiv.Start();
        send.Start();
    }

    int ToolPort() const { return receiv.GetBoundPort(); }

    // Sends from the unit and waits for the tool's acknowledgement of the ident.
    bool Acknowledged(ScriptedPeer& from, const CPackV7& p, int timeoutMs = 1000) {
        if (!from.Send(p, ToolPort())) return false;
        CPackV7 got;
        while (from.Receive(got, timeoutMs)) {
            if (got.GetRepl() == p.GetIdent()) return true;
        }
        return false;
    }

    BasePoolThread pool{"V7LinkTest"};
    ProLog proLog;
    BadLog badLog;
    Recorder rec;
    AppEventSink events;
    InpQueuePackV7 input;
    ScriptedPeer peer{LinkKey()};
    TestSendNet send{&pool, receiv, proLog, badLog, events, rec};
    TestReceiveNet receiv{&pool, send, input, proLog, badLog, events, rec};
};

// ---------------------------------------------------------------------------------------
// Delivery window

TEST_F(V7Link, FivePacketsInFlightTheSixthWaitsForAnAcknowledgement) {
    Connect(400);
    std::vector<CMes> sent;
    for (int i = 1; i <= 6; ++i) {
        sent.emplace_back(3, 4, 255, 15, CMes::mesDevAsk, static_cast<unsigned char>(i));
        EXPECT_EQ(send.SendMes(sent.back()), 1);
    }
    for (int i = 1; i <= 5; ++i) {
        CPackV7 p;
        ASSERT_TRUE(peer.Receive(p, 1000)) << i;
        EXPECT_EQ(p.GetIdent(), i);
        EXPECT_TRUE(p.GetSource().FullEQ(kTool));
        EXPECT_TRUE(p.GetDest().FullEQ(kUnit));
        CMes m;
        ASSERT_EQ(p.GetMes(m), 1);
        ASSERT_EQ(m.len, sent[i - 1].len);
        EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + m.len),
                  std::vector<uint8_t>(sent[i - 1].data, sent[i - 1].data + m.len));
    }
    CPackV7 none;
    EXPECT_FALSE(peer.Receive(none, 100));
    EXPECT_EQ(send.Window().Count(), 5);

    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 0, 1), ToolPort()));
    CPackV7 p;
    bool sixth = false;
    while (!sixth && peer.Receive(p, 1000)) {
        // Repeats of the older ones may come first on a slow machine; nothing else may.
        if (p.GetIdent() == 6)
            sixth = true;
        else
            EXPECT_TRUE(p.GetIdent() >= 2 && p.GetIdent() <= 5) << p.GetIdent();
    }
    ASSERT_TRUE(sixth);
    CMes m;
    ASSERT_EQ(p.GetMes(m), 1);
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + m.len),
              std::vector<uint8_t>(sent[5].data, sent[5].data + sent[5].len));
}

TEST_F(V7Link, IdentsRunFromOneTo127AndThenStartAgainAtOne) {
    Connect(2000);
    constexpr int kPackets = 130;
    for (int i = 0; i < kPackets; ++i) {
        CPackV7 p = NumberedPacket(i);
        ASSERT_EQ(send.Put(p), 1);
    }
    std::vector<int> identOf(kPackets, -1);
    int seen = 0;
    CPackV7 p;
    while (seen < kPackets && peer.Receive(p, 1000)) {
        const int n = PacketNumber(p);
        ASSERT_GE(n, 0);
        if (identOf[static_cast<std::size_t>(n)] < 0) {
            identOf[static_cast<std::size_t>(n)] = p.GetIdent();
            ++seen;
        }
        ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 0, p.GetIdent()), ToolPort()));
    }
    ASSERT_EQ(seen, kPackets);
    for (int i = 0; i < kPackets; ++i) EXPECT_EQ(identOf[static_cast<std::size_t>(i)], i % 127 + 1) << i;
}

TEST_F(V7Link, AnUnacknowledgedPacketIsSentFiveTimesAndTwoLossesRaiseOneNoLink) {
    Connect(30);
    auto lose = [&](int number) {
        CPackV7 p = NumberedPacket(number);
        EXPECT_EQ(send.Put(p), 1);
        const std::vector<CPackV7> copies = peer.Drain(150);
        EXPECT_EQ(copies.size(), 5u);
        for (const auto& c : copies) EXPECT_EQ(PacketNumber(c), number);
        EXPECT_TRUE(WaitUntil([&] { return send.Window().Count() == 0; }));
    };
    lose(1);
    EXPECT_EQ(rec.Events(typAppEvent::NoLink), 0);
    lose(2);
    // The link is declared lost at the next transmission, and only once.
    EXPECT_EQ(rec.Events(typAppEvent::NoLink), 0);
    CPackV7 third = NumberedPacket(3);
    ASSERT_EQ(send.Put(third), 1);
    EXPECT_TRUE(WaitUntil([&] { return rec.Events(typAppEvent::NoLink) == 1; }));
    CPackV7 got;
    ASSERT_TRUE(peer.Receive(got, 1000));
    EXPECT_EQ(PacketNumber(got), 3);
    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 0, got.GetIdent()), ToolPort()));
    EXPECT_TRUE(WaitUntil([&] { return send.Window().Count() == 0; }));
    EXPECT_EQ(send.Window().Failures(), 0);
    EXPECT_EQ(rec.Events(typAppEvent::NoLink), 1);
}

TEST_F(V7Link, QueueKeepsAThousandPacketsDroppingTheOldestAndPutsSwitchingFirstInOrder) {
    Connect(5000);
    for (int i = 1; i <= 6; ++i) {
        CPackV7 p = NumberedPacket(i);
        ASSERT_EQ(send.Put(p), 1);
    }
    ASSERT_EQ(peer.Drain(100).size(), 5u);
    // The sixth is with the queue procedure, waiting for room in the window.
    ASSERT_TRUE(WaitUntil([&] { return send.QueueSize() == 0; }));
    for (int i = 7; i <= 1008; ++i) {
        CPackV7 p = NumberedPacket(i);
        ASSERT_EQ(send.Put(p), 1);
    }
    EXPECT_EQ(send.QueueSize(), CSendV7::kQueueLimit + 1);
    for (unsigned char mark : {0xA1, 0xA2}) {
        CPackV7 ggs;
        ASSERT_EQ(ggs.SetAsk(CPackV7::typAsk3, mark == 0xA1 ? CPackV7::askGGSOn : CPackV7::askGGSOff,
                             CPackV7::dirRequest, &mark, 1),
                  1);
        ASSERT_TRUE(ggs.IsOnOffGGS());
        ASSERT_EQ(send.Put(ggs), 1);
    }
    EXPECT_EQ(send.QueueSize(), CSendV7::kQueueLimit + 1);

    for (int ident = 1; ident <= 5; ++ident)
        ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 0, ident), ToolPort()));
    std::vector<int> order;
    CPackV7 p;
    while (order.size() < 5 && peer.Receive(p, 1000)) {
        if (p.GetRepl() != 0 && p.GetLength() == CPackV7::kHeadSize) continue;
        order.push_back(p.IsOnOffGGS() ? p.GetBuf()[14] : PacketNumber(p));
    }
    // 7, 8 and 9 made room for the others.
    EXPECT_EQ(order, (std::vector<int>{6, 0xA1, 0xA2, 10, 11}));
}

TEST_F(V7Link, PutRefusesBeforeStartAndWhenDisabled) {
    CPackV7 p = NumberedPacket(1);
    EXPECT_EQ(send.Put(p), 0);
    Connect(2000);
    EXPECT_EQ(send.Put(p), 1);
    CPackV7 empty;
    EXPECT_EQ(send.Put(empty), 0);
    send.SetDisabled(true);
    EXPECT_EQ(send.Put(p), 0);
}

// ---------------------------------------------------------------------------------------
// Receiving

TEST_F(V7Link, RepeatsAreAcknowledgedAgainButHandedOnOnce) {
    Connect(2000);
    CMes answer(255, 15, 3, 4, CMes::mesDevAnswer, 9);
    CPackV7 p(answer);
    p.SetID(kUnit, kTool);
    p.SetIdent(7);
    ASSERT_TRUE(Acknowledged(peer, p));
    ASSERT_TRUE(WaitUntil([&] { return input.Size() == 1; }));
    EXPECT_EQ(rec.Events(typAppEvent::PackV7Received), 1);

    ASSERT_TRUE(Acknowledged(peer, p));
    CPackV7 next = p;
    next.SetIdent(8);
    ASSERT_TRUE(Acknowledged(peer, next));
    ASSERT_TRUE(WaitUntil([&] { return input.Size() == 2; }));
    EXPECT_EQ(rec.Events(typAppEvent::PackV7Received), 2);

    CPackV7 first;
    ASSERT_EQ(input.Read(first), 1);
    EXPECT_EQ(first.GetIdent(), 7);
    CMes m;
    ASSERT_EQ(first.GetMes(m), 1);
    EXPECT_EQ(m.typ, CMes::mesDevAnswer);
    EXPECT_EQ(std::vector<uint8_t>(m.data, m.data + m.len),
              std::vector<uint8_t>(answer.data, answer.data + answer.len));
}

TEST_F(V7Link, OnlyPacketsForTheToolReachTheWindowsAndOnlyWhileOneListens) {
    Connect(2000);
    // Another device of the tool's node: acknowledged, not queued.
    CPackV7 otherDev = PeerPacket(kUnit, CIdentV7(kTool.GetNode(), 3), 1, 0);
    otherDev.SetData(static_cast<CPackV7::typPack>(2), reinterpret_cast<const unsigned char*>("x"), 1);
    ASSERT_TRUE(Acknowledged(peer, otherDev));

    events.Remove();
    CPackV7 unheard = PeerPacket(kUnit, kTool, 2, 0);
    unheard.SetData(static_cast<CPackV7::typPack>(2), reinterpret_cast<const unsigned char*>("y"), 1);
    ASSERT_TRUE(Acknowledged(peer, unheard));
    EXPECT_EQ(input.Size(), 0u);
    EXPECT_EQ(rec.Events(typAppEvent::PackV7Received), 0);

    events.Install([this](typAppEvent e) { rec.AddEvent(e); });
    CPackV7 heard = PeerPacket(kUnit, kTool, 3, 0);
    heard.SetData(static_cast<CPackV7::typPack>(2), reinterpret_cast<const unsigned char*>("z"), 1);
    ASSERT_TRUE(Acknowledged(peer, heard));
    ASSERT_TRUE(WaitUntil([&] { return input.Size() == 1; }));
    EXPECT_EQ(rec.Events(typAppEvent::PackV7Received), 1);
}

TEST_F(V7Link, UnknownSendersWrongKeysAndBadDatagramsAreReportedAndDropped) {
    Connect(2000);
    const std::wstring from = IPv6PortToStrW(LocalHostIPv6(), peer.Port());

    // Too short to be a packet: not even reported.
    const unsigned char shortOne[14] = {};
    ASSERT_TRUE(peer.SendRaw(shortOne, sizeof shortOne, ToolPort()));
    // An empty datagram is how a peer says it broke the connection.
    ASSERT_TRUE(peer.SendRaw(shortOne, 0, ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"Remote device break connect") == 1; }));
    EXPECT_EQ(rec.Find(L"Remote device break connect"), from + L"- Remote device break connect");

    CPackV7 stranger = PeerPacket(CIdentV7(222222, 0), kTool, 1, 0);
    ASSERT_TRUE(peer.Send(stranger, ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"unknown device") == 1; }));
    EXPECT_EQ(rec.Find(L"unknown device")
                  .rfind(L"Receive pack form unknown device 222222.0 from address " + from + L" 04 01", 0),
              0u);

    ScriptedPeer forger(OtherKey());
    ASSERT_TRUE(forger.Send(PeerPacket(kUnit, kTool, 2, 0), ToolPort()));
    std::vector<unsigned char> huge(5000, 0x5A);
    ASSERT_TRUE(peer.SendRaw(huge.data(), static_cast<int>(huge.size()), ToolPort()));
    const std::wstring forged =
        L"Data from " + IPv6PortToStrW(LocalHostIPv6(), forger.Port()) + L" cannot be decrypted";
    const std::wstring garbage = L"Data from " + from + L" cannot be decrypted";
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(forged) == 1 && rec.Count(garbage) == 1; }));

    // None of them was answered, none reached the windows, and the receiver still works.
    CPackV7 any;
    EXPECT_FALSE(forger.Receive(any, 20));
    EXPECT_TRUE(Acknowledged(peer, PeerPacket(kUnit, kTool, 5, 0)));
    EXPECT_EQ(peer.Undecodable(), 0);
    EXPECT_EQ(rec.Texts(), 4u);
    ASSERT_TRUE(WaitUntil([&] { return input.Size() == 1; }));
}

TEST_F(V7Link, PacketsForSomeoneElseFromTheToolItselfOrWithTheWrongKeyAreDropped) {
    Connect(2000);
    const std::wstring from = IPv6PortToStrW(LocalHostIPv6(), peer.Port());

    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, CIdentV7(777777, 0), 1, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"Not known recipient") == 1; }));
    EXPECT_EQ(rec.Find(L"Not known recipient"), L"Not known recipient: 123456.0 -> 777777.0 from IP " + from);

    // The link to the unit has a key of its own, which the unit did not use.
    send.SetKey(OtherKey());
    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 2, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"key does not match") == 1; }));
    bool shown = false;
    EXPECT_EQ(rec.Find(L"key does not match", &shown),
              L"LU 123456.0 - key does not match the key in the communication parameters with this "
              L"LU, data is ignored");
    EXPECT_TRUE(shown);
    send.SetKey(CKeySys());

    // A fixed address refuses datagrams from any other.
    send.SetFixedAddress(true);
    send.SetAddress(IP6FromStr("127.0.0.1"), peer.Port());
    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 3, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"device have IP") == 1; }));
    EXPECT_EQ(rec.Find(L"device have IP"),
              L"Receive data from device 123456.0 from IP ::1, device have IP ::ffff:127.0.0.1");

    CPackV7 any;
    EXPECT_FALSE(peer.Receive(any, 30));
    EXPECT_EQ(input.Size(), 0u);
}

TEST_F(V7Link, APacketFromTheToolsOwnIdentityIsDropped) {
    Connect(2000, 10, CIdentV7(kUnit.GetNode(), 5));
    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, CIdentV7(kUnit.GetNode(), 5), 1, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"own Ident") == 1; }));
    EXPECT_EQ(rec.Find(L"own Ident"),
              L"Data from own Ident 123456.0->123456.5 - " + IPv6PortToStrW(LocalHostIPv6(), peer.Port()));
    CPackV7 any;
    EXPECT_FALSE(peer.Receive(any, 30));
}

TEST_F(V7Link, TheUnitMovesToANewAddressOnlyOnceInTheGuardInterval) {
    receiv.SetAddrChangeGuard(300);
    Connect(2000);
    ScriptedPeer moved(LinkKey());
    const std::wstring oldText = IPv6PortToStrW(LocalHostIPv6(), peer.Port());
    const std::wstring newText = IPv6PortToStrW(LocalHostIPv6(), moved.Port());

    ASSERT_TRUE(Acknowledged(moved, PeerPacket(kUnit, kTool, 1, 0)));
    EXPECT_EQ(send.GetPort(), moved.Port());
    EXPECT_EQ(rec.Find(L"Changed IP:port"), L"Changed IP:port for device 123456.0 - new " + newText +
                                                L" old ::1|" + std::to_wstring(peer.Port()));

    // Back at once: reported, handled, but the link stays where it went.
    ASSERT_TRUE(peer.Send(PeerPacket(kUnit, kTool, 2, 0), ToolPort()));
    CPackV7 ack;
    ASSERT_TRUE(moved.Receive(ack, 1000));
    EXPECT_EQ(ack.GetRepl(), 2);
    EXPECT_EQ(send.GetPort(), moved.Port());
    EXPECT_EQ(rec.Find(L"New IP:port"), L"New IP:port from device 123456.0 " + oldText + L" exist ::1|" +
                                            std::to_wstring(moved.Port()) +
                                            L" - ignored, because time from previous < 3 sec");
    EXPECT_TRUE(WaitUntil([&] { return input.Size() == 2; }));

    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    ASSERT_TRUE(Acknowledged(peer, PeerPacket(kUnit, kTool, 3, 0)));
    EXPECT_EQ(send.GetPort(), peer.Port());
    EXPECT_EQ(rec.Count(L"Changed IP:port"), 2);

    // A packet for nobody known does not move the link, however long ago the last move was.
    std::this_thread::sleep_for(std::chrono::milliseconds(350));
    ASSERT_TRUE(moved.Send(PeerPacket(kUnit, CIdentV7(777777, 0), 4, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"Not known recipient") == 1; }));
    EXPECT_EQ(rec.Find(L"not known recipient"), L"New IP:port from device 123456.0 " + newText +
                                                    L" exist ::1|" + std::to_wstring(peer.Port()) +
                                                    L" - ignored, because not known recipient: 777777.0");
    EXPECT_EQ(send.GetPort(), peer.Port());
    EXPECT_EQ(rec.Count(L"Changed IP:port"), 2);
}

// ---------------------------------------------------------------------------------------
// Start and stop

TEST_F(V7Link, StopSendsThreeCloseLinkPacketsAndEndsTheLink) {
    Connect(2000);
    send.Stop();
    const std::vector<CPackV7> got = peer.Drain(100);
    ASSERT_EQ(got.size(), 3u);
    unsigned char wire[4];
    kTool.GetValue(wire);
    const int destNodes[3] = {kUnit.GetNode(), 0, kUnit.GetNode()};
    for (int i = 0; i < 3; ++i) {
        const CPackV7& p = got[static_cast<std::size_t>(i)];
        CIdentV7 who;
        EXPECT_TRUE(p.IsCloseLink(who));
        EXPECT_TRUE(who.FullEQ(kTool));
        EXPECT_EQ(p.GetLength(), CPackV7::kHeadSize + 4);
        EXPECT_EQ(std::vector<unsigned char>(p.GetBuf() + 13, p.GetBuf() + 17),
                  std::vector<unsigned char>(wire, wire + 4));
        EXPECT_TRUE(p.GetSource().FullEQ(kTool));
        EXPECT_TRUE(p.GetDest().FullEQ(CIdentV7(destNodes[i], 0))) << i;
    }
    EXPECT_FALSE(send.IsRunning());
    CPackV7 p = NumberedPacket(1);
    EXPECT_EQ(send.Put(p), 0);
    // A stopped link has nothing more to say.
    send.Stop();
    EXPECT_TRUE(peer.Drain(50).empty());
}

TEST_F(V7Link, AnAcknowledgementWithNothingToCarryIsNeverSent) {
    Connect(2000);
    send.SendReply();
    CPackV7 bare(kTool, kUnit);
    EXPECT_TRUE(send.SendSocket(bare));
    CPackV7 any;
    EXPECT_FALSE(peer.Receive(any, 50));
}

TEST_F(V7Link, StartReportsABusyPortAndStopEndsABlockedReceiveAtOnce) {
    receiv.SetBindAddress(LocalHostIPv6());
    receiv.SetBindPort(peer.Port());
    try {
        receiv.Start();
        FAIL() << "bound a port that is in use";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Number(), EADDRINUSE);
    }
    EXPECT_FALSE(receiv.IsRunning());
    EXPECT_EQ(rec.Count(L"CReceivV7::Bind(): bind(): " + std::to_wstring(EADDRINUSE) + L" - "), 1);

    Connect(2000);
    ASSERT_TRUE(receiv.IsRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto start = Clock::now();
    send.StopOnly();
    receiv.Stop();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(500));
    EXPECT_FALSE(receiv.IsRunning());
    // Started again, it works as before.
    receiv.Start();
    send.Start();
    EXPECT_TRUE(Acknowledged(peer, PeerPacket(kUnit, kTool, 1, 0)));
}

// ---------------------------------------------------------------------------------------
// Receive errors

// Needs real time: the endpoint pauses a second before it binds again.
TEST_F(V7Link, AReceiveErrorIsReportedTheSamePortBoundAgainAndRequestsInThePauseAreNotLost) {
    Connect(2000, 500);
    const int port = ToolPort();
    CUdpEndpoint& endpoint = receiv.Endpoint();
    const unsigned char wake[1] = {0};
    endpoint.InjectReceiveError(EIO);
    ASSERT_TRUE(peer.SendRaw(wake, 1, port));
    ASSERT_TRUE(WaitUntil([&] { return endpoint.IsRebinding(); }));
    for (int i = 1; i <= 3; ++i) {
        CPackV7 p = NumberedPacket(i);
        ASSERT_EQ(send.Put(p), 1);
    }
    std::vector<int> got;
    for (CPackV7 p; got.size() < 3 && peer.Receive(p, 3000);) got.push_back(PacketNumber(p));
    EXPECT_EQ(got, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(ToolPort(), port);
    EXPECT_EQ(rec.Count(CBaseLog::CnvErr(L"CReceivV7::WinSockProc recvfrom()", EIO)), 1);
    EXPECT_EQ(rec.Texts(), 1u);
    EXPECT_EQ(send.Window().Failures(), 0);
    EXPECT_EQ(rec.Events(typAppEvent::NoLink), 0);
    EXPECT_TRUE(Acknowledged(peer, PeerPacket(kUnit, kTool, 1, 0)));

    // Stopped in the pause, the endpoint neither waits it out nor binds again.
    endpoint.InjectReceiveError(EIO);
    ASSERT_TRUE(peer.SendRaw(wake, 1, port));
    ASSERT_TRUE(WaitUntil([&] { return endpoint.IsRebinding(); }));
    const auto stopAt = Clock::now();
    send.StopOnly();
    receiv.Stop();
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(500));
    EXPECT_FALSE(endpoint.IsOpen());
}

// ---------------------------------------------------------------------------------------
// Through the relay

const CIdentV7 kRelayNode(CReceivV7::kRelayNode, 0);
const CIdentV7 kProgram(10000005, 0);

CPackV7 TextPacket(const CIdentV7& from, const CIdentV7& to, int ident, const char* text) {
    CPackV7 p = PeerPacket(from, to, ident, 0);
    p.SetData(static_cast<CPackV7::typPack>(2), reinterpret_cast<const unsigned char*>(text),
              static_cast<int>(std::string(text).size()));
    return p;
}

class V7Relay : public V7Link {
protected:
    void SetUp() override {
        V7Link::SetUp();
        receiv.relayDecoder = true;
    }

    // The party is reached through the relay, which the scripted peer plays.
    void ThroughRelay() {
        send.SetRelayAddress(LocalHostIPv6(), peer.Port());
        send.SetViaRelay(true);
    }

    // Sends through the relay and waits for the tool's relay-coded acknowledgement.
    bool RelayAcknowledged(const CPackV7& p, CKeySys* carried = nullptr) {
        if (!peer.SendRelay(p, LinkKey(), ToolPort())) return false;
        CPackV7 got;
        CKeySys key;
        while (peer.ReceiveRelay(got, key, 1000)) {
            if (got.GetRepl() == p.GetIdent()) {
                if (carried != nullptr) *carried = key;
                return true;
            }
        }
        return false;
    }
};

TEST_F(V7Relay, APacketThroughTheRelayIsHandedOnOnceAndAnsweredThroughTheRelay) {
    Connect(2000);
    ThroughRelay();
    const CPackV7 p = TextPacket(kUnit, kTool, 1, "relay");
    CKeySys carried;
    ASSERT_TRUE(RelayAcknowledged(p, &carried));
    // The party has no key of its own: the endpoint's goes with the answer.
    EXPECT_TRUE(carried == LinkKey());
    ASSERT_TRUE(WaitUntil([&] { return input.Size() == 1; }));
    CPackV7 got;
    ASSERT_EQ(input.Read(got), 1);
    EXPECT_EQ(std::vector<unsigned char>(got.GetBuf(), got.GetBuf() + got.GetLength()),
              std::vector<unsigned char>(p.GetBuf(), p.GetBuf() + p.GetLength()));
    EXPECT_TRUE(send.GetKey().IsEmpty()) << "a unit's key is never taken from a packet";

    // A repeat through the relay: answered again, not handed on again.
    ASSERT_TRUE(RelayAcknowledged(p));
    EXPECT_EQ(rec.Events(typAppEvent::PackV7Received), 1);

    // The tool's own packets take the relay coding too, and the relay's answer frees them.
    CPackV7 out = NumberedPacket(9);
    ASSERT_EQ(send.Put(out), 1);
    CPackV7 sent;
    CKeySys key;
    ASSERT_TRUE(peer.ReceiveRelay(sent, key, 1000));
    EXPECT_EQ(PacketNumber(sent), 9);
    EXPECT_TRUE(key == LinkKey());
    ASSERT_TRUE(peer.SendRelay(PeerPacket(kUnit, kTool, 0, sent.GetIdent()), LinkKey(), ToolPort()));
    EXPECT_TRUE(WaitUntil([&] { return send.Window().Count() == 0; }));

    EXPECT_EQ(peer.Undecodable(), 0) << "nothing in the link coding went to the relay";
    EXPECT_EQ(rec.Texts(), 0u);
    // Without an ident there is nothing to filter: the bare acknowledgement is handed on.
    EXPECT_TRUE(WaitUntil([&] { return input.Size() == 1; }));
}

TEST_F(V7Relay, ThePathThatDoesNotMatchThePartysIsRefusedBothWays) {
    Connect(2000);
    const std::wstring from = IPv6PortToStrW(LocalHostIPv6(), peer.Port());

    ASSERT_TRUE(peer.SendRelay(TextPacket(kUnit, kTool, 1, "a"), LinkKey(), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Texts() == 1; }));
    bool shown = false;
    EXPECT_EQ(rec.Find(L"ZARNCloud", &shown), L"Receive data through ZARNCloud from device 123456.0 from " +
                                                  from + L", device available directly, data ignored");
    EXPECT_TRUE(shown);

    ThroughRelay();
    ASSERT_TRUE(peer.Send(TextPacket(kUnit, kTool, 2, "b"), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Texts() == 2; }));
    EXPECT_EQ(rec.Find(L"directly from", &shown), L"Receive data directly from device 123456.0 from " + from +
                                                      L", device available through ZARNCloud, data ignored");
    EXPECT_TRUE(shown);

    std::vector<unsigned char> any;
    EXPECT_FALSE(peer.ReceiveRaw(any, 50)) << "a refused packet is not acknowledged";
    EXPECT_EQ(input.Size(), 0u);
    EXPECT_TRUE(send.Window().Failures() == 0 && !send.Window().IsLinkUp());
}

TEST_F(V7Relay, AProgramPartyTakesTheKeyItsPacketsCarry) {
    Connect(2000, 10, kTool, kProgram);
    ThroughRelay();
    ASSERT_TRUE(peer.SendRelay(TextPacket(kProgram, kTool, 1, "k"), OtherKey(), ToolPort()));
    CPackV7 ack;
    CKeySys carried;
    ASSERT_TRUE(peer.ReceiveRelay(ack, carried, 1000));
    EXPECT_EQ(ack.GetRepl(), 1);
    EXPECT_TRUE(send.GetKey() == OtherKey());
    EXPECT_TRUE(carried == OtherKey()) << "the answer goes back under the party's key";

    ASSERT_TRUE(peer.SendRelay(TextPacket(kProgram, kTool, 2, "l"), LinkKey(), ToolPort()));
    ASSERT_TRUE(peer.ReceiveRelay(ack, carried, 1000));
    EXPECT_EQ(ack.GetRepl(), 2);
    EXPECT_TRUE(carried == LinkKey());
    EXPECT_TRUE(WaitUntil([&] { return input.Size() == 2; }));
}

TEST_F(V7Relay, TheRelaysOwnPacketsOnlyStampTheTimeAndStrangersAreOfferedOnlyWhenDirect) {
    Connect(2000);
    EXPECT_EQ(receiv.GetRelayReportTime(), 0);
    const std::int64_t before = std::time(nullptr);
    ASSERT_TRUE(peer.SendRelay(PeerPacket(kRelayNode, kTool, 0, 0), LinkKey(), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return receiv.GetRelayReportTime() != 0; }));
    EXPECT_GE(receiv.GetRelayReportTime(), before);
    EXPECT_LE(receiv.GetRelayReportTime(), static_cast<std::int64_t>(std::time(nullptr)));
    EXPECT_TRUE(receiv.Offered().empty());

    const CIdentV7 stranger(222222, 0);
    const CIdentV7 program(10000007, 0);
    ASSERT_TRUE(peer.SendRelay(PeerPacket(stranger, kTool, 1, 0), LinkKey(), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"unknown device 222222.0") == 1; }));
    ASSERT_TRUE(peer.Send(PeerPacket(stranger, kTool, 2, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"unknown device 222222.0") == 2; }));
    ASSERT_TRUE(peer.SendRelay(PeerPacket(program, kTool, 3, 0), LinkKey(), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"unknown device 10000007.0") == 1; }));
    CPackV7 close;
    unsigned char wire[4];
    stranger.GetValue(wire);
    close.SetID(stranger, kTool);
    ASSERT_EQ(close.SetLink(CPackV7::typCloseLink, wire, 4), 1);
    ASSERT_TRUE(peer.Send(close, ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Count(L"unknown device 222222.0") == 3; }));

    // A unit only directly; a program either way; a closing party never.
    EXPECT_EQ(receiv.Offered(), (std::vector<std::wstring>{L"222222.0", L"10000007.0"}));
    EXPECT_EQ(rec.Texts(), 4u) << "the relay's own packet is not reported";
    std::vector<unsigned char> any;
    EXPECT_FALSE(peer.ReceiveRaw(any, 30));
}

TEST_F(V7Relay, ForgedAndShortRelayDatagramsAreReportedAndDropped) {
    Connect(2000);
    std::vector<std::vector<unsigned char>> bad;
    bad.emplace_back(15, 0xA5);
    bad.emplace_back(23, 0x5A);  // two blocks and some: too little for any packet

    // A true relay datagram cut short by one block, and one with a byte changed.
    CPackV7 p = TextPacket(kUnit, kTool, 1, "genuine");
    unsigned char coded[CPackV7::kBufSize];
    const int n = p.ChanCloudProCod(coded, sizeof coded, LinkKey());
    ASSERT_GT(n, 24);
    const int body = n / CIdeaCtx::kBlock * CIdeaCtx::kBlock;
    bad.emplace_back(coded, coded + body - CIdeaCtx::kBlock);
    bad.emplace_back(coded, coded + n);
    bad.back()[9] ^= 0x01;

    // Deciphered lengths that point past the datagram, or leave no room for the key.
    auto forge = [&](int count, int blocks) {
        std::vector<unsigned char> plain(static_cast<std::size_t>(blocks * CIdeaCtx::kBlock), 0);
        plain[0] = static_cast<unsigned char>(count & 0xFF);
        plain[1] = static_cast<unsigned char>(count >> 8);
        std::copy(p.GetBuf(), p.GetBuf() + p.GetLength() + 2, plain.begin() + 2);
        std::vector<unsigned char> out(plain.size());
        RelayIdeaCtx().Encrypt(plain.data(), out.data(), blocks);
        bad.push_back(out);
    };
    forge(0xFFFF, 4);
    forge(p.GetLength() + 2, 4);  // the packet fits, its key would run past the end
    forge(0, 4);
    forge(1, 4);

    for (const auto& d : bad) ASSERT_TRUE(peer.SendRaw(d.data(), static_cast<int>(d.size()), ToolPort()));
    const std::wstring report =
        L"Data from " + IPv6PortToStrW(LocalHostIPv6(), peer.Port()) + L" cannot be decrypted";
    EXPECT_TRUE(WaitUntil([&] { return rec.Count(report) == static_cast<int>(bad.size()); }));

    // The forged length must have come through the cipher intact, or the test proves little.
    std::vector<unsigned char> plain(32);
    RelayIdeaCtx().Decrypt(bad[4].data(), plain.data(), 4);
    EXPECT_EQ(plain[0] | (plain[1] << 8), 0xFFFF);

    // Nothing was answered or handed on, and the endpoint still works.
    std::vector<unsigned char> any;
    EXPECT_FALSE(peer.ReceiveRaw(any, 30));
    EXPECT_EQ(input.Size(), 0u);
    EXPECT_TRUE(Acknowledged(peer, TextPacket(kUnit, kTool, 2, "after")));
    EXPECT_TRUE(WaitUntil([&] { return input.Size() == 1; }));
    EXPECT_EQ(rec.Texts(), bad.size());
}

// ---------------------------------------------------------------------------------------
// Protocol log

// The protocol log writes under HOME, so every test here gets a HOME of its own.
class V7ProLog : public V7Link {
protected:
    void SetUp() override {
        V7Link::SetUp();
        if (const char* old = std::getenv("HOME")) savedHome = old;
        char pattern[] = "/tmp/tolvane-v7prolog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home = pattern;
        ASSERT_EQ(::setenv("HOME", home.c_str(), 1), 0);
    }
    void TearDown() override {
        send.StopOnly();
        receiv.Stop();
        proLog.Close();
        if (savedHome)
            ::setenv("HOME", savedHome->c_str(), 1);
        else
            ::unsetenv("HOME");
        std::filesystem::remove_all(home);
    }

    std::vector<std::string> Lines() const {
        std::ifstream in(home + "/ZARN/logs/Tolvane/pro/C0000001.log", std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }

    std::string home;
    std::optional<std::string> savedHome;
};

// Packet and CRC as the log writes them: "XX " per byte.
std::string Hex(const CPackV7& p) {
    std::string s;
    char b[4];
    for (int i = 0; i < p.GetLength() + 2; ++i) {
        std::snprintf(b, sizeof b, "%02X ", p.GetBuf()[i]);
        s += b;
    }
    return s;
}

TEST_F(V7ProLog, BothDirectionsAreLoggedWithTheExactBytesOfTheDatagrams) {
    ASSERT_TRUE(proLog.Open("C", "log"));
    Connect(2000);

    // The unit's packet, coded here so that its CRC is known.
    CPackV7 in = TextPacket(kUnit, kTool, 4, "log");
    unsigned char coded[CPackV7::kBufSize];
    const int n = in.ChanCod(coded, sizeof coded, LinkKey());
    ASSERT_GT(n, 0);
    ASSERT_TRUE(peer.SendRaw(coded, n, ToolPort()));
    CPackV7 ack;
    ASSERT_TRUE(peer.Receive(ack, 1000));
    ASSERT_EQ(ack.GetRepl(), 4);

    CPackV7 mine = NumberedPacket(0x1234);
    ASSERT_EQ(send.Put(mine), 1);
    CPackV7 out;
    ASSERT_TRUE(peer.Receive(out, 1000));
    ASSERT_EQ(PacketNumber(out), 0x1234);
    CPackV7 outAck = PeerPacket(kUnit, kTool, 0, out.GetIdent());
    ASSERT_EQ(outAck.ChanCod(coded, sizeof coded, LinkKey()), CPackV7::kHeadSize + 3);
    ASSERT_TRUE(peer.SendRaw(coded, CPackV7::kHeadSize + 3, ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return send.Window().Count() == 0; }));
    send.StopOnly();
    receiv.Stop();
    proLog.Close();

    // The CRC behind each packet must be its own, or the lines below would check nothing.
    for (const CPackV7* p : {&in, &ack, &out, &outAck})
        ASSERT_TRUE(CPackV7::TestCRC(p->GetBuf(), p->GetLength() + 2));

    char port[8];
    std::snprintf(port, sizeof port, "|%05d ", peer.Port());
    const std::string address = std::string(36, ' ') + "::1" + port;
    const std::size_t timeAt = 2 + 39 + 7;
    const std::size_t bytesAt = timeAt + 19;
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 4u);
    std::vector<std::string> received, sent;
    for (const auto& line : lines) {
        ASSERT_GT(line.size(), bytesAt) << line;
        if (line.compare(0, 2, "0>") == 0)
            sent.push_back(line.substr(bytesAt));
        else
            received.push_back(line.substr(bytesAt));
        EXPECT_EQ(line.substr(2, timeAt - 2), address) << line;
        EXPECT_EQ(line[0], '0');
        EXPECT_TRUE(line[1] == '>' || line[1] == ' ') << line;
    }
    // The acknowledgement and the tool's packet leave from different threads, in either order.
    std::sort(sent.begin(), sent.end());
    std::vector<std::string> sentExpected{" " + Hex(ack), " " + Hex(out)};
    std::sort(sentExpected.begin(), sentExpected.end());
    EXPECT_EQ(received, (std::vector<std::string>{"<" + Hex(in), "<" + Hex(outAck)}));
    EXPECT_EQ(sent, sentExpected);
}

}  // namespace
