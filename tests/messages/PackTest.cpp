#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <tuple>
#include <vector>

#include "Mes.h"
#include "Pack.h"

namespace {

using Bytes = std::vector<unsigned char>;

const auto Content = [](const CPackMes& p) { return Bytes(p.buf, p.buf + p.len); };
const auto Fits = [](const CPackMes& p) { return p.buf[p.len] == (CPackMes::CalcCrc(p.buf, p.len) & 0x7F); };
const auto Received = [](const Bytes& b) { return CPackMes(static_cast<int>(b.size()), b.data(), -1); };

// A message of `units` units whose units tell it apart from others.
CMes Msg(int units, int tag) {
    Bytes u(static_cast<size_t>(units));
    for (int i = 0; i < units; ++i)
        u[static_cast<size_t>(i)] = static_cast<unsigned char>((tag * 7 + i) & 63);
    return CMes(units, u.data());
}

std::vector<Bytes> ReadAll(CPackMes& p) {
    std::vector<Bytes> out;
    p.BegGet();
    for (CMes m; p.GetMes(m);) out.emplace_back(m.data, m.data + m.len);
    return out;
}

// Every reader of a message; none may claim more bytes than it was given room for.
void ReadEverything(const CMes& m, int room) {
    Bytes out(static_cast<size_t>(room));
    int a = 0, c = 0;
    float f[4];
    ASSERT_TRUE(m.dev >= 0 && m.dev <= 255 && m.ask >= 0 && m.ask <= 31);
    if (m.GetNVRAM(a, c, out.data(), room) != 128) {
        ASSERT_LE(c, room);
    }
    ASSERT_LE(std::max(m.GetIAP(out.data(), room), m.GetAlert(out.data(), room)), room);
    m.GetSTAT(f[0], f[1], f[2], f[3]);
    for (int k = 0; k <= 25; ++k) {
        m.TestBit(static_cast<CMes::bitExtended>(k % 9));
        m.TestAsk(k);
        m.TestCmd(k);
    }
}

}  // namespace

TEST(PackCrc, CheckByteIsCrc8WithPolynomial0x43) {
    // Worked out bit by bit outside the program: the standard check text, and the empty
    // packet from 3 to 5, whose CRC 0x8D keeps its low 7 bits.
    const unsigned char text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(std::make_tuple(CPackMes::CalcCrc(text, 9), CPackMes::CalcCrc(text, 0)),
              std::make_tuple(0x29, 0));
    const CPackMes p(3, 5, 8);
    EXPECT_EQ(Bytes(p.buf, p.buf + 2), (Bytes{0x35, 0x0D}));
    EXPECT_EQ(std::make_tuple(p.len, p.prior, p.GetOrig(), p.GetDest()), std::make_tuple(1, 8, 3, 5));
}

TEST(PackParse, ReceivedPacketsGiveTheirIdentMessagesAndReplies) {
    CPackMes p = Received({0x12, 0x85, 6, 1, 2, 3, 4, 5, 0x47});
    p.pultNo = 17;
    p.prior = 4;
    EXPECT_EQ(std::make_tuple(p.len, p.hasIdent, p.ident, p.nRepl, int(p.repl[0]), p.pos, p.IsValid()),
              std::make_tuple(8, true, 5, 1, 7, 2, true));
    CMes m;
    ASSERT_EQ(p.GetMes(m), 1);
    EXPECT_EQ(std::make_tuple(Bytes(m.data, m.data + m.len), m.prior, m.pultNo),
              std::make_tuple(Bytes{1, 2, 3, 4, 5}, 4, 17));
    EXPECT_EQ(std::make_tuple(p.GetMes(m), m.len), std::make_tuple(0, 0));
    // Replies are taken out wherever they stand; the rest closes up.
    const CPackMes x = Received({0x12, 0x41, 6, 1, 2, 0x42, 3, 4, 5, 0x43});
    EXPECT_EQ(std::make_tuple(Bytes(x.repl, x.repl + x.nRepl), Content(x), x.IsValid()),
              std::make_tuple(Bytes{1, 2, 3}, Bytes{0x12, 6, 1, 2, 3, 4, 5}, true));
    for (unsigned char l : {5, 60}) {
        Bytes raw = {0x12, l};
        raw.resize(70, 1);
        CPackMes bad = Received(raw);  // cut to 63 so that the check byte fits
        EXPECT_EQ(std::make_tuple(bad.len, Fits(bad), bad.GetMes(m), bad.pos, bad.IsValid()),
                  std::make_tuple(63, true, 0, 1, false))
            << int(l);
    }
}

TEST(PackBuild, MessagesUpTo59BytesComeBackFromTheBytes) {
    CPackMes p(2, 9, 16);
    const CMes a(10, 2, 255, 15, 5, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1), b = Msg(20, 1);
    ASSERT_EQ(p.AddMes(a), 1);
    ASSERT_EQ(p.AddMes(b), 1);
    EXPECT_EQ(std::make_tuple(p.len, Fits(p)), std::make_tuple(1 + 9 + 21, true));
    CPackMes r = Received(Content(p));
    EXPECT_EQ(ReadAll(r), (std::vector<Bytes>{Bytes(a.data, a.data + a.len), Bytes(b.data, b.data + b.len)}));
    p.Clear();
    EXPECT_EQ(std::make_tuple(Content(p), p.prior, Fits(p)), std::make_tuple(Bytes{0x29}, -1, true));

    // 5 + 54 = 59 fits, 6 + 54 = 60 does not.
    CPackMes at5 = Received({0x12, 0x81, 1, 2, 3}), at6 = Received({0x12, 0x81, 1, 2, 3, 4});
    EXPECT_EQ(at5.AddMes(Msg(54, 3)), 1);
    EXPECT_EQ(std::make_tuple(at5.len, int(at5.buf[5])), std::make_tuple(60, 55));
    EXPECT_EQ(at6.AddMes(Msg(54, 3)), 0);
    EXPECT_EQ(std::make_tuple(at6.len, Fits(at6)), std::make_tuple(6, true));
    // Records that are no line message are refused; the largest one takes a bare packet to 60.
    CPackMes q(1, 2, -1);
    const unsigned char marked[] = {1, 2, 3, 4, 0, 0x85};
    EXPECT_EQ(q.AddMes(Msg(4, 1)) + q.AddMes(Msg(59, 1)) + q.AddMes(CMes(6, marked)), 0);
    EXPECT_EQ(std::make_tuple(q.AddMes(Msg(58, 4)), q.len), std::make_tuple(1, 60));
}

TEST(PackEdit, IdentAndLink) {
    CPackMes to(1, 2, -1), from(1, 2, -1);
    to.SetIdent(4);
    to.SetIdent(5);  // replaces the first
    to.AddMes(Msg(30, 1));
    from.AddMes(CMes(10, 2, 255, 15, 5, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1));  // 8 units
    from.AddMes(Msg(14, 3));
    from.AddMes(Msg(5, 4));
    from.SetIdent(9);
    // 33 + 9 = 42 and 42 + 15 = 57 fit; the third message would take it past 59.
    EXPECT_TRUE(to.Link(from));
    EXPECT_EQ(std::make_tuple(to.len, int(to.buf[1]), Fits(to)), std::make_tuple(57, 0x85, true));
    EXPECT_EQ(std::make_tuple(from.len, int(from.buf[1]), Fits(from)), std::make_tuple(8, 0x89, true));
}

TEST(PackFuzz, RandomBytesNeverReadOutOfBounds) {
    std::mt19937 gen(77031u);
    static const int kTypes[] = {10, 13, 14, 25, 26, 29, 30, 31, 45, 46, 58, 61, 62};
    for (int iter = 0; iter < 20000; ++iter) {
        // Mostly units below 64, often a type the readers know and a length byte that fits.
        Bytes raw(gen() % 80);
        for (auto& b : raw) b = static_cast<unsigned char>(gen() % 4 == 0 ? gen() : gen() % 64);
        if (raw.size() > 5 && gen() % 2 == 0) raw[5] = static_cast<unsigned char>(kTypes[gen() % 13]);
        if (raw.size() > 7 && gen() % 2 == 0) raw[1] = static_cast<unsigned char>(raw.size() - 2);
        raw.shrink_to_fit();  // exactly these bytes on the heap, so the sanitizer sees reads past them
        ReadEverything(CMes(static_cast<int>(raw.size()), raw.data()), static_cast<int>(gen() % 70));
        CPackMes p = Received(raw), other(static_cast<int>(gen() % (raw.size() + 1)), raw.data(), 2);
        ASSERT_TRUE(p.len >= 0 && p.len <= 63 && p.nRepl <= 63);
        p.BegGet();
        for (CMes m; p.GetMes(m);) ReadEverything(m, static_cast<int>(gen() % 70));
        p.SetOrigMes(static_cast<int>(gen() % 256), static_cast<int>(gen() % 16));
        p.Link(other);
        p.AddRepl(static_cast<unsigned char>(gen()));
        p.AddIdent(3);
        p.DelIdent();
        ASSERT_TRUE(p.len <= 63 && other.len <= 63);
    }
}
