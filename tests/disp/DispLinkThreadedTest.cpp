// The link's shells on their threads: the window's timer on a hand clock, and the sender
// and receiver over real UDP against a scripted console on ::1.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "AppEvents.h"
#include "DispPeerUtil.h"
#include "Logger.h"
#include "Queue.h"
#include "ReceivDisp.h"
#include "ReceiveUtil.h"
#include "ScriptedPeerUtil.h"
#include "SendUtil.h"
#include "utilities.h"

namespace {

TEST(DispWind, ALostLinkIsReportedWithThePeerAndStopsTheWindow) {
    BasePoolThread pool("DispWindTest");
    CapturingSender s(1, nullptr, &pool);
    s.Start();
    int64_t now = 0;
    CDispWind wind(&s, &pool, [&] { return now; });
    wind.SetTick(1 << 30);  // the test ticks by hand
    wind.Start();
    bool going = true;
    for (int tick = 0; tick < 11 * 21 && going; ++tick) {  // eleven frames, each waited out
        CPackDisp p(NumberedMes(tick));
        ASSERT_TRUE(tick % 21 != 0 || wind.Put(p));
        now += 500;
        going = CDispWind::TimerProc(&wind);
    }
    EXPECT_FALSE(going);
    EXPECT_FALSE(wind.IsRunning());
    EXPECT_EQ(s.disconnects, 1);
    EXPECT_EQ(s.errors.back(), L"CDispWind::TimerProc - Disconnect" + IPv6PortToStrW(LocalHostIPv6(), 4000));
    EXPECT_EQ(s.sent.size(), 66u);  // eleven frames, each sent six times
}

template <class Pred>
bool WaitUntil(Pred pred) {
    for (int ms = 0; ms < 2000 && !pred(); ++ms) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return pred();
}

const std::vector<unsigned char> kLine = {0x07, 0x12, 0x05, 0x0A, 0x1A, 0x0F, 0x21};

CMesDisp MsgMes(int source) {
    CMesDisp m;
    m.Create_Msg(source, static_cast<int>(kLine.size()), kLine.data());
    return m;
}

class DispLink : public ::testing::Test {
protected:
    void SetUp() override {
        events.Install([this](typAppEvent e) { ++(e == typAppEvent::CloseTopWindow ? closes : packets); });
        send.SetPeer(LocalHostIPv6(), peer.Port());
        send.SetAnswerWait(2000);
        receiv.Start();
        send.Start();
    }
    void TearDown() override { events.Remove(); }

    BasePoolThread pool{"DispLinkTest"};
    DispLog dispLog;
    BadLog badLog;
    std::atomic<int> packets{0}, closes{0};  // window events
    AppEventSink events;
    InpMesQueue input;
    DispPeer peer;
    // The logs are never opened: their lines wait in their queues.
    ReceiveUtil receiv{&pool, send, badLog, dispLog};
    SendUtil send{&pool, receiv, input, dispLog, badLog, events};
};

TEST_F(DispLink, ARequestIsAnsweredByTheConsoleAndItsLinePacketReachesTheWindows) {
    std::thread console([&] {
        CPackDisp ask;
        int id = -1;
        if (!peer.ReceiveWithMessages(ask, 2000)) return;
        CMesDisp m;
        for (ask.BegGet(); ask.GetMes(m);) m.Parse_GetTypLU(id);
        CMesDisp other, answer;
        other.Create_TypLU(id + 1, L"not this one");
        answer.Create_TypLU(id, L"LU-7");
        peer.Send(PeerFrame({other, answer, MsgMes(5)}, 1, {static_cast<unsigned char>(ask.ident)}),
                  receiv.GetPort());
    });
    DBString text;
    EXPECT_NO_THROW(send.TypLU(42, text));
    console.join();
    EXPECT_EQ(text, DBString(L"LU-7"));
    // The request is woken as soon as its answer is read, before the frame's Msg.
    EXPECT_TRUE(WaitUntil([&] { return packets == 1; }));
    EXPECT_EQ(input.Size(), 1u);
    EXPECT_EQ(send.Window().Count(), 0);
}

// Any local process reaches the tool's port: a frame that does not come from the console's
// address is dropped, however well it is enciphered, and its source noted once.
TEST_F(DispLink, AFrameFromAnotherAddressIsDroppedAndNotedOnce) {
    CMesDisp close;
    ASSERT_TRUE(close.Create_CloseLink());
    CPackDisp forged = PeerFrame({close}, 0);
    CIdeaCtx cipher = LinkCipher();
    unsigned char bytes[600];
    const int n = forged.Encoding(bytes, sizeof bytes, &cipher);
    const int other = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(receiv.GetPort()));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(::sendto(other, bytes, n, 0, reinterpret_cast<sockaddr*>(&to), sizeof to), n);
    ::close(other);
    ASSERT_TRUE(WaitUntil([&] { return dispLog.QueueSize() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(closes, 0) << "a forged CloseLink closed the window";
    EXPECT_TRUE(send.IsStarted());
    EXPECT_EQ(dispLog.QueueSize(), 1u) << "the source is noted once";
}

TEST_F(DispLink, GarbageIsDroppedWithoutAWordAndCloseLinkEndsTheLink) {
    const std::vector<unsigned char> shortOne(5, 1), junk(16, 9);
    CPackDisp plain = PeerFrame({MsgMes(5)}, 1);  // unciphered, so it does not open with the key
    ASSERT_TRUE(peer.SendRaw(shortOne.data(), 5, receiv.GetPort()) &&
                peer.SendRaw(junk.data(), 16, receiv.GetPort()));
    ASSERT_TRUE(peer.SendRaw(plain.Data(), plain.Len() + 2, receiv.GetPort()));
    EXPECT_TRUE(peer.Drain(150).empty());
    ASSERT_TRUE(send.SendMes(NumberedMes(1)));
    CMesDisp close;
    ASSERT_TRUE(close.Create_CloseLink());
    ASSERT_TRUE(peer.Send(PeerFrame({MsgMes(5), close}, 1), receiv.GetPort()));
    bool told = false;
    for (CPackDisp p; !told && peer.ReceiveWithMessages(p, 1000);) told = p.IsExistClose();
    EXPECT_TRUE(told);
    // The window hears of it right after the sender has stopped.
    EXPECT_TRUE(WaitUntil([&] { return closes == 1; }));
    EXPECT_FALSE(send.IsStarted());
    EXPECT_EQ(input.Size(), 1u);
    receiv.Stop();  // a receive ended by Stop is no error
    EXPECT_EQ(badLog.QueueSize(), 0u);
}

TEST_F(DispLink, AMsgIsTakenByLiftCodeByAnySourceOrByConsoleNumber) {
    // Lift code, console number, whether the console's address was given, the Msg's
    // source, then the console number the packet gets or -1 when it is refused.
    const std::vector<std::array<int, 5>> cases = {
        {77, 5, 1, 77, 0}, {77, 5, 1, 9, -1}, {0, 5, 0, 123456, 0},
        {0, 5, 1, 5, 5},   {0, 5, 1, 6, -1},  {77, 5, 1, 5, 5},
    };
    for (const auto& [codLift, pultNum, viaAddress, source, pultNo] : cases) {
        send.SetAcceptance(codLift, pultNum, viaAddress != 0);
        CPackDisp frame(MsgMes(source));
        send.HandlingData(frame);
        CPackMes p;
        const bool taken = input.Read(p) != 0;
        EXPECT_EQ(taken ? p.pultNo : -1, pultNo) << codLift << " " << viaAddress << " " << source;
        EXPECT_EQ(taken ? p.len : 7, 7);
    }
}

// The receiver on the shared endpoint, as the tool's dispatcher link uses it.
class BareDisp : public CReceivDisp {
public:
    explicit BareDisp(BasePoolThread* pool) : CReceivDisp(pool, false) {}
    ~BareDisp() override { Stop(); }
    void BadPut(const wchar_t* text) override { rec.Add(text); }
    void BadPutErr(const wchar_t* text, int e) override { rec.Add(CBaseLog::CnvErr(text, e)); }
    void BadPutMes(const wchar_t* text, const unsigned char*, int) override { rec.Add(text); }
    CSendDisp* GetSendRemote(const in6_addr&, int) override { return nullptr; }

    Recorder rec;
};

// Needs real time: the endpoint pauses a second before it binds again.
TEST(ReceivDisp, ATooLongDatagramIsOnlyReportedAnyOtherErrorRebindsTheKnownPortAndHoldsSends) {
    BasePoolThread pool("Disp");
    BareDisp disp(&pool);
    disp.SetOwnAddress(LocalHostIPv6(), 0);
    disp.Start();
    const int port = disp.GetPort();
    ScriptedPeer console{CKeySys{}};
    const std::vector<unsigned char> frame = {1, 2, 3, 4, 5, 6};
    std::vector<unsigned char> got;
    for (int error : {EMSGSIZE, EIO}) {
        disp.Endpoint().InjectReceiveError(error);
        ASSERT_TRUE(console.SendRaw(frame.data(), 6, port));
        ASSERT_TRUE(WaitUntil([&] { return disp.rec.Lines().size() == (error == EIO ? 2u : 1u); }));
        EXPECT_EQ(disp.Endpoint().IsRebinding(), error == EIO);
        EXPECT_EQ(disp.Send(frame.data(), 6, LocalHostIPv6(), console.Port()), 6);
        ASSERT_TRUE(console.ReceiveRaw(got, 3000));
        EXPECT_EQ(got, frame);
    }
    EXPECT_TRUE(WaitUntil([&] { return disp.Endpoint().IsOpen(); }));
    EXPECT_EQ(disp.GetPort(), port);
    EXPECT_EQ(disp.rec.Lines(),
              (std::vector<std::wstring>{CBaseLog::CnvErr(L"CReceivDisp::WinSockProc recvfrom()", EMSGSIZE),
                                         CBaseLog::CnvErr(L"CReceivDisp::WinSockProc recvfrom()", EIO)}));
}

}  // namespace
