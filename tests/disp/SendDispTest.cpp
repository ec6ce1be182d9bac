// The parts of the dispatcher sender that need no thread: the acknowledgement list, the
// idents, the CRC-32, and the interpretation of received frames, with the datagrams
// captured instead of sent.

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <vector>

#include "DispPeerUtil.h"
#include "SendDisp.h"
#include "Xml.h"
#include "utilities.h"

namespace {

// A sender whose datagrams stay in memory; HandlingData records the frames it gets.
class CapturingSender : public CSendDisp {
public:
    explicit CapturingSender(int mode, const DBGUID* guid = nullptr)
        : CSendDisp(nullptr, LocalHostIPv6(), 4000, mode, guid) {}
    ~CapturingSender() override { Shutdown(); }

    void LogSend(const in6_addr&, int, const CPackDisp&) override {}
    void LogReceive(const in6_addr&, int, const CPackDisp&) override { ++received; }
    void BadPut(const wchar_t* text) override { errors.emplace_back(text); }
    void BadPutErr(const wchar_t* text, int code) override { errors.push_back(CBaseLogText(text, code)); }
    void BadPutMes(const wchar_t* text, const unsigned char*, int) override { errors.emplace_back(text); }
    int Send(const unsigned char* data, int n, const in6_addr&, int) override {
        if (fail) {
            errno = EHOSTUNREACH;
            return -1;
        }
        sent.emplace_back(data, data + n);
        return n;
    }
    void Disconnect(const in6_addr&, int) override {}
    void HandlingData(CPackDisp& p) override { handled.push_back(Codes(p)); }

    static std::wstring CBaseLogText(const wchar_t* text, int code) {
        return std::wstring(text) + L" " + std::to_wstring(code);
    }

    // The captured datagram i, deciphered.
    CPackDisp Sent(std::size_t i) const {
        CPackDisp p;
        const CIdeaCtx ctx = LinkCipher();
        p.Decoding(sent.at(i).data(), static_cast<int>(sent.at(i).size()), &ctx);
        return p;
    }

    // A frame of the console, enciphered and handed in as the receiver would.
    void Receive(const CPackDisp& frame) {
        CPackDisp p = frame;
        unsigned char out[CPackDisp::kWireSize + 1];
        const CIdeaCtx ctx = LinkCipher();
        const int n = p.Encoding(out, sizeof out, &ctx);
        ASSERT_GT(n, 0);
        Handling(out, n);
    }

    bool fail = false;
    int received = 0;
    std::vector<std::vector<unsigned char>> sent;
    std::vector<std::vector<int>> handled;
    std::vector<std::wstring> errors;
};

CMesDisp Msg(int source) {
    const unsigned char line[3] = {1, 2, 3};
    CMesDisp m;
    m.Create_Msg(source, 3, line);
    return m;
}

TEST(ReplyForSend, KeepsFourteenIdentsAndMarksARepeatToBeAcknowledgedAgain) {
    CSendDisp::CReplyForSend r;
    EXPECT_FALSE(r.ExistNoSendReply());
    for (int id = 1; id <= 15; ++id) EXPECT_TRUE(r.Add(id));
    EXPECT_EQ(r.Size(), 14u);
    // Ident 1 was dropped as the oldest, so it counts as new again.
    EXPECT_TRUE(r.Add(1));
    EXPECT_FALSE(r.Add(15));

    CPackDisp p;
    r.AddReplyToPack(p);
    int n = 0;
    const unsigned char* ids = p.GetReply(n);
    ASSERT_EQ(n, 14);  // a frame carries at most fifteen
    EXPECT_EQ(ids[0], 3);
    EXPECT_EQ(ids[13], 1);
    EXPECT_FALSE(r.ExistNoSendReply());

    EXPECT_FALSE(r.Add(7));
    EXPECT_TRUE(r.ExistNoSendReply());
    CPackDisp q;
    r.AddReplyToPack(q);
    EXPECT_EQ(Acks(q), std::vector<unsigned char>{7});
    r.Clear();
    EXPECT_EQ(r.Size(), 0u);
}

TEST(ReplyForSend, AFullFrameTakesWhatFitsAndLeavesTheRestDue) {
    CSendDisp::CReplyForSend r;
    for (int id = 1; id <= 3; ++id) r.Add(id);
    CPackDisp p;
    const unsigned char twelve[12] = {200, 201, 202, 203, 204, 205, 206, 207, 208, 209, 210, 211};
    ASSERT_TRUE(p.AddReply(twelve, 12));
    const unsigned char one[1] = {212};
    ASSERT_TRUE(p.AddReply(one, 1));
    r.AddReplyToPack(p);
    int n = 0;
    p.GetReply(n);
    EXPECT_EQ(n, 15);
    EXPECT_TRUE(r.ExistNoSendReply());
}

TEST(SendDisp, IdentsWrapFrom255ToOneAndNeverGiveZero) {
    CapturingSender s(1);
    for (int i = 1; i <= 255; ++i) ASSERT_EQ(s.NextIdent(), i);
    EXPECT_EQ(s.NextIdent(), 1);
    EXPECT_EQ(s.NextIdent(), 2);
}

TEST(SendDisp, Crc32TakesEachCharacterAsTwoBytesLowFirst) {
    // The standard check value of "123456789" in UTF-16LE.
    EXPECT_EQ(CSendDisp::CRC32(DBString(L"123456789")), 0xA290E877u);
    EXPECT_EQ(CSendDisp::CRC32(DBString()), 0u);
}

TEST(SendDisp, ModeTwoStampsEveryFrameWithTimeAndConnection) {
    const DBGUID guid = CSendDisp::GenIDConnect();
    ASSERT_FALSE(guid.IsNul());
    CapturingSender two(2, &guid);
    CPackDisp p(NumberedMes(4));
    const long before = static_cast<long>(std::time(nullptr));
    ASSERT_TRUE(two.SendSocket(p));
    ASSERT_EQ(two.sent.size(), 1u);
    const CPackDisp got = two.Sent(0);
    ASSERT_TRUE(got.valid);
    EXPECT_EQ(Codes(got), (std::vector<int>{CMesDisp::mesSendMsg, CMesDisp::mesTimeAndGUID}));
    long t = 0;
    DBGUID g;
    ASSERT_TRUE(got.GetTimeAndGUID(t, g));
    EXPECT_GE(t, before);
    EXPECT_LE(t, before + 5);
    EXPECT_EQ(g, guid);

    CapturingSender one(1);
    ASSERT_TRUE(one.SendSocket(p));
    EXPECT_EQ(Codes(one.Sent(0)), std::vector<int>{CMesDisp::mesSendMsg});
}

TEST(SendDisp, AnEmptyFrameGoesOutOnlyWhenItCarriesAnAcknowledgement) {
    CapturingSender s(1);
    ASSERT_TRUE(s.SendSocket(CPackDisp()));
    EXPECT_TRUE(s.sent.empty());
    s.MngIdentInp(9);
    s.SendReply();
    ASSERT_EQ(s.sent.size(), 1u);
    EXPECT_EQ(Acks(s.Sent(0)), std::vector<unsigned char>{9});
    EXPECT_EQ(s.Sent(0).ident, 0);
    s.SendReply();
    EXPECT_EQ(s.sent.size(), 1u);
}

TEST(SendDisp, AFailedSendIsReportedAndReturnsFalse) {
    CapturingSender s(1);
    s.fail = true;
    CPackDisp p(NumberedMes(1));
    EXPECT_FALSE(s.SendSocket(p));
    ASSERT_EQ(s.errors.size(), 1u);
    EXPECT_EQ(s.errors[0], CapturingSender::CBaseLogText(L"CSendDisp::SendSocket: Send()", EHOSTUNREACH));
}

TEST(SendDisp, HandlingAcknowledgesNumberedFramesAndFiltersRepeats) {
    CapturingSender s(1);
    s.Receive(PeerFrame({Msg(1)}, 4));
    ASSERT_EQ(s.handled.size(), 1u);
    ASSERT_EQ(s.sent.size(), 1u);
    EXPECT_EQ(Acks(s.Sent(0)), std::vector<unsigned char>{4});

    s.Receive(PeerFrame({Msg(1)}, 4));
    EXPECT_EQ(s.handled.size(), 1u);
    ASSERT_EQ(s.sent.size(), 2u);
    EXPECT_EQ(Acks(s.Sent(1)), std::vector<unsigned char>{4});

    // Without an ident: handled every time, acknowledged never.
    s.Receive(PeerFrame({Msg(1)}, 0));
    s.Receive(PeerFrame({Msg(1)}, 0));
    EXPECT_EQ(s.handled.size(), 3u);
    EXPECT_EQ(s.sent.size(), 2u);

    // A frame that fails its check sum is not even logged.
    CPackDisp bad = PeerFrame({Msg(1)}, 5);
    unsigned char out[CPackDisp::kWireSize + 1];
    const CIdeaCtx ctx = LinkCipher();
    const int n = bad.Encoding(out, sizeof out, &ctx);
    out[3] ^= 0x40;
    s.Handling(out, n);
    EXPECT_EQ(s.received, 4);
    EXPECT_EQ(s.handled.size(), 3u);
}

TEST(SendDisp, AFrameUnderAnotherKeyIsDropped) {
    CapturingSender s(1);
    s.Connect(L"operator", L"secret", L"");
    s.Receive(PeerFrame({Msg(1)}, 1));
    EXPECT_EQ(s.received, 0);
    EXPECT_TRUE(s.handled.empty());
}

TEST(SendDisp, ChangeUserKeyDependsOnTheNewCredentialsAndTheBaseKey) {
    const CIdeaKey a = CSendDisp::ChangeUserKey(L"anna", L"pw1");
    const CIdeaKey b = CSendDisp::ChangeUserKey(L"anna", L"pw2");
    const CIdeaKey c = CSendDisp::ChangeUserKey(L"anna", L"pw1");
    EXPECT_NE(std::vector<unsigned char>(a.Get(), a.Get() + 16),
              std::vector<unsigned char>(b.Get(), b.Get() + 16));
    EXPECT_EQ(std::vector<unsigned char>(a.Get(), a.Get() + 16),
              std::vector<unsigned char>(c.Get(), c.Get() + 16));
    CIdeaKey plain;
    plain.Set2(L"", L"", L"", CSendDisp::m_Maska);
    EXPECT_EQ(std::vector<unsigned char>(plain.Get(), plain.Get() + 16),
              std::vector<unsigned char>(CSendDisp::m_Maska, CSendDisp::m_Maska + 16));
}

TEST(SendDisp, RequestsOfAStoppedSenderFailWithTheirTexts) {
    CapturingSender s(1);
    s.SetAnswerWait(30);
    DBString text;
    try {
        s.TypLU(1, text);
        ADD_FAILURE() << "no failure";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), DBString(L"Not receive TypLU"));
    }
    int result = 0;
    try {
        s.SaveStruct(L"<s/>", result);
        ADD_FAILURE() << "no failure";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), DBString(L"Not delivered struct"));
    }
    int more = 0;
    CSostDev::bitLB bit = CSostDev::bitMaintenance;
    try {
        s.NextSost(1, more, text, bit);
        ADD_FAILURE() << "no failure";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), DBString(L"Not receive NextSost"));
    }
    EXPECT_EQ(s.PendingAsks(), 0u);
}

}  // namespace
