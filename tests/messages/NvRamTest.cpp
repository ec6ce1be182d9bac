#include <gtest/gtest.h>

#include <random>
#include <set>
#include <vector>

#include "NvRam.h"

namespace {

using Units = std::vector<unsigned char>;

// An LU answer written out unit by unit: sender UM node 10 / slot 2, receiver the tool
// (255/15), no hops, type 26, device 3 with sub-address 15, then the payload.
CMes Answer(const Units& payload) {
    Units raw = {2, 34, 63, 63, 0, 26, 0, 63};
    raw.insert(raw.end(), payload.begin(), payload.end());
    return CMes(static_cast<int>(raw.size()), raw.data());
}

struct Decoded {
    bool ok;
    int index;
    unsigned short value;
    bool isWord;
    unsigned short value2;
    bool hasValue2;
};

Decoded Decode(const CMes& m) {
    // Garbage in every output, so a decoder that forgets one is caught.
    Decoded d{false, -7, 0x5555, false, 0x6666, true};
    d.ok = m.GetLbNVRAM(d.index, d.value, d.isWord, d.value2, d.hasValue2);
    return d;
}

// ---- Answers -----------------------------------------------------------------------------

TEST(LbNvramAnswer, WordFormWithAndWithoutTheDefault) {
    // Word 5 = 0x1234, default 0xABCD: bytes 05 34 12 CD AB packed by hand.
    const Units units = {5, 16, 35, 4, 13, 47, 10, 0};

    const Decoded fifteen = Decode(Answer({units.begin(), units.begin() + 7}));
    EXPECT_TRUE(fifteen.ok);
    EXPECT_TRUE(fifteen.isWord);
    EXPECT_EQ(fifteen.index, 5);
    EXPECT_EQ(fifteen.value, 0x1234);
    EXPECT_FALSE(fifteen.hasValue2) << "15 units carry no second value";
    EXPECT_EQ(fifteen.value2, 0);

    const Decoded sixteen = Decode(Answer(units));
    EXPECT_EQ(sixteen.value, 0x1234);
    EXPECT_TRUE(sixteen.hasValue2);
    EXPECT_EQ(sixteen.value2, 0xABCD);

    // Word 100 = 0xFFFF: the seventh index bit sits in unit 9.
    const Decoded high = Decode(Answer({36, 61, 63, 63}));
    EXPECT_EQ(high.index, 100);
    EXPECT_EQ(high.value, 0xFFFF);

    int index = -1;
    unsigned short value = 0;
    bool isWord = false;
    EXPECT_TRUE(Answer(units).GetLbNVRAM(index, value, isWord));
    EXPECT_EQ(index, 5);
    EXPECT_EQ(value, 0x1234);
    EXPECT_TRUE(isWord);
}

TEST(LbNvramAnswer, ByteForm) {
    // Byte 5000 = 0x5A: bytes 88 A7 5A -> units 8, 30, 42, 22; a further group is no
    // second value in this form.
    const Decoded d = Decode(Answer({8, 30, 42, 22, 1, 2, 3, 4}));
    EXPECT_TRUE(d.ok);
    EXPECT_FALSE(d.isWord);
    EXPECT_EQ(d.index, 5000);
    EXPECT_EQ(d.value, 0x5A);
    EXPECT_FALSE(d.hasValue2);
}

TEST(LbNvramAnswer, ShortAndRandomAnswersAreSafe) {
    const CMes eleven = Answer({63, 63, 63});
    ASSERT_EQ(eleven.len, 11);
    const Decoded d = Decode(eleven);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.index, 0);
    EXPECT_EQ(d.value, 0);
    EXPECT_TRUE(d.isWord);
    EXPECT_FALSE(d.hasValue2);
    EXPECT_FALSE(Decode(CMes()).ok);

    // Received units of any length and content: run under the address sanitizer.
    std::mt19937 rng(4242);
    for (int i = 0; i < 2000; ++i) {
        Units raw(rng() % 64);
        for (auto& u : raw) u = static_cast<unsigned char>(rng());
        const CMes m(static_cast<int>(raw.size()), raw.data());
        const Decoded r = Decode(m);
        ASSERT_EQ(r.ok, m.len >= 12);
        ASSERT_EQ(r.hasValue2, r.ok && r.isWord && m.len >= 16);
        ASSERT_LE(r.index, r.isWord ? 127 : 8191);
    }
}

// ---- Write payload -----------------------------------------------------------------------

TEST(LbNvramWrite, PayloadForAddressesAtEveryBitBoundary) {
    struct Case {
        int address;
        unsigned char value;
        Units units;
    };
    const Case cases[] = {
        {0, 0xA5, {0, 2, 24, 41}},      {7, 0xA5, {7, 2, 24, 41}},   {63, 0xA5, {63, 2, 24, 41}},
        {127, 0xA5, {63, 3, 24, 41}},   {128, 0xA5, {0, 6, 24, 41}}, {8191, 0xA5, {63, 63, 27, 41}},
        {8191, 0xFF, {63, 63, 59, 63}}, {0, 0x00, {0, 2, 8, 0}},
    };
    for (const Case& c : cases) {
        Units units(4);
        ASSERT_TRUE(LbNvramWriteUnits(c.address, c.value, units.data())) << c.address;
        EXPECT_EQ(units, c.units) << c.address;
    }
    Units untouched = {9, 9, 9, 9};
    EXPECT_FALSE(LbNvramWriteUnits(8192, 1, untouched.data()));
    EXPECT_FALSE(LbNvramWriteUnits(-1, 1, untouched.data()));
    EXPECT_EQ(untouched, (Units{9, 9, 9, 9}));
}

TEST(LbNvramWrite, EveryAddressDecodesBackInTheByteForm) {
    // What the tool writes is what an LU reports back for that byte.
    for (int address = 0; address <= kLbNvramMaxAddr; ++address) {
        const unsigned char value = static_cast<unsigned char>(address * 7 + 3);
        Units units(4);
        ASSERT_TRUE(LbNvramWriteUnits(address, value, units.data()));
        const Decoded d = Decode(Answer(units));
        ASSERT_FALSE(d.isWord);
        ASSERT_EQ(d.index, address);
        ASSERT_EQ(d.value, value);
    }
}

// ---- Requests ----------------------------------------------------------------------------

// UM 7, slot 3, LU at device 5; the tool sends as 255/15.
const LuTarget kLu{7, 3, 5};

Units Raw(const std::optional<CMes>& m) {
    return m ? Units(m->data, m->data + m->len) : Units{};
}

Units Request(const Units& tail) {
    Units raw = {63, 63, 1, 51, 0, 58};
    raw.insert(raw.end(), tail.begin(), tail.end());
    return raw;
}

TEST(LuRequests, ExactUnitsOfTheFourRequests) {
    EXPECT_EQ(Raw(LuDevParamsMes(kLu)), Request({1, 16}));
    EXPECT_EQ(Raw(LuNvramReadMes(kLu)), Request({1, 31}));
    // Device 5 with sub-address 18 is sent as units 33, 18.
    EXPECT_EQ(Raw(LuRestartMes(kLu)), Request({33, 18, 2, 0, 0, 0}));
    EXPECT_EQ(Raw(LuRestartMes(kLu)), Raw(CMes(7, 3, 255, 15, 5, CMes::sub18Restart, nullptr, 0)));

    // Word 5 = 0x1234: byte 10 gets 0x34, then byte 11 gets 0x12.
    const auto pair = LuWordWriteRequests(5, 0x1234);
    ASSERT_TRUE(pair);
    EXPECT_EQ(Raw((*pair)[0].ToMes(kLu)), Request({1, 31, 10, 2, 8, 13}));
    EXPECT_EQ(Raw((*pair)[1].ToMes(kLu)), Request({1, 31, 11, 2, 40, 4}));
    EXPECT_EQ(Raw(LuByteWriteMes(kLu, 10, 0x34)), Raw((*pair)[0].ToMes(kLu)));

    EXPECT_EQ(LuDevParamsRequest().prior, 8);
    EXPECT_EQ(LuNvramReadRequest().prior, 8);
    EXPECT_EQ((*pair)[1].prior, 16);
    EXPECT_EQ(LuRestartRequest().prior, 16);

    // The LU reads the restart back as device 5, sub-address 18.
    const auto restart = LuRestartMes(kLu);
    const CMes received(restart->len, restart->data);
    EXPECT_EQ(received.dev, 5);
    EXPECT_EQ(received.ask, 18);
    EXPECT_EQ(received.destNode, 7);
    EXPECT_EQ(received.destSub, 3);
    EXPECT_EQ(received.origNode, 255);
    EXPECT_EQ(received.origSub, 15);
}

TEST(LuRequests, TargetsAndAddressesThatCannotBeReachedAreRefused) {
    // Device 200 would reach the LU as device 72 with its sub-address raised by 16.
    const CMes clash(7, 3, 255, 15, 200, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1);
    const CMes received(clash.len, clash.data);
    ASSERT_EQ(received.dev, 72);
    ASSERT_EQ(received.ask, 31);

    for (const LuTarget& bad : {LuTarget{7, 3, 200}, LuTarget{7, 3, 128}, LuTarget{7, 3, -1},
                                LuTarget{256, 3, 5}, LuTarget{7, 16, 5}, LuTarget{7, 3, 5, 255, 16}}) {
        EXPECT_FALSE(LuDevParamsMes(bad));
        EXPECT_FALSE(LuNvramReadMes(bad));
        EXPECT_FALSE(LuByteWriteMes(bad, 0, 0));
        EXPECT_FALSE(LuRestartMes(bad));
    }
    EXPECT_TRUE(LuRestartMes(LuTarget{255, 15, 127}));
    EXPECT_TRUE(LuWordWriteRequests(kLbNvramMaxWord, 1));
    EXPECT_FALSE(LuWordWriteRequests(kLbNvramMaxWord + 1, 1));
    EXPECT_FALSE(LuByteWriteMes(kLu, 8192, 1));
}

// ---- Slot NVRAM ----------------------------------------------------------------------------

TEST(SlotNvram, WriteUnitsDecodeBackAsAWordAnswer) {
    for (const unsigned short v : {0x0000, 0x1234, 0xFFFF, 0x8001}) {
        Units units(4);
        ASSERT_TRUE(SlotNvramWriteUnits(63, v, units.data()));
        const CMes answer(1, 2, 3, 4, CMes::mesNvramSlot, units.data(), 4);
        int index = -1;
        unsigned short value = 0;
        ASSERT_EQ(answer.GetNVRAM(index, value), 1);
        EXPECT_EQ(index, 63);
        EXPECT_EQ(value, v);
    }
    Units units(4);
    EXPECT_FALSE(SlotNvramWriteUnits(64, 1, units.data()));
}

TEST(SlotNvram, PollingOrderRefreshesTheKeyWordsFirst) {
    CNvRam r;
    std::vector<int> got;
    for (int i = 0; i < 64; ++i) got.push_back(r.NextIndex());
    EXPECT_EQ(std::vector<int>(got.begin(), got.begin() + 12),
              (std::vector<int>{0, 8, 16, 1, 2, 3, 4, 5, 6, 7, 9, 10}));
    EXPECT_EQ(got[17], 17);
    EXPECT_EQ(std::set<int>(got.begin(), got.end()).size(), 64u) << "every word exactly once";
    EXPECT_EQ(r.NextIndex(), 0) << "the 65th call starts over";
    r.next = 1000;
    EXPECT_EQ(r.NextIndex(), 0) << "a stray cursor starts over instead of reading past the table";
}

TEST(SlotNvram, WordsAndReadMarks) {
    CNvRam r;
    unsigned short w = 9;
    EXPECT_EQ(r.GetWord(3, w), 0);
    EXPECT_EQ(r.SetWord(3, 0xBEEF), 1);
    EXPECT_EQ(r.GetWord(3, w), 1);
    EXPECT_EQ(w, 0xBEEF);
    unsigned char b = 0;
    EXPECT_EQ(r.GetLowByte(3, b), 1);
    EXPECT_EQ(b, 0xEF);
    EXPECT_EQ(r.GetHigByte(3, b), 1);
    EXPECT_EQ(b, 0xBE);
    EXPECT_EQ(r.SetWord(63, 1), 1);
    EXPECT_EQ(r.mask[1], 0x80000000u);
    r.ClrMask(3);
    EXPECT_EQ(r.GetWord(3, w), 0);
    EXPECT_EQ(w, 0xBEEF) << "the value stays, only the mark goes";

    w = 7;
    EXPECT_EQ(r.GetWord(64, w), 0);
    EXPECT_EQ(w, 0);
    EXPECT_EQ(r.SetWord(-1, 1), 0);
    r.SetMask(64);
    EXPECT_EQ(r.mask[0], 0u);
    EXPECT_EQ(r.mask[1], 0x80000000u);
}

TEST(SlotNvram, PresenceMapOfTheLine) {
    CNvRam r;
    int present = 77;
    EXPECT_EQ(r.ExistDev(40, present), 0) << "word 34 not read yet";
    EXPECT_EQ(present, 77);
    r.SetWord(34, 1 << 8);
    EXPECT_EQ(r.ExistDev(40, present), 1);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(r.ExistDev(41, present), 1);
    EXPECT_EQ(present, 0);
    r.SetWord(47, 0x8000);
    EXPECT_EQ(r.ExistDev(255, present), 1);
    EXPECT_EQ(present, 1);
    EXPECT_EQ(r.ExistDev(256, present), 0);
    EXPECT_EQ(CNvRam::NumWordLB(256), -1);
}

TEST(SlotNvram, ImageFromLittleEndianBytes) {
    unsigned char bytes[128];
    for (int i = 0; i < 128; ++i) bytes[i] = static_cast<unsigned char>(i);
    CNvRam r;
    r.SetWord(5, 1);
    r.next = 9;
    r = bytes;
    EXPECT_EQ(r.word[0], 0x0100);
    EXPECT_EQ(r.word[63], 0x7F7E);
    EXPECT_EQ(r.GetMask(5), 1);
    EXPECT_EQ(r.next, 9);

    CNvRam other;
    other = bytes;
    EXPECT_TRUE(r == other) << "marks are not compared";
    other.word[40] ^= 1;
    EXPECT_FALSE(r == other);
}

}  // namespace
