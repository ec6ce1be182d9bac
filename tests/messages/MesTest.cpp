#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <tuple>
#include <vector>

#include "Mes.h"

namespace {

using Units = std::vector<unsigned char>;

Units operator+(Units a, const Units& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Units RawOf(const CMes& m) {
    return Units(m.data, m.data + m.len);
}

bool AllSixBit(const CMes& m) {
    return std::all_of(m.data, m.data + m.len, [](unsigned char u) { return u < 64; });
}

auto Fields(const CMes& m) {
    return std::make_tuple(m.origNode, m.origSub, m.destNode, m.destSub, m.hops, m.typ, m.dev, m.ask, m.aux,
                           m.alertKind, m.alertCode);
}

// A message rebuilt from its own raw units must decode to what the constructor said.
void ExpectSameDecode(const CMes& built) {
    ASSERT_LT(built.len, 64);
    CMes back(built.len, built.data);
    EXPECT_EQ(RawOf(back), RawOf(built));
    EXPECT_EQ(Fields(back), Fields(built));
    EXPECT_TRUE(back.sost == built.sost);
}

Units Random(int n, unsigned seed) {
    std::mt19937 gen(seed);
    Units b(static_cast<size_t>(n));
    for (auto& x : b) {
        x = static_cast<unsigned char>(gen());
    }
    return b;
}

CMes Dev(int dev, CMes::typMes t, int ask, const Units& p = {}, int tail = -1) {
    return CMes(1, 2, 3, 4, dev, t, static_cast<CMes::askFromMain>(ask), p.empty() ? nullptr : p.data(),
                static_cast<int>(p.size()), tail);
}

}  // namespace

TEST(MesAddress, EveryNodeAndSubRoundTripsInTwoSixBitUnits) {
    for (int node = 0; node < 256; ++node) {
        for (int sub = 0; sub < 16; ++sub) {
            unsigned char p[2];
            CMes::SetAdr(p, node, sub);
            ASSERT_TRUE(p[0] < 64 && p[1] < 64);
            int n = -1, s = -1;
            CMes::GetAdr(p, n, s);
            ASSERT_EQ(std::make_pair(n, s), std::make_pair(node, sub));
        }
    }
}

TEST(MesConstruct, UnitForms) {
    CMes m(10, 2, 255, 15, CMes::mesNvramSlotAsk, 5);
    EXPECT_EQ(RawOf(m), (Units{63, 63, 2, 34, 0, 42, 5}));
    EXPECT_EQ(m.prior, 255);
    EXPECT_EQ(std::make_tuple(m.origNode, m.origSub, m.destNode, m.destSub, m.typ),
              std::make_tuple(255, 15, 10, 2, 42));
    ExpectSameDecode(m);
    // A unit with high bits would pass for a control byte in a line packet.
    EXPECT_TRUE(AllSixBit(CMes(1, 1, 2, 2, CMes::mesSlotPoll, 0xC5)));

    const unsigned char p[] = {1, 2, 3, 70};
    CMes u(4, 3, 2, 1, CMes::mesPultAnnounce, p, 4);
    EXPECT_EQ(u.len, 10);
    EXPECT_EQ(u[3], 70 & 63);
    ExpectSameDecode(u);
    Units big(59, 1);
    EXPECT_EQ(CMes(4, 3, 2, 1, CMes::mesPultAnnounce, big.data(), 59).len, 6);
    EXPECT_EQ(CMes(4, 3, 2, 1, CMes::mesPultAnnounce, big.data(), 58).len, 64);
}

TEST(MesConstruct, DeviceAskPair) {
    // Device 5, sub-address 18: the fifth ask bit rides on bit 5 of unit 6.
    CMes m = Dev(5, CMes::mesDevAnswer, 18);
    EXPECT_EQ(RawOf(m), (Units{0, 52, 0, 18, 0, 26, 33, 18}));
    EXPECT_EQ(std::make_pair(m.dev, m.ask), std::make_pair(5, 18));
    ExpectSameDecode(m);

    // Above device 127 that bit is ambiguous: 200 and 72 travel the same way.
    CMes d200 = Dev(200, CMes::mesDevAsk, 18);
    EXPECT_EQ(RawOf(d200), RawOf(Dev(72, CMes::mesDevAsk, 18)));
    EXPECT_EQ(d200.dev, 200);
    EXPECT_EQ(CMes(d200.len, d200.data).dev, 72);

    // Requests and answers use the top device bit for the sub-address; other types keep
    // all eight device bits and only four sub-address bits.
    for (int dev = 0; dev < 256; ++dev) {
        for (int ask = 0; ask < 32; ++ask) {
            CMes r = Dev(dev, CMes::mesDevAsk, ask);
            CMes b(r.len, r.data);
            ASSERT_EQ(b.dev, dev & 127) << dev << " " << ask;
            ASSERT_EQ(b.ask, dev < 128 ? ask : (ask | 16)) << dev << " " << ask;
            CMes rep = Dev(dev, CMes::mesDevReport, ask);
            CMes c(rep.len, rep.data);
            ASSERT_EQ(c.ask, ask & 15);
            ASSERT_TRUE(ask > 15 || c.dev == dev);
        }
    }
}

TEST(MesConstruct, PayloadAndTailLimits) {
    const Units p54(54, 9), p55(55, 9);
    EXPECT_EQ(Dev(7, CMes::mesDevAsk, 15, p54).len, 62);
    ExpectSameDecode(Dev(7, CMes::mesDevAsk, 15, p54));
    EXPECT_EQ(Dev(7, CMes::mesDevAsk, 15, p55).len, 8);
    EXPECT_EQ(Dev(7, CMes::mesDevAsk, 15, p55, 4).len, 10);

    CMes t = Dev(7, CMes::mesDevAsk, 15, {}, 255);
    EXPECT_EQ(Units(t.data + 8, t.data + t.len), (Units{63, 48}));
    EXPECT_EQ(Dev(7, CMes::mesDevAsk, 15, {}, 256).len, 8);

    // A full payload and a tail fill all 64 units, which no receiver can load; 63 loads.
    CMes max = Dev(7, CMes::mesDevAsk, 15, p54, 1);
    EXPECT_EQ(max.len, 64);
    CMes m;
    EXPECT_EQ(m.SetDann(64, max.data), 0);
    EXPECT_EQ(m.len, 0);
    EXPECT_EQ(m.SetDann(63, max.data), 1);
    EXPECT_EQ(std::make_tuple(m.len, m.typ, m.dev), std::make_tuple(63, 58, 7));
    EXPECT_EQ(m.SetDann(-1, max.data), 0);
    EXPECT_EQ(m.SetDann(3, nullptr), 0);
}

TEST(MesConstruct, NvramBlockJobAndAnswer) {
    const Units bytes = Random(33, 4);
    CMes job(1, 2, 3, 4, CMes::jobWrite, 2475, 5, bytes.data());
    EXPECT_EQ(Units(job.data + 5, job.data + 10), (Units{45, 2475 & 63, 2475 >> 6, 5, 1}));
    EXPECT_EQ(job.len, 18);
    EXPECT_TRUE(AllSixBit(job));
    ExpectSameDecode(job);

    int addr = -1, count = -1;
    unsigned char out[40];
    EXPECT_EQ(job.GetNVRAM(addr, count, out, sizeof out), 1);
    EXPECT_EQ(std::make_pair(addr, count), std::make_pair(2475, 5));
    EXPECT_EQ(Units(out, out + 6), Units(bytes.begin(), bytes.begin() + 5) + Units{0});

    CMes maxJob(1, 2, 3, 4, CMes::jobWrite, 0, 33, bytes.data());
    EXPECT_EQ(maxJob.len, 54);
    maxJob.GetNVRAM(addr, count, out, sizeof out);
    EXPECT_EQ(Units(out, out + count), bytes);
    maxJob.GetNVRAM(addr, count, out, 4);
    EXPECT_EQ(count, 4);
    EXPECT_EQ(CMes(1, 2, 3, 4, CMes::jobWrite, 0, 34, bytes.data()).len, 10);
    EXPECT_EQ(CMes(1, 2, 3, 4, CMes::jobRead, 0, 33, bytes.data()).len, 10);

    CMes ok(4, 3, 2, 1, CMes::rezOk, 100, 3, bytes.data());
    EXPECT_EQ(std::make_pair(ok.typ, ok.len), std::make_pair(13, 14));
    EXPECT_EQ(ok.GetNVRAM(addr, count, out, sizeof out), 0);
    EXPECT_EQ(std::make_pair(addr, count), std::make_pair(100, 3));

    CMes failed(4, 3, 2, 1, static_cast<CMes::rezNVRAM>(3), 100, 3, bytes.data());
    EXPECT_EQ(failed.len, 10);
    EXPECT_EQ(failed.GetNVRAM(addr, count, out, sizeof out), 3);
    EXPECT_EQ(count, 0);
    out[0] = 7;
    EXPECT_EQ(CMes(1, 1, 2, 2, CMes::mesSlotPoll, 0).GetNVRAM(addr, count, out, 8), 128);
    EXPECT_EQ(out[0], 0);

    // The count unit may promise 33 bytes where two units (one byte) arrived.
    const Units raw = {1, 2, 3, 4, 0, 13, 0, 0, 33, 0, 10, 20};
    CMes(12, raw.data()).GetNVRAM(addr, count, out, sizeof out);
    EXPECT_EQ(count, 1);
}

TEST(MesConstruct, ServiceAndPrefixForms) {
    Units p(6, 0);
    CMes::SetAdr(p.data(), 255, 15);  // second address, units 7 and 8
    p[4] = ((150 >> 2) & 63) | 32;    // device 150 with sub-address 20 at units 11, 12
    p[5] = ((150 & 3) << 4) | (20 & 15);
    CMes s(1, 2, 3, 4, CMes::servRoute, p.data(), 6);
    EXPECT_EQ(std::make_tuple(s.typ, s.len, s.data[6], s.dev, s.ask),
              std::make_tuple(46, 13, 2, 150 & 127, 20));
    ExpectSameDecode(s);
    EXPECT_EQ(s.SetDev(9), 1);
    EXPECT_EQ(s.data[6], 2);  // the service code is left alone
    EXPECT_EQ(std::make_pair(CMes(s.len, s.data).dev, CMes(s.len, s.data).ask), std::make_pair(9, 20));

    CMes a(1, 2, 3, 4, static_cast<CMes::typPrefix>(7), 200);
    EXPECT_EQ(std::make_tuple(a.typ, a.len, a.aux, a.dev), std::make_tuple(61, 8, 7, 200 & 63));
    ExpectSameDecode(a);
    const unsigned char q[] = {5, 6, 7};
    CMes b(1, 2, 3, 4, static_cast<CMes::typPrefix>(9), 12, static_cast<CMes::askFromMain>(25), 3, q);
    EXPECT_EQ(std::make_tuple(b.typ, b.len, b.aux, b.dev, b.ask, b[3]),
              std::make_tuple(62, 12, 9, 12, 25, 5));
    ExpectSameDecode(b);
}

TEST(MesConstruct, Sub18FormPacksItsBytes) {
    // The restart command: bytes 2, 0, 0 in four units.
    CMes r(7, 3, 255, 15, 5, CMes::sub18Restart, nullptr, 0);
    EXPECT_EQ(RawOf(r), (Units{63, 63, 1, 51, 0, 58, 33, 18, 2, 0, 0, 0}));
    EXPECT_EQ(std::make_pair(r.dev, r.ask), std::make_pair(5, 18));
    ExpectSameDecode(r);

    const Units p = Random(100, 8);
    EXPECT_EQ(CMes(7, 3, 255, 15, 5, CMes::sub18Restart, p.data(), 3).len, 16);
    // More than the record holds: what fits is sent, nothing is written past it.
    CMes big(7, 3, 255, 15, 5, CMes::sub18Restart, p.data(), 100);
    EXPECT_EQ(big.len, 64);
    EXPECT_TRUE(AllSixBit(big));
    unsigned char out[42];
    EXPECT_EQ(CMes::Conv6To8(56, big.data + 8, 42, out, 42), 42);
    EXPECT_EQ(Units(out, out + 42), Units{2} + Units(p.begin(), p.begin() + 41));
}

TEST(MesConstruct, AlertCodeGroupsAndPayload) {
    CMes zero(1, 1, 2, 2, CMes::alertNone, nullptr, 0);
    EXPECT_EQ(std::make_tuple(zero.typ, zero.len, zero.alertKind), std::make_tuple(31, 7, 1));
    CMes small(1, 1, 2, 2, static_cast<CMes::typAlert>(0x41), nullptr, 0);
    EXPECT_EQ(RawOf(small), (Units{0, 34, 0, 17, 0, 31, 1, 1, 1}));
    EXPECT_EQ(small.alertCode, 0x41u);
    CMes full(1, 1, 2, 2, static_cast<CMes::typAlert>(0xFFFFFFFFu), nullptr, 0);
    EXPECT_EQ(Units(full.data + 7, full.data + full.len), (Units{63, 63, 63, 63, 63, 3}));
    ExpectSameDecode(full);

    // With bytes all six groups are written and a last short group takes 2 or 3 units.
    const Units p = Random(40, 3);
    unsigned char out[40];
    for (int n : {1, 2, 3, 4, 5, 36, 40}) {
        CMes m(1, 1, 2, 2, static_cast<CMes::typAlert>(0x41), p.data(), n);
        const int kept = std::min(n, 36);
        EXPECT_EQ(m.len, 13 + (4 * kept + 2) / 3) << n;
        EXPECT_EQ(m.alertCode, 0x41u);
        ASSERT_EQ(m.GetAlert(out, sizeof out), kept);
        EXPECT_EQ(Units(out, out + kept), Units(p.begin(), p.begin() + kept));
        ExpectSameDecode(m);
    }
    EXPECT_EQ(zero.GetAlert(out, sizeof out), 0);
}

TEST(MesAccess, ParameterUnitsAndSetters) {
    const unsigned char six[] = {1, 2, 3, 4, 0, 26};
    CMes bare(6, six);
    for (int i = -2; i < 70; ++i) {
        EXPECT_EQ(bare[i], 0) << i;
    }
    EXPECT_EQ(bare.SetByte(0, 5), 0);
    EXPECT_EQ(RawOf(bare), Units(six, six + 6));

    CMes m = Dev(100, CMes::mesDevAsk, 18);
    EXPECT_EQ(m.SetByte(1, 0xC0 | 10), 1);
    // Unit 6 still carries the fifth sub-address bit.
    EXPECT_EQ(std::make_pair(m.data[7], m.ask), (std::pair<unsigned char, int>(10, 26)));
    EXPECT_EQ(m.SetByte(2, 1), 0);
    m.SetByte(1, 18);
    EXPECT_EQ(m.SetOrig(255, 15) + m.SetDest(17, 9) + m.SetDev(5), 3);
    EXPECT_EQ(m.SetTypMes(CMes::mesDevAnswer), 1);
    EXPECT_EQ(Fields(CMes(m.len, m.data)), Fields(m));
    EXPECT_EQ(std::make_tuple(m.origNode, m.destNode, m.destSub, m.dev, m.ask, m.typ),
              std::make_tuple(255, 17, 9, 5, 18, 26));

    EXPECT_EQ(m.IncHopCount(), 1);
    for (int i = 0; i < 80; ++i) {
        m.IncHopCount();
    }
    EXPECT_EQ(std::make_pair(m.hops, m.data[4]), (std::pair<int, unsigned char>(63, 63)));

    const unsigned char three[] = {1, 2, 3};
    CMes s(3, three);
    EXPECT_EQ(s.SetDest(1, 1) + s.SetTypMes(CMes::mesDevAsk) + s.IncHopCount() + s.SetDev(1), 0);
    EXPECT_EQ(RawOf(s), Units(three, three + 3));
}

TEST(MesAccess, IsGoodLooksAtBitFiveOfTheLastUnitOfAnswers) {
    const std::vector<std::pair<Units, bool>> cases = {{{1, 2, 3, 4, 0, 26, 0, 0, 32}, false},
                                                       {{1, 2, 3, 4, 0, 26, 0, 0, 31}, true},
                                                       {{1, 2, 3, 4, 0, 30, 0, 0, 0, 33}, false},
                                                       {{1, 2, 3, 4, 0, 10, 0, 0, 0, 32}, true},
                                                       {{1, 2, 3, 4, 0, 58, 0, 0, 32}, true}};
    for (const auto& [raw, good] : cases) {
        EXPECT_EQ(CMes(static_cast<int>(raw.size()), raw.data()).IsGood(), good) << int(raw[5]);
    }
}

TEST(MesRead, SlotNvramWordAnswerForEveryValue) {
    int index = -1;
    unsigned short value = 1;
    for (int v = 0; v < 65536; ++v) {
        const Units raw = {1,
                           2,
                           3,
                           4,
                           0,
                           10,
                           static_cast<unsigned char>(v % 64),
                           static_cast<unsigned char>((v >> 8) & 63),
                           static_cast<unsigned char>(((v >> 14) & 3) | ((v & 15) << 2)),
                           static_cast<unsigned char>((((v >> 4) & 15) << 2) | 3)};
        ASSERT_EQ(CMes(10, raw.data()).GetNVRAM(index, value), 1);
        ASSERT_EQ(std::make_pair(index, int(value)), std::make_pair(v % 64, v));
    }
    // A short answer would read as a word of zeros and overwrite a good one.
    const Units shortRaw = {1, 2, 3, 4, 0, 10, 5, 63, 63};
    EXPECT_EQ(CMes(9, shortRaw.data()).GetNVRAM(index, value), 0);
    EXPECT_EQ(std::make_pair(index, int(value)), std::make_pair(0, 0));
}

TEST(MesRead, LiftStateReport) {
    Units p(22, 0);   // from unit 8
    p[4] = 0x05;      // extended bits 0 and 2
    p[5] = 0x02;      // extended bit 7
    p[6] = 17;        // level
    p[7] = 0x30 | 9;  // mode 9 under other bits
    p[10] = 0x2A;     // fault code bits 0..1 = 2
    p[11] = 0x15;     // fault code bits 2..7
    p[12] = 0x01;     // call 1
    p[15] = 0x20;     // call 24
    p[16] = 0x02;     // command 2
    p[19] = 0x20;     // command 24
    CMes m = Dev(6, CMes::mesDevAnswer, CMes::askState, p);
    ASSERT_EQ(m.len, 30);
    EXPECT_EQ(std::make_tuple(m.LvlAsk10(), m.CurLvl(), int(m.Mode()), m.CodDmamge()),
              std::make_tuple(2, 17, 9, (0x15 << 2) | 2));
    std::vector<bool> bits, asks, cmds;
    for (int b = 0; b < 9; ++b) {
        bits.push_back(m.TestBit(static_cast<CMes::bitExtended>(b)));
    }
    for (int n : {0, 1, 2, 24, 25}) {
        asks.push_back(m.TestAsk(n));
        cmds.push_back(m.TestCmd(n));
    }
    EXPECT_EQ(bits, (std::vector<bool>{1, 0, 1, 0, 0, 0, 0, 1, 0}));
    EXPECT_EQ(asks, (std::vector<bool>{0, 1, 0, 1, 0}));
    EXPECT_EQ(cmds, (std::vector<bool>{0, 0, 1, 1, 0}));

    CMes mid = Dev(6, CMes::mesDevAnswer, CMes::askState, Units(p.begin(), p.end() - 1));
    EXPECT_EQ(std::make_tuple(mid.LvlAsk10(), mid.CurLvl(), mid.TestAsk(1)), std::make_tuple(1, 17, false));
    CMes low = Dev(6, CMes::mesDevAnswer, CMes::askState, Units(p.begin(), p.begin() + 13));
    EXPECT_EQ(std::make_tuple(low.LvlAsk10(), low.CurLvl(), low.TestBit(CMes::bitExt0)),
              std::make_tuple(0, 0, false));
    CMes other = Dev(6, CMes::mesDevAnswer, CMes::askLbNVRAM, p);
    EXPECT_EQ(std::make_tuple(other.LvlAsk10(), other.CurLvl(), int(other.Mode()), other.CodDmamge(),
                              other.TestCmd(24)),
              std::make_tuple(-1, 0, 0, 0, false));
}

TEST(MesRead, ProgrammingAndStatisticsData) {
    const Units bytes = Random(30, 11);
    Units units(40);
    ASSERT_EQ(CMes::Conv8To6(30, bytes.data(), units.data(), 40), 40);
    unsigned char out[32];
    // Type 26 carries the data from unit 12, every other type from unit 11.
    CMes a = Dev(6, CMes::mesDevAnswer, 15, Units(4, 0) + units);
    EXPECT_EQ(a.GetIAP(out, sizeof out), 30);
    EXPECT_EQ(Units(out, out + 30), bytes);
    EXPECT_EQ(a.GetIAP(out, 10), 10);
    CMes b = Dev(6, CMes::mesDevReport, 15, Units(3, 0) + units);
    EXPECT_EQ(b.GetIAP(out, sizeof out), 30);
    EXPECT_EQ(Units(out, out + 30), bytes);
    EXPECT_EQ(Dev(6, CMes::mesDevAnswer, 15).GetIAP(out, sizeof out), 0);

    const float want[4] = {1.5f, -2.25f, 3.0e6f, 0.1f};
    unsigned char fb[16];
    std::memcpy(fb, want, 16);  // the test host is little-endian like the wire
    Units su(24);
    CMes::Conv8To6(16, fb, su.data(), 24);
    const Units sp = Units(10, 0) + Units(su.begin(), su.begin() + 22);
    CMes st(1, 2, 3, 4, static_cast<CMes::typMes>(27), sp.data(), 32);
    float got[4] = {};
    EXPECT_EQ(st.GetSTAT(got[0], got[1], got[2], got[3]), 1);
    EXPECT_EQ(std::memcmp(got, want, 16), 0);
    // One unit short of the last byte: nothing is reported.
    CMes cut(1, 2, 3, 4, static_cast<CMes::typMes>(27), sp.data(), 31);
    EXPECT_EQ(cut.GetSTAT(got[0], got[1], got[2], got[3]), 0);
    EXPECT_EQ(got[3], 0.0f);
}

TEST(MesPacking, EveryByteCountRoundTrips) {
    for (int n = 0; n <= 60; ++n) {
        const Units src = Random(n, static_cast<unsigned>(n) + 100);
        Units units(81, 0xEE);
        const int want = 4 * ((n + 2) / 3);
        ASSERT_EQ(CMes::Conv8To6(n, src.data(), units.data(), 80), want) << n;
        ASSERT_TRUE(std::all_of(units.begin(), units.end() - 1, [](int u) { return u < 64; }));
        EXPECT_EQ(units[80], 0xEE);
        Units back(61, 0xEE);
        ASSERT_EQ(CMes::Conv6To8(want, units.data(), n, back.data(), 60), n);
        EXPECT_EQ(Units(back.begin(), back.begin() + n), src) << n;
        EXPECT_EQ(back[60], 0xEE);
    }
}

TEST(MesPacking, LiteralGroupAndBounds) {
    const unsigned char b[] = {0xFF, 0x00, 0xAA};
    unsigned char u[4] = {9, 9, 9, 9};
    EXPECT_EQ(CMes::Conv8To6(3, b, u, 3), 3);  // stops at the end of a short destination
    EXPECT_EQ(Units(u, u + 4), (Units{63, 3, 32, 9}));
    EXPECT_EQ(CMes::Conv8To6(3, b, u, 4), 4);
    EXPECT_EQ(Units(u, u + 4), (Units{63, 3, 32, 42}));

    unsigned char bytes[4] = {9, 9, 9, 9};
    EXPECT_EQ(CMes::Conv6To8(4, u, 3, bytes, 2), 2);
    EXPECT_EQ(Units(bytes, bytes + 3), (Units{0xFF, 0x00, 9}));
    // Fewer units than a group: the missing ones read as zero, never past the source.
    EXPECT_EQ(CMes::Conv6To8(2, u, 3, bytes, 4), 3);
    EXPECT_EQ(Units(bytes, bytes + 4), (Units{0xFF, 0x00, 0x00, 0x00}));
}

TEST(MesText, StrPrintsEveryUnit) {
    CMes m(10, 2, 255, 15, CMes::mesNvramSlotAsk, 5);
    EXPECT_EQ(m.Str(L">"), std::wstring(L"> 3F 3F 02 22 00 2A 05"));
    EXPECT_EQ(m.Str(), std::wstring(L" 3F 3F 02 22 00 2A 05"));
}

TEST(MesState, ReportsFillTheStateRecordAndCopiesAreExact) {
    const Units st = {1, 2, 3, 0x08 | 4, 5, 6, 7, 8, 0, 0};
    CMes a = Dev(6, CMes::mesDevAnswer, 0, st);
    EXPECT_EQ(std::make_pair(a.sost.len, int(a.sost[3])), std::make_pair(8, 0x0C));
    ExpectSameDecode(a);
    // Differs only in bit 3 of state unit 3: the same state for reporting, not equal.
    Units st2 = st;
    st2[3] = 4;
    CMes b = Dev(6, CMes::mesDevAnswer, 0, st2);
    EXPECT_TRUE(a.sost.EQ(b.sost));
    EXPECT_FALSE(a.sost == b.sost);

    // A report with the "not link" flag (CLB bit 11) drops its stale state units.
    const Units st3 = {1, 2, 3, 4, 0, 0x20};
    CMes r = Dev(6, CMes::mesDevReport, 0, st3);
    EXPECT_EQ(r.sost.len, 0);
    EXPECT_TRUE(r.sost.tstBit(42));
    EXPECT_EQ(Dev(6, CMes::mesDevAnswer, 0, st3).sost.len, 4);
    EXPECT_EQ(Dev(6, CMes::mesDevAsk, 0, st).sost.len, 0);

    // The state record's own assignment merges; a message copy must not.
    r.prior = 7;
    a = r;
    EXPECT_EQ(std::make_tuple(a.sost.len, a.prior, a.len), std::make_tuple(0, 7, 14));
    EXPECT_TRUE(a.sost == r.sost);
}

TEST(MesFuzz, RandomUnitsNeverReadOutOfBounds) {
    std::mt19937 gen(20240611u);
    static const int kTypes[] = {10, 13, 14, 25, 26, 29, 30, 31, 45, 46, 58, 61, 62};
    for (int iter = 0; iter < 20000; ++iter) {
        // Exactly n bytes on the heap, so the sanitizer sees any read past them.
        Units raw(gen() % 70);
        const int n = static_cast<int>(raw.size());
        for (auto& b : raw) {
            b = static_cast<unsigned char>((gen() % 4 == 0) ? gen() : gen() % 64);
        }
        if (n > 5 && gen() % 2 == 0) {
            raw[5] = static_cast<unsigned char>(kTypes[gen() % std::size(kTypes)]);
        }
        CMes m(n, raw.data());
        ASSERT_EQ(m.len, n < 64 ? n : 0);
        ASSERT_TRUE(m.dev >= 0 && m.dev <= 255 && m.ask >= 0 && m.ask <= 31);

        Units out(gen() % 70);
        const int size = static_cast<int>(out.size());
        int a = 0, c = 0;
        unsigned short w = 0;
        float f[4];
        m.GetNVRAM(a, w);
        if (m.GetNVRAM(a, c, out.data(), size) != 128) {
            ASSERT_LE(c, size);
        }
        ASSERT_LE(m.GetIAP(out.data(), size), size);
        ASSERT_LE(m.GetAlert(out.data(), size), size);
        m.GetSTAT(f[0], f[1], f[2], f[3]);
        for (int k = 0; k <= 25; ++k) {
            m.TestBit(static_cast<CMes::bitExtended>(k % 9));
            m.TestAsk(k);
            m.TestCmd(k);
        }
        ASSERT_EQ(m.Str().size(), static_cast<size_t>(m.len) * 3);
    }
}
