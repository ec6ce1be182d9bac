#include <gtest/gtest.h>

#include <random>
#include <tuple>
#include <vector>

#include "Mes.h"
#include "Pack.h"

namespace {

using Bytes = std::vector<unsigned char>;

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Content(const CPackMes& p) {
    return Bytes(p.buf, p.buf + p.len);
}

// The content and the check byte behind it.
Bytes Wire(const CPackMes& p) {
    return Bytes(p.buf, p.buf + p.len + 1);
}

bool CheckByteFits(const CPackMes& p) {
    return p.buf[p.len] == (CPackMes::CalcCrc(p.buf, p.len) & 0x7F);
}

CPackMes Received(const Bytes& b) {
    return CPackMes(static_cast<int>(b.size()), b.data(), -1);
}

// A message of `units` units whose units tell it apart from others.
CMes Msg(int units, int tag) {
    Bytes u(static_cast<size_t>(units));
    for (int i = 0; i < units; ++i) {
        u[static_cast<size_t>(i)] = static_cast<unsigned char>((tag * 7 + i) & 63);
    }
    return CMes(units, u.data());
}

std::vector<Bytes> ReadAll(CPackMes& p) {
    std::vector<Bytes> out;
    p.BegGet();
    CMes m;
    while (p.GetMes(m)) {
        out.emplace_back(m.data, m.data + m.len);
    }
    return out;
}

Bytes Raw(const CMes& m) {
    return Bytes(m.data, m.data + m.len);
}

}  // namespace

TEST(PackCrc, PolynomialAndCheckByte) {
    const unsigned char text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CPackMes::CalcCrc(text, 9), 0x29);
    EXPECT_EQ(CPackMes::CalcCrc(text, 0), 0);
    // An empty packet from 3 to 5 is 0x35 and the low 7 bits of its CRC 0x8D.
    CPackMes p(3, 5, 8);
    EXPECT_EQ(Wire(p), (Bytes{0x35, 0x0D}));
    EXPECT_EQ(std::make_tuple(p.prior, p.GetOrig(), p.GetDest(), p.IsEmpty()),
              std::make_tuple(8, 3, 5, true));
    EXPECT_EQ(Wire(CPackMes()), (Bytes{0, 0}));
}

TEST(PackParse, ReceivedPacketWithIdentMessageAndReply) {
    CPackMes p = Received({0x12, 0x85, 6, 1, 2, 3, 4, 5, 0x47});
    p.pultNo = 17;
    p.prior = 4;
    EXPECT_EQ(std::make_tuple(p.len, p.hasIdent, p.ident, p.nRepl, int(p.repl[0]), p.pos),
              std::make_tuple(8, true, 5, 1, 7, 2));
    EXPECT_TRUE(p.IsValid());
    CMes m;
    ASSERT_EQ(p.GetMes(m), 1);
    EXPECT_EQ(Raw(m), (Bytes{1, 2, 3, 4, 5}));
    EXPECT_EQ(std::make_pair(m.prior, m.pultNo), std::make_pair(4, 17));
    EXPECT_EQ(p.GetMes(m), 0);
    EXPECT_EQ(m.len, 0);

    // Replies are taken out wherever they stand; the rest closes up.
    CPackMes x = Received({0x12, 0x41, 6, 1, 2, 0x42, 3, 4, 5, 0x43});
    EXPECT_EQ(Bytes(x.repl, x.repl + x.nRepl), (Bytes{1, 2, 3}));
    EXPECT_EQ(Content(x), (Bytes{0x12, 6, 1, 2, 3, 4, 5}));
    EXPECT_FALSE(x.hasIdent);
    EXPECT_TRUE(x.IsValid());
}

TEST(PackParse, BadLengthBytesAreRefused) {
    for (unsigned char l : {5, 60}) {
        Bytes raw(70, 1);
        raw[0] = 0x12;
        raw[1] = l;
        CPackMes p = Received(raw);
        EXPECT_EQ(p.len, 63);  // received packets are cut so the check byte fits
        EXPECT_TRUE(CheckByteFits(p));
        CMes m = Msg(5, 1);
        EXPECT_EQ(p.GetMes(m), 0);
        EXPECT_EQ(std::make_pair(m.len, p.pos), std::make_pair(0, 1));
        EXPECT_FALSE(p.IsValid());
    }
    const Bytes two = {0x12, 6, 1, 2, 3, 4, 5, 6, 1, 2, 3, 4, 5};
    EXPECT_TRUE(Received(two).IsValid());
    EXPECT_FALSE(Received(Bytes(two.begin(), two.end() - 1)).IsValid());
    EXPECT_FALSE(Received(two + Bytes{9}).IsValid());
    EXPECT_TRUE(Received({0x12}).IsValid());
}

TEST(PackBuild, SeveralMessagesIdentAndReplyReparse) {
    CPackMes p(2, 9, 16);
    const CMes a(10, 2, 255, 15, 5, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1);
    const CMes b = Msg(20, 1);
    const CMes c(10, 2, 255, 15, 5, CMes::sub18Restart, nullptr, 0);
    ASSERT_EQ(p.AddMes(a) + p.AddMes(b) + p.SetIdent(33) + p.AddMes(c) + p.AddRepl(12), 5);
    EXPECT_EQ(p.len, 1 + 1 + 9 + 21 + 13 + 1);
    EXPECT_EQ(std::make_pair(p.buf[1], p.buf[p.len - 1]),
              (std::pair<unsigned char, unsigned char>(0x80 | 33, 0x40 | 12)));
    EXPECT_TRUE(CheckByteFits(p));

    // The links carry the bytes before the check byte; they come back as the same packet.
    CPackMes r = Received(Content(p));
    r.prior = 3;
    EXPECT_EQ(std::make_tuple(r.GetOrig(), r.GetDest(), r.ident, r.nRepl, int(r.repl[0])),
              std::make_tuple(2, 9, 33, 1, 12));
    EXPECT_TRUE(r.IsValid());
    EXPECT_EQ(ReadAll(r), (std::vector<Bytes>{Raw(a), Raw(b), Raw(c)}));
    r.BegGet();
    CMes m;
    r.GetMes(m);
    EXPECT_EQ(std::make_tuple(m.typ, m.ask, m.prior), std::make_tuple(58, 15, 3));
}

TEST(PackBuild, MessageLimits) {
    // 5 + 54 = 59 fits, 6 + 54 = 60 does not.
    const CMes m54 = Msg(54, 3);
    CPackMes at5 = Received({0x12, 0x81, 1, 2, 3});
    EXPECT_EQ(at5.AddMes(m54), 1);
    EXPECT_EQ(std::make_pair(at5.len, int(at5.buf[5])), std::make_pair(60, 55));
    CPackMes at6 = Received({0x12, 0x81, 1, 2, 3, 4});
    const Bytes before = Wire(at6);
    EXPECT_EQ(at6.AddMes(m54), 0);
    EXPECT_EQ(Wire(at6), before);

    // The largest message fills a bare packet to 59 bytes; a reply still fits behind it.
    CPackMes bare(1, 2, -1);
    EXPECT_EQ(bare.AddMes(Msg(58, 4)) + bare.AddRepl(5), 2);
    EXPECT_EQ(bare.len, 61);
    EXPECT_EQ(ReadAll(bare).size(), 1u);

    // Records that are no line message are refused and leave the packet as it was.
    CPackMes p(1, 2, -1);
    const Bytes empty = Wire(p);
    const unsigned char marked[] = {1, 2, 3, 4, 0, 0x85};
    EXPECT_EQ(p.AddMes(Msg(4, 1)) + p.AddMes(Msg(59, 1)) + p.AddMes(CMes(6, marked)), 0);
    EXPECT_EQ(Wire(p), empty);
    EXPECT_EQ(Received({}).AddMes(Msg(5, 1)), 0);
}

TEST(PackBuild, ReplyByteIsReplacedOrAppended) {
    CPackMes p(1, 2, -1);
    EXPECT_EQ(p.AddRepl(3) + p.AddRepl(0x7F), 2);
    EXPECT_EQ(Content(p), (Bytes{0x12, 0x7F}));
    ASSERT_EQ(p.AddMes(Msg(5, 2)) + p.AddRepl(9), 2);
    EXPECT_EQ(std::make_pair(p.len, int(p.buf[8])), std::make_pair(9, 0x49));
    // An address byte that looks like a reply is never taken for one.
    CPackMes q(4, 2, -1);
    q.AddRepl(1);
    EXPECT_EQ(Content(q), (Bytes{0x42, 0x41}));

    // At 62 bytes only a reply already at the end may change.
    Bytes raw(62, 5);
    raw[0] = 0x12;
    CPackMes full = Received(raw);
    const Bytes before = Wire(full);
    EXPECT_EQ(full.AddRepl(1), 0);
    EXPECT_EQ(Wire(full), before);
    full.buf[61] = 0x40;
    EXPECT_EQ(full.AddRepl(6), 1);
    EXPECT_EQ(std::make_pair(full.len, int(full.buf[61])), std::make_pair(62, 0x46));
    EXPECT_TRUE(CheckByteFits(full));
}

TEST(PackIdent, SetTwiceDeleteAndInsertBeforeMessages) {
    CPackMes p(1, 2, -1);
    p.SetIdent(4);
    p.SetIdent(9);
    EXPECT_EQ(Content(p), (Bytes{0x12, 0x89}));
    EXPECT_EQ(std::make_pair(p.ident, p.hasIdent), std::make_pair(9, true));

    CPackMes q(1, 2, -1);
    q.AddMes(Msg(5, 1));
    q.AddMes(Msg(6, 2));
    const Bytes plain = Wire(q);
    q.BegGet();
    CMes m;
    ASSERT_EQ(q.GetMes(m), 1);
    // Reading goes on at the same message when an ident is slipped in front.
    ASSERT_EQ(q.SetIdent(63), 1);
    EXPECT_EQ(q.buf[1], 0xBF);
    EXPECT_TRUE(CheckByteFits(q));
    ASSERT_EQ(q.GetMes(m), 1);
    EXPECT_EQ(m.len, 6);
    EXPECT_EQ(ReadAll(q).size(), 2u);
    q.DelIdent();
    EXPECT_EQ(std::make_pair(q.hasIdent, q.pos), std::make_pair(false, 1));
    EXPECT_EQ(Wire(q), plain);

    // No room for a check byte behind a 64th byte.
    Bytes raw(63, 5);
    raw[0] = 0x12;
    CPackMes full = Received(raw);
    const Bytes before = Wire(full);
    EXPECT_EQ(full.SetIdent(1) + full.AddIdent(1), 0);
    EXPECT_EQ(Wire(full), before);
    EXPECT_EQ(Received({}).SetIdent(1), 0);
}

TEST(PackAddress, NibblesAndOpenSender) {
    CPackMes p(0x1F, 0x25, -1);
    EXPECT_EQ(p.buf[0], 0xF5);
    p.SetOrig(3);
    p.SetDest(0x1C);
    EXPECT_EQ(p.buf[0], 0x3C);
    p.SetAddr(15, 4);
    EXPECT_EQ(Content(p), (Bytes{0xF4}));

    unsigned char svc[6] = {};
    CMes::SetAdr(svc, 255, 15);
    p.SetIdent(7);
    p.AddMes(CMes(10, 2, 255, 15, 5, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1));
    p.AddMes(CMes(10, 2, 40, 3, 5, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1));
    p.AddMes(CMes(10, 2, 255, 15, CMes::servRoute, svc, 6));
    p.AddMes(CMes(10, 2, 255, 15, CMes::servNone, svc, 6));
    p.SetOrigMes(77, 6);
    EXPECT_EQ(p.GetOrig(), 6);

    // Open senders are filled in; so is the second address of a routed service message.
    std::vector<std::pair<int, int>> first, second;
    p.BegGet();
    for (CMes m; p.GetMes(m);) {
        first.emplace_back(m.origNode, m.origSub);
        int n = 0, s = 0;
        CMes::GetAdr(m.data + 7, n, s);
        second.emplace_back(n, s);
    }
    using P = std::pair<int, int>;
    EXPECT_EQ(first, (std::vector<P>{{77, 6}, {40, 3}, {77, 6}, {77, 6}}));
    EXPECT_EQ(second[2], P(77, 6));
    EXPECT_EQ(second[3], P(255, 15));

    CPackMes q(2, 4, -1);
    q.SetOrigMes(77, 6);
    EXPECT_EQ(q.GetOrig(), 2);
}

TEST(PackLink, MovesWholeMessagesWhileTheyFit) {
    CPackMes to(1, 2, -1);
    to.SetIdent(5);
    to.AddMes(Msg(30, 1));  // 33 bytes
    CPackMes from(1, 2, -1);
    from.AddMes(Msg(10, 2));
    from.AddMes(Msg(14, 3));
    from.AddMes(Msg(5, 4));
    from.SetIdent(9);

    // 33 + 11 = 44 and 44 + 15 = 59 fit; the third message would not.
    EXPECT_TRUE(to.Link(from));
    EXPECT_EQ(std::make_pair(to.len, int(to.buf[1])), std::make_pair(59, 0x85));
    EXPECT_TRUE(CheckByteFits(to));
    EXPECT_EQ(ReadAll(to), (std::vector<Bytes>{Raw(Msg(30, 1)), Raw(Msg(10, 2)), Raw(Msg(14, 3))}));
    EXPECT_EQ(Content(from), Bytes({0x12, 0x89, 6}) + Raw(Msg(5, 4)));
    EXPECT_EQ(std::make_pair(from.hasIdent, from.ident), std::make_pair(true, 9));
    EXPECT_TRUE(CheckByteFits(from));

    // Nothing fits any more: both stay as they are.
    const Bytes toBefore = Wire(to), fromBefore = Wire(from);
    EXPECT_FALSE(to.Link(from));
    EXPECT_FALSE(to.Link(to));
    EXPECT_EQ(Wire(to), toBefore);
    EXPECT_EQ(Wire(from), fromBefore);

    CPackMes bare(1, 2, -1);
    EXPECT_TRUE(bare.Link(from));
    EXPECT_FALSE(bare.hasIdent);
    EXPECT_EQ(Content(from), (Bytes{0x12, 0x89}));
}

TEST(PackMisc, ClearAndStr) {
    CPackMes p(3, 4, 16);
    p.pultNo = 5;
    p.SetIdent(1);
    p.AddMes(Msg(5, 1));
    EXPECT_EQ(p.Str(L"P:"), std::wstring(L"P: 34 81 06 07 08 09 0A 0B"));
    p.Clear();
    EXPECT_EQ(Content(p), (Bytes{0x34}));
    EXPECT_TRUE(CheckByteFits(p));
    EXPECT_EQ(std::make_tuple(p.prior, p.pultNo, p.hasIdent), std::make_tuple(-1, 0, false));
    EXPECT_EQ(p.Str(), std::wstring(L" 34"));
}

TEST(PackFuzz, RandomBytesNeverReadOutOfBounds) {
    std::mt19937 gen(77031u);
    int compared = 0;
    int withMessages = 0;
    for (int iter = 0; iter < 20000; ++iter) {
        const int style = static_cast<int>(gen() % 3);
        Bytes raw;
        if (style < 2) {
            raw.resize(gen() % 80);
            for (auto& b : raw) {
                b = static_cast<unsigned char>(style == 0 ? gen() : gen() % 64);
            }
        } else {
            // Mostly well-formed: address, maybe an ident, messages, replies in between,
            // and now and then one damaged byte.
            raw.push_back(static_cast<unsigned char>(gen()));
            if (gen() % 2 == 0) {
                raw.push_back(static_cast<unsigned char>(0x80 | (gen() & 63)));
            }
            for (int k = static_cast<int>(gen() % 4); k > 0; --k) {
                const int l = 6 + static_cast<int>(gen() % 30);
                raw.push_back(static_cast<unsigned char>(l));
                for (int i = 1; i < l; ++i) {
                    raw.push_back(static_cast<unsigned char>(gen() % 64));
                }
                if (gen() % 3 == 0) {
                    raw.push_back(static_cast<unsigned char>(0x40 | (gen() & 63)));
                }
            }
            if (gen() % 4 == 0) {
                raw[gen() % raw.size()] = static_cast<unsigned char>(gen());
            }
        }
        // Exactly the bytes on the heap, so the sanitizer sees any read past them.
        raw.shrink_to_fit();
        CPackMes p = Received(raw);
        ASSERT_TRUE(p.len >= 0 && p.len <= 63 && p.nRepl <= 63);
        const bool valid = p.IsValid();
        int consumed = p.pos;
        int count = 0;
        for (CMes m; p.GetMes(m); ++count) {
            ASSERT_TRUE(m.len >= 5 && m.len <= 58);
            consumed += m.len + 1;
        }
        ASSERT_TRUE(!valid || consumed == p.len);

        // A valid packet rebuilt from its parts gives the same bytes, as long as its
        // messages are line messages at all.
        if (valid && p.len >= 1) {
            CPackMes q(p.buf[0] >> 4, p.buf[0] & 15, -1);
            if (p.hasIdent) {
                q.SetIdent(p.ident);
            }
            bool rebuilt = true;
            p.BegGet();
            for (CMes m; p.GetMes(m);) {
                rebuilt = rebuilt && q.AddMes(m) == 1;
            }
            if (rebuilt) {
                ASSERT_EQ(Content(q), Content(p));
                ++compared;
                withMessages += count > 0 ? 1 : 0;
            }
        }

        CPackMes other(static_cast<int>(gen() % (raw.size() + 1)), raw.data(), 2);
        p.SetOrigMes(static_cast<int>(gen() % 256), static_cast<int>(gen() % 16));
        p.Link(other);
        p.SetIdent(static_cast<int>(gen()));
        p.AddRepl(static_cast<unsigned char>(gen()));
        p.AddIdent(3);
        p.DelIdent();
        ASSERT_TRUE(p.len <= 63 && other.len <= 63);
        ASSERT_EQ(p.Str().size(), static_cast<size_t>(p.len) * 3);
    }
    // The rebuilding property must really have been exercised.
    EXPECT_GT(withMessages, 500);
    EXPECT_GT(compared, withMessages);
}
