// The verified write against the simulated unit over a link that loses the byte writes the
// test names, on a clock of the test's own: a write that never arrives is sent again once the
// words are read back, and a unit that keeps its words still ends as a mismatch at the bound.

#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "SimLu.h"
#include "UnitSession.h"

namespace {

// Hands each request to the unit at once, except the n-th byte writes named in `lose`.
struct LossyLink : CUnitSession::Link {
    LossyLink(SimLu& unit, std::set<int> lost) : lu(unit), lose(std::move(lost)) {}
    bool Send(const LuRequest& r) override {
        if (r.ask == CMes::askLbNVRAM && r.n > 0 && lose.count(++writes) > 0) return true;
        for (const CMes& a : lu.Handle(*r.ToMes(LuTarget{}))) answers.push_back(a);
        return true;
    }
    SimLu& lu;
    std::set<int> lose;
    int writes = 0;
    std::deque<CMes> answers;
};

TEST(WriteRepair, AWriteTheLinkLostGoesAgainAndAUnitKeepingItsWordsStillEndsAsAMismatch) {
    const struct {
        const char* what;
        bool ignoreWrites;
        std::set<int> lose;
        typWriteResult result;
        int minWrites, maxWrites;
    } cases[] = {
        {"every write arrives", false, {}, typWriteResult::Verified, 64, 64},
        {"two writes lost", false, {10, 41}, typWriteResult::Verified, 66, 66},
        {"the unit keeps its words", true, {}, typWriteResult::Mismatch, 128, 64 * 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimLuOptions o;
        o.ignoreWrites = c.ignoreWrites;
        SimLu lu(o);
        LossyLink link(lu, c.lose);
        SimLuWords wanted = lu.Nvram();
        WordMap read, defaults, image;
        for (int w = 0; w < kLuWords; ++w) image[w] = wanted[w] ^= 0x5AA5;
        CUnitSession session(link, read, defaults);
        CUnitSession::Clock::time_point now{};
        session.SetClock([&now] { return now; });
        std::optional<typWriteResult> written;
        session.SetListener([&](const UnitEvent& e) {
            written = e.kind == UnitEvent::typKind::Written ? e.result : written;
        });
        session.Start(UnitAddress{});
        for (int step = 0; step < 1000 && !written; ++step) {
            while (!link.answers.empty()) {
                const CMes a = link.answers.front();
                link.answers.pop_front();
                session.TakeMes(a);
            }
            if (session.IsReady() && link.writes == 0) {
                session.Write(image);
            } else if (link.answers.empty()) {
                now = session.NextDeadline();
                session.Tick();
            }
        }
        EXPECT_EQ(written, c.result);
        EXPECT_GE(link.writes, c.minWrites);
        EXPECT_LE(link.writes, c.maxWrites);
        EXPECT_EQ(lu.Nvram() == wanted, c.result == typWriteResult::Verified);
    }
}

}  // namespace
