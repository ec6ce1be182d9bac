// The UDP endpoint both receivers stand on, over real sockets on ::1: binding, a blocked
// receive against signals and Wake, and the dispatcher receiver's rebind after an error.

#include <gtest/gtest.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <mutex>
#include <thread>
#include <vector>

#include "BaseLog.h"
#include "ReceivDisp.h"
#include "ScriptedPeerUtil.h"
#include "UdpEndpoint.h"
#include "utilities.h"

namespace {

using Clock = std::chrono::steady_clock;

template <class Pred>
bool WaitUntil(Pred pred, int ms = 3000) {
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!pred()) {
        if (Clock::now() > deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class Reports {
public:
    CUdpEndpoint::Reports Hooks() {
        return {[this](const wchar_t* t) { Add(t); },
                [this](const wchar_t* t, int e) { Add(CBaseLog::CnvErr(t, e)); },
                [this](int, const in6_addr&, int, int e) { Add(CBaseLog::CnvErr(L"sendto", e)); }};
    }
    void Add(const std::wstring& text) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Texts.push_back(text);
    }
    std::vector<std::wstring> Texts() const {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Texts;
    }

private:
    mutable std::mutex m_Mutex;
    std::vector<std::wstring> m_Texts;
};

TEST(UdpEndpoint, ABusyPortIsReportedUnderTheOwnersNameAndBigBuffersAreReportedBeforeAndAfter) {
    Reports reports;
    CUdpEndpoint first(L"First", false, reports.Hooks());
    first.SetAddress(LocalHostIPv6(), 0);
    DBString text;
    ASSERT_EQ(first.Open(text), 0);
    EXPECT_GT(first.GetBoundPort(), 0);

    CUdpEndpoint second(L"Second", true, reports.Hooks());
    second.SetAddress(LocalHostIPv6(), first.GetBoundPort());
    EXPECT_EQ(second.Open(text), EADDRINUSE);
    EXPECT_EQ(text, DBString(L"Second::Bind(): bind()"));
    const std::vector<std::wstring> got = reports.Texts();
    ASSERT_EQ(got.size(), 5u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(
            got[i].rfind(i % 2 == 0 ? L"CReceivUser::Bind(): SO_RCVBUF " : L"CReceivUser::Bind(): SO_SNDBUF ",
                         0),
            0u)
            << got[i];
    EXPECT_EQ(got[4], CBaseLog::CnvErr(L"Second::Bind(): bind()", EADDRINUSE));
    EXPECT_FALSE(second.IsOpen());
}

void Quiet(int) {}

TEST(UdpEndpoint, ASignalDoesNotEndABlockedReceiveAndWakeDoes) {
    // No SA_RESTART: the signal makes recvfrom fail with EINTR.
    struct sigaction quiet {};
    struct sigaction old {};
    quiet.sa_handler = Quiet;
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);
    Reports reports;
    CUdpEndpoint endpoint(L"E", false, reports.Hooks());
    endpoint.SetAddress(LocalHostIPv6(), 0);
    DBString text;
    ASSERT_EQ(endpoint.Open(text), 0);
    std::atomic<int> first{-2}, second{-2};
    std::thread loop([&] {
        unsigned char buf[64];
        in6_addr from{};
        int port = 0, error = 0;
        first = endpoint.Receive(buf, sizeof buf, from, port, error);
        second = endpoint.Receive(buf, sizeof buf, from, port, error);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::pthread_kill(loop.native_handle(), SIGUSR1);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(first.load(), -2) << "the signal ended the receive";
    ScriptedPeer peer(CKeySys{});
    const unsigned char three[3] = {1, 2, 3};
    ASSERT_TRUE(peer.SendRaw(three, 3, endpoint.GetBoundPort()));
    EXPECT_TRUE(WaitUntil([&] { return first.load() == 3; }));
    endpoint.Wake();
    EXPECT_TRUE(WaitUntil([&] { return second.load() == 0; }, 500));
    loop.join();
    ::sigaction(SIGUSR1, &old, nullptr);
    EXPECT_TRUE(reports.Texts().empty());
}

// The dispatcher receiver with no sender behind it: it logs what it receives.
class BareDisp : public CReceivDisp {
public:
    explicit BareDisp(BasePoolThread* pool) : CReceivDisp(pool, false) {}
    ~BareDisp() override { Stop(); }
    void LogPut(const in6_addr&, int, const unsigned char*, int) override { ++received; }
    void BadPut(const wchar_t* text) override { reports.Add(text); }
    void BadPutErr(const wchar_t* text, int e) override { reports.Add(CBaseLog::CnvErr(text, e)); }
    void BadPutMes(const wchar_t* text, const unsigned char*, int) override { reports.Add(text); }
    CSendDisp* GetSendRemote(const in6_addr&, int) override { return nullptr; }

    std::atomic<int> received{0};
    Reports reports;
};

// Needs real time: the endpoint pauses a second before it binds again.
TEST(ReceivDispOnTheEndpoint, AfterAReceiveErrorTheKnownPortIsBoundAgainAndSendsInThePauseAreHeld) {
    BasePoolThread pool("Disp");
    BareDisp disp(&pool);
    disp.SetOwnAddress(LocalHostIPv6(), 0);
    disp.Start();
    const int port = disp.GetPort();
    ScriptedPeer console(CKeySys{});
    const unsigned char frame[6] = {1, 2, 3, 4, 5, 6};
    const std::wstring report = CBaseLog::CnvErr(L"CReceivDisp::WinSockProc recvfrom()", EIO);

    // A datagram too long for the buffer is reported, but the socket stays.
    disp.Endpoint().InjectReceiveError(EMSGSIZE);
    ASSERT_TRUE(console.SendRaw(frame, 6, port));
    ASSERT_TRUE(WaitUntil([&] { return disp.reports.Texts().size() == 1; }));
    EXPECT_FALSE(disp.Endpoint().IsRebinding());

    disp.Endpoint().InjectReceiveError(EIO);
    ASSERT_TRUE(console.SendRaw(frame, 6, port));
    ASSERT_TRUE(WaitUntil([&] { return disp.Endpoint().IsRebinding(); }));
    EXPECT_EQ(disp.Send(frame, 6, LocalHostIPv6(), console.Port()), 6);
    std::vector<unsigned char> got;
    ASSERT_TRUE(console.ReceiveRaw(got, 3000));
    EXPECT_EQ(got, std::vector<unsigned char>(frame, frame + 6));
    EXPECT_EQ(disp.GetPort(), port);
    ASSERT_TRUE(console.SendRaw(frame, 6, port));
    EXPECT_TRUE(WaitUntil([&] { return disp.received.load() == 1; }));
    EXPECT_EQ(disp.reports.Texts(),
              (std::vector<std::wstring>{CBaseLog::CnvErr(L"CReceivDisp::WinSockProc recvfrom()", EMSGSIZE),
                                         report}));

    const auto stopAt = Clock::now();
    disp.Stop();
    EXPECT_LT(Clock::now() - stopAt, std::chrono::milliseconds(500));
}

}  // namespace
