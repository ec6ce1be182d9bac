// The delivery window and the reply list as state machines, against a fake link and a fake
// clock; and what the shells around them add.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptedPeerUtil.h"
#include "SendV7.h"
#include "WindV7.h"

namespace {

using Ms = std::chrono::milliseconds;

class FakeLink : public CWindV7Core::Link {
public:
    int NextIdent() override { return ++idents; }
    bool Transmit(CPackV7& p) override {
        sent += " " + std::to_string(p.GetIdent());
        return failNext-- <= 0;
    }
    void NotReceiving() override {}

    int idents = 0;
    std::string sent;  // the ident of every transmission
    int failNext = 0;
};

// The tool's own numbered packet, or someone else's that carries an ident already.
CPackV7 Numbered(const CIdentV7& from = kTool, int ident = 0) {
    CPackV7 p = NumberedPacket(1);
    p.SetID(from, kUnit);
    p.SetIdent(ident);
    return p;
}

enum class Op { Put, PutForeign, Ack, Tick, FailNext, Lost };

// At time `at`, op with arg; then what went out, the idents in the window, the failures.
struct Step {
    int at;
    Op op;
    int arg;
    const char* state;
};

const std::pair<const char*, std::vector<Step>> kScripts[] = {
    {"a packet goes out five times, 2 s apart, and is given up at the next tick",
     {{0, Op::Put, 1, "sent 1; window 1; failures 0"},
      {1999, Op::Tick, 0, "sent; window 1; failures 0"},
      {2000, Op::Tick, 0, "sent 1; window 1; failures 0"},
      {4000, Op::Tick, 0, "sent 1; window 1; failures 0"},
      {6000, Op::Tick, 0, "sent 1; window 1; failures 0"},
      {8000, Op::Tick, 0, "sent 1; window 1; failures 0"},
      {8500, Op::Tick, 0, "sent; window; failures 1"}}},
    {"five in flight, the sixth waits for room; an acknowledgement repeats the older ones at the next tick",
     {{0, Op::Put, 6, "sent 1 2 3 4 5; window 1 2 3 4 5; failures 0"},
      {100, Op::Ack, 3, "sent; window 1 2 4 5; failures 0"},
      {100, Op::Put, 1, "sent 6; window 1 2 4 5 6; failures 0"},
      {500, Op::Tick, 0, "sent 1 2; window 1 2 4 5 6; failures 0"},
      {2000, Op::Tick, 0, "sent 4 5 6; window 1 2 4 5 6; failures 0"},
      {2500, Op::Tick, 0, "sent 1 2; window 1 2 4 5 6; failures 0"},
      {2500, Op::Ack, 9, "sent; window 1 2 4 5 6; failures 0"}}},
    {"a failed first send counts and keeps nothing; someone else's packet goes once as it is",
     {{0, Op::FailNext, 1, "sent; window; failures 0"},
      {0, Op::Put, 1, "sent 1; window; failures 1"},
      {0, Op::PutForeign, 9, "sent 9; window; failures 1"},
      {0, Op::Put, 1, "sent 2; window 2; failures 1"},
      {2000, Op::FailNext, 1, "sent; window 2; failures 1"},
      {2000, Op::Tick, 0, "sent 2; window 2; failures 2"}}},
    {"two failures mean a lost link, told once; any packet of the party clears the count",
     {{0, Op::FailNext, 3, "sent; window; failures 0"},
      {0, Op::Put, 1, "sent 1; window; failures 1"},
      {0, Op::Lost, 0, "sent; window; failures 1"},
      {0, Op::Put, 1, "sent 2; window; failures 2"},
      {0, Op::Lost, 1, "sent; window; failures 0"},
      {0, Op::Put, 1, "sent 3; window; failures 1"},
      {0, Op::Ack, 0, "sent; window; failures 0"}}},
};

TEST(WindV7Core, Scripts) {
    for (const auto& [name, steps] : kScripts) {
        FakeLink link;
        CWindV7Core w(link);  // the defaults
        w.Start(Ms{0});
        for (std::size_t i = 0; i < steps.size(); ++i) {
            const Step& s = steps[i];
            CPackV7 p = s.op == Op::PutForeign ? Numbered(CIdentV7(555, 0), s.arg) : Numbered(kTool, s.arg);
            const int puts = s.op == Op::Put ? s.arg : s.op == Op::PutForeign;
            for (int n = 0; n < puts; ++n, p = Numbered()) w.Put(p, kTool);
            if (s.op == Op::Ack) w.MngReply(static_cast<unsigned char>(s.arg));
            if (s.op == Op::Tick) w.Tick(Ms{s.at});
            if (s.op == Op::FailNext) link.failNext = s.arg;
            EXPECT_TRUE(s.op != Op::Lost || w.IsNoLink() == (s.arg != 0)) << name << ", step " << i;
            std::string window;
            for (int ident : w.Idents()) window += " " + std::to_string(ident);
            EXPECT_EQ("sent" + link.sent + "; window" + window + "; failures " + std::to_string(w.Failures()),
                      s.state)
                << name << ", step " << i;
            link.sent.clear();
        }
    }
}

TEST(ReplyListV7, TenIdentsForAMinuteAndOnePendingAcknowledgementPerPacket) {
    CReplyListV7 list;
    // Time, ident, and 1 for new or 0 for a repeat. 11 pushes out 1, which comes back as new
    // and pushes out 2; 3 is renewed at 0 and 60 s, the others are forgotten a minute after 0.
    const int steps[][3] = {{0, 1, 1},     {0, 2, 1},      {0, 3, 1},     {0, 4, 1}, {0, 5, 1},
                            {0, 6, 1},     {0, 7, 1},      {0, 8, 1},     {0, 9, 1}, {0, 10, 1},
                            {0, 1, 0},     {0, 11, 1},     {0, 1, 1},     {0, 3, 0}, {60000, 3, 0},
                            {60001, 4, 1}, {120000, 3, 0}, {180001, 3, 1}};
    for (const auto& [at, ident, result] : steps)
        EXPECT_EQ(list.Add(ident, Ms{at}), result) << ident << " at " << at;
    // The oldest pending acknowledgement goes first, one to a packet.
    std::vector<int> carried;
    for (CPackV7 p(kTool, kUnit); list.AddReplyToPack(p) == 1; p = CPackV7(kTool, kUnit))
        carried.push_back(p.GetRepl());
    list.Add(11, Ms{180002});
    list.Add(3, Ms{180002});  // a repeat: pending again, in its old place
    for (CPackV7 p(kTool, kUnit); list.AddReplyToPack(p) == 1; p = CPackV7(kTool, kUnit))
        carried.push_back(p.GetRepl());
    EXPECT_EQ(carried, (std::vector<int>{3, 3, 11}));
}

TEST(V7Shells, DefaultsNumberingAndTheNotReceivingReport) {
    LinkRig rig(5000);
    EXPECT_EQ(rig.send.GetMaxSends(), 5);
    EXPECT_EQ(rig.send.GetRepeatInterval(), 2000);
    EXPECT_EQ(rig.send.Window().GetTick(), 500);
    for (int i = 1; i <= 127; ++i) ASSERT_EQ(rig.send.NextIdent(), i);
    EXPECT_EQ(rig.send.NextIdent(), 1);
    CPackV7 p = Numbered();
    EXPECT_EQ(rig.send.Put(p), 0) << "not started";

    // The eleventh packet given up since the last report is reported if the unit answered since.
    CWindV7 w(&rig.send, nullptr);  // no timer: the ticks are made here
    w.SetMaxSends(1);
    w.Start();
    auto lose = [&](int count) {
        for (int i = 0; i < count; ++i, CWindV7::TimerProc(&w)) w.Put(p);
        return rig.rec.Lines().size();
    };
    w.MngReply(0);
    EXPECT_EQ(lose(10), 0u);
    w.MngReply(0);  // answers do not reset the count
    EXPECT_EQ(lose(1), 1u);
    EXPECT_EQ(lose(11), 1u);
    w.MngReply(0);
    EXPECT_EQ(lose(11), 2u);
    EXPECT_EQ(rig.rec.Lines()[1], L"Remote unit 123456.0 not receiving data from it unit");
}

}  // namespace
