#include <gtest/gtest.h>

#include <map>
#include <tuple>
#include <utility>
#include <vector>

#include "Dev.h"
#include "LoadRes.h"
#include "Mes.h"

namespace {

// A device-parameters answer as the LU sends it: type 26, sub-address 0, `len` raw units,
// parameter units given by number (unit 0 and 1 carry the device and sub-address).
CMes Report(int len, const std::map<int, int>& params, int ask = CMes::askDevParam) {
    unsigned char raw[CMes::kMaxUnits] = {};
    CMes::SetAdr(raw, 23, 6);
    CMes::SetAdr(raw + 2, 255, 15);
    raw[5] = CMes::mesDevAnswer;
    const int dev = 5;
    raw[6] = static_cast<unsigned char>((dev >> 2) & 63);
    raw[7] = static_cast<unsigned char>(((dev & 3) << 4) | (ask & 15));
    for (const auto& [unit, value] : params) raw[6 + unit] = static_cast<unsigned char>(value);
    CMes m(len, raw);
    EXPECT_EQ(m.len, len);
    EXPECT_EQ(m.ask, ask);
    return m;
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
    void SetUp() override {
        saved_ = g_StringENU;
        g_StringENU = true;
    }
    void TearDown() override { g_StringENU = saved_; }

    static DBString En(int n) { return LoadStringFromResourceENU(n); }

private:
    bool saved_ = false;
};

// ---- SetParDev ---------------------------------------------------------------------------

TEST_F(DevTypes, ShortReportSetsTypeVariantAndReportsChangesOnly) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    EXPECT_EQ(d.SetParDev(Short(11, 37)), 1);
    EXPECT_EQ(d.Typ(), CDev::devLB11);
    EXPECT_EQ(d.Variant(), 37);
    EXPECT_FALSE(d.IsLongReport());
    EXPECT_EQ(d.SetParDev(Short(11, 37)), 0) << "the same report changes nothing";
    EXPECT_EQ(d.SetParDev(Short(11, 38)), 1);
    EXPECT_EQ(d.SetParDev(Short(12, 38)), 1);
    int a, b, c, e;
    EXPECT_EQ(d.GetVers(a, b, c, e), 0) << "the short form carries no version";
}

TEST_F(DevTypes, ModeBitsAndFlagsComeFromTheirOwnBits) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    struct Want {
        int mode;
        bool a;
    };
    // Unit 3: bits 2-3 are the mode, bit 5 flag A; bits 0, 1 and 4 mean nothing here.
    const Want unit3[6] = {{0, false}, {0, false}, {1, false}, {2, false}, {0, false}, {0, true}};
    ASSERT_EQ(d.SetParDev(Short(14, 1)), 1);
    for (int bit = 0; bit < 6; ++bit) {
        EXPECT_EQ(d.SetParDev(Short(14, 1, 1 << bit, 0)), 0) << "flags are no change of kind";
        EXPECT_EQ(d.ModeBits(), unit3[bit].mode) << bit;
        EXPECT_EQ(d.FlagA(), unit3[bit].a) << bit;
    }
    d.SetParDev(Short(14, 1, 0x0C, 0));
    EXPECT_EQ(d.ModeBits(), 3);

    // Unit 4: bits 5, 4, 3, 2 are the flags B, C, D, E.
    for (int bit = 0; bit < 6; ++bit) {
        d.SetParDev(Short(14, 1, 0, 1 << bit));
        const bool flags[4] = {d.FlagB(), d.FlagC(), d.FlagD(), d.FlagE()};
        for (int f = 0; f < 4; ++f) EXPECT_EQ(flags[f], bit == 5 - f) << "bit " << bit << " flag " << f;
        EXPECT_FALSE(d.FlagA());
    }
}

TEST_F(DevTypes, LongReportCarriesTheWideVariantAndTheVersion) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    EXPECT_EQ(d.SetParDev(Long(14, 5, 2, 4, 7, 12, 3)), 1);
    EXPECT_TRUE(d.IsLongReport());
    EXPECT_EQ(d.Typ(), CDev::devLB14);
    EXPECT_EQ(d.Variant(), 2 * 64 + 5);
    EXPECT_EQ(d.Vers(), 47 | (12 << 8));
    EXPECT_TRUE(d.VersFlag());
    int a = -1, b = -1, c = -1, e = -1;
    ASSERT_EQ(d.GetVers(a, b, c, e), 1);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 4);
    EXPECT_EQ(c, 7);
    EXPECT_EQ(e, 12);

    EXPECT_EQ(d.SetParDev(Long(14, 5, 2, 4, 7, 12, 2)), 0) << "a new version alone is no change of kind";
    EXPECT_FALSE(d.VersFlag()) << "only bit 0 of unit 20 is the flag";
    EXPECT_EQ(d.SetParDev(Long(14, 5, 2, 4, 7, 12, 2, 40)), 0) << "any length above 29 is long";
    EXPECT_TRUE(d.IsLongReport());
}

TEST_F(DevTypes, TheLongFormNeedsThirtyUnitsAndAZeroSixthUnit) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    d.SetVariant(9);
    // 29 units: neither form, so only the type is taken.
    EXPECT_EQ(d.SetParDev(Long(12, 5, 2, 4, 7, 12, 1, 29)), 1);
    EXPECT_FALSE(d.IsLongReport());
    EXPECT_EQ(d.Typ(), CDev::devLB12);
    EXPECT_EQ(d.Variant(), 9);
    EXPECT_EQ(d.Vers(), 0);

    CMes sixth = Long(14, 5, 2, 4, 7, 12);
    sixth.SetByte(6, 1);
    EXPECT_EQ(d.SetParDev(sixth), 1);
    EXPECT_FALSE(d.IsLongReport());
    EXPECT_EQ(d.Variant(), 9);
    EXPECT_EQ(d.Vers(), 0);
}

TEST_F(DevTypes, OversizedVersionDigitsDoNotSpillIntoTheHighByte) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    d.SetParDev(Long(12, 1, 0, 63, 63, 1));
    EXPECT_EQ(d.Vers() >> 8, 1);
    EXPECT_EQ(d.Vers() & 0xFF, (63 * 10 + 63) & 0xFF);
}

TEST_F(DevTypes, AShortReportAfterALongOneOnlyClearsWhatItContradicts) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    ASSERT_EQ(d.SetParDev(Long(14, 37, 0, 6, 1, 2, 1)), 1);

    // The same kind in the short form: no change, the version stays.
    EXPECT_EQ(d.SetParDev(Short(14, 37)), 0);
    EXPECT_EQ(d.Variant(), 37);
    EXPECT_EQ(d.Vers(), 61 | (2 << 8));
    EXPECT_TRUE(d.VersFlag());
    EXPECT_FALSE(d.IsLongReport());

    // Another type in the short form: the old version belongs to another device.
    ASSERT_EQ(d.SetParDev(Long(14, 37, 0, 6, 1, 2, 1)), 0);
    EXPECT_EQ(d.SetParDev(Short(12, 37)), 1);
    EXPECT_EQ(d.Vers(), 0);
    EXPECT_FALSE(d.VersFlag());
    int a, b, c, e;
    EXPECT_EQ(d.GetVers(a, b, c, e), 0);

    // Another variant does the same.
    ASSERT_EQ(d.SetParDev(Long(14, 37, 0, 6, 1, 2, 1)), 1);
    EXPECT_EQ(d.SetParDev(Short(14, 38)), 1);
    EXPECT_EQ(d.Vers(), 0);
}

TEST_F(DevTypes, NeitherFormAfterALongReportChangesNothing) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    ASSERT_EQ(d.SetParDev(Long(14, 5, 1, 3, 2, 0, 1)), 1);
    const CMes other = Report(20, {{2, 11}, {3, 0x2C}, {4, 0x3C}, {5, 9}});
    EXPECT_EQ(d.SetParDev(other), 0);
    EXPECT_EQ(d.Typ(), CDev::devLB14);
    EXPECT_EQ(d.Variant(), 69);
    EXPECT_EQ(d.Vers(), 32);
    EXPECT_EQ(d.ModeBits(), 0);
    EXPECT_FALSE(d.FlagA());
    EXPECT_FALSE(d.FlagB());
    EXPECT_TRUE(d.IsLongReport());

    // Without a long report before it, the same message sets the type and keeps the variant.
    CDev fresh(5, nullptr, CDev::devNone, nullptr);
    fresh.SetVariant(4);
    EXPECT_EQ(fresh.SetParDev(other), 1);
    EXPECT_EQ(fresh.Typ(), CDev::devLB11);
    EXPECT_EQ(fresh.Variant(), 4);
    EXPECT_EQ(fresh.ModeBits(), 3);
    EXPECT_TRUE(fresh.FlagA());
    EXPECT_TRUE(fresh.FlagE());
}

TEST_F(DevTypes, OnlyTheParametersSubAddressIsTaken) {
    CDev d(5, nullptr, CDev::devNone, nullptr);
    for (int ask : {1, 10, 15}) {
        EXPECT_EQ(d.SetParDev(Report(14, {{2, 11}, {3, 0x2C}, {5, 3}}, ask)), 0) << ask;
        EXPECT_EQ(d.Typ(), CDev::devNone);
        EXPECT_EQ(d.Variant(), 0);
        EXPECT_EQ(d.ModeBits(), 0);
    }
}

// ---- Predicates --------------------------------------------------------------------------

TEST_F(DevTypes, GenerationPredicatesByType) {
    for (int t = 0; t <= 20; ++t) {
        CDev d(1, nullptr, static_cast<CDev::typDev>(t), nullptr);
        const bool v6 = t == 11 || t == 12 || t == 14;
        EXPECT_EQ(d.IsV6(), v6) << t;
        EXPECT_EQ(CDev::IsV6(t), v6) << t;
        EXPECT_EQ(d.IsV7(), t == 14) << t;
        EXPECT_EQ(CDev::IsV7(t), t == 14) << t;
        EXPECT_EQ(d.IsPro(), t == 12 || t == 14) << t;
        EXPECT_EQ(CDev::IsPro(t), t == 12 || t == 14) << t;
        EXPECT_EQ(d.IsIT(), t == 16 || t == 18 || t == 19) << t;
    }
}

TEST_F(DevTypes, KnownExtensionAndExtendedMode) {
    for (int t : {6, 7, 8, 9, 10, 11, 14}) {
        CDev d(1, nullptr, static_cast<CDev::typDev>(t), nullptr);
        const bool old = t >= 7 && t <= 10;
        EXPECT_EQ(d.IsKnovExt(), !old) << t;
        d.SetVariant(1);
        EXPECT_TRUE(d.IsKnovExt()) << t;
    }
    CDev d(1, nullptr, CDev::devLB14, nullptr);
    EXPECT_EQ(d.ExtMode(), -1);
    EXPECT_FALSE(d.IsExtended());
    for (int m : {0, 1, 2, 3}) {
        d.SetExtMode(m);
        EXPECT_EQ(d.IsExtended(), m == 1 || m == 2) << m;
    }
}

TEST_F(DevTypes, BootLoaderDesignAndCodecKinds) {
    const int terminals[] = {48, 49, 52, 53, 52, 54, 55, 56, 58, 59, 59, 52, 60, 61, 62, 63, 66, 56, 67, 68};
    CDev term(1, nullptr, CDev::devTerm7, nullptr);
    for (int t = 0; t <= 23; ++t) {
        term.SetTypTerm(static_cast<CDev::typTerm7>(t));
        const int want = (t >= 2 && t <= 21) ? terminals[t - 2] : 0;
        EXPECT_EQ(term.HardBoot(), want) << t;
    }

    CDev v7(1, nullptr, CDev::devLB14, nullptr);
    EXPECT_EQ(v7.HardBoot(), 8);

    // Type 12 by the tens digit of its version.
    const std::vector<std::pair<int, int>> byTens = {{3, 3}, {4, 5}, {6, 7}, {5, 0}, {2, 0}, {1, 0}};
    for (const auto& [tens, want] : byTens) {
        CDev pro(1, nullptr, CDev::devNone, nullptr);
        pro.SetParDev(Long(12, 0, 0, tens, 9, 0));
        EXPECT_EQ(pro.HardBoot(), want) << tens;
        // The same version on another type means nothing.
        CDev v6(1, nullptr, CDev::devNone, nullptr);
        v6.SetParDev(Long(11, 0, 0, tens, 9, 0));
        EXPECT_EQ(v6.HardBoot(), 0) << tens;
    }
    CDev unversioned(1, nullptr, CDev::devLB12, nullptr);
    EXPECT_EQ(unversioned.HardBoot(), 0);

    // Designs and codecs past the named ones are shown by number.
    EXPECT_EQ(CDev::DesignLB(2), L"CM3");
    EXPECT_EQ(CDev::DesignLB(3), L"3");
    EXPECT_EQ(CDev::TypCodec(4), L"STM32F405");
    EXPECT_EQ(CDev::TypCodec(-2), L"-2");
}

// ---- Names -------------------------------------------------------------------------------

DBString NameOf(int type, int variant, int term = 0) {
    CDev d(1, nullptr, static_cast<CDev::typDev>(type), nullptr);
    d.SetVariant(variant);
    d.SetTypTerm(static_cast<CDev::typTerm7>(term));
    return d.TypLB();
}

TEST_F(DevTypes, OlderModelsAndInterfaceUnits) {
    const std::vector<std::tuple<int, int, int>> cases = {
        {4, 0, 41009},  {6, 0, 41000},  {7, 5, 41001},  {9, 0, 41005},  {16, 0, 41072},
        {18, 0, 41073}, {19, 0, 41296}, {8, 0, 41004},  {8, 1, 41002},  {8, 6, 41002},
        {8, 7, 41003},  {8, 9, 41003},  {8, 10, 41004}, {8, -1, 41004}, {10, 0, 41008},
        {10, 1, 41006}, {10, 2, 41008}, {10, 3, 41007}, {10, 4, 41008},
    };
    for (const auto& [type, variant, mes] : cases)
        EXPECT_EQ(NameOf(type, variant), En(mes)) << type << "/" << variant;

    for (int type : {0, 1, 2, 3, 5, 15, 17, 20, 63}) {
        DBString want;
        want.Format(L"(%d) (%d)", type, 5);
        EXPECT_EQ(NameOf(type, 5), want) << type;
    }
    EXPECT_EQ(NameOf(3, 5), L"(3) (5)");
}

TEST_F(DevTypes, ControllerRangesAtTheirBoundaries) {
    const std::vector<std::pair<int, int>> bounds = {
        {0, 41243},   {3, 41246},   {4, 41248},   {30, 41274},  {31, 41247},  {32, 41275},  {44, 41287},
        {45, 41311},  {51, 41317},  {52, 41320},  {53, 41323},  {54, 41335},  {55, 41338},  {56, 41341},
        {57, 41344},  {58, 41326},  {59, 41329},  {60, 41347},  {61, 41332},  {62, 41350},  {63, 41369},
        {71, 41377},  {72, 41382},  {73, 41383},  {74, 41386},  {75, 43132},  {76, 43133},  {77, 41389},
        {78, 41392},  {79, 43298},  {80, 43323},  {85, 43328},  {86, 43501},  {95, 43510},  {97, 43511},
        {98, 43603},  {104, 43609}, {105, 43617}, {107, 43619}, {108, 43850}, {109, 43012}, {119, 43022},
        {120, 43035}, {124, 43039}, {125, 43046}, {129, 43050},
    };
    CDev d(1, nullptr, CDev::devLB12, nullptr);
    for (const auto& [variant, mes] : bounds) EXPECT_EQ(d.NameController(variant), En(mes)) << variant;

    // The fixed makers' names follow the table.
    const wchar_t* fixed[] = {
        L"KONEL", L"THYSSEN H300", L"REKOBA (MC10 S+)", L"YASKAWA (MC1001)", L"MITSUBISHI MBS",
        L"SMS",   L"ALPACA"};
    for (int i = 0; i < 7; ++i) EXPECT_EQ(d.NameController(130 + i), fixed[i]) << 130 + i;
    for (int v : {96, 137, 200, -1}) {
        DBString want;
        want.Format(L" (%d)", v);
        EXPECT_EQ(d.NameController(v), want) << v;
    }
}

TEST_F(DevTypes, EveryControllerVariantReachesItsOwnText) {
    // The English table names each controller text after its variant, so a shifted range
    // shows up as a wrong number anywhere inside it.
    CDev d(1, nullptr, CDev::devLB11, nullptr);
    for (int v = 0; v <= 129; ++v) {
        if (v == 96) continue;
        DBString want;
        want.Format(L"Controller %d", v);
        EXPECT_EQ(d.NameController(v), want) << v;
    }
}

TEST_F(DevTypes, V6FamilyNamesAreTheModelAndTheController) {
    EXPECT_EQ(NameOf(12, 37), En(41071) + L" " + En(41280));
    EXPECT_EQ(NameOf(12, 96), En(41071) + L" " + L" (96)");
    EXPECT_EQ(NameOf(11, 0), En(41040) + L" " + En(41243));
    EXPECT_EQ(NameOf(14, 136), En(41242) + L" ALPACA");
    EXPECT_EQ(NameOf(14, 31), En(41242) + L" " + En(41247));
}

TEST_F(DevTypes, TerminalRangesAtTheirBoundaries) {
    const std::vector<std::pair<int, int>> bounds = {
        {2, 43006},  {3, 43007},  {4, 43473},  {9, 43478},  {10, 43610}, {14, 43614},
        {15, 43851}, {17, 43853}, {18, 43008}, {21, 43011}, {22, 43023}, {23, 43024},
        {24, 43040}, {29, 43045}, {30, 43051}, {37, 43058}, {38, 43091}, {39, 43097},
    };
    CDev d(1, nullptr, CDev::devTerm7, nullptr);
    for (const auto& [t, mes] : bounds) {
        bool known = false;
        EXPECT_EQ(d.TypTerm7(static_cast<CDev::typTerm7>(t), &known), En(mes)) << t;
        EXPECT_TRUE(known) << t;
        EXPECT_EQ(NameOf(13, 0, t), En(mes)) << t;
    }
    for (int t = 2; t <= 39; ++t) {
        DBString want;
        want.Format(L"Terminal %d", t);
        EXPECT_EQ(d.TypTerm7(static_cast<CDev::typTerm7>(t), nullptr), want) << t;
    }
    for (int t : {0, 1, 40, -3}) {
        bool known = true;
        DBString want;
        want.Format(L" (%d)", t);
        EXPECT_EQ(d.TypTerm7(static_cast<CDev::typTerm7>(t), &known), want) << t;
        EXPECT_FALSE(known) << t;
        EXPECT_EQ(NameOf(13, 0, t), En(43310) + want) << t;
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
    EXPECT_EQ(ru.S(43310), En(43310));

    g_StringENU = true;
    CDev en(1, nullptr, CDev::devLB14, nullptr);
    EXPECT_FALSE(en.Language());
    EXPECT_EQ(en.S(41242), En(41242));
}

}  // namespace
