#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "Idea.h"
#include "PackDisp.h"

namespace {

using Bytes = std::vector<unsigned char>;

// Bit by bit, independent of the table-driven code under test.
uint16_t RefCrc(const unsigned char* p, size_t n) {
    uint16_t c = 0;
    for (size_t i = 0; i < n; ++i) {
        c ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b) c = static_cast<uint16_t>((c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1);
    }
    return c;
}

// A datagram written by hand: header, the given record bytes, the reply bytes, CRC.
Bytes Frame(int ident, const Bytes& records, const Bytes& replies = {}) {
    Bytes f = {0, 0, static_cast<unsigned char>(ident), static_cast<unsigned char>(0x10 | replies.size())};
    f.insert(f.end(), records.begin(), records.end());
    f.insert(f.end(), replies.begin(), replies.end());
    f[0] = static_cast<unsigned char>(f.size() & 0xFF);
    f[1] = static_cast<unsigned char>(f.size() >> 8);
    const uint16_t crc = RefCrc(f.data(), f.size());
    f.push_back(static_cast<unsigned char>(crc & 0xFF));
    f.push_back(static_cast<unsigned char>(crc >> 8));
    return f;
}

Bytes Wire(const CPackDisp& p) {
    return Bytes(p.Data(), p.Data() + p.Len() + 2);
}

Bytes Encoded(CPackDisp& p, const CIdeaCtx* ctx) {
    unsigned char out[CPackDisp::kWireSize];
    const int n = p.Encoding(out, sizeof out, ctx);
    return Bytes(out, out + n);
}

CMesDisp Message(int code, int payload) {
    CMesDisp m;
    m.SetTypMes(code);
    m.Add(nullptr, payload);
    return m;
}

const Bytes kCloseLinkRecord = {3, 0, 27};
const Bytes kPlaceHolder = {2, 0};

const unsigned char kKey[16] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88,
                                0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xF0, 0x0F};

}  // namespace

TEST(DispFrameBytes, EmptyFrameIsTheKnownSixBytes) {
    CPackDisp p;
    EXPECT_EQ(Wire(p), (Bytes{0x04, 0x00, 0x00, 0x10, 0xC0, 0xD8}));
    EXPECT_EQ(Encoded(p, nullptr), Wire(p));
    EXPECT_EQ(p.ToString(L"S"), DBString(L"S 04 00 00 10"));
    EXPECT_TRUE(p.TestCRC());
    EXPECT_FALSE(p.HasMessages());

    const unsigned char check[] = "123456789";
    EXPECT_EQ(CPackDisp::Crc16(check, 9), 0x31C3);  // the CRC-16/XMODEM check value
}

TEST(DispFrameBytes, MessageFrameMatchesHandWrittenBytes) {
    CMesDisp close;
    ASSERT_TRUE(close.Create_CloseLink());
    CPackDisp p(close);
    EXPECT_EQ(Wire(p), Frame(0, kCloseLinkRecord));
    EXPECT_FALSE(p.isVoice);

    ASSERT_TRUE(p.SetIdent(200));
    ASSERT_TRUE(p.AddReply(Bytes{7, 9}.data(), 2));
    EXPECT_EQ(Wire(p), Frame(200, kCloseLinkRecord, {7, 9}));
    p.DelIdent();
    EXPECT_EQ(Wire(p), Frame(0, kCloseLinkRecord, {7, 9}));
    EXPECT_FALSE(p.SetIdent(256));
    EXPECT_FALSE(p.SetIdent(-1));
    EXPECT_EQ(Wire(p), Frame(0, kCloseLinkRecord, {7, 9}));

    // A message added behind existing reply bytes goes in front of them.
    CMesDisp refresh;
    refresh.Create_Refresh();
    ASSERT_TRUE(p.AddMes(refresh));
    EXPECT_EQ(Wire(p), Frame(0, {3, 0, 27, 3, 0, 9}, {7, 9}));
}

TEST(DispFrameWalk, ReplyBytesStayOutOfTheMessageWalk) {
    // The three reply bytes would read as a CloseLink record if the walk ran into them.
    CPackDisp p;
    const Bytes wire = Frame(5, {3, 0, 9}, kCloseLinkRecord);
    p.Decoding(wire.data(), static_cast<int>(wire.size()), nullptr);
    ASSERT_TRUE(p.valid);
    EXPECT_EQ(p.ident, 5);
    EXPECT_EQ(p.nReply, 3);
    EXPECT_FALSE(p.IsExistClose());

    CMesDisp m;
    p.BegGet();
    ASSERT_TRUE(p.GetMes(m));
    EXPECT_EQ(m.TypMes(), CMesDisp::mesRefresh);
    EXPECT_FALSE(p.GetMes(m));
    EXPECT_EQ(m.Len(), 2);

    int n = 0;
    const unsigned char* r = p.GetReply(n);
    ASSERT_EQ(n, 3);
    EXPECT_EQ(Bytes(r, r + n), kCloseLinkRecord);
}

TEST(DispFrameWalk, PlaceHoldersAreSkippedAndALoneOneIsReplaced) {
    CPackDisp p;
    const Bytes wire = Frame(0, {2, 0, 3, 0, 9, 2, 0, 2, 0, 3, 0, 27});
    p.Decoding(wire.data(), static_cast<int>(wire.size()), nullptr);
    ASSERT_TRUE(p.valid);
    EXPECT_TRUE(p.IsExistClose());
    std::vector<int> codes;
    CMesDisp m;
    for (p.BegGet(); p.GetMes(m);) codes.push_back(m.TypMes());
    EXPECT_EQ(codes, (std::vector<int>{CMesDisp::mesRefresh, CMesDisp::mesCloseLink}));

    CPackDisp holder{CMesDisp()};
    EXPECT_EQ(Wire(holder), Frame(0, kPlaceHolder));
    EXPECT_FALSE(holder.HasMessages());
    CMesDisp close;
    close.Create_CloseLink();
    ASSERT_TRUE(holder.AddMes(close));
    EXPECT_EQ(Wire(holder), Frame(0, kCloseLinkRecord));

    // A place holder that is not alone stays where it is.
    CPackDisp two;
    const Bytes wire2 = Frame(0, {2, 0, 3, 0, 9});
    two.Decoding(wire2.data(), static_cast<int>(wire2.size()), nullptr);
    ASSERT_TRUE(two.AddMes(close));
    EXPECT_EQ(Wire(two), Frame(0, {2, 0, 3, 0, 9, 3, 0, 27}));
}

TEST(DispFrameDecode, MalformedDatagramsAreRefusedWhole) {
    const Bytes good = Frame(3, {3, 0, 9, 3, 0, 27});
    CPackDisp p;
    p.Decoding(good.data(), static_cast<int>(good.size()), nullptr);
    ASSERT_TRUE(p.valid);

    struct Case {
        const char* what;
        Bytes wire;
    };
    Bytes badCrc = good;
    badCrc.at(badCrc.size() - 1) ^= 1;
    Bytes cut = good;
    cut.pop_back();  // the last CRC byte is missing: nothing stale may stand in for it
    const std::vector<Case> cases = {
        {"record of length 1", Frame(0, {3, 0, 9, 1, 0})},
        {"record past the frame", Frame(0, {9, 0, 9})},
        {"records overlap the reply bytes", Frame(0, {5, 0, 9}, {1, 2})},
        {"more reply bytes than the frame holds",
         [] {
             Bytes f = Frame(0, {}, {});
             f[3] = 0x13;
             const uint16_t c = RefCrc(f.data(), 4);
             f[4] = c & 0xFF;
             f[5] = c >> 8;
             return f;
         }()},
        {"bad CRC", badCrc},
        {"cut datagram", cut},
        {"three bytes", Bytes{4, 0, 0}},
    };
    for (const Case& c : cases) {
        CPackDisp q;
        q.Decoding(good.data(), static_cast<int>(good.size()), nullptr);
        q.Decoding(c.wire.data(), static_cast<int>(c.wire.size()), nullptr);
        EXPECT_FALSE(q.valid) << c.what;
        EXPECT_FALSE(q.TestCRC()) << c.what;
        EXPECT_FALSE(q.HasMessages()) << c.what;
        CMesDisp m;
        q.BegGet();
        EXPECT_FALSE(q.GetMes(m)) << c.what;
        EXPECT_EQ(q.Len(), CPackDisp::kHeadSize) << c.what;
    }
}

TEST(DispFrameDecode, PlainSizeLimits) {
    // The largest frame: F = 512, one record filling it.
    Bytes record(CPackDisp::kMaxMessage, 0);
    record[0] = CPackDisp::kMaxMessage & 0xFF;
    record[1] = CPackDisp::kMaxMessage >> 8;
    record[2] = CMesDisp::mesNotif;
    Bytes wire = Frame(1, record);
    ASSERT_EQ(wire.size(), 514u);
    CPackDisp p;
    p.Decoding(wire.data(), static_cast<int>(wire.size()), nullptr);
    EXPECT_TRUE(p.valid);
    EXPECT_EQ(p.Len(), 512);
    // The record is longer than any message, so the walk will not hand it out.
    CMesDisp m;
    EXPECT_FALSE(p.GetMes(m));

    wire.push_back(0);  // 514 + 1 bytes
    p.Decoding(wire.data(), static_cast<int>(wire.size()), nullptr);
    EXPECT_FALSE(p.valid);
}

TEST(DispFrameDecode, LengthFieldBeyondTheBufferIsRefusedEvenWithAGoodCrc) {
    // 65 blocks hold 520 bytes: room for a length of 514 and a CRC behind it, which
    // must not be believed, because the frame buffer ends at 514 bytes.
    CIdeaCtx ctx(kKey);
    for (int f : {513, 514, 517}) {
        Bytes plain(520, 0);
        plain[0] = f & 0xFF;
        plain[1] = static_cast<unsigned char>(f >> 8);
        plain[3] = 0x10;
        for (int i = 4; i < f; i += 2) plain[i] = 2;  // place holders
        const uint16_t c = RefCrc(plain.data(), static_cast<size_t>(f));
        plain[f] = c & 0xFF;
        plain[f + 1] = c >> 8;
        Bytes wire(520);
        ctx.Encrypt(plain.data(), wire.data(), 65);
        CPackDisp p;
        p.Decoding(wire.data(), static_cast<int>(wire.size()), &ctx);
        EXPECT_FALSE(p.valid) << f;
        EXPECT_EQ(p.Len(), CPackDisp::kHeadSize) << f;
    }
}

TEST(DispFrameAdd, SizeLimitsLeaveTheFrameUnchanged) {
    // 508 bytes of messages make F = 512 exactly.
    CPackDisp p;
    ASSERT_TRUE(p.AddMes(Message(CMesDisp::mesNotif, CMesDisp::kBufSize - 3)));
    ASSERT_TRUE(p.AddMes(Message(CMesDisp::mesNotif, 508 - CMesDisp::kBufSize - 3)));
    EXPECT_EQ(p.Len(), 512);
    const Bytes full = Wire(p);
    EXPECT_FALSE(p.AddMes(Message(CMesDisp::mesRefresh, 0)));
    EXPECT_FALSE(p.AddReply(Bytes{1}.data(), 1));
    EXPECT_EQ(Wire(p), full);

    // With reply bytes the frame must stay below 512.
    CPackDisp q;
    ASSERT_TRUE(q.AddReply(Bytes{4, 5}.data(), 2));
    ASSERT_TRUE(q.AddMes(Message(CMesDisp::mesNotif, CMesDisp::kBufSize - 3)));
    const Bytes before = Wire(q);
    EXPECT_FALSE(q.AddMes(Message(CMesDisp::mesNotif, 512 - 496 - 3)));  // would reach 512
    EXPECT_EQ(Wire(q), before);
    ASSERT_TRUE(q.AddMes(Message(CMesDisp::mesNotif, 511 - 496 - 3)));
    EXPECT_EQ(q.Len(), 511);
    int n = 0;
    const unsigned char* r = q.GetReply(n);
    EXPECT_EQ(Bytes(r, r + n), (Bytes{4, 5}));

    // Reply bytes: at most 15, and F + n at most 511.
    CPackDisp s;
    const Bytes ids(16, 1);
    EXPECT_FALSE(s.AddReply(ids.data(), 16));
    ASSERT_TRUE(s.AddReply(ids.data(), 15));
    EXPECT_EQ(s.Data()[3], 0x1F);
    EXPECT_FALSE(s.AddReply(ids.data(), 1));
    EXPECT_FALSE(s.AddReply(nullptr, 1));
    EXPECT_FALSE(s.AddReply(ids.data(), -1));

    // A message with an invalid code is no message.
    CMesDisp bad;
    const unsigned char raw[] = {3, 0, 255};
    ASSERT_TRUE(bad.Assign(raw, 3));
    EXPECT_FALSE(CPackDisp().AddMes(bad));
}

TEST(DispFrameAdd, VoiceTravelsAlone) {
    CMesDisp voice;
    const unsigned char samples[4] = {1, 2, 3, 4};
    ASSERT_TRUE(voice.Create_Voice(7, 1, 4, samples));
    CMesDisp close;
    close.Create_CloseLink();
    CMesDisp stamp;
    DBGUID g;
    g = L"0123456789ABCDEF0123456789ABCDEF";
    stamp.Create_TimeAndGUID(1234567890L, g);

    CPackDisp withMessage(close);
    EXPECT_FALSE(withMessage.AddMes(voice));
    CPackDisp holder{CMesDisp()};
    EXPECT_TRUE(holder.AddMes(voice));  // a place holder is no message
    EXPECT_TRUE(holder.isVoice);

    CPackDisp v(voice);
    ASSERT_TRUE(v.isVoice);
    const Bytes before = Wire(v);
    EXPECT_FALSE(v.AddMes(close));
    EXPECT_EQ(Wire(v), before);
    ASSERT_TRUE(v.AddMes(stamp));
    EXPECT_TRUE(v.isVoice);

    CPackDisp other(close);
    EXPECT_FALSE(v.Link(other));
    EXPECT_FALSE(other.Link(v));
    EXPECT_TRUE(other.IsExistClose());

    // A received frame whose first message is voice is a voice frame.
    CPackDisp r;
    const Bytes wire = Wire(v);
    r.Decoding(wire.data(), static_cast<int>(wire.size()), nullptr);
    ASSERT_TRUE(r.valid);
    EXPECT_TRUE(r.isVoice);
}

TEST(DispFrameLink, MovesWhatFitsAndKeepsTheRestInOrder) {
    CPackDisp into(Message(CMesDisp::mesNotif, 400));
    CPackDisp from(Message(CMesDisp::mesNotif, 40));            // 43 bytes
    ASSERT_TRUE(from.AddMes(Message(CMesDisp::mesNotif, 60)));  // 63 bytes: will not fit
    ASSERT_TRUE(from.AddMes(Message(CMesDisp::mesRefresh, 0)));
    ASSERT_TRUE(from.SetIdent(9));
    ASSERT_TRUE(from.AddReply(Bytes{33}.data(), 1));

    ASSERT_TRUE(into.Link(from));
    EXPECT_EQ(into.Len(), 4 + 403 + 43);
    // The Refresh behind the one that did not fit must not overtake it.
    std::vector<int> sizes;
    CMesDisp m;
    for (from.BegGet(); from.GetMes(m);) sizes.push_back(m.Len());
    EXPECT_EQ(sizes, (std::vector<int>{63, 3}));
    EXPECT_EQ(from.Data()[2], 9);
    int n = 0;
    EXPECT_EQ(from.GetReply(n)[0], 33);
    EXPECT_TRUE(from.TestCRC());

    EXPECT_FALSE(into.Link(from));  // nothing fits any more
    EXPECT_EQ(from.Len(), 4 + 63 + 3 + 1);

    CPackDisp all;
    ASSERT_TRUE(all.Link(from));
    EXPECT_FALSE(from.HasMessages());
    EXPECT_EQ(Wire(from), Frame(9, {}, {33}));
    EXPECT_FALSE(all.Link(from));  // nothing left to move
}

TEST(DispFrameStamp, TimeAndGuidIsFoundOnlyWhenWhole) {
    DBGUID g;
    g = L"00112233445566778899AABBCCDDEEFF";
    CMesDisp stamp;
    ASSERT_TRUE(stamp.Create_TimeAndGUID(0x123456789AL, g));
    EXPECT_EQ(Bytes(stamp.Data() + 3, stamp.Data() + 8), (Bytes{0x9A, 0x78, 0x56, 0x34, 0x12}));

    CPackDisp p(Message(CMesDisp::mesRefresh, 0));
    ASSERT_TRUE(p.AddMes(stamp));
    long t = -1;
    DBGUID got;
    EXPECT_TRUE(p.GetTimeAndGUID(t, got));
    EXPECT_EQ(t, 0x123456789AL);
    EXPECT_EQ(got, g);

    // Eight bytes carry a time but no identifier.
    CPackDisp shortStamp(Message(CMesDisp::mesTimeAndGUID, 5));
    EXPECT_FALSE(shortStamp.GetTimeAndGUID(t, got));
    EXPECT_EQ(t, 0);
    EXPECT_TRUE(got.IsNul());
    EXPECT_FALSE(CPackDisp().GetTimeAndGUID(t, got));
}

TEST(DispFrameCipher, RoundTripWithPaddingAndRandomTails) {
    CIdeaCtx ctx(kKey);
    std::set<int> tails;
    for (int payload = 0; payload <= CMesDisp::kBufSize - 3; payload += 7) {
        CPackDisp p(Message(CMesDisp::mesNotif, payload));
        p.SetIdent(payload % 255 + 1);
        for (int round = 0; round < 4; ++round) {
            const Bytes wire = Encoded(p, &ctx);
            const int blocks = (p.Len() + 2 + 7) / 8;
            ASSERT_GE(static_cast<int>(wire.size()), blocks * 8);
            const int tail = static_cast<int>(wire.size()) - blocks * 8;
            ASSERT_LE(tail, 3);
            tails.insert(tail);
            CPackDisp q;
            q.Decoding(wire.data(), static_cast<int>(wire.size()), &ctx);
            ASSERT_TRUE(q.valid) << payload;
            EXPECT_EQ(Wire(q), Wire(p));
            EXPECT_EQ(q.ident, payload % 255 + 1);
        }
    }
    EXPECT_EQ(tails, (std::set<int>{0, 1, 2, 3}));

    // The padding in the second block is random: two encodings of one frame differ.
    CPackDisp p(Message(CMesDisp::mesRefresh, 0));
    unsigned char a[CPackDisp::kWireSize], b[CPackDisp::kWireSize];
    bool differ = false;
    for (int i = 0; i < 8 && !differ; ++i) {
        p.Encoding(a, sizeof a, &ctx);
        p.Encoding(b, sizeof b, &ctx);
        differ = std::memcmp(a, b, 16) != 0;
    }
    EXPECT_TRUE(differ);
}

TEST(DispFrameCipher, WrongKeyAndShortBuffersAreRefused) {
    CIdeaCtx ctx(kKey);
    unsigned char other[16];
    std::memcpy(other, kKey, 16);
    other[15] ^= 0x80;
    CIdeaCtx wrong(other);

    CMesDisp close;
    close.Create_CloseLink();
    CPackDisp p(close);
    const Bytes wire = Encoded(p, &ctx);
    for (int i = 0; i < 20; ++i) {
        CPackDisp q;
        q.Decoding(wire.data(), static_cast<int>(wire.size()), &wrong);
        EXPECT_FALSE(q.valid);
        EXPECT_FALSE(q.IsExistClose());
    }
    CPackDisp q;
    q.Decoding(wire.data(), 7, &ctx);  // not one whole block
    EXPECT_FALSE(q.valid);

    unsigned char out[16];
    EXPECT_EQ(p.Encoding(out, 15, &ctx), 0);    // nine bytes need two blocks
    EXPECT_EQ(p.Encoding(out, 16, &ctx), 16);   // the random tail is cut to what fits
    EXPECT_EQ(p.Encoding(out, 8, nullptr), 0);  // a cut plain frame is no frame
    EXPECT_EQ(p.Encoding(out, 9, nullptr), 9);
    EXPECT_EQ(p.Encoding(nullptr, 100, nullptr), 0);
}

TEST(DispFrameFuzz, AnyDatagramIsReadSafely) {
    std::mt19937 rng(20261206);
    CIdeaCtx ctx(kKey);
    std::uniform_int_distribution<int> byte(0, 255);

    // Good frames to mutate: a few messages, idents and reply bytes.
    std::vector<Bytes> seeds;
    for (int i = 0; i < 8; ++i) {
        CPackDisp p(Message(CMesDisp::mesSendMsg, i * 20));
        p.AddMes(Message(CMesDisp::mesCloseLink, 0));
        p.SetIdent(i);
        const Bytes ids(static_cast<size_t>(i), static_cast<unsigned char>(i));
        p.AddReply(ids.data(), i);
        seeds.push_back(Wire(p));
    }

    int accepted = 0;
    for (int round = 0; round < 6000; ++round) {
        Bytes wire;
        const int kind = round % 3;
        bool cipher = kind == 2;
        if (kind == 0) {
            cipher = (round / 3) % 2 == 1;  // random blocks to decipher, or random plain bytes
            wire.resize(static_cast<size_t>(rng() % 600));
            for (auto& b : wire) b = static_cast<unsigned char>(byte(rng));
        } else {
            wire = seeds[rng() % seeds.size()];
            const int flips = static_cast<int>(rng() % 4);
            for (int f = 0; f < flips && !wire.empty(); ++f) wire[rng() % wire.size()] ^= 1u << (rng() % 8);
            if (rng() % 4 == 0 && !wire.empty()) wire.resize(rng() % wire.size());
        }
        Bytes data = wire;
        if (kind == 2) {
            // Encipher the mutated plain bytes, so the decipher sees good blocks of a bad frame.
            const size_t blocks = (data.size() + 7) / 8;
            data.resize(blocks * 8, 0);
            if (blocks > 0) ctx.Encrypt(data.data(), data.data(), static_cast<int>(blocks));
            data.resize(data.size() + rng() % 4, 0xAA);
        }
        // Exact-size heap copies so that ASan sees any read past the datagram.
        std::vector<unsigned char> heap(data.begin(), data.end());
        CPackDisp p;
        p.Decoding(heap.empty() ? nullptr : heap.data(), static_cast<int>(heap.size()),
                   cipher ? &ctx : nullptr);
        if (!p.valid) {
            EXPECT_EQ(p.Len(), CPackDisp::kHeadSize);
            continue;
        }
        ++accepted;
        ASSERT_TRUE(p.TestCRC());
        ASSERT_LE(p.Len(), CPackDisp::kMaxFrame);
        CMesDisp m;
        int walked = 0;
        for (p.BegGet(); p.GetMes(m); ++walked) ASSERT_TRUE(m.IsValid());
        ASSERT_LE(walked, CPackDisp::kMaxFrame / 3);
        p.IsExistClose();
        long t;
        DBGUID g;
        p.GetTimeAndGUID(t, g);
        EXPECT_EQ(p.ToString(L"").size(), static_cast<size_t>(3 * p.Len()));
    }
    EXPECT_GT(accepted, 100);  // the mutations leave enough good frames to walk
}

TEST(DispMessage, FieldPrimitives) {
    CMesDisp m;
    EXPECT_EQ(m.Len(), 2);
    EXPECT_EQ(m.TypMes(), 0);
    EXPECT_FALSE(m.IsValid());
    EXPECT_FALSE(m.SetTypMes(0));
    EXPECT_FALSE(m.SetTypMes(255));
    ASSERT_TRUE(m.SetTypMes(254));
    EXPECT_TRUE(m.IsValid());

    ASSERT_TRUE(m.SetTypMes(CMesDisp::mesTypLU));
    const uint32_t value = 0xA1B2C3D4;
    const unsigned char le[4] = {0xD4, 0xC3, 0xB2, 0xA1};
    ASSERT_TRUE(m.Add(le, 4));
    ASSERT_TRUE(m.Add(L"Abc"));
    EXPECT_EQ(m.Len(), 3 + 4 + 7);  // a text of three characters costs seven bytes
    EXPECT_EQ(Bytes(m.Data(), m.Data() + m.Len()),
              (Bytes{14, 0, 32, 0xD4, 0xC3, 0xB2, 0xA1, 3, 'A', 0, 'b', 0, 'c', 0}));
    ASSERT_TRUE(m.Add(nullptr, 3));
    EXPECT_EQ(m.Len(), 17);

    EXPECT_EQ(m.FrsParse(), CMesDisp::mesTypLU);
    unsigned char got[4];
    ASSERT_TRUE(m.Get(got, 4));
    uint32_t back = 0;
    for (int i = 3; i >= 0; --i) back = (back << 8) | got[i];
    EXPECT_EQ(back, value);
    DBString text;
    ASSERT_TRUE(m.Get(text));
    EXPECT_EQ(text, DBString(L"Abc"));
    EXPECT_TRUE(m.Get(nullptr, 3));
    EXPECT_FALSE(m.Get(got, 1));  // nothing left
    DBTime when;
    EXPECT_FALSE(m.Get(when));

    // Nothing is appended past 490 bytes.
    CMesDisp full;
    full.SetTypMes(1);
    ASSERT_TRUE(full.Add(nullptr, CMesDisp::kBufSize - 4));
    EXPECT_FALSE(full.Add(L"x"));
    EXPECT_FALSE(full.Add(DBTime(2020, 1, 1, 0, 0, 0)));
    EXPECT_TRUE(full.Add(L""));
    EXPECT_FALSE(full.Add(nullptr, 1));
    EXPECT_EQ(full.Len(), CMesDisp::kBufSize);

    // A time goes out as the OLE date of its local calendar time.
    CMesDisp dated;
    dated.SetTypMes(1);
    const DBTime t(2000, 1, 1, 12, 0, 0);
    ASSERT_TRUE(dated.Add(t));
    uint64_t bits = 0;
    for (int i = 7; i >= 0; --i) bits = (bits << 8) | dated.Data()[3 + i];
    EXPECT_DOUBLE_EQ(std::bit_cast<double>(bits), 36526.5);
    dated.FrsParse();
    DBTime read;
    ASSERT_TRUE(dated.Get(read));
    EXPECT_EQ(read, t);

    // Assign takes only a whole, self-consistent message.
    CMesDisp a;
    const unsigned char raw[] = {4, 0, 9, 1};
    EXPECT_FALSE(a.Assign(raw, 3));
    EXPECT_FALSE(a.Assign(raw, 5));
    ASSERT_TRUE(a.Assign(raw, 4));
    EXPECT_EQ(a.TypMes(), 9);
}
