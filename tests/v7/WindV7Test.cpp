// The delivery window and the reply list as state machines, against a fake link and a fake
// clock; and what the shells around them add.

#include <gtest/gtest.h>

#include <vector>

#include "SendV7.h"
#include "WindV7.h"

namespace {

const CIdentV7 kTool(12345678, 0);
const CIdentV7 kUnit(123456, 0);

using Ms = std::chrono::milliseconds;

class FakeLink : public CWindV7Core::Link {
public:
    int NextIdent() override { return ++idents; }
    bool Transmit(CPackV7& p) override {
        sent.push_back(p.GetIdent());
        if (failNext == 0) return true;
        --failNext;
        return false;
    }
    void NotReceiving() override { ++notReceiving; }

    int idents = 0;
    std::vector<int> sent;  // the ident of every transmission
    int failNext = 0;
    int notReceiving = 0;
};

// A numbered packet of the tool, or of someone else with an ident of its own.
CPackV7 Numbered(const CIdentV7& from = kTool, int ident = 0) {
    const unsigned char data[1] = {0x42};
    CPackV7 p;
    p.SetID(from, kUnit);
    p.SetIdent(ident);
    p.SetData(static_cast<CPackV7::typPack>(2), data, 1);
    return p;
}

enum class Op { Put, PutForeign, PutLink, Ack, Tick, FailNext, Lost };

// At time `at`, op (with arg), then: what was transmitted, the idents left in the window
// and the failure count.
struct Step {
    int at;
    Op op;
    int arg;
    std::vector<int> sent;
    std::vector<int> window;
    int failures;
};

struct Script {
    const char* name;
    std::vector<Step> steps;
};

const Script kScripts[] = {
    {"five in flight, the sixth waits for room",
     {{0, Op::Put, 5, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, 0},
      {0, Op::Put, 1, {}, {1, 2, 3, 4, 5}, 0},
      {100, Op::Ack, 1, {}, {2, 3, 4, 5}, 0},
      {100, Op::Put, 1, {6}, {2, 3, 4, 5, 6}, 0}}},
    {"an acknowledgement repeats the older packets at the next tick, the others keep their time",
     {{0, Op::Put, 5, {1, 2, 3, 4, 5}, {1, 2, 3, 4, 5}, 0},
      {100, Op::Ack, 3, {}, {1, 2, 4, 5}, 0},
      {500, Op::Tick, 0, {1, 2}, {1, 2, 4, 5}, 0},
      {1999, Op::Tick, 0, {}, {1, 2, 4, 5}, 0},
      {2000, Op::Tick, 0, {4, 5}, {1, 2, 4, 5}, 0},
      {2500, Op::Tick, 0, {1, 2}, {1, 2, 4, 5}, 0},
      {2500, Op::Ack, 9, {}, {1, 2, 4, 5}, 0}}},
    {"a failed first send counts and keeps nothing; foreign and link packets go once as they are",
     {{0, Op::FailNext, 1, {}, {}, 0},
      {0, Op::Put, 1, {1}, {}, 1},
      {0, Op::PutForeign, 9, {9}, {}, 1},
      {0, Op::PutLink, 7, {0}, {}, 1},
      {0, Op::Put, 1, {2}, {2}, 1},
      {0, Op::FailNext, 1, {}, {2}, 1},
      {0, Op::PutForeign, 9, {9}, {2}, 2},
      {2000, Op::FailNext, 1, {}, {2}, 2},
      {2000, Op::Tick, 0, {2}, {2}, 3}}},
    {"two failures mean a lost link, told once; any packet of the party clears the count",
     {{0, Op::FailNext, 3, {}, {}, 0},
      {0, Op::Put, 1, {1}, {}, 1},
      {0, Op::Lost, 0, {}, {}, 1},
      {0, Op::Put, 1, {2}, {}, 2},
      {0, Op::Lost, 1, {}, {}, 0},
      {0, Op::Lost, 0, {}, {}, 0},
      {0, Op::Put, 1, {3}, {}, 1},
      {0, Op::Ack, 0, {}, {}, 0},
      {0, Op::Put, 1, {4}, {4}, 0},
      {0, Op::Lost, 0, {}, {4}, 0}}},
};

TEST(WindV7Core, Scripts) {
    for (const Script& script : kScripts) {
        SCOPED_TRACE(script.name);
        FakeLink link;
        CWindV7Core w(link);
        w.Start(Ms{0});
        for (std::size_t i = 0; i < script.steps.size(); ++i) {
            const Step& s = script.steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            link.sent.clear();
            CPackV7 p = Numbered();
            switch (s.op) {
                case Op::Put:
                    for (int n = 0; n < s.arg; ++n) {
                        p = Numbered();
                        w.Put(p, kTool);
                    }
                    break;
                case Op::PutForeign:
                    p = Numbered(CIdentV7(555, 0), s.arg);
                    w.Put(p, kTool);
                    break;
                case Op::PutLink:
                    p.SetIdent(s.arg);
                    p.SetLink(CPackV7::typCloseLink, nullptr, 0);
                    w.Put(p, kTool);
                    break;
                case Op::Ack:
                    w.MngReply(static_cast<unsigned char>(s.arg));
                    break;
                case Op::Tick:
                    w.Tick(Ms{s.at});
                    break;
                case Op::FailNext:
                    link.failNext = s.arg;
                    break;
                case Op::Lost:
                    EXPECT_EQ(w.IsNoLink(), s.arg != 0);
                    break;
            }
            EXPECT_EQ(link.sent, s.sent);
            EXPECT_EQ(w.Idents(), s.window);
            EXPECT_EQ(w.Failures(), s.failures);
        }
    }
}

TEST(WindV7Core, ALonePacketGoesOutFiveTimesTwoSecondsApartAndIsGivenUpHalfASecondLater) {
    FakeLink link;
    CWindV7Core w(link);  // the defaults
    w.Start(Ms{0});
    CPackV7 p = Numbered();
    w.Put(p, kTool);
    std::vector<int> sentAt = {0};
    int gone = -1;
    for (int t = 500; t <= 12000 && gone < 0; t += 500) {
        const std::size_t before = link.sent.size();
        w.Tick(Ms{t});
        if (link.sent.size() > before) sentAt.push_back(t);
        if (w.Count() == 0) gone = t;
    }
    EXPECT_EQ(sentAt, (std::vector<int>{0, 2000, 4000, 6000, 8000}));
    EXPECT_EQ(gone, 8500);
    EXPECT_EQ(w.Failures(), 1);
}

TEST(WindV7Core, TheEleventhGivenUpPacketIsReportedOnceForEachStretchInWhichThePartyAnswered) {
    FakeLink link;
    CWindV7Core w(link);
    w.SetMaxSends(1);
    w.Start(Ms{0});
    int t = 0;
    auto loseOne = [&] {
        CPackV7 p = Numbered();
        w.Put(p, kTool);
        w.Tick(Ms{t += 500});
    };
    w.MngReply(0);
    for (int i = 0; i < 10; ++i) loseOne();
    EXPECT_EQ(link.notReceiving, 0);
    EXPECT_EQ(w.Expired(), 10);
    // Acknowledgements do not reset the count.
    w.MngReply(0);
    loseOne();
    EXPECT_EQ(link.notReceiving, 1);
    EXPECT_EQ(w.Expired(), 0);
    EXPECT_FALSE(w.IsLinkUp());
    for (int i = 0; i < 11; ++i) loseOne();
    EXPECT_EQ(link.notReceiving, 1) << "the party has not answered since";
    w.MngReply(0);
    for (int i = 0; i < 11; ++i) loseOne();
    EXPECT_EQ(link.notReceiving, 2);
}

// (time, ident) -> what Add says: 1 new, 0 a repeat.
TEST(ReplyListV7, RemembersTheLastTenIdentsForAMinute) {
    struct Step {
        int at;
        int ident;
        int result;
    };
    CReplyListV7 list;
    std::vector<Step> steps;
    for (int i = 1; i <= 10; ++i) steps.push_back({0, i, 1});
    // 11 pushes out 1, which comes back as new and pushes out 2; 3 is renewed at 0 and 60 s,
    // the others are forgotten a minute after 0.
    const Step more[] = {{0, 1, 0},     {0, 11, 1},    {0, 1, 1},      {0, 3, 0},
                         {60000, 3, 0}, {60001, 4, 1}, {120000, 3, 0}, {180001, 3, 1}};
    steps.insert(steps.end(), std::begin(more), std::end(more));
    for (const Step& s : steps) EXPECT_EQ(list.Add(s.ident, Ms{s.at}), s.result) << s.ident << " at " << s.at;
}

TEST(ReplyListV7, EachPacketCarriesTheOldestPendingAcknowledgementAndARepeatIsAcknowledgedAgain) {
    CReplyListV7 list;
    for (int ident : {4, 5, 6}) list.Add(ident, Ms{0});
    std::vector<int> carried;
    for (;;) {
        CPackV7 p(kTool, kUnit);
        if (list.AddReplyToPack(p) == 0) break;
        carried.push_back(p.GetRepl());
    }
    EXPECT_EQ(carried, (std::vector<int>{4, 5, 6}));
    EXPECT_FALSE(list.ExistNoSendReply());

    EXPECT_EQ(list.Add(5, Ms{10}), 0);
    EXPECT_TRUE(list.ExistNoSendReply());
    CPackV7 full(kTool, kUnit);
    full.AddRepl(9);
    EXPECT_EQ(list.AddReplyToPack(full), 0) << "one acknowledgement per packet";
    EXPECT_EQ(full.GetRepl(), 9);
    EXPECT_TRUE(list.ExistNoSendReply());
}

}  // namespace
