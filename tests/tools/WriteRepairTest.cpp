// The verified write against the simulated unit over a link that loses the byte writes the
// test names, on a clock of the test's own: a write that never arrives is sent again once its
// word is read back, and a unit that keeps its words still ends as a mismatch at the bound.

#include <gtest/gtest.h>

#include <deque>
#include <set>

#include "SimLu.h"
#include "UnitSession.h"

namespace {

// Hands each request to the unit at once, except the n-th byte writes named in `lose`; the
// answers that read word `unread` back after the write never come.
struct LossyLink : CUnitSession::Link {
    LossyLink(SimLu& unit, std::set<int> lost, int unreadWord)
        : lu(unit), lose(std::move(lost)), unread(unreadWord) {}
    bool Send(const LuRequest& r) override {
        const bool write = r.ask == CMes::askLbNVRAM && r.n > 0;
        if (write && lose.count(++writes) > 0) return true;
        const bool deaf = !write && writes > 0 && lu.NextReadWord() == unread;
        for (const CMes& a : lu.Handle(*r.ToMes(LuTarget{})))
            if (!deaf) answers.push_back(a);
        return true;
    }
    SimLu& lu;
    std::set<int> lose;
    int unread;
    int writes = 0;
    std::deque<CMes> answers;
};

std::set<int> AllWords() {
    std::set<int> all;
    for (int w = 0; w < kLuWords; ++w) all.insert(w);
    return all;
}

TEST(WriteRepair, AWriteTheLinkLostGoesAgainAndAUnitKeepingItsWordsStillEndsAsAMismatch) {
    const struct {
        const char* what;
        bool ignoreWrites;
        std::set<int> lose;
        typWriteResult result;
        int minWrites, maxWrites;
        std::set<int> notWritten;  // the words the unit ends without
        int unread = -1;
    } cases[] = {
        {"every write arrives", false, {}, typWriteResult::Verified, 64, 64, {}},
        {"two writes lost", false, {10, 41}, typWriteResult::Verified, 66, 66, {}},
        {"the unit keeps its words", true, {}, typWriteResult::Mismatch, 128, 64 * 7, AllWords()},
        // Word 31 is never seen, so the round of reads never completes; the lost write of word 4
        // still goes again once that word is seen.
        {"a round never complete", false, {10, 63, 64}, typWriteResult::Unverified, 65, 65, {31}, 31},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SimLuOptions o;
        o.ignoreWrites = c.ignoreWrites;
        SimLu lu(o);
        LossyLink link(lu, c.lose, c.unread);
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
        std::set<int> notWritten;
        for (int w = 0; w < kLuWords; ++w)
            if (lu.Nvram()[w] != wanted[w]) notWritten.insert(w);
        EXPECT_EQ(notWritten, c.notWritten);
    }
}

}  // namespace
