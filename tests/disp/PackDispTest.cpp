#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <list>
#include <set>
#include <vector>

#include "Idea.h"
#include "PackDisp.h"
#include "SendDisp.h"

namespace {

using Bytes = std::vector<unsigned char>;

// A datagram written by hand: the header (with `claimed` replies, unless -1), the records,
// the reply bytes, the CRC low byte first (pinned by the check value and the empty frame).
Bytes Frame(int ident, const Bytes& records, const Bytes& replies = {}, int claimed = -1) {
    const auto n = static_cast<unsigned char>(claimed >= 0 ? claimed : replies.size());
    Bytes f = {0, 0, static_cast<unsigned char>(ident), static_cast<unsigned char>(0x10 | n)};
    f.insert(f.end(), records.begin(), records.end());
    f.insert(f.end(), replies.begin(), replies.end());
    f[0] = static_cast<unsigned char>(f.size());
    f[1] = static_cast<unsigned char>(f.size() >> 8);
    const uint16_t crc = CPackDisp::Crc16(f.data(), static_cast<int>(f.size()));
    f.insert(f.end(), {static_cast<unsigned char>(crc), static_cast<unsigned char>(crc >> 8)});
    return f;
}

const auto Wire = [](const CPackDisp& p) { return Bytes(p.Data(), p.Data() + p.Len() + 2); };

CPackDisp Decoded(const Bytes& wire, const CIdeaCtx* ctx = nullptr) {
    CPackDisp p;
    p.Decoding(wire.data(), static_cast<int>(wire.size()), ctx);
    return p;
}

// The payload sizes of a frame's messages.
std::vector<int> Sizes(CPackDisp p) {
    std::vector<int> sizes;
    CMesDisp m;
    for (p.BegGet(); p.GetMes(m);) sizes.push_back(m.Len() - 3);
    return sizes;
}

CMesDisp Message(int code, int payload) {
    CMesDisp m;
    m.SetTypMes(code);
    m.Add(nullptr, payload);
    return m;
}

const CIdeaCtx kCtx(CSendDisp::m_Maska);

}  // namespace

TEST(DispFrame, BytesAsWrittenByHand) {
    CPackDisp p;
    EXPECT_EQ(Wire(p), (Bytes{0x04, 0x00, 0x00, 0x10, 0xC0, 0xD8}));
    EXPECT_EQ(p.ToString(L"S"), DBString(L"S 04 00 00 10"));
    EXPECT_EQ(CPackDisp::Crc16(reinterpret_cast<const unsigned char*>("123456789"), 9), 0x31C3);
    CPackDisp q(Message(CMesDisp::mesCloseLink, 0));
    ASSERT_TRUE(q.SetIdent(200) && q.AddReply(Bytes{7, 9}.data(), 2));
    EXPECT_EQ(Wire(q), Frame(200, {3, 0, 27}, {7, 9}));
    q.DelIdent();
    EXPECT_FALSE(q.SetIdent(256) || q.SetIdent(-1));
    // A message added behind reply bytes goes in front of them.
    ASSERT_TRUE(q.AddMes(Message(CMesDisp::mesRefresh, 0)));
    EXPECT_EQ(Wire(q), Frame(0, {3, 0, 27, 3, 0, 9}, {7, 9}));
    // A lone place holder gives way; one that is not alone stays.
    CPackDisp holder{CMesDisp()}, two = Decoded(Frame(0, {2, 0, 3, 0, 9}));
    EXPECT_EQ(Wire(holder), Frame(0, {2, 0}));
    ASSERT_TRUE(holder.AddMes(Message(CMesDisp::mesCloseLink, 0)) &&
                two.AddMes(Message(CMesDisp::mesCloseLink, 0)));
    EXPECT_EQ(Wire(holder), Frame(0, {3, 0, 27}));
    EXPECT_EQ(Wire(two), Frame(0, {2, 0, 3, 0, 9, 3, 0, 27}));
}

TEST(DispFrame, DatagramsAreWalkedOrRefusedWhole) {
    const Bytes good = Frame(3, {3, 0, 9, 3, 0, 27});
    Bytes badCrc = good, cut = good;
    badCrc.back() ^= 1;
    cut.pop_back();                        // the last CRC byte is missing: nothing stale may stand in for it
    Bytes big(CPackDisp::kMaxMessage, 0);  // one record filling the largest frame
    big[0] = CPackDisp::kMaxMessage & 0xFF;
    big[1] = CPackDisp::kMaxMessage >> 8;
    big[2] = CMesDisp::mesNotif;
    Bytes tooLong = Frame(1, big);
    tooLong.push_back(0);
    // The wire, then the payload sizes of the messages walked, or -1 for a refused frame.
    std::vector<std::pair<Bytes, std::vector<int>>> cases = {
        {good, {0, 0}},
        {Frame(5, {3, 0, 9}, {3, 0, 27}), {0}},  // reply bytes that would read as CloseLink
        {Frame(0, {2, 0, 3, 0, 9, 2, 0, 2, 0, 4, 0, 27, 1}), {0, 1}},  // place holders
        {Frame(1, big), {}},  // 514 bytes: good, but longer than any message
    };
    for (const Bytes& bad : {tooLong, Frame(0, {3, 0, 9, 1, 0}), Frame(0, {9, 0, 9}),
                             Frame(0, {5, 0, 9}, {1, 2}), Frame(0, {}, {}, 3), badCrc, cut, Bytes{4, 0, 0}})
        cases.push_back({bad, {-1}});
    for (const auto& [wire, sizes] : cases) {
        CPackDisp p = Decoded(good);
        p.Decoding(wire.data(), static_cast<int>(wire.size()), nullptr);
        EXPECT_EQ(p.valid ? Sizes(p) : std::vector<int>{-1}, sizes) << wire.size();
        EXPECT_TRUE(p.valid || p.Len() == CPackDisp::kHeadSize);  // nothing stale stays
    }
    // 65 blocks have room for a length up to 518 and a CRC behind it, which must not be
    // believed: the frame buffer ends at 514 bytes.
    for (int f : {514, 517}) {
        Bytes plain(520, 0);
        for (int i = 4; i < f; i += 2) plain[i] = 2;  // place holders
        plain[0] = f & 0xFF;
        plain[1] = static_cast<unsigned char>(f >> 8);
        plain[3] = 0x10;
        const uint16_t c = CPackDisp::Crc16(plain.data(), f);
        plain[f] = c & 0xFF;
        plain[f + 1] = c >> 8;
        kCtx.Encrypt(plain.data(), plain.data(), 65);
        EXPECT_FALSE(Decoded(plain, &kCtx).valid) << f;
    }
}

TEST(DispFrame, SizeLimitsLeaveTheFrameUnchanged) {
    // 508 bytes of messages make F = 512 exactly.
    CPackDisp p(Message(CMesDisp::mesNotif, CMesDisp::kBufSize - 3));
    ASSERT_TRUE(p.AddMes(Message(CMesDisp::mesNotif, 508 - CMesDisp::kBufSize - 3)));
    const Bytes full = Wire(p);
    EXPECT_FALSE(p.AddMes(Message(CMesDisp::mesRefresh, 0)) || p.AddReply(Bytes{1}.data(), 1));
    EXPECT_EQ(Wire(p), full);
    // With reply bytes the frame must stay below 512; there are fifteen at most.
    CPackDisp q(Message(CMesDisp::mesNotif, CMesDisp::kBufSize - 3));
    ASSERT_TRUE(q.AddReply(Bytes{4, 5}.data(), 2));
    EXPECT_FALSE(q.AddMes(Message(CMesDisp::mesNotif, 512 - 496 - 3)));
    EXPECT_TRUE(q.AddMes(Message(CMesDisp::mesNotif, 511 - 496 - 3)));
    const Bytes ids(16, 1);
    CPackDisp s;
    EXPECT_FALSE(s.AddReply(ids.data(), 16));
    EXPECT_TRUE(s.AddReply(ids.data(), 15) && s.Data()[3] == 0x1F);
    EXPECT_FALSE(s.AddReply(ids.data(), 1));
}

TEST(DispFrame, QueuedFramesMergeWhereTheyFitWholeAndInOrder) {
    // The queue, the frame taken, the queue left; frames as the payload sizes of their messages.
    using Frames = std::vector<std::vector<int>>;
    const std::vector<std::array<Frames, 3>> cases = {
        {Frames{{5}, {6}, {7}}, Frames{{5, 6, 7}}, Frames{}},
        {Frames{{400}, {40, 60, 0}}, Frames{{400, 40}}, Frames{{60, 0}}},  // the 0 may not pass the 60
        {Frames{{400}, {200}, {5}}, Frames{{400}}, Frames{{200}, {5}}},    // one that gives nothing ends it
    };
    for (const auto& [queued, taken, left] : cases) {
        std::list<CPackDisp> queue;
        for (const auto& frame : queued) {
            queue.emplace_back();
            for (int n : frame) queue.back().AddMes(Message(CMesDisp::mesNotif, n));
            queue.back().SetIdent(9);
        }
        EXPECT_EQ(Sizes(CSendDisp::TakeMerged(queue)), taken[0]);
        Frames rest;
        for (const CPackDisp& p : queue) rest.push_back(Sizes(p));
        EXPECT_EQ(rest, left);
        for (const CPackDisp& p : queue) EXPECT_TRUE(p.TestCRC() && p.Data()[2] == 9);
    }
}

TEST(DispFrame, CipherPadsToBlocksAddsRandomTailsAndRefusesOtherKeys) {
    const unsigned char other[16] = {1};
    const CIdeaCtx wrong(other);
    std::set<int> tails;
    for (int payload = 0; payload <= CMesDisp::kBufSize - 3; payload += 7) {
        CPackDisp p(Message(CMesDisp::mesNotif, payload));
        unsigned char out[CPackDisp::kWireSize];
        const int n = p.Encoding(out, sizeof out, &kCtx);
        tails.insert(n - (p.Len() + 2 + 7) / 8 * 8);
        EXPECT_EQ(Wire(Decoded(Bytes(out, out + n), &kCtx)), Wire(p)) << payload;
        EXPECT_FALSE(Decoded(Bytes(out, out + n), &wrong).valid) << payload;
    }
    EXPECT_EQ(tails, (std::set<int>{0, 1, 2, 3}));
    const unsigned char seven[7] = {};
    EXPECT_FALSE(Decoded(Bytes(seven, seven + 7), &kCtx).valid);  // not one whole block
}
