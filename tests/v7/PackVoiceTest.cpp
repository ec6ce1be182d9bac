#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "PackVoice.h"

namespace {

TEST(PackVoice, NewAndReceivedFrames) {
    CPackVoice v;
    EXPECT_EQ(v.GetLength(), 124);
    EXPECT_EQ(v.GetNumCall(), -1);
    for (int i = 0; i < 256; ++i) {
        EXPECT_EQ(v.GetBuf()[i], i == 97 ? 27 : 0) << i;
    }

    std::vector<unsigned char> raw(300);
    for (size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<unsigned char>(i * 7 + 1);
    }
    const CPackVoice got(130, raw.data());
    EXPECT_EQ(got.GetLength(), 130);
    EXPECT_EQ(got.GetNumCall(), -1);
    EXPECT_EQ(0, std::memcmp(got.GetBuf(), raw.data(), 130));
    EXPECT_EQ(got.GetBuf()[130], 0);
    EXPECT_EQ(got.GetBuf()[97], raw[97]);

    EXPECT_EQ(CPackVoice(256, raw.data()).GetLength(), 256);
    for (const int n : {300, 257, -1}) {
        const CPackVoice empty(n, raw.data());
        EXPECT_EQ(empty.GetLength(), 0) << n;
        EXPECT_EQ(empty.GetBuf()[0], 0) << n;
    }
    EXPECT_EQ(CPackVoice(10, nullptr).GetLength(), 0);
}

TEST(PackVoice, FieldsSitWhereTheFrameHasThem) {
    CPackVoice v;
    unsigned char voice[97];
    for (int i = 0; i < 97; ++i) {
        voice[i] = static_cast<unsigned char>(0x80 + i);
    }
    v.SetVoice(voice);
    v.SetOrigUM(1);
    v.SetOrigSlot(2);
    v.SetOrigDev(3);
    v.SetOrigPoint(4);
    v.SetDestUM(5);
    v.SetDestSlot(6);
    v.SetDestDev(7);
    v.SetDestPoint(8);
    v.SetHop(9);
    v.SetTyp(10);
    DBGUID g;
    g = L"00112233445566778899AABBCCDDEEFF";
    v.SetGUID(g);

    const unsigned char* b = v.GetBuf();
    EXPECT_EQ(0, std::memcmp(b, voice, 97));
    EXPECT_EQ(v.GetDirect(), 0x80 + 96);
    EXPECT_EQ(b[97], 27);
    const unsigned char route[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(0, std::memcmp(b + 98, route, 9));
    EXPECT_EQ(0, std::memcmp(b + 107, static_cast<const GUID*>(&g), 16));
    EXPECT_EQ(b[123], 10);
    EXPECT_EQ(v.GetGUID(), g);
    EXPECT_EQ(v.GetOrigPoint(), 4);
    EXPECT_EQ(v.GetDestDev(), 7);
    EXPECT_EQ(v.GetLength(), 124);
}

TEST(PackVoice, HopCounterStopsAtFifteen) {
    CPackVoice v;
    for (int i = 1; i <= 15; ++i) {
        ASSERT_EQ(v.IncHop(), 1) << i;
        EXPECT_EQ(v.GetHop(), i);
    }
    EXPECT_EQ(v.IncHop(), 0);
    EXPECT_EQ(v.GetHop(), 15);
}

TEST(PackVoice, ErrorAnswers) {
    CPackVoice v;
    EXPECT_EQ(v.GetError(), -1);
    v.SetError(CPackVoice::codError(7));
    EXPECT_EQ(v.GetLength(), 125);
    EXPECT_EQ(v.GetTyp(), 254);
    EXPECT_EQ(v.GetBuf()[124], 7);
    EXPECT_EQ(v.GetError(), 7);

    std::vector<unsigned char> raw(200, 0x11);
    CPackVoice longer(200, raw.data());
    longer.SetError(CPackVoice::codError(3));
    EXPECT_EQ(longer.GetLength(), 200);
    EXPECT_EQ(longer.GetError(), 3);

    // Type 254 in a 124-byte frame: no room for a code.
    CPackVoice typed;
    typed.SetTyp(CPackVoice::typError);
    EXPECT_EQ(typed.GetError(), -1);
}

TEST(PackVoice, AnswersReverseTheRoute) {
    CPackVoice r;
    const unsigned char orig[4] = {1, 2, 3, 4};
    const unsigned char dest[4] = {5, 6, 7, 8};
    r.SetOrigUM(1), r.SetOrigSlot(2), r.SetOrigDev(3), r.SetOrigPoint(4);
    r.SetDestUM(5), r.SetDestSlot(6), r.SetDestDev(7), r.SetDestPoint(8);
    r.SetNumCall(42);
    DBGUID g;
    ASSERT_TRUE(g.Generate());
    r.SetGUID(g);

    CPackVoice a(r.GetLength(), r.GetBuf());
    a.SetAnswer(r);
    EXPECT_EQ(a.GetNumCall(), 42);
    EXPECT_EQ(0, std::memcmp(a.GetBuf() + 98, dest, 4));
    EXPECT_EQ(0, std::memcmp(a.GetBuf() + 102, orig, 4));
    EXPECT_EQ(a.GetGUID(), g);

    CPackVoice other;
    other.SetAnswer(r);
    EXPECT_EQ(other.GetGUID(), g);
    EXPECT_EQ(other.GetOrigUM(), 5);
    EXPECT_EQ(other.GetDestPoint(), 4);

    a.SetAnswer();
    EXPECT_EQ(0, std::memcmp(a.GetBuf() + 98, orig, 4));
    EXPECT_EQ(0, std::memcmp(a.GetBuf() + 102, dest, 4));
    a.SetAnswer(a);
    EXPECT_EQ(0, std::memcmp(a.GetBuf() + 98, dest, 4));
}

TEST(PackVoice, CopiesAndText) {
    std::vector<unsigned char> raw = {0x0A, 0xFF, 0x00};
    CPackVoice v(3, raw.data());
    v.SetNumCall(9);
    CPackVoice c;
    c = v;
    EXPECT_EQ(c.GetLength(), 3);
    EXPECT_EQ(c.GetNumCall(), 9);
    EXPECT_EQ(c.GetBuf()[97], 0);  // the old frame's mark is gone
    EXPECT_EQ(c.ToString(L"V"), DBString(L"V 0A FF 00"));
    EXPECT_EQ(CPackVoice(0, nullptr).ToString(nullptr), DBString(L""));
    const CPackVoice copy(c);
    EXPECT_EQ(copy.ToString(L""), DBString(L" 0A FF 00"));
}

}  // namespace
