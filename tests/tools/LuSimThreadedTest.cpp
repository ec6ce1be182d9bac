// lu-sim as a real process, driven over UDP by a small V7 client built from the
// library's packet and coding functions: what the tool sees of the simulated unit.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "IdentV7.h"
#include "KeySys.h"
#include "NvRam.h"
#include "PackV7.h"
#include "SimProcessUtil.h"

#ifdef TOLVANE_LU_SIM_PATH

namespace {

using Ms = std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr int kLuNode = 4242;
constexpr Ms kStart(5000);
constexpr Ms kWait(2000);

LuTarget Target() {
    LuTarget t;
    t.destNode = 2;
    t.destSub = 4;
    t.dev = 9;
    return t;
}

// The tool's side of the link, kept small: numbered message packets out, every
// numbered packet of the unit acknowledged, the rest collected for the test.
class Client {
public:
    Client(int port, const CKeySys& key, int node = CIdentV7::kMinProg + 77)
        : key_(key), self_(node, 0), lu_(kLuNode, 0), port_(port) {
        fd_ = ::socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in6 sa{};
        sa.sin6_family = AF_INET6;
        sa.sin6_addr = in6addr_loopback;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    }
    ~Client() { ::close(fd_); }

    void SetAutoAck(bool on) { autoAck_ = on; }

    // A message packet with the given ident (0: a fresh one).
    int Send(const CMes& m, int ident = 0) {
        CPackV7 p(m);
        p.SetID(self_, lu_);
        if (ident == 0) ident = ++lastIdent_;
        p.SetIdent(ident);
        SendPack(p);
        return ident;
    }

    void SendPack(CPackV7 p) {
        unsigned char out[CPackV7::kBufSize];
        const int n = p.ChanCod(out, sizeof out, key_);
        sockaddr_in6 to{};
        to.sin6_family = AF_INET6;
        to.sin6_addr = in6addr_loopback;
        to.sin6_port = htons(static_cast<uint16_t>(port_));
        ::sendto(fd_, out, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }

    // Next decodable packet within the time, acknowledged when numbered.
    std::optional<CPackV7> Receive(Ms timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            const auto left = std::chrono::duration_cast<Ms>(deadline - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
            unsigned char buf[CPackV7::kBufSize];
            const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
            CPackV7 pack;
            if (n < 15 || !pack.ChanDecod(buf, static_cast<int>(n), key_)) continue;
            if (pack.GetRepl() != 0) acked_.push_back(pack.GetRepl());
            if (autoAck_ && pack.GetIdent() != 0) {
                CPackV7 ack(self_, lu_);
                ack.AddRepl(static_cast<unsigned char>(pack.GetIdent()));
                SendPack(ack);
            }
            return pack;
        }
    }

    // The next line message from the unit (other packets are skipped).
    std::optional<CMes> ReceiveMes(Ms timeout = kWait) {
        const auto deadline = Clock::now() + timeout;
        while (Clock::now() < deadline) {
            auto p = Receive(std::chrono::duration_cast<Ms>(deadline - Clock::now()));
            if (!p) break;
            if (p->GetClass() != CPackV7::classData || p->GetTyp() != CPackV7::typMes) continue;
            EXPECT_EQ(p->GetSource().GetNode(), kLuNode);
            EXPECT_TRUE(p->GetDest().FullEQ(self_));
            CMes m;
            if (p->GetMes(m)) return m;
        }
        return std::nullopt;
    }

    std::optional<CMes> Ask(const CMes& m) {
        Send(m);
        return ReceiveMes();
    }

    bool WasAcked(int ident) const { return std::find(acked_.begin(), acked_.end(), ident) != acked_.end(); }

    const CIdentV7& Self() const { return self_; }

private:
    CKeySys key_;
    CIdentV7 self_;
    CIdentV7 lu_;
    int port_;
    int fd_ = -1;
    int lastIdent_ = 0;
    bool autoAck_ = true;
    std::vector<int> acked_;
};

CKeySys KeyOf(const wchar_t* text) {
    CKeySys k;
    k.Set(text);
    return k;
}

const wchar_t* const kKeyText = L"00112233445566778899AABBCCDDEEFF";

std::vector<std::string> BaseArgs() {
    return {"--node", std::to_string(kLuNode), "--key", "00112233445566778899AABBCCDDEEFF", "--port", "0"};
}

std::vector<std::string> With(std::vector<std::string> args, const std::vector<std::string>& more) {
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

void StartLu(SimProcess& sim, const std::vector<std::string>& args) {
    std::string error;
    ASSERT_TRUE(sim.Start(TOLVANE_LU_SIM_PATH, args, kStart, &error)) << error;
    EXPECT_EQ(sim.FirstLine(), "lu-sim: listening on [::1]:" + std::to_string(sim.Port()));
}

// Ends the process with SIGTERM and returns its exit code.
int Terminate(SimProcess& sim) {
    EXPECT_TRUE(sim.Signal(SIGTERM));
    const auto code = sim.WaitExitCode(Ms(5000));
    EXPECT_TRUE(code.has_value());
    sim.WaitOutputClosed(Ms(2000));
    return code.value_or(-1);
}

}  // namespace

TEST(LuSimProcess, DeviceParametersLongAndShort) {
    {
        SimProcess sim;
        StartLu(sim, BaseArgs());
        Client c(sim.Port(), KeyOf(kKeyText));
        const auto a = c.Ask(*LuDevParamsMes(Target()));
        ASSERT_TRUE(a);
        EXPECT_EQ(a->typ, CMes::mesDevAnswer);
        EXPECT_EQ(a->ask, CMes::askDevParam);
        EXPECT_EQ(a->dev, 9);
        EXPECT_TRUE(a->IsGood());
        EXPECT_GT(a->len, 29);
        EXPECT_EQ((*a)[2], 14);
        EXPECT_EQ((*a)[6], 0);
        EXPECT_TRUE(sim.WaitForLineContaining("device parameters -> long report: type 14", kWait));
    }
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--report", "short", "--type", "12", "--variant", "37"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    const auto a = c.Ask(*LuDevParamsMes(Target()));
    ASSERT_TRUE(a);
    EXPECT_EQ(a->len, 14);
    EXPECT_EQ((*a)[2], 12);
    EXPECT_EQ((*a)[5], 37);
    EXPECT_TRUE(a->IsGood());
}

TEST(LuSimProcess, ThirtyTwoReadsThenCloseLinkAndTimingOnSigterm) {
    SimProcess sim;
    StartLu(sim, BaseArgs());
    Client c(sim.Port(), KeyOf(kKeyText));
    std::vector<int> idents;
    for (int i = 0; i < 32; ++i) {
        idents.push_back(c.Send(*LuNvramReadMes(Target())));
        const auto a = c.ReceiveMes();
        ASSERT_TRUE(a) << "word " << i;
        int index = -1;
        unsigned short value = 0, value2 = 0;
        bool isWord = false, hasValue2 = false;
        ASSERT_TRUE(a->GetLbNVRAM(index, value, isWord, value2, hasValue2));
        EXPECT_TRUE(a->IsGood());
        EXPECT_TRUE(isWord);
        EXPECT_EQ(index, i);
        EXPECT_TRUE(hasValue2);
        if (i == 8) {
            EXPECT_EQ(value >> 8, 0x55);
        }
    }
    // Every numbered packet of ours was acknowledged.
    for (int id : idents) EXPECT_TRUE(c.WasAcked(id)) << id;
    EXPECT_TRUE(sim.WaitForLineContaining("read word 31 -> 0x", kWait));

    EXPECT_EQ(Terminate(sim), 0);
    bool closed = false;
    for (int k = 0; k < 4 && !closed; ++k) {
        const auto p = c.Receive(Ms(500));
        if (!p) break;
        CIdentV7 who;
        if (p->IsCloseLink(who)) {
            closed = true;
            EXPECT_EQ(who.GetNode(), kLuNode);
        }
    }
    EXPECT_TRUE(closed);
    std::string timing;
    ASSERT_TRUE(sim.WaitForLineContaining("lu-sim: first request to answer of word 32: ", Ms(100), &timing));
    double ms = -1;
    EXPECT_EQ(std::sscanf(timing.c_str(), "lu-sim: first request to answer of word 32: %lf ms", &ms), 1)
        << timing;
    EXPECT_GE(ms, 0.0);
}

TEST(LuSimProcess, ByteWriteConfirmedByTheNextReadAndSavedOnExit) {
    const std::string save = ::testing::TempDir() + "lusim_proc_" + std::to_string(::getpid()) + ".046";
    std::remove(save.c_str());
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--save", save, "--no-defaults"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    const auto w = c.Ask(*LuByteWriteMes(Target(), 9, 0x92));
    ASSERT_TRUE(w);
    int index = -1;
    unsigned short value = 0, value2 = 0;
    bool isWord = false, hasValue2 = true;
    ASSERT_TRUE(w->GetLbNVRAM(index, value, isWord, value2, hasValue2));
    EXPECT_TRUE(w->IsGood());  // a high byte of 0x92 must not read as an error report
    EXPECT_EQ(index, 4);
    EXPECT_EQ(value >> 8, 0x92);
    EXPECT_FALSE(hasValue2);
    EXPECT_TRUE(sim.WaitForLineContaining("write byte 9 := 0x92 -> word 4 = 0x92", kWait));

    // Reads go round from word 0: word 4 is the fifth.
    for (int i = 0; i <= 4; ++i) {
        const auto r = c.Ask(*LuNvramReadMes(Target()));
        ASSERT_TRUE(r);
        ASSERT_TRUE(r->GetLbNVRAM(index, value, isWord));
        EXPECT_EQ(index, i);
    }
    EXPECT_EQ(value >> 8, 0x92);

    EXPECT_EQ(Terminate(sim), 0);
    std::ifstream in(save, std::ios::binary);
    const std::vector<unsigned char> bytes{std::istreambuf_iterator<char>(in),
                                           std::istreambuf_iterator<char>()};
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(bytes[9], 0x92);
    EXPECT_EQ(bytes[8], value & 0xFF);
    EXPECT_TRUE(sim.WaitForLineContaining("NVRAM saved to " + save, Ms(100)));
    std::remove(save.c_str());
}

TEST(LuSimProcess, RestartIsLoggedAndAcknowledgedWithoutAnswer) {
    SimProcess sim;
    StartLu(sim, BaseArgs());
    Client c(sim.Port(), KeyOf(kKeyText));
    const int id = c.Send(*LuRestartMes(Target()));
    EXPECT_TRUE(sim.WaitForLineContaining("restart requested", kWait));
    EXPECT_FALSE(c.ReceiveMes(Ms(300)));  // nothing but the acknowledgement
    EXPECT_TRUE(c.WasAcked(id));
}

TEST(LuSimProcess, RepeatsAreAcknowledgedAgainButHandledOnce) {
    SimProcess sim;
    StartLu(sim, BaseArgs());
    Client c(sim.Port(), KeyOf(kKeyText));
    const int id = c.Send(*LuNvramReadMes(Target()));
    ASSERT_TRUE(c.ReceiveMes());
    c.Send(*LuNvramReadMes(Target()), id);  // our acknowledgement was "lost"
    EXPECT_TRUE(sim.WaitForLineContaining("repeat of packet " + std::to_string(id), kWait));
    EXPECT_FALSE(c.ReceiveMes(Ms(300)));
    // The next fresh request gets word 1: the repeat did not move the unit on.
    const auto a = c.Ask(*LuNvramReadMes(Target()));
    ASSERT_TRUE(a);
    int index = -1;
    unsigned short value = 0;
    bool isWord = false;
    a->GetLbNVRAM(index, value, isWord);
    EXPECT_EQ(index, 1);
}

TEST(LuSimProcess, UnacknowledgedAnswersAreRepeated) {
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--repeat-ms", "100"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    c.SetAutoAck(false);
    c.Send(*LuDevParamsMes(Target()));
    std::vector<int> idents;
    const auto deadline = Clock::now() + Ms(1500);
    while (idents.size() < 3 && Clock::now() < deadline) {
        const auto p = c.Receive(Ms(500));
        if (p && p->GetTyp() == CPackV7::typMes) idents.push_back(p->GetIdent());
    }
    ASSERT_EQ(idents.size(), 3u);
    EXPECT_NE(idents[0], 0);
    EXPECT_EQ(idents[1], idents[0]);
    EXPECT_EQ(idents[2], idents[0]);
}

TEST(LuSimProcess, RefusalFault) {
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--refuse"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    c.Send(*LuDevParamsMes(Target()));
    std::optional<CPackV7> p = c.Receive(kWait);
    ASSERT_TRUE(p);
    EXPECT_EQ(p->GetClass(), CPackV7::classLink);
    EXPECT_EQ(p->GetTyp(), CPackV7::typRefuse);
    ASSERT_GE(p->GetLength(), 14);
    EXPECT_EQ(p->GetBuf()[13], 1);
    EXPECT_TRUE(p->IsRefuse());
    EXPECT_TRUE(sim.WaitForLineContaining("refused", kWait));
}

TEST(LuSimProcess, ErrorReportFaults) {
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--param-error", "--read-error"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    const auto params = c.Ask(*LuDevParamsMes(Target()));
    ASSERT_TRUE(params);
    EXPECT_EQ(params->ask, CMes::askDevParam);
    EXPECT_FALSE(params->IsGood());
    const auto read = c.Ask(*LuNvramReadMes(Target()));
    ASSERT_TRUE(read);
    EXPECT_EQ(read->ask, CMes::askLbNVRAM);
    EXPECT_FALSE(read->IsGood());
}

TEST(LuSimProcess, SilentUnitAndWrongKey) {
    {
        SimProcess sim;
        StartLu(sim, With(BaseArgs(), {"--silent"}));
        Client c(sim.Port(), KeyOf(kKeyText));
        const int id = c.Send(*LuDevParamsMes(Target()));
        EXPECT_FALSE(c.ReceiveMes(Ms(300)));
        EXPECT_TRUE(c.WasAcked(id));  // the link is alive, the unit just does not answer
    }
    SimProcess sim;
    StartLu(sim, BaseArgs());
    Client c(sim.Port(), KeyOf(L"FFEEDDCCBBAA99887766554433221100"));
    c.Send(*LuDevParamsMes(Target()));
    EXPECT_FALSE(c.Receive(Ms(300)));
    EXPECT_TRUE(sim.WaitForLineContaining("does not decode", kWait));
}

TEST(LuSimProcess, DroppedRequestsAreNotAnswered) {
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--drop-in", "100"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    c.Send(*LuDevParamsMes(Target()));
    EXPECT_FALSE(c.Receive(Ms(300)));
    EXPECT_EQ(Terminate(sim), 0);
    EXPECT_TRUE(sim.WaitForLineContaining("in: 1 dropped", Ms(100)));
}

TEST(LuSimProcess, DelayedAnswersAndDuplicatedDatagrams) {
    {
        SimProcess sim;
        StartLu(sim, With(BaseArgs(), {"--delay", "300"}));
        Client c(sim.Port(), KeyOf(kKeyText));
        const auto sent = Clock::now();
        const int id = c.Send(*LuDevParamsMes(Target()));
        // The acknowledgement does not wait for the answer.
        const auto ack = c.Receive(Ms(250));
        ASSERT_TRUE(ack);
        EXPECT_EQ(ack->GetRepl(), id);
        EXPECT_EQ(ack->GetTyp(), CPackV7::typEmpty);
        const auto a = c.ReceiveMes();
        ASSERT_TRUE(a);
        EXPECT_GE(Clock::now() - sent, Ms(280));
    }
    SimProcess sim;
    StartLu(sim, With(BaseArgs(), {"--dup-out", "100"}));
    Client c(sim.Port(), KeyOf(kKeyText));
    c.Send(*LuDevParamsMes(Target()));
    std::vector<int> idents;
    while (idents.size() < 2) {
        const auto p = c.Receive(Ms(500));
        if (!p) break;
        if (p->GetTyp() == CPackV7::typMes) idents.push_back(p->GetIdent());
    }
    ASSERT_EQ(idents.size(), 2u);
    EXPECT_EQ(idents[0], idents[1]);
    EXPECT_EQ(Terminate(sim), 0);
    EXPECT_TRUE(sim.WaitForLineContaining("out: 0 dropped, ", Ms(100)));
}

TEST(LuSimProcess, CommandLine) {
    {
        SimProcess sim;
        ASSERT_TRUE(sim.Launch(TOLVANE_LU_SIM_PATH, {"--help"}));
        EXPECT_EQ(sim.WaitExitCode(Ms(5000)), 0);
        sim.WaitOutputClosed(Ms(2000));
        std::string all = sim.FirstLine();
        for (const auto& l : sim.Lines()) all += "\n" + l;
        for (const char* opt :
             {"--node",       "--key",         "--bind",        "--port",   "--type",     "--variant",
              "--fw-version", "--report",      "--no-defaults", "--nvram",  "--defaults", "--save",
              "--silent",     "--param-error", "--read-error",  "--refuse", "--drop-in",  "--drop-out",
              "--dup-in",     "--dup-out",     "--delay"}) {
            EXPECT_NE(all.find(opt), std::string::npos) << opt;
        }
    }
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"--bogus"}, {"--type", "99"}, {"--port"}, {"--report", "short", "--variant", "100"}}) {
        SimProcess sim;
        ASSERT_TRUE(sim.Launch(TOLVANE_LU_SIM_PATH, args));
        EXPECT_EQ(sim.WaitExitCode(Ms(5000)), 2) << args[0];
        sim.WaitOutputClosed(Ms(2000));
        ASSERT_FALSE(sim.ErrLines().empty()) << args[0];
        EXPECT_EQ(sim.ErrLines()[0].rfind("lu-sim: ", 0), 0u) << sim.ErrLines()[0];
        EXPECT_TRUE(sim.FirstLine().empty());
    }
}

TEST(LuSimProcess, SigintEndsItCleanly) {
    SimProcess sim;
    StartLu(sim, BaseArgs());
    EXPECT_TRUE(sim.Signal(SIGINT));
    EXPECT_EQ(sim.WaitExitCode(Ms(5000)), 0);
    sim.WaitOutputClosed(Ms(2000));
    EXPECT_TRUE(sim.WaitForLineContaining("not reached (0 of 32 words answered)", Ms(100)));
}

#endif  // TOLVANE_LU_SIM_PATH
