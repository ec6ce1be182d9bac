// The tool's console object against the simulated lift unit and the simulated console
// program, each running as a real process on ::1: the whole road of a request, from the
// device record to the unit and back into the windows' input queue.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "Dev.h"
#include "KeySys.h"
#include "LoadRes.h"
#include "MToolPult.h"
#include "NvRam.h"
#include "ScopedHomeUtil.h"
#include "SimProcessUtil.h"
#include "utilities.h"

#if defined(TOLVANE_LU_SIM_PATH) && defined(TOLVANE_CONSOLE_SIM_PATH)

namespace {

using namespace std::chrono_literals;

constexpr wchar_t kKeyHex[] = L"00112233445566778899AABBCCDDEEFF";
constexpr int kNode = 4711;
constexpr int kLiftCode = 17;

// One answer of the unit, whichever link brought it.
struct Answer {
    CMes mes;
};

class ToolAgainstSimulator : public ::testing::TestWithParam<bool> {
protected:
    bool Direct() const { return GetParam(); }

    void SetUp() override {
        g_StringENU = true;
        // A window to tell: without one the receivers drop what nobody would read.
        ctx.events.Install([](typAppEvent) {});
        std::string error;
        if (Direct()) {
            ASSERT_TRUE(sim.Start(
                TOLVANE_LU_SIM_PATH,
                {"--node", std::to_string(kNode), "--key", "00112233445566778899AABBCCDDEEFF", "--port", "0"},
                5000ms, &error))
                << error;
            ctx.v7Id = kNode;
            CKeySys key;
            key.Set(kKeyHex);
            CIdentV7 own;
            own.SetUnique();
            ctx.receivV7.SetIdent(own);
            ctx.receivV7.SetKey(key);
            ctx.receivV7.SetBindAddress(LocalHostIPv6());
            ctx.receivV7.SetBindPort(0);
            ctx.sendV7.SetAddress(LocalHostIPv6(), sim.Port());
            CIdentV7 lu;
            lu.Set(kNode, 0);
            ctx.sendV7.SetRemoteIdent(lu);
            ctx.pultNum = 1;
            ctx.umNum = 2;
            ctx.slotNum = 3;
            ctx.devAddr = 4;
        } else {
            ASSERT_TRUE(sim.Start(TOLVANE_CONSOLE_SIM_PATH,
                                  {"--port", "0", "--lift", std::to_string(kLiftCode), "--source", "lift"},
                                  5000ms, &error))
                << error;
            // What the application makes of -v<port> -I17.
            ctx.codLift = kLiftCode;
            ctx.pultNum = 0;
            ctx.umNum = 0;
            ctx.slotNum = 7;
            ctx.devAddr = 1;
            ctx.utilPort = sim.Port();
            ctx.receivDisp.SetOwnAddress(LocalHostIPv6(), 0);
            ctx.sendDisp.SetPeer(LocalHostIPv6(), sim.Port());
        }
        ASSERT_TRUE(ctx.pult.Connect());
        dev = ctx.pult.GetDev();
        ASSERT_NE(dev, nullptr);
    }

    void TearDown() override { ctx.pult.Disconnect(); }

    void Ask(const LuRequest& r) {
        ASSERT_GT(dev->AddMes(r), 0);
        dev->Put();
    }

    // The next line message of the unit, from whichever queue the link fills.
    std::optional<CMes> NextAnswer(std::chrono::milliseconds timeout = 3000ms) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (!pending.empty()) {
                CMes m = pending.front();
                pending.erase(pending.begin());
                return m;
            }
            if (Direct()) {
                CPackV7 p;
                if (ctx.inpV7.Read(p)) {
                    CMes m;
                    if (p.GetMes(m)) pending.push_back(m);
                    continue;
                }
            } else {
                CPackMes p;
                if (ctx.inpMes.Read(p)) {
                    p.BegGet();
                    for (CMes m; p.GetMes(m);) pending.push_back(m);
                    continue;
                }
            }
            std::this_thread::sleep_for(2ms);
        }
        return std::nullopt;
    }

    struct Word {
        int index = -1;
        unsigned short value = 0;
        unsigned short def = 0;
        bool hasDefault = false;
    };

    std::optional<Word> ReadWord() {
        Ask(LuNvramReadRequest());
        for (std::optional<CMes> m; (m = NextAnswer());) {
            Word w;
            bool isWord = false;
            if (m->GetLbNVRAM(w.index, w.value, isWord, w.def, w.hasDefault) && isWord) return w;
        }
        return std::nullopt;
    }

    std::string SimOutput() const {
        std::string out = "simulator said:\n";
        for (const std::string& line : sim.Lines()) out += line + "\n";
        for (const std::string& line : sim.ErrLines()) out += line + "\n";
        return out;
    }

    ScopedHome home;
    SimProcess sim;
    ToolContext ctx;
    CDev* dev = nullptr;
    std::vector<CMes> pending;
};

TEST_P(ToolAgainstSimulator, ReadsParametersAllWordsWritesBytesAndRestarts) {
    // Device parameters: a good answer that names the unit.
    Ask(LuDevParamsRequest());
    bool named = false;
    for (std::optional<CMes> m; !named && (m = NextAnswer());) {
        if (m->IsGood() && dev->SetParDev(*m) > 0) named = true;
    }
    ASSERT_TRUE(named) << SimOutput();
    EXPECT_FALSE(dev->TypLB().empty());

    // All 32 words, each with its default.
    std::vector<Word> words(32);
    std::vector<bool> seen(32, false);
    int got = 0;
    for (int asked = 0; got < 32 && asked < 80; ++asked) {
        std::optional<Word> w = ReadWord();
        ASSERT_TRUE(w) << "no NVRAM answer after " << got << " words";
        ASSERT_GE(w->index, 0);
        ASSERT_LT(w->index, 32);
        EXPECT_TRUE(w->hasDefault);
        if (!seen[w->index]) {
            seen[w->index] = true;
            words[w->index] = *w;
            ++got;
        }
    }
    ASSERT_EQ(got, 32);

    // Both bytes of word 5 changed, low byte first; a later answer for word 5 confirms it.
    const uint16_t changed = static_cast<uint16_t>(words[5].value ^ 0x2341);
    const auto writes = LuWordWriteRequests(5, changed);
    ASSERT_TRUE(writes);
    Ask((*writes)[0]);
    Ask((*writes)[1]);
    bool confirmed = false;
    for (int asked = 0; !confirmed && asked < 64; ++asked) {
        std::optional<Word> w = ReadWord();
        ASSERT_TRUE(w);
        if (w->index == 5) confirmed = w->value == changed;
    }
    EXPECT_TRUE(confirmed);

    Ask(LuRestartRequest());
    EXPECT_TRUE(sim.WaitForLineContaining("restart", 3000ms));
}

INSTANTIATE_TEST_SUITE_P(BothModes, ToolAgainstSimulator, ::testing::Values(true, false),
                         [](const ::testing::TestParamInfo<bool>& i) {
                             return i.param ? std::string("Direct") : std::string("Console");
                         });

}  // namespace

#endif
