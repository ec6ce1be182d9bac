// The loss matrix (tools/loss-matrix) at a tenth of the units' pace, seeded: every fault over
// both links, the session loading, writing all 32 words changed and reading them back.

#include <gtest/gtest.h>

#include "LoadRes.h"
#include "LossMatrix.h"
#include "ScopedHomeUtil.h"

#if defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

namespace {

// Real time, about five seconds with every cell at once: the cells wait out the links' repeats
// (200 ms here) and the faults' own spans, which is what they are about.
TEST(LossMatrix, EveryCellEndsWithTheExactWordsOrWhereLossAllowsWithTheUnitsFailure) {
    g_StringENU = true;
    ScopedHome home;
    MatrixOptions o;
    o.pace = 0.1;
    o.seeds = {1};
    o.luSim = TOLVANE_LU_SIM_PATH;
    o.consoleSim = TOLVANE_CONSOLE_SIM_PATH;
    o.workDir = home.Path();
    std::vector<CellRun> runs;
    std::string error;
    ASSERT_TRUE(RunLossMatrix(o, runs, error)) << error;
    std::printf("%s", LoadTimeTable(runs).c_str());
    EXPECT_EQ(runs.size(), 2 * LossMatrixCells(o.pace).size());
    for (const CellRun& r : runs) {
        std::string tail;
        for (size_t i = r.simOutput.size() > 12 ? r.simOutput.size() - 12 : 0; i < r.simOutput.size(); ++i)
            tail += r.simOutput[i] + "\n";
        EXPECT_EQ(r.problem, "") << r.cell << (r.console ? " over Disp" : " over V7") << "\n" << tail;
    }
}

}  // namespace

#endif
