// The tool's console object over both links, with a scripted peer on ::1 standing in for
// the unit or the console program.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Dev.h"
#include "DispPeerUtil.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "MToolPult.h"
#include "NvRam.h"
#include "PackDisp.h"
#include "PackV7.h"
#include "ScopedHomeUtil.h"
#include "ScriptedPeerUtil.h"
#include "utilities.h"

namespace {

const CIdentV7 kTool(77, 3);

CKeySys LinkKey() {
    CKeySys k;
    k.Create(L"mtoolpult test key");
    return k;
}

// A plain UDP socket on ::1 for the console program's side.
class RawPeer {
public:
    RawPeer() {
        m_Socket = ::socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        ::bind(m_Socket, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        ::getsockname(m_Socket, reinterpret_cast<sockaddr*>(&a), &len);
        m_Port = ntohs(a.sin6_port);
        timeval tv{0, 200 * 1000};
        ::setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    }
    ~RawPeer() { ::close(m_Socket); }
    int Port() const { return m_Port; }
    // Datagrams until none has come for a while or the time is up.
    std::vector<std::vector<unsigned char>> Collect(int totalMs) {
        std::vector<std::vector<unsigned char>> out;
        for (int waited = 0; waited < totalMs; waited += 200) {
            unsigned char b[2048];
            const ssize_t n = ::recv(m_Socket, b, sizeof b, 0);
            if (n > 0)
                out.emplace_back(b, b + n);
            else if (!out.empty())
                break;
        }
        return out;
    }

private:
    int m_Socket = -1;
    int m_Port = 0;
};

class ToolPult : public ::testing::Test {
protected:
    void SetUp() override { g_StringENU = true; }
    void TearDown() override { ctx.pult.Disconnect(); }

    void Numbers() {
        ctx.pultNum = 1;
        ctx.umNum = 2;
        ctx.slotNum = 3;
        ctx.devAddr = 4;
    }

    void DirectTo(const ScriptedPeer& peer) {
        Numbers();
        ctx.v7Id = 9;
        ctx.receivV7.SetIdent(kTool);
        ctx.receivV7.SetKey(LinkKey());
        ctx.receivV7.SetBindAddress(LocalHostIPv6());
        ctx.receivV7.SetBindPort(0);
        ctx.sendV7.SetAddress(LocalHostIPv6(), peer.Port());
        CIdentV7 lu;
        lu.Set(9, 0);
        ctx.sendV7.SetRemoteIdent(lu);
    }

    void ConsoleTo(const DispPeer& peer, bool viaAddress) {
        Numbers();
        ctx.codLift = 17;
        ctx.v7Id = 0;
        if (viaAddress) ctx.utilAddr = LocalHostIPv6();
        ctx.receivDisp.SetOwnAddress(LocalHostIPv6(), 0);
        ctx.sendDisp.SetPeer(LocalHostIPv6(), peer.Port());
    }

    // The SendMsg messages of the frames the console receives within the time.
    struct SendMsg {
        int target = 0;
        int kind = 0;
        std::vector<unsigned char> bytes;
    };
    static std::vector<SendMsg> SendMsgs(DispPeer& peer, int timeoutMs) {
        std::vector<SendMsg> out;
        CPackDisp frame;
        if (!peer.ReceiveWithMessages(frame, timeoutMs)) return out;
        frame.BegGet();
        for (CMesDisp m; frame.GetMes(m);) {
            SendMsg s;
            unsigned char buf[512];
            int n = 0;
            if (m.Parse_SendMsg(s.target, s.kind, n, buf, sizeof buf)) {
                s.bytes.assign(buf, buf + n);
                out.push_back(s);
            }
        }
        return out;
    }

    ScopedHome home;
    ToolContext ctx;
};

std::vector<CMes> MessagesOf(const std::vector<CPackV7>& packets) {
    std::vector<CMes> out;
    for (const CPackV7& p : packets) {
        CMes m;
        if (p.GetMes(m)) out.push_back(m);
    }
    return out;
}

TEST_F(ToolPult, DirectModeBuildsTheOneUnitTreeAndSendsEveryMessageInItsOwnPacket) {
    ScriptedPeer peer(LinkKey());
    DirectTo(peer);
    ASSERT_TRUE(ctx.pult.Connect());

    CDev* dev = ctx.pult.GetDev();
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(ctx.pult.FindDev(1, 2, 3, 4), dev);
    EXPECT_TRUE(ctx.proLog.IsRunning());
    EXPECT_FALSE(ctx.dispLog.IsRunning());
    EXPECT_EQ(ctx.receivDisp.GetPort(), 0) << "no console socket in direct mode";

    ASSERT_GT(dev->AddMes(LuNvramReadRequest()), 0);
    ASSERT_GT(dev->AddMes(LuDevParamsRequest()), 0);
    ASSERT_GT(dev->AddMes(LuRestartRequest()), 0);
    dev->Put();

    std::vector<CPackV7> got;
    for (CPackV7 p; got.size() < 3 && peer.Receive(p, 2000);) {
        CMes probe;
        if (p.GetMes(probe)) got.push_back(p);
    }
    const std::vector<CMes> mes = MessagesOf(got);
    ASSERT_EQ(mes.size(), 3u);
    for (const CMes& m : mes) {
        EXPECT_EQ(m.origNode, MToolPult::kOwnNode);
        EXPECT_EQ(m.origSub, MToolPult::kOwnSub);
        EXPECT_EQ(m.destNode, 2);
        EXPECT_EQ(m.destSub, 3);
    }
}

TEST_F(ToolPult, ASecondConnectStartsFromAFreshTree) {
    ScriptedPeer peer(LinkKey());
    DirectTo(peer);
    ASSERT_TRUE(ctx.pult.Connect());
    ctx.pult.Disconnect();
    ctx.devAddr = 6;
    ASSERT_TRUE(ctx.pult.Connect());
    ASSERT_EQ(ctx.pult.PultTab().Count(), 1);
    EXPECT_EQ(ctx.pult.FindDev(1, 2, 3, 4), nullptr);
    EXPECT_EQ(ctx.pult.FindDev(1, 2, 3, 6), ctx.pult.GetDev());
}

TEST_F(ToolPult, ABindFailureStopsWhatStartedLogsAndGivesFalse) {
    // Another socket already holds the port the receiver is told to bind.
    ScriptedPeer holder(LinkKey());
    DirectTo(holder);
    ctx.receivV7.SetBindPort(holder.Port());
    ASSERT_TRUE(ctx.badLog.Open("C", "log"));
    EXPECT_FALSE(ctx.pult.Connect());
    EXPECT_FALSE(ctx.proLog.IsRunning());
    ctx.badLog.Close();

    // The failure is in the error log, with the operation that failed.
    bool found = false;
    for (const auto& f : std::filesystem::recursive_directory_iterator(home.Path())) {
        if (!f.is_regular_file()) continue;
        std::ifstream in(f.path());
        for (std::string line; std::getline(in, line);)
            found = found || line.find("bind") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

TEST_F(ToolPult, ARequestTheUnitsRecordRefusesIsLoggedNotDropped) {
    ASSERT_TRUE(ctx.badLog.Open("C", "log"));
    ctx.devAddr = 200;  // no record was built for it
    EXPECT_FALSE(ctx.unitLink.Send(LuNvramReadRequest()));
    ctx.badLog.Close();
    bool found = false;
    for (const auto& f : std::filesystem::recursive_directory_iterator(home.Path())) {
        std::ifstream in(f.path());
        for (std::string line; f.is_regular_file() && std::getline(in, line);)
            found = found || line.find("refused the request (sub-address 15") != std::string::npos;
    }
    EXPECT_TRUE(found);
}

TEST_F(ToolPult, ConsoleModeSendsOnePackAsOneSendMsgToTheLiftCode) {
    DispPeer peer;
    ConsoleTo(peer, false);
    ASSERT_TRUE(ctx.pult.Connect());
    EXPECT_TRUE(ctx.dispLog.IsRunning());
    EXPECT_FALSE(ctx.proLog.IsRunning());
    EXPECT_EQ(ctx.receivV7.GetBoundPort(), 0) << "no V7 socket in console mode";
    EXPECT_GT(ctx.receivDisp.GetPort(), 0);

    CDev* dev = ctx.pult.GetDev();
    ASSERT_NE(dev, nullptr);
    ASSERT_GT(dev->AddMes(LuNvramReadRequest()), 0);
    ASSERT_GT(dev->AddMes(LuDevParamsRequest()), 0);
    ASSERT_GT(dev->AddMes(LuRestartRequest()), 0);
    dev->Put();

    const std::vector<SendMsg> got = SendMsgs(peer, 2000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].target, 17);
    EXPECT_EQ(got[0].kind, MToolPult::kSendMsgLinePacket);
    // The frame carries the line packet itself: all three messages, addressed as built.
    CPackMes pack(static_cast<int>(got[0].bytes.size()), got[0].bytes.data(), 0);
    pack.BegGet();
    int count = 0;
    for (CMes m; pack.GetMes(m); ++count) {
        EXPECT_EQ(m.origNode, MToolPult::kOwnNode);
        EXPECT_EQ(m.origSub, MToolPult::kOwnSub);
        EXPECT_EQ(m.destNode, 2);
        EXPECT_EQ(m.destSub, 3);
    }
    EXPECT_EQ(count, 3);
}

TEST_F(ToolPult, WithTheConsoleAddressGivenTheFrameGoesToTheConsoleNumber) {
    DispPeer peer;
    ConsoleTo(peer, true);
    ASSERT_TRUE(ctx.pult.Connect());
    CDev* dev = ctx.pult.GetDev();
    ASSERT_NE(dev, nullptr);
    ASSERT_GT(dev->AddMes(LuNvramReadRequest()), 0);
    dev->Put();
    const std::vector<SendMsg> got = SendMsgs(peer, 2000);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].target, 1);
}

TEST_F(ToolPult, DisconnectTellsTheConsoleTheLinkIsClosed) {
    DispPeer peer;
    ConsoleTo(peer, false);
    ASSERT_TRUE(ctx.pult.Connect());
    ctx.pult.Disconnect();
    EXPECT_FALSE(ctx.dispLog.IsRunning());
    bool closed = false;
    for (const CPackDisp& f : peer.Drain(300)) {
        for (int code : Codes(f)) closed = closed || code == CMesDisp::mesCloseLink;
    }
    EXPECT_TRUE(closed);

    // The frame carrying it is the last line of the traffic log: the log closes after the
    // sender has stopped.
    std::string last;
    for (const auto& f : std::filesystem::recursive_directory_iterator(home.Path())) {
        if (!f.is_regular_file() || f.path().parent_path().filename() != "disp") continue;
        std::ifstream in(f.path());
        for (std::string line; std::getline(in, line);)
            if (!line.empty()) last = line;
    }
    ASSERT_FALSE(last.empty());
    // CloseLink travels as message code 27 right after the frame header.
    EXPECT_NE(last.find(" 1B "), std::string::npos) << last;
}

}  // namespace
