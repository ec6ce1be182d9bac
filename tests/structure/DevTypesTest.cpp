#include <gtest/gtest.h>

#include <map>
#include <vector>

#include "Dev.h"
#include "LoadRes.h"
#include "Mes.h"

namespace {

// A device-parameters answer of device 5 as the unit sends it: `len` units, the parameter
// units given by number (units 0 and 1 carry the device and the sub-address).
CMes Report(int len, const std::map<int, int>& params, int ask = CMes::askDevParam) {
    unsigned char raw[CMes::kMaxUnits] = {};
    CMes::SetAdr(raw, 23, 6);
    CMes::SetAdr(raw + 2, 255, 15);
    raw[5] = CMes::mesDevAnswer;
    raw[6] = 5 >> 2;
    raw[7] = static_cast<unsigned char>(((5 & 3) << 4) | (ask & 15));
    for (const auto& [unit, value] : params) raw[6 + unit] = static_cast<unsigned char>(value);
    return CMes(len, raw);
}

CMes Short(int type, int variant, int u3 = 0, int u4 = 0) {
    return Report(14, {{2, type}, {3, u3}, {4, u4}, {5, variant}});
}

CMes Long(int type, int u5, int u7, int u9, int u10, int u11, int u20 = 0, int len = 30) {
    return Report(len, {{2, type}, {5, u5}, {6, 0}, {7, u7}, {9, u9}, {10, u10}, {11, u11}, {20, u20}});
}

// Names are compared in English unless a test says otherwise; the flag is global.
class DevTypes : public ::testing::Test {
protected:
    void SetUp() override { g_StringENU = true; }
    void TearDown() override { g_StringENU = saved_; }
    static DBString En(int n) { return LoadStringFromResourceENU(n); }

private:
    bool saved_ = g_StringENU;
};

TEST_F(DevTypes, SetParDevTakesEachFieldFromItsOwnUnit) {
    // Every unit of a sample holds a value of its own, so a field read from a neighbour shows.
    CMes sixth = Long(14, 5, 2, 4, 7, 12);
    sixth.SetByte(6, 1);
    const CMes lng = Long(14, 37, 0, 6, 1, 2, 1);
    const int v47 = 47 | 12 << 8, v61 = 61 | 2 << 8, v62 = 62 | 2 << 8, vBig = (630 + 63) % 256 | 1 << 8;
    struct Case {
        const char* what;
        std::vector<CMes> before;
        CMes report;
        int changed, type, variant, vers;
        bool versFlag, isLong;
    } cases[] = {
        {"short", {}, Short(11, 37, 0x24, 0x28), 1, 11, 37, 0, false, false},
        {"same short again", {Short(11, 37)}, Short(11, 37), 0, 11, 37, 0, false, false},
        {"long", {}, Long(14, 5, 2, 4, 7, 12, 3), 1, 14, 133, v47, true, true},
        {"40 units are long", {}, Long(14, 5, 2, 4, 7, 12, 2, 40), 1, 14, 133, v47, false, true},
        {"new version, same kind", {lng}, Long(14, 37, 0, 6, 2, 2, 1), 0, 14, 37, v62, true, true},
        {"same kind short keeps version", {lng}, Short(14, 37), 0, 14, 37, v61, true, false},
        {"other type short clears it", {lng}, Short(12, 37), 1, 12, 37, 0, false, false},
        {"other variant short clears it", {lng}, Short(14, 38), 1, 14, 38, 0, false, false},
        {"neither form after long", {lng}, Report(20, {{2, 11}, {5, 9}}), 0, 14, 37, v61, true, true},
        {"29 units: the type alone", {}, Long(12, 5, 2, 4, 7, 12, 1, 29), 1, 12, 0, 0, false, false},
        {"unit 6 not 0: no long form", {}, sixth, 1, 14, 0, 0, false, false},
        {"digits stay in the low byte", {}, Long(12, 1, 0, 63, 63, 1), 1, 12, 1, vBig, false, true},
        {"other sub-address", {}, Report(14, {{2, 11}, {5, 3}}, CMes::askLbNVRAM), 0, 0, 0, 0, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CDev d(5, nullptr, CDev::devNone, nullptr);
        for (const CMes& m : c.before) d.SetParDev(m);
        EXPECT_EQ(d.SetParDev(c.report), c.changed);
        EXPECT_EQ(d.Typ(), c.type);
        EXPECT_EQ(d.Variant(), c.variant);
        EXPECT_EQ(d.Vers(), c.vers);
        EXPECT_EQ(d.VersFlag(), c.versFlag);
        EXPECT_EQ(d.IsLongReport(), c.isLong);
        int a = -1, b = -1, v = -1, e = -1;
        EXPECT_EQ(d.GetVers(a, b, v, e), c.vers != 0);
        if (c.vers != 0) {
            EXPECT_EQ(std::vector<int>({a, b, v, e}),
                      std::vector<int>({0, (c.vers & 0xFF) / 10, (c.vers & 0xFF) % 10, c.vers >> 8}));
        }
    }
    // Unit 3: bits 2-3 the mode, bit 5 flag A; unit 4: bits 5, 4, 3, 2 the flags B, C, D, E.
    CDev d(5, nullptr, CDev::devNone, nullptr);
    d.SetParDev(Short(11, 37, 0x24, 0x28));
    EXPECT_EQ(d.ModeBits(), 1);
    EXPECT_EQ(std::vector<bool>({d.FlagA(), d.FlagB(), d.FlagC(), d.FlagD(), d.FlagE()}),
              std::vector<bool>({true, true, false, true, false}));
}

TEST_F(DevTypes, EveryTypeIsNamedByItsOwnText) {
    // Type, variant, terminal type; the name is the first text, then a blank and the second.
    const int cases[][5] = {
        {4, 0, 0, 41009, 0},   {6, 0, 0, 41000, 0},      {7, 5, 0, 41001, 0},       {8, 1, 0, 41002, 0},
        {8, 6, 0, 41002, 0},   {8, 7, 0, 41003, 0},      {8, 9, 0, 41003, 0},       {8, 0, 0, 41004, 0},
        {8, 10, 0, 41004, 0},  {9, 0, 0, 41005, 0},      {10, 1, 0, 41006, 0},      {10, 3, 0, 41007, 0},
        {10, 2, 0, 41008, 0},  {11, 0, 0, 41040, 41243}, {12, 37, 0, 41071, 41280}, {14, 31, 0, 41242, 41247},
        {13, 0, 38, 43091, 0}, {16, 0, 0, 41072, 0},     {18, 0, 0, 41073, 0},      {19, 0, 0, 41296, 0},
    };
    auto name = [](int type, int variant, int term) {
        CDev d(1, nullptr, static_cast<CDev::typDev>(type), nullptr);
        d.SetVariant(variant);
        d.SetTypTerm(static_cast<CDev::typTerm7>(term));
        return d.TypLB();
    };
    for (const auto& c : cases)
        EXPECT_EQ(name(c[0], c[1], c[2]), c[4] ? En(c[3]) + L" " + En(c[4]) : En(c[3]))
            << c[0] << "/" << c[1];
    EXPECT_EQ(name(12, 96, 0), En(41071) + L"  (96)");
    EXPECT_EQ(name(14, 136, 0), En(41242) + L" ALPACA");
    EXPECT_EQ(name(13, 0, 40), En(43310) + L" (40)");
    for (int type : {0, 3, 15, 17}) EXPECT_EQ(name(type, 5, 0), L"(" + std::to_wstring(type) + L") (5)");
}

TEST_F(DevTypes, ControllerAndTerminalRangesReachTheirOwnTexts) {
    // The English table names each controller and terminal text after its number, so a
    // shifted range shows up as a wrong number anywhere inside it.
    CDev d(1, nullptr, CDev::devLB11, nullptr);
    auto numbered = [](const wchar_t* fmt, int v) {
        DBString s;
        s.Format(fmt, v);
        return s;
    };
    for (int v = 0; v <= 129; ++v)
        EXPECT_EQ(d.NameController(v), v == 96 ? numbered(L" (%d)", v) : numbered(L"Controller %d", v)) << v;
    const wchar_t* fixed[] = {
        L"KONEL", L"THYSSEN H300", L"REKOBA (MC10 S+)", L"YASKAWA (MC1001)", L"MITSUBISHI MBS",
        L"SMS",   L"ALPACA"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(d.NameController(130 + i), fixed[i]) << 130 + i;
    for (int v : {137, -1}) EXPECT_EQ(d.NameController(v), numbered(L" (%d)", v)) << v;

    for (int t = 0; t <= 40; ++t) {
        bool known = false;
        const bool named = t >= 2 && t <= 39;
        EXPECT_EQ(d.TypTerm7(static_cast<CDev::typTerm7>(t), &known),
                  named ? numbered(L"Terminal %d", t) : numbered(L" (%d)", t))
            << t;
        EXPECT_EQ(known, named) << t;
    }
}

TEST_F(DevTypes, NamesFollowTheDevicesLanguage) {
    g_StringENU = false;
    CDev ru(1, nullptr, CDev::devLB14, nullptr);
    ru.SetVariant(2);
    EXPECT_TRUE(ru.Language());
    EXPECT_EQ(ru.TypLB(), LoadStringFromResource(41242) + L" " + LoadStringFromResource(41245));
    EXPECT_NE(ru.TypLB(), En(41242) + L" " + En(41245)) << "the two tables must differ for this test";
    ru.SetLanguage(false);
    EXPECT_EQ(ru.TypLB(), En(41242) + L" " + En(41245));

    g_StringENU = true;
    EXPECT_FALSE(CDev(1, nullptr, CDev::devLB14, nullptr).Language());
}

// What the tool itself never asks of a device, one sample each.
TEST_F(DevTypes, GenerationsAndHardwareKinds) {
    for (int t = 0; t <= 20; ++t) {
        const CDev d(1, nullptr, static_cast<CDev::typDev>(t), nullptr);
        EXPECT_EQ(std::vector<bool>({d.IsV6(), d.IsV7(), d.IsPro(), d.IsIT(), d.IsKnovExt()}),
                  std::vector<bool>({t == 11 || t == 12 || t == 14, t == 14, t == 12 || t == 14,
                                     t == 16 || t == 18 || t == 19, t < 7 || t > 10}))
            << t;
    }
    CDev term(1, nullptr, CDev::devTerm7, nullptr), pro(1, nullptr, CDev::devNone, nullptr);
    term.SetTypTerm(static_cast<CDev::typTerm7>(7));
    pro.SetParDev(Long(12, 0, 0, 4, 9, 0));
    EXPECT_EQ(std::vector<int>(
                  {term.HardBoot(), pro.HardBoot(), CDev(1, nullptr, CDev::devLB14, nullptr).HardBoot()}),
              std::vector<int>({54, 5, 8}));
    EXPECT_EQ(CDev::DesignLB(2) + CDev::DesignLB(3) + CDev::TypCodec(4) + CDev::TypCodec(-2),
              L"CM33STM32F405-2");
}

}  // namespace
