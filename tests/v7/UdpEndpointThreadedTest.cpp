// The UDP endpoint both receivers stand on, over real sockets on ::1: binding, a blocked receive
// against a signal and Wake. (The dispatcher receiver's rebind is with the Disp link's tests.)

#include <gtest/gtest.h>
#include <pthread.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "ScriptedPeerUtil.h"
#include "UdpEndpoint.h"
#include "utilities.h"

namespace {

using Lines = std::vector<std::wstring>;

CUdpEndpoint::Reports Into(Recorder& rec) {
    return {[&rec](const wchar_t* t) { rec.Add(DBString(t).Left(30)); },
            [&rec](const wchar_t* t, int e) { rec.Add(CBaseLog::CnvErr(t, e)); }, nullptr};
}

TEST(UdpEndpoint, BindsBigBuffersOnRequestReportsABusyPortAndWakesABlockedReceiveButNotForASignal) {
    Recorder rec;
    CUdpEndpoint first(L"First", false, Into(rec)), second(L"Second", true, Into(rec));
    DBString text;
    first.SetAddress(LocalHostIPv6(), 0);
    ASSERT_EQ(first.Open(text), 0);
    second.SetAddress(LocalHostIPv6(), first.GetBoundPort());
    EXPECT_EQ(second.Open(text), EADDRINUSE);
    const std::wstring rcv = L"CReceivUser::Bind(): SO_RCVBUF", snd = L"CReceivUser::Bind(): SO_SNDBUF";
    EXPECT_EQ(rec.Lines(),
              (Lines{rcv, snd, rcv, snd, CBaseLog::CnvErr(L"Second::Bind(): bind()", EADDRINUSE)}));

    struct sigaction quiet {};
    struct sigaction old {};
    quiet.sa_handler = [](int) {};  // without SA_RESTART: recvfrom fails with EINTR
    ASSERT_EQ(::sigaction(SIGUSR1, &quiet, &old), 0);
    std::atomic<int> got{-2}, woken{-2};
    std::thread loop([&] {
        unsigned char buf[64];
        in6_addr from{};
        int port = 0, error = 0;
        got = first.Receive(buf, sizeof buf, from, port, error);
        woken = first.Receive(buf, sizeof buf, from, port, error);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::pthread_kill(loop.native_handle(), SIGUSR1);
    EXPECT_FALSE(WaitUntil([&] { return got != -2; }, 50)) << "the signal ended the receive";
    ScriptedPeer peer{CKeySys{}};
    ASSERT_TRUE(peer.SendRaw(reinterpret_cast<const unsigned char*>("abc"), 3, first.GetBoundPort()));
    EXPECT_TRUE(WaitUntil([&] { return got == 3; }));
    first.Wake();
    EXPECT_TRUE(WaitUntil([&] { return woken == 0; }, 500));
    loop.join();
    ::sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace
