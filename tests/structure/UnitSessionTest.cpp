// The unit session against the simulated unit behind a fake link and a fake clock: the
// session's requests reach the unit as they are built, and its answers come back as V7
// packets or as console line packets. No sockets, no sleeps.

#include <gtest/gtest.h>

#include <deque>
#include <optional>
#include <set>

#include "SimLu.h"
#include "UnitSession.h"

namespace {

using namespace std::chrono_literals;
using Clock = CUnitSession::Clock;
using Lose = std::function<bool(const CMes&)>;

constexpr int kUnitNode = 104233;
constexpr int kOwnNode = 12345678;

struct Harness : CUnitSession::Link {
    explicit Harness(SimLuOptions options, bool direct = true, int codLift = 0)
        : unit(std::move(options)), session(*this, read, defaults) {
        address = UnitAddress{direct, 1, 2, 3, 5, codLift, CIdentV7(kOwnNode, 0), kUnitNode};
        session.SetClock([this] { return now; });
        session.SetListener([this](const UnitEvent& e) { events.push_back(e); });
    }
    bool Send(const LuRequest& r) override {
        sent.push_back(r);
        if (const auto m = r.ToMes(LuTarget{address.umNum, address.slotNum, address.devAddr}))
            if (!refuseSends) queue.push_back(*m);
        return !refuseSends;
    }
    void Stop() override { stopped = true; }

    // The unit answers every request waiting, and its answers reach the session, until the
    // exchange rests. A request for which `lose` holds never reaches the unit.
    void Run(const Lose& lose = {}) {
        while (!queue.empty()) {
            const CMes request = queue.front();
            queue.pop_front();
            if (lose && lose(request)) continue;
            for (const CMes& answer : unit.Handle(request)) Deliver(answer);
        }
    }
    void Deliver(const CMes& answer) {
        if (address.direct) return session.TakeV7(CPackV7(answer));
        CPackMes pack(address.umNum, 0, 8);
        pack.AddMes(answer);
        CPackMes received(pack.len, pack.buf, 8);
        received.pultNo = address.pultNum;
        session.TakeLinePacket(received);
    }
    // Advances the clock to the session's deadlines, one tick at a time.
    void Advance(Clock::duration by) {
        const auto end = now + by;
        for (; session.NextDeadline() <= end; Run(lose)) {
            now = std::max(now, session.NextDeadline());
            session.Tick();
        }
        now = end;
    }
    void Load() {
        session.Start(address);
        Run();
        ASSERT_EQ(session.State(), typUnitState::Ready);
    }
    int Count(CMes::askFromMain ask) const {
        return static_cast<int>(
            std::count_if(sent.begin(), sent.end(), [&](const LuRequest& r) { return r.ask == ask; }));
    }
    const UnitEvent* Written() const {
        for (const UnitEvent& e : events)
            if (e.kind == UnitEvent::typKind::Written) return &e;
        return nullptr;
    }

    SimLu unit;
    WordMap read, defaults;
    CUnitSession session;
    UnitAddress address;
    Clock::time_point now{};
    std::deque<CMes> queue;
    std::vector<LuRequest> sent;
    std::vector<UnitEvent> events;
    Lose lose;
    bool refuseSends = false;
    bool stopped = false;
};

SimLuOptions Unit(int wordForm = 16) {
    SimLuOptions o;
    o.wordForm = wordForm == 16 ? 13 : wordForm;
    o.withDefaults = wordForm == 16;
    return o;
}

const Lose kLoseAll = [](const CMes&) { return true; };

CPackV7 LinkPacket(CPackV7::typPack type, std::vector<unsigned char> payload) {
    CPackV7 p;
    p.SetLink(type, payload.data(), static_cast<int>(payload.size()));
    return p;
}

// A long refusal names the refused tool and the refusing unit behind its mark.
CPackV7 Refusal(int refusedNode, int refuserNode) {
    std::vector<unsigned char> bytes(9, 0);
    bytes[0] = 1;
    CIdentV7(refusedNode, 0).GetValue(&bytes[1]);
    CIdentV7(refuserNode, 0).GetValue(&bytes[5]);
    return LinkPacket(CPackV7::typRefuse, bytes);
}

TEST(UnitSession, LoadsEveryWordInBothModesAndEveryAnswerForm) {
    struct Case {
        bool direct;
        int wordForm, codLift;
    } cases[] = {{true, 16, 0},  {true, 13, 0},  {true, 12, 0},
                 {false, 16, 0}, {false, 12, 0}, {false, 16, 17}};
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "direct " << c.direct << " form " << c.wordForm << " lift " << c.codLift);
        SimLuOptions o = Unit(c.wordForm);
        SimLuWords words = SimLuBuiltinNvram(o), defaults = SimLuBuiltinDefaults(o);
        words[4] = 0x8421;  // bit 15: the bare 12-unit form ends in the error-report bit
        defaults[8] = 0x0012;
        o.nvram = words;
        o.defaults = defaults;
        Harness h(o, c.direct, c.codLift);
        h.Load();
        for (int w = 0; w < kLuWords; ++w) EXPECT_EQ(GetWord(h.read, w), words[w]) << "word " << w;
        defaults[8] = 0x5512;  // the table's bits are always set in a complete defaults image
        for (int w = 0; w < kLuWords && c.wordForm == 16; ++w)
            EXPECT_EQ(GetWord(h.defaults, w), defaults[w]) << "default " << w;
        EXPECT_EQ(h.defaults.empty(), c.wordForm != 16);
        EXPECT_EQ(h.Count(CMes::askDevParam), 1);
        EXPECT_EQ(h.Count(CMes::askLbNVRAM), kLuWords);
    }
}

TEST(UnitSession, ConsoleAnswersCountOnlyFromTheUnitOnItsConsole) {
    Harness h(Unit(), false);
    h.session.Start(h.address);
    h.Run(kLoseAll);
    const int foreign[][4] = {
        {2, 3, 6, 1}, {2, 4, 5, 1}, {9, 3, 5, 1}, {2, 3, 5, 0}};  // UM, slot, device, console
    for (const auto& f : foreign) {
        CPackMes pack(f[0], 0, 8);
        pack.AddMes(CMes(255, 15, f[0], f[1], f[2], CMes::mesDevAnswer, CMes::askDevParam, nullptr, 0, -1));
        CPackMes received(pack.len, pack.buf, 8);
        received.pultNo = f[3];
        h.session.TakeLinePacket(received);
    }
    EXPECT_FALSE(h.session.ParamsReceived());
}

TEST(UnitSession, SilentUnitIsGivenUpAfterTheFirstAskAndFiveRepeats) {
    Harness h(Unit());
    h.lose = kLoseAll;
    h.session.Start(h.address);
    h.Advance(18s - 1ms);
    EXPECT_EQ(h.session.State(), typUnitState::Loading);
    EXPECT_EQ(h.Count(CMes::askDevParam), 6);
    h.Advance(1ms);
    EXPECT_EQ(h.session.State(), typUnitState::Silent);
    EXPECT_EQ(h.session.Reason(), kTextNotResponding);
    EXPECT_EQ(h.Count(CMes::askDevParam), 6);
}

TEST(UnitSession, EndsOfTheLoadAndWhatTheyStop) {
    // Without a packet: the unit's error report to the parameters request (Silent), or the
    // V7 sender giving up (Lost).
    const struct {
        const char* what;
        std::optional<CPackV7> packet;
        typUnitState state;
        int reason;
        bool stops;
    } cases[] = {
        {"parameters error report", std::nullopt, typUnitState::Silent, kTextNotResponding, false},
        {"short refusal", LinkPacket(CPackV7::typRefuse, {1}), typUnitState::Refused, kTextRefused, true},
        {"long refusal naming us", Refusal(kOwnNode, kUnitNode), typUnitState::Refused, kTextRefused, true},
        {"long refusal of another tool", Refusal(kOwnNode + 1, kUnitNode), typUnitState::Loading, 0, false},
        {"refusal without its mark", LinkPacket(CPackV7::typRefuse, {0}), typUnitState::Loading, 0, false},
        {"lost link", std::nullopt, typUnitState::Lost, kTextLinkLost, true},
        {"close-link", LinkPacket(CPackV7::typCloseLink, {0, 0, 0, 0}), typUnitState::Closed,
         kTextUnitClosedLink, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimLuOptions o = Unit();
        o.paramError = c.state == typUnitState::Silent;
        Harness h(o);
        h.session.Start(h.address);
        h.Run(o.paramError ? Lose() : kLoseAll);
        if (c.packet) h.session.TakeV7(*c.packet);
        if (c.state == typUnitState::Lost) h.session.LinkLost();
        EXPECT_EQ(h.session.State(), c.state);
        EXPECT_EQ(h.session.Reason(), c.reason);
        EXPECT_EQ(h.stopped, c.stops);
    }
}

TEST(UnitSession, WriteSendsOnlyChangedBytesLowByteFirst) {
    Harness h(Unit());
    h.Load();
    WordMap edited = h.read;
    edited[3] ^= 0x0100;  // high byte only
    edited[0] ^= 0x0101;  // both bytes
    edited[40] = 7;       // no such word in the unit
    h.sent.clear();
    EXPECT_EQ(h.session.Write(edited), 3);
    std::vector<int> addresses;
    for (const LuRequest& r : h.sent) {
        int index = 0;
        unsigned short value = 0;
        bool isWord = true;
        CMes m(0, 0, 15, 15, 0, CMes::mesDevAnswer, r.ask, r.units.data(), r.n, -1);
        ASSERT_TRUE(r.n == 4 && m.GetLbNVRAM(index, value, isWord) && !isWord);
        addresses.push_back(index);
    }
    EXPECT_EQ(addresses, (std::vector<int>{0, 1, 7}));
    EXPECT_EQ(h.session.State(), typUnitState::Writing);
    EXPECT_EQ(h.session.Write(edited), -1) << "a second write while one is under way";
}

TEST(UnitSession, WriteIsVerifiedWordByWordAgainstWhatTheUnitHolds) {
    struct Case {
        const char* what;
        int wordForm;
        uint16_t word4;
        std::set<int> unitIgnores;  // byte addresses the unit never stores
        bool loseAfterWrite;
        typWriteResult result;
    } cases[] = {
        {"verified", 16, 0x1234, {}, false, typWriteResult::Verified},
        {"bit 15 in the bare form", 12, 0x8421, {}, false, typWriteResult::Verified},
        {"a byte the unit does not store", 16, 0x1234, {9}, false, typWriteResult::Mismatch},
        {"the unit goes silent", 16, 0x1234, {}, true, typWriteResult::Unverified},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Harness h(Unit(c.wordForm));
        h.Load();
        const WordMap before = h.read;
        WordMap edited = h.read;
        edited[4] = c.word4;
        edited[20] = 0xBEEF;
        h.lose = [&c, &h](const CMes& m) {
            int address = 0;
            unsigned short value = 0;
            bool isWord = true;
            return (c.loseAfterWrite && h.session.IsBusy()) ||
                   (m.len == 12 && m.GetLbNVRAM(address, value, isWord) && !isWord &&
                    c.unitIgnores.count(address));
        };
        ASSERT_GT(h.session.Write(edited), 0);
        h.Run(h.lose);
        // A byte the unit does not store is first written again five times, a tick apart.
        h.Advance(c.result == typWriteResult::Mismatch ? 16s + 5 * 3s + 3s : 16s);
        const UnitEvent* written = h.Written();
        ASSERT_NE(written, nullptr);
        EXPECT_EQ(written->result, c.result);
        EXPECT_EQ(h.session.State(), typUnitState::Ready);
        const SimLuWords held = h.unit.Nvram();
        if (c.result == typWriteResult::Unverified) {
            EXPECT_TRUE(written->readBack.empty());
            EXPECT_EQ(h.read, before) << "words nobody read back keep their old value";
            continue;
        }
        for (int w = 0; w < kLuWords; ++w) EXPECT_EQ(GetWord(h.read, w), held[w]) << "word " << w;
        const std::vector<WordMismatch> mismatches = {{4, c.word4, held[4]}};
        EXPECT_EQ(written->mismatches,
                  c.result == typWriteResult::Mismatch ? mismatches : std::vector<WordMismatch>());
        if (c.result == typWriteResult::Verified) {
            EXPECT_EQ(GetWord(h.read, 4), c.word4);
        }
    }
}

TEST(UnitSession, LateAnswersToTheByteWritesAreNotTakenAsFinal) {
    Harness h(Unit());
    h.Load();
    WordMap edited = h.read;
    edited[6] ^= 0xFFFF;
    ASSERT_EQ(h.session.Write(edited), 2);
    ASSERT_EQ(h.queue.size(), 2u);
    // The answer to the low-byte write carries the word between its two bytes; it arrives
    // late, after the answer to the high byte has started the read-back.
    const CMes low = h.queue.front(), high = h.queue.back();
    h.queue.clear();
    const std::vector<CMes> stale = h.unit.Handle(low);
    for (const CMes& a : h.unit.Handle(high)) h.Deliver(a);
    ASSERT_EQ(h.session.State(), typUnitState::Verifying);
    for (const CMes& a : stale) h.Deliver(a);
    h.Run();
    ASSERT_NE(h.Written(), nullptr);
    EXPECT_EQ(h.Written()->result, typWriteResult::Verified);
    EXPECT_EQ(GetWord(h.read, 6), edited[6]);
}

TEST(UnitSession, TheLinkEndingDuringReadyOrVerifyEndsTheSession) {
    for (bool duringVerify : {false, true}) {
        SCOPED_TRACE(duringVerify ? "during verify" : "while ready");
        Harness h(Unit());
        h.Load();
        if (duringVerify) {
            WordMap edited = h.read;
            edited[2] ^= 1;
            ASSERT_EQ(h.session.Write(edited), 1);
            h.Run([&h](const CMes&) { return h.session.State() == typUnitState::Verifying; });
            ASSERT_EQ(h.session.State(), typUnitState::Verifying);
        }
        h.session.TakeV7(LinkPacket(CPackV7::typCloseLink, {0, 0, 0, 0}));
        EXPECT_EQ(h.session.State(), typUnitState::Closed);
        EXPECT_TRUE(h.stopped);
        ASSERT_EQ(h.Written() != nullptr, duringVerify);
        if (duringVerify) {
            EXPECT_EQ(h.Written()->result, typWriteResult::Unverified);
        }
        h.sent.clear();
        EXPECT_EQ(h.session.Write(WordMap{{2, 1}}), -1);
        EXPECT_FALSE(h.session.Restart());
        EXPECT_TRUE(h.sent.empty()) << "nothing goes to a unit that has left";
    }
}

TEST(UnitSession, ASilentReadyUnitIsProbedAndThenCountedAsGone) {
    Harness h(Unit());
    h.Load();
    h.sent.clear();
    h.lose = kLoseAll;
    h.Advance(10s - 1ms);
    EXPECT_TRUE(h.sent.empty());
    h.Advance(1ms);
    EXPECT_EQ(h.Count(CMes::askDevParam), 1) << "one probe after ten silent seconds";
    h.Advance(20s - 1ms);
    EXPECT_EQ(h.session.State(), typUnitState::Ready);
    h.Advance(1ms);
    EXPECT_EQ(h.session.State(), typUnitState::Lost);
    EXPECT_EQ(h.session.Reason(), kTextUnitStoppedAnswering);

    Harness alive(Unit());
    alive.Load();
    alive.Advance(60s);
    EXPECT_EQ(alive.session.State(), typUnitState::Ready) << "a unit that answers its probes stays";
}

TEST(UnitSession, AWriteTheLinkRefusesIsStillReadBack) {
    Harness h(Unit());
    h.Load();
    WordMap edited = h.read;
    edited[1] ^= 0x0101;
    h.refuseSends = true;
    EXPECT_EQ(h.session.Write(edited), -1);
    h.refuseSends = false;
    h.Run();
    h.Advance(16s);
    ASSERT_NE(h.Written(), nullptr) << "what the unit holds is read back all the same";
    EXPECT_EQ(h.Written()->result, typWriteResult::Mismatch);
}

}  // namespace
