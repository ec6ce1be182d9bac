// Drives the built console-sim as a separate process over UDP on the loopback, with a
// client of its own built from the frame and cipher code of the library.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Idea.h"
#include "KeySys.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackDisp.h"
#include "SendDisp.h"
#include "SimProcessUtil.h"

#ifdef TOLVANE_CONSOLE_SIM_PATH

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// The tool's side of the link, reduced to what the tests need: frames enciphered with
// the key both ends derive from the shared base key, sent to the console on ::1.
class DispClient {
public:
    explicit DispClient(int port) : port_(port) {
        CIdeaKey key;
        key.Set2(L"", L"", L"", CSendDisp::m_Maska);
        ctx_.Key(key.Get());
        fd_ = socket(AF_INET6, SOCK_DGRAM, 0);
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        if (fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~DispClient() {
        if (fd_ >= 0) close(fd_);
    }
    DispClient(const DispClient&) = delete;
    DispClient& operator=(const DispClient&) = delete;

    bool Ok() const { return fd_ >= 0; }

    bool Send(CPackDisp p) {
        unsigned char out[CPackDisp::kWireSize];
        const int n = p.Encoding(out, sizeof out, &ctx_);
        if (n <= 0) return false;
        sockaddr_in6 a{};
        a.sin6_family = AF_INET6;
        a.sin6_addr = in6addr_loopback;
        a.sin6_port = htons(static_cast<uint16_t>(port_));
        return sendto(fd_, out, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&a), sizeof a) == n;
    }

    // One line packet in a SendMsg, in a frame with the given ident.
    bool SendLinePacket(int ident, int target, const CPackMes& pack) {
        CMesDisp m;
        if (!m.Create_SendMsg(target, 8, pack.len, pack.buf)) return false;
        CPackDisp p(m);
        p.SetIdent(ident);
        return Send(p);
    }

    bool Acknowledge(int ident) {
        CPackDisp p;
        const unsigned char id = static_cast<unsigned char>(ident);
        return p.AddReply(&id, 1) && Send(p);
    }

    // The next frame that deciphers to a good frame; numbered frames are acknowledged
    // at once unless told otherwise. Undecodable datagrams are counted and skipped.
    std::optional<CPackDisp> Receive(std::chrono::milliseconds timeout, bool acknowledge = true) {
        const auto end = Clock::now() + timeout;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) return std::nullopt;
            pollfd pf{fd_, POLLIN, 0};
            if (poll(&pf, 1, static_cast<int>(left)) <= 0) continue;
            unsigned char in[1024];
            const ssize_t n = recv(fd_, in, sizeof in, 0);
            if (n <= 0) continue;
            CPackDisp p;
            p.Decoding(in, static_cast<int>(n), &ctx_);
            if (!p.valid) {
                ++undecodable_;
                continue;
            }
            if (acknowledge && p.ident != 0) Acknowledge(p.ident);
            return p;
        }
    }

    // The next Msg message, skipping frames without one and repeats of a numbered frame
    // already seen.
    std::optional<CMesDisp> ReceiveMsg(std::chrono::milliseconds timeout) {
        const auto end = Clock::now() + timeout;
        while (Clock::now() < end) {
            auto p = Receive(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
            if (!p) return std::nullopt;
            if (p->ident != 0) {
                if (p->ident == lastIdent_) continue;
                lastIdent_ = p->ident;
            }
            p->BegGet();
            CMesDisp m;
            while (p->GetMes(m))
                if (m.TypMes() == CMesDisp::mesMsg) return m;
        }
        return std::nullopt;
    }

    int Undecodable() const { return undecodable_; }

private:
    int port_;
    int fd_ = -1;
    CIdeaCtx ctx_;
    int undecodable_ = 0;
    int lastIdent_ = 0;
};

bool HasReply(const CPackDisp& p, int ident) {
    int n = 0;
    const unsigned char* r = p.GetReply(n);
    for (int i = 0; i < n; ++i)
        if (r[i] == ident) return true;
    return false;
}

bool HasCloseLink(CPackDisp p) {
    p.BegGet();
    CMesDisp m;
    while (p.GetMes(m))
        if (m.TypMes() == CMesDisp::mesCloseLink) return true;
    return false;
}

// Where the tool's requests go: UM 0, slot 7, the LU at address 1, from the tool's 255/15.
const LuTarget kLu{0, 7, 1, 255, 15};

CPackMes PackOf(const std::optional<CMes>& m) {
    CPackMes p(15, 7, -1);
    if (m) p.AddMes(*m);
    return p;
}

// The messages of the line packet carried by a Msg, and its source.
std::vector<CMes> AnswersOf(const CMesDisp& msg, int& source) {
    int n = 0;
    unsigned char bytes[CMesDisp::kBufSize];
    std::vector<CMes> out;
    if (!msg.Parse_Msg(source, n, bytes, sizeof bytes)) return out;
    CPackMes pack(n, bytes, 255);
    CMes m;
    while (pack.GetMes(m)) out.push_back(m);
    return out;
}

struct Word {
    int index = -1;
    unsigned short value = 0, def = 0;
    bool hasDefault = false;
};

// Sends one read and returns the word of its answer.
std::optional<Word> ReadWord(DispClient& c, int& ident, int target, int* source = nullptr) {
    ident = ident % 255 + 1;
    if (!c.SendLinePacket(ident, target, PackOf(LuNvramReadMes(kLu)))) return std::nullopt;
    auto msg = c.ReceiveMsg(3s);
    if (!msg) return std::nullopt;
    int src = 0;
    auto answers = AnswersOf(*msg, src);
    if (source) *source = src;
    if (answers.size() != 1) return std::nullopt;
    const CMes& a = answers[0];
    Word w;
    bool isWord = false;
    if (a.typ != CMes::mesDevAnswer || a.ask != CMes::askLbNVRAM || !a.IsGood() ||
        !a.GetLbNVRAM(w.index, w.value, isWord, w.def, w.hasDefault) || !isWord)
        return std::nullopt;
    return w;
}

// Everything a test needs of one running console: the process and a client of it.
struct Launched {
    SimProcess proc;
    std::unique_ptr<DispClient> client;
    std::string error;
    bool ok = false;

    std::string Output() const {
        std::string s = proc.FirstLine() + "\n";
        for (const auto& l : proc.Lines()) s += l + "\n";
        for (const auto& l : proc.ErrLines()) s += "stderr: " + l + "\n";
        return s;
    }
    bool WaitOutput(const std::string& text, std::chrono::milliseconds timeout = 3s) const {
        return proc.WaitForLineContaining(text, timeout);
    }
    // The exit code after the signal, or -2 when the process did not end in time.
    int SignalAndWait(int sig) {
        if (!proc.Signal(sig)) return -3;
        return proc.WaitExitCode(5s).value_or(-2);
    }
};

std::unique_ptr<Launched> Launch(const std::vector<std::string>& args) {
    auto l = std::make_unique<Launched>();
    if (!l->proc.Start(TOLVANE_CONSOLE_SIM_PATH, args, 5s, &l->error)) return l;
    if (l->proc.FirstLine() != "console-sim: listening on [::1]:" + std::to_string(l->proc.Port())) {
        l->error = "first line: " + l->proc.FirstLine();
        return l;
    }
    l->client = std::make_unique<DispClient>(l->proc.Port());
    l->ok = l->client->Ok();
    return l;
}

#define ASSERT_LAUNCHED(l) ASSERT_TRUE((l)->ok) << (l)->error << "\n" << (l)->Output()

}  // namespace

TEST(ConsoleSimCommandLine, HelpNamesEveryOptionAndBadOptionsExitWithTwo) {
    {
        SimProcess p;
        std::string error;
        ASSERT_TRUE(p.Launch(TOLVANE_CONSOLE_SIM_PATH, {"--help"}, &error)) << error;
        EXPECT_EQ(p.WaitExitCode(5s).value_or(-2), 0);
        ASSERT_TRUE(p.WaitOutputClosed(5s));
        std::string out = p.FirstLine() + "\n";
        for (const auto& l : p.Lines()) out += l + "\n";
        // The console's own options and the LU's, which it shares with lu-sim.
        for (const char* opt : {"--bind", "--port", "--source", "--lift", "--console", "--close-after",
                                "--mute", "SIGUSR1", "--nvram", "--silent", "--drop"})
            EXPECT_NE(out.find(opt), std::string::npos) << opt << " missing from:\n" << out;
    }
    for (const char* bad :
         {"--port=70000", "--port=x", "--source=nobody", "--close-after=-5", "--bind=not-an-ip",
          "--no-such-option", "--lift", "--lift=0", "--type=99", "--refuse"}) {
        SimProcess p;
        std::string error;
        ASSERT_TRUE(p.Launch(TOLVANE_CONSOLE_SIM_PATH, {bad}, &error)) << error;
        EXPECT_EQ(p.WaitExitCode(5s).value_or(-2), 2) << bad;
        ASSERT_TRUE(p.WaitOutputClosed(5s));
        EXPECT_FALSE(p.ErrLines().empty()) << bad;
        EXPECT_EQ(p.FirstLine().find("listening"), std::string::npos) << bad;
    }
}

TEST(ConsoleSimCommandLine, EndsCleanlyOnSigtermAndSigintWithTheTimingReport) {
    for (int sig : {SIGTERM, SIGINT}) {
        auto l = Launch({"--port", "0"});
        ASSERT_LAUNCHED(l);
        int ident = 0;
        ASSERT_TRUE(ReadWord(*l->client, ident, 17).has_value());
        ASSERT_TRUE(l->WaitOutput("read word 0 -> "));
        EXPECT_EQ(l->SignalAndWait(sig), 0) << l->Output();
        ASSERT_TRUE(l->proc.WaitOutputClosed(5s));
        EXPECT_TRUE(l->WaitOutput("first request to answer of word 32: ", 0ms)) << l->Output();
        EXPECT_TRUE(l->proc.ErrLines().empty()) << l->Output();
    }
}

TEST(ConsoleSimLink, AcknowledgesEveryNumberedFrameAndAnswersARepeatOnlyOnce) {
    auto l = Launch({});
    ASSERT_LAUNCHED(l);
    DispClient& c = *l->client;

    // A frame without a message but with an ident is acknowledged too.
    {
        CMesDisp refresh;
        ASSERT_TRUE(refresh.Create_Refresh());
        CPackDisp p(refresh);
        p.SetIdent(9);
        ASSERT_TRUE(c.Send(p));
        bool acked = false;
        for (auto f = c.Receive(2s); f && !acked; f = acked ? std::nullopt : c.Receive(2s))
            acked = HasReply(*f, 9);
        EXPECT_TRUE(acked);
    }

    const CPackMes params = PackOf(LuDevParamsMes(kLu));
    ASSERT_TRUE(c.SendLinePacket(10, 17, params));
    ASSERT_TRUE(c.SendLinePacket(10, 17, params));  // the same frame again, as a resend
    int acks = 0, msgs = 0;
    int lastIdent = 0;
    for (auto f = c.Receive(1500ms); f; f = c.Receive(700ms)) {
        if (HasReply(*f, 10)) ++acks;
        if (f->ident != 0 && f->ident == lastIdent) continue;  // our acknowledgement got lost or was slow
        lastIdent = f->ident;
        f->BegGet();
        CMesDisp m;
        while (f->GetMes(m)) msgs += m.TypMes() == CMesDisp::mesMsg;
    }
    EXPECT_GE(acks, 2) << "the repeat must be acknowledged again";
    EXPECT_EQ(msgs, 1) << "a repeated frame is handled once";
    EXPECT_EQ(c.Undecodable(), 0);
}

TEST(ConsoleSimRelay, NvramReadComesBackInAMsgWithTheChosenSource) {
    struct Case {
        std::vector<std::string> args;
        int target;
        int expected;
        const char* line;
    };
    const Case cases[] = {
        {{"--source=lift", "--lift=17"}, 99, 17, "SendMsg to lift 99: read word 0 -> 0x"},
        {{"--source=lift"}, 23, 23, "SendMsg to lift 23: read word 0 -> 0x"},
        {{"--source", "console", "--console", "3"}, 5, 3, "SendMsg to console 5: read word 0 -> 0x"},
        {{}, 42, 42, "SendMsg to lift 42: read word 0 -> 0x"},
        {{"--source=target", "--lift=17"}, 42, 42, "SendMsg to lift 42: read word 0 -> 0x"},
        // By default a given lift code wins over the target (a tool with -I and -q addresses
        // console 0), and a given console number over the target.
        {{"--lift=17", "--console=3"}, 0, 17, "SendMsg to lift 0: read word 0 -> 0x"},
        {{"--console=0"}, 8, 0, "SendMsg to console 8: read word 0 -> 0x"},
        {{"--source=4711"}, 17, 4711, "SendMsg to lift 17: read word 0 -> 0x"},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.expected);
        auto l = Launch(k.args);
        ASSERT_LAUNCHED(l);
        int ident = 0, source = -1;
        auto w = ReadWord(*l->client, ident, k.target, &source);
        ASSERT_TRUE(w.has_value()) << l->Output();
        EXPECT_EQ(source, k.expected);
        EXPECT_GE(w->index, 0);
        EXPECT_LE(w->index, 31);
        EXPECT_TRUE(w->hasDefault) << "the tool keeps the word's default from the same answer";
        EXPECT_TRUE(l->WaitOutput(k.line)) << l->Output();
    }
}

TEST(ConsoleSimRelay, ReadsEveryWordAndDeviceParameters) {
    auto l = Launch({"--source=lift", "--lift=17"});
    ASSERT_LAUNCHED(l);
    DispClient& c = *l->client;
    int ident = 250;  // crosses the wrap from 255 to 1 on the way

    ident = ident % 255 + 1;
    ASSERT_TRUE(c.SendLinePacket(ident, 17, PackOf(LuDevParamsMes(kLu))));
    auto msg = c.ReceiveMsg(3s);
    ASSERT_TRUE(msg.has_value());
    int source = 0;
    auto answers = AnswersOf(*msg, source);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].typ, CMes::mesDevAnswer);
    EXPECT_EQ(answers[0].ask, CMes::askDevParam);
    EXPECT_TRUE(answers[0].IsGood());
    EXPECT_TRUE(answers[0].len == 14 || answers[0].len > 29) << answers[0].len;
    // Back to the tool's own address.
    EXPECT_EQ(answers[0].destNode, 255);
    EXPECT_EQ(answers[0].destSub, 15);
    EXPECT_TRUE(l->WaitOutput("SendMsg to lift 17: device parameters -> ")) << l->Output();

    std::map<int, unsigned short> words;
    for (int i = 0; i < 96 && words.size() < 32; ++i) {
        auto w = ReadWord(c, ident, 17);
        ASSERT_TRUE(w.has_value()) << "read " << i;
        words[w->index] = w->value;
    }
    EXPECT_EQ(words.size(), 32u);
    EXPECT_EQ(l->SignalAndWait(SIGTERM), 0);
    ASSERT_TRUE(l->proc.WaitOutputClosed(5s));
    std::string report;
    ASSERT_TRUE(l->proc.WaitForLineContaining("first request to answer of word 32: ", 0ms, &report));
    EXPECT_EQ(report.find("not reached"), std::string::npos) << report;
}

TEST(ConsoleSimRelay, ByteWritesAreConfirmedAndShowInTheNextReadOfTheirWord) {
    auto l = Launch({});
    ASSERT_LAUNCHED(l);
    DispClient& c = *l->client;
    int ident = 0;
    const int word = 5;

    // Learn the current value first, so the write is a change whatever the LU starts with.
    std::optional<unsigned short> before;
    for (int i = 0; i < 64 && !before; ++i) {
        auto w = ReadWord(c, ident, 17);
        ASSERT_TRUE(w.has_value());
        if (w->index == word) before = w->value;
    }
    ASSERT_TRUE(before.has_value());
    const uint16_t want = static_cast<uint16_t>(*before ^ 0xA55A);

    // Both bytes in one line packet, low byte first, as the tool sends them.
    CPackMes pack(15, 7, -1);
    auto lo = LuByteWriteMes(kLu, 2 * word, static_cast<unsigned char>(want & 0xFF));
    auto hi = LuByteWriteMes(kLu, 2 * word + 1, static_cast<unsigned char>(want >> 8));
    ASSERT_TRUE(lo && hi);
    ASSERT_TRUE(pack.AddMes(*lo));
    ASSERT_TRUE(pack.AddMes(*hi));
    ident = ident % 255 + 1;
    ASSERT_TRUE(c.SendLinePacket(ident, 17, pack));

    // The answers of both writes come back together, in order, in one line packet.
    auto msg = c.ReceiveMsg(3s);
    ASSERT_TRUE(msg.has_value());
    int source = 0;
    auto answers = AnswersOf(*msg, source);
    ASSERT_EQ(answers.size(), 2u);
    int index = -1;
    unsigned short value = 0;
    bool isWord = false;
    ASSERT_TRUE(answers[1].GetLbNVRAM(index, value, isWord));
    EXPECT_TRUE(isWord);
    EXPECT_EQ(index, word);
    EXPECT_EQ(value, want);
    char text[64];
    std::snprintf(text, sizeof text, "SendMsg to lift 17: write byte 11 := 0x%02X", want >> 8);
    EXPECT_TRUE(l->WaitOutput(text)) << text << "\n" << l->Output();

    bool seen = false;
    for (int i = 0; i < 64 && !seen; ++i) {
        auto w = ReadWord(c, ident, 17);
        ASSERT_TRUE(w.has_value());
        if (w->index == word) {
            seen = true;
            EXPECT_EQ(w->value, want);
        }
    }
    EXPECT_TRUE(seen);
}

// Waits for a frame holding CloseLink; other frames are acknowledged and skipped.
bool WaitCloseLink(DispClient& c, std::chrono::milliseconds timeout) {
    const auto end = Clock::now() + timeout;
    while (Clock::now() < end) {
        auto f = c.Receive(std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()));
        if (!f) return false;
        if (HasCloseLink(*f)) return true;
    }
    return false;
}

TEST(ConsoleSimClose, SendsCloseLinkAfterTheGivenTime) {
    auto l = Launch({"--close-after=400"});
    ASSERT_LAUNCHED(l);
    int ident = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(ReadWord(*l->client, ident, 17).has_value());
    EXPECT_TRUE(WaitCloseLink(*l->client, 3s));
    const auto took = Clock::now() - start;
    EXPECT_GE(took, 380ms);
    EXPECT_LT(took, 3s);
    EXPECT_TRUE(l->WaitOutput("CloseLink sent to [::1]:")) << l->Output();
    // A closed link takes no more requests.
    ASSERT_TRUE(l->client->SendLinePacket(ident % 255 + 1, 17, PackOf(LuNvramReadMes(kLu))));
    EXPECT_FALSE(l->client->ReceiveMsg(500ms).has_value());
    EXPECT_EQ(l->SignalAndWait(SIGTERM), 0);
}

TEST(ConsoleSimClose, SendsCloseLinkOnSigusr1AndGoesOnServingNewLinks) {
    auto l = Launch({});
    ASSERT_LAUNCHED(l);
    int ident = 0;
    ASSERT_TRUE(ReadWord(*l->client, ident, 17).has_value());
    // Nothing closes the link on its own.
    EXPECT_FALSE(WaitCloseLink(*l->client, 400ms));
    ASSERT_TRUE(l->proc.Signal(SIGUSR1));
    EXPECT_TRUE(WaitCloseLink(*l->client, 3s));

    // A tool started anew comes from another port and gets a link of its own.
    DispClient second(l->proc.Port());
    ASSERT_TRUE(second.Ok());
    int ident2 = 0;
    EXPECT_TRUE(ReadWord(second, ident2, 17).has_value());
    EXPECT_EQ(l->SignalAndWait(SIGTERM), 0);
}

TEST(ConsoleSimClose, ACloseLinkFromTheToolEndsItsLinkWithoutAnswer) {
    auto l = Launch({});
    ASSERT_LAUNCHED(l);
    DispClient& c = *l->client;
    int ident = 0;
    ASSERT_TRUE(ReadWord(c, ident, 17).has_value());
    CMesDisp close;
    ASSERT_TRUE(close.Create_CloseLink());
    ASSERT_TRUE(c.Send(CPackDisp(close)));
    EXPECT_TRUE(l->WaitOutput("closed: CloseLink from the tool")) << l->Output();
    ASSERT_TRUE(c.SendLinePacket(ident % 255 + 1, 17, PackOf(LuNvramReadMes(kLu))));
    EXPECT_FALSE(c.Receive(500ms).has_value()) << "a closed link neither acknowledges nor answers";
    EXPECT_EQ(l->SignalAndWait(SIGTERM), 0);
    ASSERT_TRUE(l->proc.WaitOutputClosed(5s));
    EXPECT_FALSE(l->WaitOutput("CloseLink sent", 0ms)) << "the tool that closed is not told again";
}

TEST(ConsoleSimFaults, DelayedAnswersFollowAnImmediateAcknowledgement) {
    auto l = Launch({"--delay", "300"});
    ASSERT_LAUNCHED(l);
    DispClient& c = *l->client;
    const auto start = Clock::now();
    ASSERT_TRUE(c.SendLinePacket(1, 17, PackOf(LuNvramReadMes(kLu))));
    std::optional<Clock::duration> acked, answered;
    for (auto f = c.Receive(3s); f && !answered; f = answered ? std::nullopt : c.Receive(3s)) {
        if (!acked && HasReply(*f, 1)) acked = Clock::now() - start;
        f->BegGet();
        CMesDisp m;
        while (f->GetMes(m))
            if (m.TypMes() == CMesDisp::mesMsg) answered = Clock::now() - start;
    }
    ASSERT_TRUE(acked.has_value());
    ASSERT_TRUE(answered.has_value());
    // The link keeps its pace; only the LU's answer is late.
    EXPECT_LT(*acked, 250ms);
    EXPECT_GE(*answered, 290ms);
}

TEST(ConsoleSimFaults, DatagramsTakenTwiceAreHandledOnce) {
    auto l = Launch({"--dup-in", "100", "--seed", "7"});
    ASSERT_LAUNCHED(l);
    DispClient& c = *l->client;
    int ident = 0;
    // Every read reaches the LU once: the words come in order, none skipped.
    for (int i = 0; i < 4; ++i) {
        auto w = ReadWord(c, ident, 17);
        ASSERT_TRUE(w.has_value());
        EXPECT_EQ(w->index, i);
    }
    EXPECT_FALSE(c.ReceiveMsg(300ms).has_value());
    EXPECT_EQ(l->SignalAndWait(SIGTERM), 0);
    ASSERT_TRUE(l->proc.WaitOutputClosed(5s));
    EXPECT_TRUE(l->WaitOutput("faults: in: 0 dropped, ", 0ms)) << l->Output();
}

TEST(ConsoleSimMute, NeitherAcknowledgesNorAnswers) {
    auto l = Launch({"--mute"});
    ASSERT_LAUNCHED(l);
    ASSERT_TRUE(l->client->SendLinePacket(1, 17, PackOf(LuNvramReadMes(kLu))));
    ASSERT_TRUE(l->client->SendLinePacket(2, 17, PackOf(LuDevParamsMes(kLu))));
    EXPECT_FALSE(l->client->Receive(800ms).has_value());
    EXPECT_TRUE(l->WaitOutput("mute: ", 0ms)) << l->Output();
    EXPECT_EQ(l->SignalAndWait(SIGTERM), 0);
}

#else

TEST(ConsoleSim, NotBuilt) {
    GTEST_SKIP() << "console-sim is not part of this build";
}

#endif
