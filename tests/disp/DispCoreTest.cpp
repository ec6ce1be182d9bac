// The dispatcher link's protocol cores on a fake clock with a recording link, and the
// sender's handling of frames with its datagrams captured instead of sent.

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "DispPeerUtil.h"
#include "SendDisp.h"
#include "Xml.h"

namespace {

// Runs a script against a window core on a fake clock. Words: P, P7 put one or seven
// frames with a message; E an empty frame; V a voice frame; A3,5 a frame of the console
// acknowledging 3 and 5 (A: one acknowledging nothing); T2000 the shell's 500 ms ticks up
// to that time; F the next send fails; S the window stops; N254 254 idents go unused.
// `sent` gets "ident@ms " per datagram ("!" in front when its send failed); the answer
// is the idents outstanding, then the frames given up, linkLost calls and refused puts.
std::string RunWind(const std::string& script, std::string& sent) {
    int64_t now = 0;
    bool fail = false;
    int reported = 0, refused = 0;
    CDispWindCore core({[&](const CPackDisp& p) {
                            sent +=
                                (fail ? "!" : "") + std::to_string(p.ident) + "@" + std::to_string(now) + " ";
                            return !std::exchange(fail, false);
                        },
                        [&] { ++reported; }});
    core.Start(0);
    auto put = [&](CPackDisp p) { refused += core.Put(p) ? 0 : 1; };
    std::istringstream words(script);
    for (std::string w; words >> w;) {
        const char op = w[0];
        const std::string arg = w.substr(1);
        CMesDisp voice;
        voice.Create_Voice(1, 1, 1, reinterpret_cast<const unsigned char*>("v"));
        for (int i = 0; op == 'P' && i < (arg.empty() ? 1 : std::stoi(arg)); ++i)
            put(CPackDisp(NumberedMes(i)));
        if (op == 'E' || op == 'V') put(op == 'E' ? CPackDisp() : CPackDisp(voice));
        std::vector<unsigned char> ids;
        std::istringstream list(arg);
        for (int id; op == 'A' && list >> id; list.ignore()) ids.push_back(static_cast<unsigned char>(id));
        if (op == 'A') core.Acknowledge(static_cast<int>(ids.size()), ids.data());
        while (op == 'T' && (now / 500 + 1) * 500 <= std::stoi(arg)) core.Update(now = (now / 500 + 1) * 500);
        if (op == 'T') now = std::stoi(arg);
        for (int i = 0; op == 'N' && i < std::stoi(arg); ++i) core.NextIdent();
        if (op == 'F') fail = true;
        if (op == 'S') core.Stop();
    }
    std::string state = "[";
    for (int id : core.Idents()) state += (state.size() > 1 ? " " : "") + std::to_string(id);
    return state + "] " + std::to_string(core.Lost()) + " " + std::to_string(reported) + " " +
           std::to_string(refused);
}

TEST(DispWindCore, RepeatsAcknowledgementsAndGivingUp) {
    const std::string seven = "1@0 2@0 3@0 4@0 5@0 6@0 7@0 ",
                      six = "1@0 1@2000 1@4000 1@6000 1@8000 1@10000 ";
    // script, datagrams ("*": not compared), "[outstanding] given up, reported, refused"
    const std::vector<std::array<std::string, 3>> cases = {
        {"P T10000", six, "[1] 0 0 0"},  // an unanswered frame goes out six times, 2000 ms apart
        {"P T10500", six, "[] 1 0 0"},   // and is given up at the next tick
        {"T250 P T2500", "1@250 1@2000 ", "[1] 0 0 0"},  // counted from the tick before it
        {"P8", seven, "[1 2 3 4 5 6 7] 0 0 1"},          // seven in flight: no room for an eighth
        {"P8 A1 P", seven + "8@0 ", "[2 3 4 5 6 7 8] 0 0 1"},
        {"P5 A1,2 T500 A5 T1000", "1@0 2@0 3@0 4@0 5@0 3@1000 4@1000 ", "[3 4] 0 0 0"},  // 3, 4 hurried
        {"P A9 T2000", "1@0 1@2000 ", "[1] 0 0 0"},       // an unknown ident changes nothing
        {"N254 P2", "255@0 1@0 ", "[255 1] 0 0 0"},       // 255 is followed by 1
        {"F P T500", "!1@0 1@500 ", "[1] 0 0 1"},         // a failed first send is kept, due at once
        {"E V T4000", "0@0 0@0 ", "[] 0 0 0"},            // no messages or voice: once, unnumbered
        {"S P T2000", "", "[] 0 0 0"},                    // a stopped window sends nothing
        {"P7 T10500 P3 T21000", "*", "[] 10 0 0"},        // ten given up are not yet a lost link
        {"P7 T10500 P4 T21000 T40000", "*", "[] 0 1 0"},  // eleven are, reported once
        {"P7 T10500 A P4 T21000", "*", "[] 4 0 0"},       // a sign of life starts the count again
        {"P7 T10500 P4 A8 T21000", "*", "[] 3 0 0"},      // so does an acknowledgement
    };
    for (const auto& [script, datagrams, state] : cases) {
        std::string sent;
        EXPECT_EQ(RunWind(script, sent), state) << script;
        EXPECT_EQ(datagrams == "*" ? "*" : sent, datagrams) << script;
    }
}

CMesDisp Msg() {
    CMesDisp m;
    m.Create_Msg(1, 3, reinterpret_cast<const unsigned char*>("msg"));
    return m;
}

// Frames of the console numbered by the script ("1o": ident 1 with OpenLinkEx; "c": the
// link starts again) go to a sender, which writes "+" when it handles one and "-" when
// not, then the idents its answer acknowledges.
std::string RunReceived(const std::string& script) {
    CapturingSender s;
    CMesDisp open;
    open.Create_OpenLinkEx(nullptr, -1, 0, 0);
    std::string out;
    std::istringstream words(script);
    for (std::string w; words >> w;) {
        const int handled = s.handled;
        const std::size_t sent = s.sent.size();
        if (w == "c") s.Replies().Clear();
        if (w == "c") continue;
        s.Receive(w.ends_with("o") ? PeerFrame({open, Msg()}, std::stoi(w))
                                   : PeerFrame({Msg()}, std::stoi(w)));
        out += s.handled > handled ? "+" : "-";
        for (std::size_t i = sent; i < s.sent.size(); ++i)
            for (unsigned char a : Acks(s.sent[i])) out += std::to_string(a);
        out += " ";
    }
    return out;
}

TEST(SendDisp, ReceivedFramesAreHandledOnceAndAcknowledgedEachTime) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"4 4 0 0", "+4 -4 + + "},  // unnumbered: handled each time, never acknowledged
        {"1 2 1", "+1 +2 -1 "},     // a late copy is still known
        {"1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 1 3",
         "+1 +2 +3 +4 +5 +6 +7 +8 +9 +10 +11 +12 +13 +14 +15 +1 -3 "},  // the fourteen latest are known
        {"1 2 3 1o 2", "+1 +2 +3 +1 +2 "},  // OpenLinkEx on ident 1: the numbering starts again
        {"1 2 3 1 2", "+1 +2 +3 -1 -2 "},   // without it, ident 1 is a repeat
        {"1o 1o", "+1 -1 "},                // and so is the copy right behind it
        {"1 1o", "+1 -1 "},
        {"1 c 1", "+1 +1 "},  // a new start forgets the idents
    };
    for (const auto& [script, expected] : cases) EXPECT_EQ(RunReceived(script), expected) << script;

    // Due acknowledgements ride on the next frame; an empty frame with none stays home.
    CapturingSender s;
    s.MngIdentInp(6);
    ASSERT_TRUE(s.SendSocket(CPackDisp(NumberedMes(1))) && s.SendSocket(CPackDisp()));
    ASSERT_EQ(s.sent.size(), 1u);
    EXPECT_EQ(Acks(s.sent[0]), std::vector<unsigned char>{6});
    // A spoilt datagram and one under another key are dropped before they are logged.
    s.Receive(PeerFrame({Msg()}, 7), 3);
    s.Connect(L"operator", L"secret", L"");
    s.Receive(PeerFrame({Msg()}, 8));
    EXPECT_EQ(s.received + s.handled, 0);
}

TEST(SendDisp, DefaultsOfTheShellsAndFailureTexts) {
    CapturingSender s;
    EXPECT_EQ(s.Window().GetTick(), 500);
    EXPECT_EQ(s.Window().GetResendInterval(), 2000);
    EXPECT_EQ(s.GetAnswerWait(), 15000);
    s.fail = true;
    EXPECT_FALSE(s.SendSocket(CPackDisp(NumberedMes(1))));
    EXPECT_EQ(s.errors,
              std::vector<std::wstring>{L"CSendDisp::SendSocket: Send()" + std::to_wstring(EHOSTUNREACH)});
    // A request of a stopped sender gets no answer within the wait.
    s.SetAnswerWait(30);
    DBString text;
    EXPECT_THROW(s.TypLU(1, text), ErrorXML);
    EXPECT_EQ(s.PendingAsks(), 0u);
}

}  // namespace
