// The dispatcher sender and receiver over real UDP, against a scripted console on ::1.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppEvents.h"
#include "DispPeerUtil.h"
#include "Logger.h"
#include "Queue.h"
#include "ReceiveUtil.h"
#include "SendUtil.h"
#include "Xml.h"
#include "utilities.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class Pred>
bool WaitUntil(Pred pred, int ms = 2000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Recorder {
public:
    void Add(const std::wstring& text) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Texts.push_back(text);
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
    std::wstring Find(const std::wstring& part) const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        for (const auto& t : m_Texts)
            if (t.find(part) != std::wstring::npos) return t;
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
    std::vector<typAppEvent> m_Events;
};

class TestSendUtil : public SendUtil {
public:
    TestSendUtil(BasePoolThread* pool, ReceiveUtil& receiv, InpMesQueue& input, DispLog& dispLog,
                 BadLog& badLog, AppEventSink& events, Recorder& rec)
        : SendUtil(pool, receiv, input, dispLog, badLog, events), m_Rec(rec) {}
    ~TestSendUtil() override { Unlink(); }
    void BadPut(const wchar_t* text) override {
        m_Rec.Add(text);
        SendUtil::BadPut(text);
    }
    void BadPutErr(const wchar_t* text, int code) override {
        m_Rec.Add(CBaseLog::CnvErr(text, code));
        SendUtil::BadPutErr(text, code);
    }
    int Send(const unsigned char* data, int n, const in6_addr& addr, int port) override {
        if (failSends.load() > 0) {
            --failSends;
            errno = ENETUNREACH;
            return -1;
        }
        return SendUtil::Send(data, n, addr, port);
    }

    std::atomic<int> failSends{0};

private:
    Recorder& m_Rec;
};

class TestReceiveUtil : public ReceiveUtil {
public:
    TestReceiveUtil(BasePoolThread* pool, SendUtil& send, BadLog& badLog, Recorder& rec)
        : ReceiveUtil(pool, send, badLog), m_Rec(rec) {}
    ~TestReceiveUtil() override { Stop(); }
    void BadPut(const wchar_t* text) override {
        m_Rec.Add(text);
        ReceiveUtil::BadPut(text);
    }
    void BadPutErr(const wchar_t* text, int code) override {
        m_Rec.Add(CBaseLog::CnvErr(text, code));
        ReceiveUtil::BadPutErr(text, code);
    }

private:
    Recorder& m_Rec;
};

CMesDisp MsgMes(int source, const std::vector<unsigned char>& line) {
    CMesDisp m;
    m.Create_Msg(source, static_cast<int>(line.size()), line.data());
    return m;
}

const std::vector<unsigned char> kLine = {0x07, 0x12, 0x05, 0x0A, 0x1A, 0x0F, 0x21};

class DispLink : public ::testing::Test {
protected:
    void SetUp() override {
        events.Install([this](typAppEvent e) { rec.AddEvent(e); });
    }
    void TearDown() override { events.Remove(); }

    void Connect(int tickMs, int resendMs, int answerMs = 2000) {
        send.SetPeer(LocalHostIPv6(), peer.Port());
        send.Window().SetTick(tickMs);
        send.Window().SetResendInterval(resendMs);
        send.SetAnswerWait(answerMs);
        receiv.Start();
        send.Start();
    }

    int ToolPort() const { return receiv.GetPort(); }

    // Sends one message and waits until the console has its frame; repeats of earlier
    // frames are skipped.
    CPackDisp SendOne(int number) {
        EXPECT_TRUE(send.SendMes(NumberedMes(number)));
        CPackDisp p;
        while (peer.ReceiveWithMessages(p, 2000)) {
            const std::vector<int> numbers = Numbers(p);
            if (std::find(numbers.begin(), numbers.end(), number) != numbers.end()) return p;
        }
        ADD_FAILURE() << "frame " << number << " did not come";
        return CPackDisp();
    }

    // Sends a frame of the console and waits for the tool to acknowledge its ident.
    bool Acknowledged(const CPackDisp& p) {
        if (!peer.Send(p, ToolPort())) return false;
        CPackDisp got;
        while (peer.Receive(got, 1000)) {
            for (unsigned char a : Acks(got))
                if (a == p.ident) return true;
        }
        return false;
    }

    BasePoolThread pool{"DispLinkTest"};
    DispLog dispLog;
    BadLog badLog;
    Recorder rec;
    AppEventSink events;
    InpMesQueue input;
    DispPeer peer;
    TestReceiveUtil receiv{&pool, send, badLog, rec};
    TestSendUtil send{&pool, receiv, input, dispLog, badLog, events, rec};
};

// ---------------------------------------------------------------------------------------
// Delivery window

TEST_F(DispLink, SevenFramesInFlightFurtherOnesWaitAndAreMergedBehindThem) {
    Connect(50, 60000);
    for (int i = 1; i <= 7; ++i) {
        const CPackDisp p = SendOne(i);
        EXPECT_EQ(p.ident, i);
        EXPECT_EQ(Numbers(p), std::vector<int>{i});
    }
    EXPECT_EQ(send.Window().Count(), 7);

    // The worker takes the eighth and waits in the window; the next two collect.
    ASSERT_TRUE(send.SendMes(NumberedMes(8)));
    ASSERT_TRUE(WaitUntil([&] { return send.QueueSize() == 0; }));
    ASSERT_TRUE(send.SendMes(NumberedMes(9)));
    ASSERT_TRUE(send.SendMes(NumberedMes(10)));
    CPackDisp none;
    EXPECT_FALSE(peer.ReceiveWithMessages(none, 150));
    EXPECT_EQ(send.QueueSize(), 2u);

    ASSERT_TRUE(peer.Send(PeerFrame({}, 0, {1}), ToolPort()));
    CPackDisp eighth;
    ASSERT_TRUE(peer.ReceiveWithMessages(eighth, 1000));
    EXPECT_EQ(eighth.ident, 8);
    EXPECT_EQ(Numbers(eighth), std::vector<int>{8});
    EXPECT_FALSE(peer.ReceiveWithMessages(none, 150));

    ASSERT_TRUE(peer.Send(PeerFrame({}, 0, {2}), ToolPort()));
    CPackDisp merged;
    ASSERT_TRUE(peer.ReceiveWithMessages(merged, 1000));
    EXPECT_EQ(merged.ident, 9);
    EXPECT_EQ(Numbers(merged), (std::vector<int>{9, 10}));
    EXPECT_EQ(send.Window().Idents(), (std::vector<int>{3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(DispLink, AcknowledgingFiveRemovesItAndRepeatsThreeAndFourAtTheNextTick) {
    Connect(50, 60000);
    for (int i = 1; i <= 5; ++i) SendOne(i);
    ASSERT_TRUE(peer.Send(PeerFrame({}, 0, {1, 2}), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return send.Window().Count() == 3; }));
    EXPECT_TRUE(peer.Drain(100).empty());

    ASSERT_TRUE(peer.Send(PeerFrame({}, 0, {5}), ToolPort()));
    const std::vector<CPackDisp> again = peer.Drain(250);
    ASSERT_EQ(again.size(), 2u);
    EXPECT_EQ(again[0].ident, 3);
    EXPECT_EQ(Numbers(again[0]), std::vector<int>{3});
    EXPECT_EQ(again[1].ident, 4);
    EXPECT_EQ(send.Window().Idents(), (std::vector<int>{3, 4}));
}

TEST_F(DispLink, IdentsRunFromOneTo255AndThenStartAgainAtOne) {
    Connect(50, 60000);
    for (int i = 0; i < 258; ++i) {
        const CPackDisp p = SendOne(i);
        ASSERT_EQ(p.ident, i % 255 + 1) << i;
        ASSERT_TRUE(peer.Send(PeerFrame({}, 0, {static_cast<unsigned char>(p.ident)}), ToolPort()));
        ASSERT_TRUE(WaitUntil([&] { return send.Window().Count() == 0; }));
    }
}

TEST_F(DispLink, AFrameWhoseFirstSendFailedIsKeptAndGoesOutAtTheNextTick) {
    Connect(50, 60000);
    send.failSends = 1;
    ASSERT_TRUE(send.SendMes(NumberedMes(1)));
    CPackDisp p;
    ASSERT_TRUE(peer.ReceiveWithMessages(p, 1000));
    EXPECT_EQ(p.ident, 1);
    EXPECT_EQ(Numbers(p), std::vector<int>{1});
    EXPECT_EQ(rec.Count(L"CSendDisp::SendSocket: Send()"), 1);
    ASSERT_TRUE(peer.Send(PeerFrame({}, 0, {1}), ToolPort()));
    EXPECT_TRUE(WaitUntil([&] { return send.Window().Count() == 0; }));
}

TEST_F(DispLink, AVoiceMessageIsNeitherNumberedNorRepeated) {
    Connect(10, 20);
    const unsigned char sound[4] = {1, 2, 3, 4};
    CMesDisp voice;
    ASSERT_TRUE(voice.Create_Voice(7, 1, 4, sound));
    ASSERT_TRUE(send.SendMes(voice));
    CPackDisp p;
    ASSERT_TRUE(peer.ReceiveWithMessages(p, 1000));
    EXPECT_EQ(p.ident, 0);
    EXPECT_TRUE(p.isVoice);
    EXPECT_EQ(Codes(p), std::vector<int>{CMesDisp::mesVoice});
    EXPECT_EQ(send.Window().Count(), 0);
    EXPECT_TRUE(peer.Drain(200).empty());
}

TEST_F(DispLink, AnUnacknowledgedFrameGoesOutSixTimesAndElevenGivenUpCloseTheLink) {
    Connect(10, 20);
    const CPackDisp first = SendOne(1);
    std::vector<CPackDisp> copies = peer.Drain(150);
    copies.insert(copies.begin(), first);
    ASSERT_EQ(copies.size(), 6u);
    for (const auto& c : copies) {
        EXPECT_EQ(c.ident, 1);
        EXPECT_EQ(Numbers(c), std::vector<int>{1});
    }
    ASSERT_TRUE(WaitUntil([&] { return send.Lost() == 1; }));
    // A sign of life from the console starts the count again.
    ASSERT_TRUE(peer.Send(PeerFrame({}, 0), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return send.Lost() == 0; }));

    for (int i = 2; i <= 12; ++i) SendOne(i);
    ASSERT_TRUE(WaitUntil([&] { return rec.Events(typAppEvent::CloseTopWindow) == 1; }, 5000));
    EXPECT_FALSE(send.IsStarted());
    EXPECT_FALSE(send.Window().IsRunning());
    const std::wstring line = rec.Find(L"CDispWind::TimerProc - Disconnect");
    EXPECT_EQ(line, L"CDispWind::TimerProc - Disconnect" + IPv6PortToStrW(LocalHostIPv6(), peer.Port()));
    // The console is told, and nothing is repeated any more.
    bool closed = false;
    for (CPackDisp p : peer.Drain(150)) closed = closed || p.IsExistClose();
    EXPECT_TRUE(closed);
    EXPECT_TRUE(peer.Drain(100).empty());
    EXPECT_FALSE(send.SendMes(NumberedMes(99)));
    EXPECT_EQ(rec.Events(typAppEvent::CloseTopWindow), 1);
}

// ---------------------------------------------------------------------------------------
// Frames of the console

TEST_F(DispLink, ARepeatedFrameIsHandledOnceAndAcknowledgedEachTime) {
    Connect(50, 60000);
    const CPackDisp one = PeerFrame({MsgMes(5, kLine)}, 1);
    ASSERT_TRUE(Acknowledged(one));
    ASSERT_TRUE(Acknowledged(one));
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 2)));
    // Not the frame just before, but still listed: a late copy.
    ASSERT_TRUE(Acknowledged(one));
    EXPECT_EQ(input.Size(), 2u);
    EXPECT_EQ(rec.Events(typAppEvent::PackV5Received), 2);
}

TEST_F(DispLink, OpenLinkExWithIdentOneStartsTheNumberingAgain) {
    Connect(50, 60000);
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 1)));
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 2)));
    // Ident 1 without OpenLinkEx is still a repeat.
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 1)));
    EXPECT_EQ(input.Size(), 2u);
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 3)));
    EXPECT_EQ(input.Size(), 3u);

    CMesDisp open;
    const int list[3] = {1, 2, 3};
    ASSERT_TRUE(open.Create_OpenLinkEx(list, -1, 4, 5));
    const CPackDisp reopen = PeerFrame({open, MsgMes(5, kLine)}, 1);
    ASSERT_TRUE(Acknowledged(reopen));
    EXPECT_EQ(input.Size(), 4u);
    // Its own repeat right behind it is not taken again.
    ASSERT_TRUE(Acknowledged(reopen));
    EXPECT_EQ(input.Size(), 4u);
    // The old idents are forgotten.
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 2)));
    EXPECT_EQ(input.Size(), 5u);
}

TEST_F(DispLink, AMsgIsTakenByLiftCodeByAnyWithoutAddressOrByConsoleNumber) {
    Connect(50, 60000);
    int ident = 0;
    auto offer = [&](int source) {
        ++ident;
        EXPECT_TRUE(Acknowledged(PeerFrame({MsgMes(source, kLine)}, ident))) << source;
    };
    auto take = [&](int& pultNo) {
        CPackMes p;
        if (input.Read(p) == 0) return false;
        pultNo = p.pultNo;
        EXPECT_EQ(p.len, static_cast<int>(kLine.size()));
        EXPECT_EQ(std::vector<unsigned char>(p.buf, p.buf + kLine.size() - 1),
                  std::vector<unsigned char>(kLine.begin(), kLine.end() - 1));
        return true;
    };
    int pultNo = -1;

    send.SetAcceptance(77, 5, true);
    offer(77);
    ASSERT_TRUE(take(pultNo));
    EXPECT_EQ(pultNo, 0);
    offer(9);
    EXPECT_FALSE(take(pultNo));

    send.SetAcceptance(0, 5, false);
    offer(123456);
    ASSERT_TRUE(take(pultNo));
    EXPECT_EQ(pultNo, 0);

    send.SetAcceptance(0, 5, true);
    offer(5);
    ASSERT_TRUE(take(pultNo));
    EXPECT_EQ(pultNo, 5);
    offer(6);
    EXPECT_FALSE(take(pultNo));
    EXPECT_EQ(rec.Events(typAppEvent::PackV5Received), 3);
}

TEST_F(DispLink, CloseLinkFromTheConsoleStopsTheLinkAndClosesTheWindow) {
    Connect(50, 60000);
    SendOne(1);
    CMesDisp close;
    ASSERT_TRUE(close.Create_CloseLink());
    ASSERT_TRUE(peer.Send(PeerFrame({close}, 1), ToolPort()));
    ASSERT_TRUE(WaitUntil([&] { return rec.Events(typAppEvent::CloseTopWindow) == 1; }));
    EXPECT_TRUE(WaitUntil([&] { return !send.IsStarted(); }));
    bool closed = false;
    for (CPackDisp p : peer.Drain(150)) closed = closed || p.IsExistClose();
    EXPECT_TRUE(closed);
    EXPECT_EQ(send.Window().Count(), 0);
}

TEST_F(DispLink, StopTellsTheConsoleOnceAndIsSafeToRepeat) {
    send.Stop();
    Connect(50, 60000);
    SendOne(1);
    send.Stop();
    send.Stop();
    const std::vector<CPackDisp> got = peer.Drain(150);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(Codes(got[0]), std::vector<int>{CMesDisp::mesCloseLink});
    EXPECT_EQ(got[0].ident, 0);
    // Started again, the link numbers on.
    send.Start();
    EXPECT_EQ(SendOne(2).ident, 2);
}

TEST_F(DispLink, GarbageAndShortDatagramsAreDroppedWithoutAWord) {
    Connect(50, 60000);
    const unsigned char shortOne[5] = {1, 2, 3, 4, 5};
    const unsigned char junk[16] = {9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9, 9};
    ASSERT_TRUE(peer.SendRaw(shortOne, 5, ToolPort()));
    ASSERT_TRUE(peer.SendRaw(junk, 16, ToolPort()));
    // A frame that travels unciphered does not open with the link key either.
    CPackDisp plain = PeerFrame({MsgMes(5, kLine)}, 1);
    ASSERT_TRUE(peer.SendRaw(plain.Data(), plain.Len() + 2, ToolPort()));
    EXPECT_TRUE(peer.Drain(150).empty());
    EXPECT_EQ(input.Size(), 0u);
    EXPECT_EQ(rec.Texts(), 0u);
    ASSERT_TRUE(Acknowledged(PeerFrame({MsgMes(5, kLine)}, 1)));
    EXPECT_EQ(input.Size(), 1u);
}

// ---------------------------------------------------------------------------------------
// Requests

TEST_F(DispLink, ARequestGetsItsAnswerAndOneWithoutAnswerFailsWithItsText) {
    Connect(50, 60000, 400);
    std::thread console([&] {
        CPackDisp ask;
        if (!peer.ReceiveWithMessages(ask, 2000)) return;
        CMesDisp m;
        ask.BegGet();
        int id = -1;
        while (ask.GetMes(m))
            if (m.TypMes() == CMesDisp::mesGetTypLU) m.Parse_GetTypLU(id);
        CMesDisp other, answer;
        other.Create_TypLU(id + 1, L"not this one");
        answer.Create_TypLU(id, L"LU-7");
        peer.Send(PeerFrame({other, answer}, 1, {static_cast<unsigned char>(ask.ident)}), ToolPort());
    });
    DBString text;
    EXPECT_NO_THROW(send.TypLU(42, text));
    console.join();
    EXPECT_EQ(text, DBString(L"LU-7"));
    EXPECT_EQ(send.PendingAsks(), 0u);

    int value = 0;
    const auto start = Clock::now();
    try {
        send.GetGroupErr(3, value);
        ADD_FAILURE() << "no answer, yet no failure";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), DBString(L"Not receive GroupErr"));
        EXPECT_EQ(e.Number(), 0);
    }
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(400));
    EXPECT_EQ(send.PendingAsks(), 0u);
}

TEST_F(DispLink, AStopEndsAWaitingRequestAtOnce) {
    Connect(50, 60000, 10000);
    std::thread stopper([&] {
        WaitUntil([&] { return send.PendingAsks() == 1; });
        send.Stop();
    });
    const auto start = Clock::now();
    DBString text;
    DBTime t1, t2;
    EXPECT_THROW(send.StateCar(1, text, t1, t2), ErrorXML);
    stopper.join();
    EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(5000));
}

TEST_F(DispLink, SaveStructHandsOutItsPartsWhenTheConsoleAsksForThem) {
    Connect(50, 60000, 3000);
    const std::wstring structure(450, L'x');
    std::vector<std::wstring> got;
    std::thread console([&] {
        int ident = 0;
        CPackDisp p;
        int parts = -1;
        while (peer.Receive(p, 2000)) {
            CMesDisp m;
            p.BegGet();
            while (p.GetMes(m)) {
                int a = 0;
                DBString text;
                if (m.Parse_AcceptStruct(a)) parts = a;
                if (m.Parse_Struct(a, text)) got.push_back(text);
            }
            std::vector<CMesDisp> out;
            const int next = static_cast<int>(got.size());
            CMesDisp reply;
            if (parts >= 0 && next < parts && p.HasMessages()) {
                reply.Create_GetStruct(next);
                out.push_back(reply);
            } else if (parts >= 0 && next == parts) {
                reply.Create_StructAccepted(17);
                out.push_back(reply);
            }
            std::vector<unsigned char> acks;
            if (p.ident != 0) acks.push_back(static_cast<unsigned char>(p.ident));
            if (!out.empty() || !acks.empty())
                peer.Send(PeerFrame(out, out.empty() ? 0 : ++ident, acks), ToolPort());
            if (parts >= 0 && next == parts) return;
        }
    });
    int result = 0;
    EXPECT_NO_THROW(send.SaveStruct(structure.c_str(), result));
    console.join();
    EXPECT_EQ(result, 17);
    std::wstring joined;
    for (const auto& g : got) joined += g;
    EXPECT_EQ(got.size(), 3u);
    EXPECT_EQ(joined, structure);
}

// ---------------------------------------------------------------------------------------
// Receiver

TEST_F(DispLink, StopDuringABlockingReceiveEndsItWithoutAnErrorLine) {
    Connect(50, 60000);
    EXPECT_GT(ToolPort(), 0);
    EXPECT_TRUE(receiv.IsRunning());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    send.Stop();
    receiv.Stop();
    receiv.Stop();
    EXPECT_FALSE(receiv.IsRunning());
    EXPECT_EQ(rec.Texts(), 0u);
}

TEST_F(DispLink, AFailedSendIsReportedWithItsLengthAndAddress) {
    Connect(50, 60000);
    const unsigned char bytes[6] = {};
    // Port 0 is no destination: the system refuses the datagram.
    const in6_addr to = LocalHostIPv6();
    EXPECT_EQ(receiv.Send(bytes, 6, to, 0), -1);
    const std::wstring line = rec.Find(L"CReceivDisp::Send sendto() aLen=6, IP:Port=");
    EXPECT_EQ(line.rfind(L"CReceivDisp::Send sendto() aLen=6, IP:Port=" + IPv6PortToStrW(to, 0), 0), 0u)
        << std::string(line.begin(), line.end());
}

}  // namespace
