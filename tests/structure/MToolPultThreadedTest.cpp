// The tool's console object on the wire, with a scripted peer on ::1 standing in for the
// unit or the console program.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "Dev.h"
#include "DispPeerUtil.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "MToolPult.h"
#include "NvRam.h"
#include "ScopedHomeUtil.h"
#include "ScriptedPeerUtil.h"

namespace {

CKeySys LinkKey() {
    CKeySys k;
    k.Create(L"mtoolpult test key");
    return k;
}

class ToolPult : public ::testing::Test {
protected:
    void SetUp() override {
        g_StringENU = true;
        ctx.pultNum = 1;
        ctx.umNum = 2;
        ctx.slotNum = 3;
        ctx.devAddr = 4;
    }
    void TearDown() override { ctx.pult.Disconnect(); }

    void DirectTo(int port) {
        ctx.v7Id = 9;
        ctx.receivV7.SetIdent(CIdentV7(77, 3));
        ctx.receivV7.SetKey(LinkKey());
        ctx.receivV7.SetBindAddress(LocalHostIPv6());
        ctx.receivV7.SetBindPort(0);
        ctx.sendV7.SetAddress(LocalHostIPv6(), port);
        ctx.sendV7.SetRemoteIdent(CIdentV7(9, 0));
    }
    void ConsoleTo(const DispPeer& peer, bool viaAddress) {
        ctx.codLift = 17;
        ctx.v7Id = 0;
        if (viaAddress) ctx.utilAddr = LocalHostIPv6();
        ctx.receivDisp.SetOwnAddress(LocalHostIPv6(), 0);
        ctx.sendDisp.SetPeer(LocalHostIPv6(), peer.Port());
    }
    // Three requests queued at the unit's record, flushed as one pack.
    void AskThree() {
        CDev* dev = ctx.pult.GetDev();
        ASSERT_NE(dev, nullptr);
        for (const LuRequest& r : {LuNvramReadRequest(), LuDevParamsRequest(), LuRestartRequest()})
            ASSERT_GT(dev->AddMes(r), 0);
        dev->Put();
    }
    // The lines of every log under the home directory, or of one log folder.
    std::vector<std::string> LogLines(const std::string& folder = "") const {
        std::vector<std::string> lines;
        for (const auto& f : std::filesystem::recursive_directory_iterator(home.Path())) {
            if (!f.is_regular_file() || (!folder.empty() && f.path().parent_path().filename() != folder))
                continue;
            std::ifstream in(f.path());
            for (std::string line; std::getline(in, line);)
                if (!line.empty()) lines.push_back(line);
        }
        return lines;
    }
    bool Logged(const std::string& text) const {
        for (const std::string& line : LogLines())
            if (line.find(text) != std::string::npos) return true;
        return false;
    }

    ScopedHome home;
    ToolContext ctx;
};

// Built through the unit's record, every message goes from the tool's own address to the unit.
std::vector<int> Addresses(const CMes& m) {
    return {m.origNode, m.origSub, m.destNode, m.destSub, m.dev};
}
const std::vector<int> kToolToUnit = {MToolPult::kOwnNode, MToolPult::kOwnSub, 2, 3, 4};

TEST_F(ToolPult, DirectModeSendsEveryMessageInAPacketOfItsOwnAndClosesTheLink) {
    ScriptedPeer peer(LinkKey());
    DirectTo(peer.Port());
    ASSERT_TRUE(ctx.pult.Connect());
    EXPECT_EQ(ctx.pult.FindDev(1, 2, 3, 4), ctx.pult.GetDev());
    EXPECT_TRUE(ctx.proLog.IsRunning() && !ctx.dispLog.IsRunning());
    EXPECT_EQ(ctx.receivDisp.GetPort(), 0) << "no console socket in direct mode";
    AskThree();
    std::vector<int> asks;
    for (CPackV7 p; asks.size() < 3 && peer.Receive(p, 2000);) {
        CMes m;
        if (!p.GetMes(m)) continue;
        EXPECT_EQ(Addresses(m), kToolToUnit);
        asks.push_back(m.ask);
    }
    EXPECT_EQ(asks, std::vector<int>({CMes::askLbNVRAM, CMes::askDevParam, CMes::askRestart}));

    ctx.pult.Disconnect();
    bool closed = false;
    for (CPackV7 p; !closed && peer.Receive(p, 300);) closed = p.IsCloseLink();
    EXPECT_TRUE(closed);
    EXPECT_FALSE(ctx.proLog.IsRunning());

    // A second Connect starts from a fresh tree.
    ctx.devAddr = 6;
    ASSERT_TRUE(ctx.pult.Connect());
    EXPECT_EQ(ctx.pult.PultTab().Count(), 1);
    EXPECT_EQ(ctx.pult.FindDev(1, 2, 3, 4), nullptr);
    EXPECT_EQ(ctx.pult.FindDev(1, 2, 3, 6), ctx.pult.GetDev());
}

class ToolPultConsole : public ToolPult, public ::testing::WithParamInterface<bool> {};

TEST_P(ToolPultConsole, SendsOnePackAsOneSendMsgAndCloseLinkLast) {
    const bool viaAddress = GetParam();
    DispPeer peer;
    ConsoleTo(peer, viaAddress);
    ASSERT_TRUE(ctx.pult.Connect());
    EXPECT_TRUE(ctx.dispLog.IsRunning() && !ctx.proLog.IsRunning());
    EXPECT_EQ(ctx.receivV7.GetBoundPort(), 0) << "no V7 socket in console mode";
    AskThree();
    CPackDisp frame;
    ASSERT_TRUE(peer.ReceiveWithMessages(frame, 2000));
    frame.BegGet();
    int frames = 0, target = 0, kind = 0, n = 0;
    unsigned char bytes[512];
    for (CMesDisp m; frame.GetMes(m);) frames += m.Parse_SendMsg(target, kind, n, bytes, sizeof bytes);
    ASSERT_EQ(frames, 1);
    EXPECT_EQ(target, viaAddress ? 1 : 17) << "the console number, else the lift code";
    EXPECT_EQ(kind, MToolPult::kSendMsgLinePacket);
    CPackMes pack(n, bytes, 0);
    pack.BegGet();
    int count = 0;
    for (CMes m; pack.GetMes(m); ++count) EXPECT_EQ(Addresses(m), kToolToUnit);
    EXPECT_EQ(count, 3) << "the frame carries the line packet itself";

    ctx.pult.Disconnect();
    EXPECT_FALSE(ctx.dispLog.IsRunning());
    bool closed = false;
    for (const CPackDisp& f : peer.Drain(300))
        for (int code : Codes(f)) closed = closed || code == CMesDisp::mesCloseLink;
    EXPECT_TRUE(closed);
    // The traffic log closes after the sender: its last frame, message code 27, is in it.
    const std::vector<std::string> traffic = LogLines("disp");
    ASSERT_FALSE(traffic.empty());
    EXPECT_NE(traffic.back().find(" 1B "), std::string::npos) << traffic.back();
}

INSTANTIATE_TEST_SUITE_P(ToConsoleNumberOrLiftCode, ToolPultConsole, ::testing::Bool());

TEST_F(ToolPult, ABindFailureAndARefusedRequestAreLogged) {
    ScriptedPeer holder(LinkKey());
    DirectTo(holder.Port());
    ctx.receivV7.SetBindPort(holder.Port());  // another socket holds the port already
    ctx.devAddr = 200;                        // no message can reach it
    ASSERT_TRUE(ctx.badLog.Open("C", "log"));
    EXPECT_FALSE(ctx.pult.Connect());
    EXPECT_FALSE(ctx.proLog.IsRunning());
    ASSERT_NE(ctx.pult.GetDev(), nullptr) << "the records built before the failure stay";
    EXPECT_FALSE(ctx.unitLink.Send(LuNvramReadRequest()));
    ctx.badLog.Close();
    EXPECT_TRUE(Logged("bind"));
    EXPECT_TRUE(Logged("refused the request (sub-address 15"));
}

}  // namespace
