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
class LossyLink : public CUnitSession::Link {
public:
    LossyLink(SimLu& lu, std::set<int> lose) : m_Lu(lu), m_Lose(std::move(lose)) {}
    bool Send(const LuRequest& r) override {
        const bool write = r.ask == CMes::askLbNVRAM && r.n > 0;
        if (write && m_Lose.count(++writes) > 0) return true;
        for (const CMes& a : m_Lu.Handle(*r.ToMes(LuTarget{}))) answers.push_back(a);
        return true;
    }
    int writes = 0;
    std::deque<CMes> answers;

private:
    SimLu& m_Lu;
    std::set<int> m_Lose;
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
        WordMap read, defaults, image;
        CUnitSession session(link, read, defaults);
        CUnitSession::Clock::time_point now{};
        session.SetClock([&now] { return now; });
        std::optional<typWriteResult> written;
        session.SetListener([&](const UnitEvent& e) {
            if (e.kind == UnitEvent::typKind::Written) written = e.result;
        });
        session.Start(UnitAddress{});
        for (int step = 0; step < 1000 && !written; ++step) {
            while (!link.answers.empty()) {
                const CMes a = link.answers.front();
                link.answers.pop_front();
                session.TakeMes(a);
            }
            if (session.IsReady() && image.empty()) {
                for (int w = 0; w < kLuWords; ++w)
                    image[w] = static_cast<uint16_t>(GetWord(read, w) ^ 0x5AA5);
                session.Write(image);
            } else if (link.answers.empty()) {
                now = session.NextDeadline();
                session.Tick();
            }
        }
        EXPECT_EQ(written, c.result);
        EXPECT_GE(link.writes, c.minWrites);
        EXPECT_LE(link.writes, c.maxWrites);
        if (c.result == typWriteResult::Verified) {
            for (int w = 0; w < kLuWords; ++w) EXPECT_EQ(lu.Nvram()[w], image[w]) << "word " << w;
        }
    }
}

}  // namespace
