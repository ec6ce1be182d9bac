// The tool's V7 link over real UDP, against a scripted unit on ::1: what only the sockets, the
// threads and the timer add to the checks and the window rules tested without them.

#include <gtest/gtest.h>
#include <poll.h>

#include <cerrno>
#include <vector>

#include "ScriptedPeerUtil.h"
#include "utilities.h"

namespace {

class V7Link : public ::testing::Test {
protected:
    void Start(int repeatMs = 2000, int tickMs = 500) {
        rig.send.SetRepeatInterval(repeatMs);
        rig.send.Window().SetTick(tickMs);
        rig.receiv.Start();
        rig.send.Start();
    }
    int ToolPort() const { return rig.receiv.GetBoundPort(); }
    // Sends p from `from` and waits there for the tool's acknowledgement.
    bool Acknowledged(ScriptedPeer& from, const CPackV7& p) {
        CPackV7 got;
        for (bool sent = from.Send(p, ToolPort()); sent && from.Receive(got, 1000);)
            if (got.GetRepl() == p.GetIdent()) return true;
        return false;
    }
    // NumberedPacket(number), or a loudspeaker switch marked with number.
    void Put(int number, bool switching = false) {
        CPackV7 p = NumberedPacket(number);
        const unsigned char mark = static_cast<unsigned char>(number);
        if (switching) p.SetAsk(CPackV7::typAsk3, CPackV7::askGGSOn, CPackV7::dirRequest, &mark, 1);
        ASSERT_EQ(rig.send.Put(p), 1);
    }
    // The numbers, switch marks or minus the node a close-link is for, of the next packets at `at`.
    std::vector<int> Numbers(ScriptedPeer& at, std::size_t count, int timeoutMs = 1000) {
        std::vector<int> got;
        CIdentV7 who;
        for (CPackV7 p; got.size() < count && at.Receive(p, timeoutMs);)
            got.push_back(p.IsOnOffGGS()                            ? p.GetBuf()[14]
                          : p.IsCloseLink(who) && who.FullEQ(kTool) ? -p.GetDest().GetNode()
                                                                    : PacketNumber(p));
        return got;
    }

    ScriptedPeer peer{LinkKey()};
    LinkRig rig{peer.Port()};
};

TEST_F(V7Link, TheUnitIsAnsweredEachTimeHeardOnceFollowedToANewAddressAndToldOfTheEnd) {
    Start();
    CPackV7 p = PeerPacket(kUnit, kTool, 7), first;
    ASSERT_TRUE(Acknowledged(peer, p));
    ASSERT_TRUE(Acknowledged(peer, p));
    // Too short to be a packet, and under another key: neither answered nor handed on.
    const unsigned char shortOne[14] = {};
    ASSERT_TRUE(peer.SendRaw(shortOne, sizeof shortOne, ToolPort()));
    ScriptedPeer forger(LinkKey(true)), moved(LinkKey());
    ASSERT_TRUE(forger.Send(p, ToolPort()));
    // Answered where it now is: its port came through the socket intact.
    p.SetIdent(8);
    ASSERT_TRUE(Acknowledged(moved, p));
    EXPECT_EQ(rig.send.GetPort(), moved.Port());
    ASSERT_EQ(rig.input.Read(first), 1);
    EXPECT_EQ(first.GetIdent() * 10 + static_cast<int>(rig.input.Size()), 71) << "7 once, then 8";
    const std::vector<std::wstring> lines = rig.rec.Lines();  // the forger's datagram and the move
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[1].substr(0, 10) + lines[2].substr(0, 17), L"Data from ! Changed IP:port");
    // Stopping, the tool tells the unit, and node 0 at its address, that the link is closed.
    rig.send.Stop();
    EXPECT_EQ(Numbers(moved, 4, 100), (std::vector<int>{-kUnit.GetNode(), 0, -kUnit.GetNode()}));
    EXPECT_FALSE(forger.Receive(first, 20));
}

TEST_F(V7Link, TheQueueWaitsForRoomKeepsAThousandDroppingTheOldestAndPutsSwitchingFirst) {
    Start();
    for (int i = 1; i <= 1008; ++i) {
        Put(i);
        // The sixth waits with the queue procedure for room in the window.
        ASSERT_TRUE(i != 6 || WaitUntil([&] { return rig.send.QueueSize() == 0; }));
    }
    Put(0xA1, true);
    Put(0xA2, true);
    EXPECT_EQ(Numbers(peer, 5), (std::vector<int>{1, 2, 3, 4, 5}));
    for (int ident = 1; ident <= 5; ++ident) rig.send.MngReply(ident);
    EXPECT_EQ(Numbers(peer, 5), (std::vector<int>{6, 0xA1, 0xA2, 10, 11})) << "7, 8 and 9 made room";
}

TEST_F(V7Link, TwoGivenUpPacketsRaiseOneNoLinkAtTheNextTransmission) {
    Start(20, 5);
    for (int n : {1, 2}) {
        Put(n);
        ASSERT_TRUE(WaitUntil([&] { return rig.send.Window().Failures() == n; }));
    }
    EXPECT_TRUE(rig.rec.Lines().empty());
    Put(3);
    EXPECT_TRUE(WaitUntil([&] { return rig.rec.Lines() == std::vector<std::wstring>{kNoLink}; }));
}

// Needs real time: the endpoint pauses a second before it binds again.
TEST_F(V7Link, AfterAReceiveErrorTheSamePortIsBoundAgainAndRequestsInThePauseAreNotLost) {
    Start();
    const int port = ToolPort();
    CUdpEndpoint& endpoint = rig.receiv.Endpoint();
    const unsigned char wake[1] = {0};
    for (int round = 0; round < 2; ++round) {
        endpoint.InjectReceiveError(EIO);
        ASSERT_TRUE(peer.SendRaw(wake, 1, port));
        ASSERT_TRUE(WaitUntil([&] { return endpoint.IsRebinding(); }));
        if (round == 1) break;
        for (int i = 1; i <= 3; ++i) Put(i);
        EXPECT_EQ(Numbers(peer, 3, 3000), (std::vector<int>{1, 2, 3}));
        EXPECT_EQ(ToolPort(), port);
        EXPECT_EQ(rig.rec.Lines(),
                  (std::vector<std::wstring>{CBaseLog::CnvErr(L"CReceivV7::WinSockProc recvfrom()", EIO)}));
        EXPECT_EQ(rig.send.Window().Failures(), 0);
        EXPECT_TRUE(Acknowledged(peer, PeerPacket(kUnit, kTool, 1)));
    }
    // Stopped in the pause, the endpoint neither waits it out nor binds again.
    const auto stopAt = std::chrono::steady_clock::now();
    rig.send.StopOnly();
    rig.receiv.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - stopAt, std::chrono::milliseconds(500));
    EXPECT_FALSE(endpoint.IsOpen());
}

TEST_F(V7Link, DrivenByItsOwnerItSendsInOrderAndTheAcknowledgementsRideOnItsNextPackets) {
    rig.send.SetDriven(true);
    rig.receiv.SetDeferReplies(true);
    rig.receiv.StartWithoutLoop();
    rig.send.Start();
    // The unit's packet and what the owner does on it: receive, then make room, then the rest.
    auto unitSends = [&](int ident, int ackOf) {
        CPackV7 p = PeerPacket(kUnit, kTool, ident);
        p.AddRepl(static_cast<unsigned char>(ackOf));
        ASSERT_TRUE(peer.Send(p, ToolPort()));
        pollfd ready{rig.receiv.Socket(), POLLIN, 0};
        ASSERT_EQ(::poll(&ready, 1, 2000), 1);
        ASSERT_EQ(rig.receiv.ReceiveWaiting(), 1);
        rig.send.Pump();
        rig.receiv.SendDueReplies();
    };
    // Five fill the window on this thread, two wait for room.
    for (int n = 1; n <= 7; ++n) Put(n);
    EXPECT_EQ(rig.send.QueueSize(), 2u);
    std::vector<CPackV7> got(5);
    for (CPackV7& p : got) ASSERT_TRUE(peer.Receive(p, 1000));
    unitSends(40, got[0].GetIdent());
    unitSends(41, got[1].GetIdent());
    unitSends(42, 0);
    std::vector<std::pair<int, int>> after;  // number and acknowledgement of the next three
    for (CPackV7 p; after.size() < 3 && peer.Receive(p, 1000);)
        after.emplace_back(PacketNumber(p), p.GetRepl());
    // Number -1: the acknowledgement alone, for the packet that found nothing to ride on.
    EXPECT_EQ(after, (std::vector<std::pair<int, int>>{{6, 40}, {7, 41}, {-1, 42}}));
    EXPECT_EQ(rig.send.QueueSize(), 0u);
}

}  // namespace
