#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <tuple>
#include <vector>

#include "DBString.h"

using namespace std::string_literals;

TEST(DBStringUtf8, RoundTripsAndMarksWhatHasNoForm) {
    const std::string cyrillic = "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0";  // Ошибка
    const std::wstring edges = L"\x01\x7F\x80\x7FF\x800\xD7FF\xE000\xFFFF\U00010000\U0010FFFF";
    const std::string edgeBytes =
        "\x01\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
        "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF";
    EXPECT_EQ(std::make_tuple(DBString(cyrillic), DBString(edges).ToStr(), DBString(edgeBytes),
                              DBString("a\0b"s).ToStr()),
              std::make_tuple(DBString(L"Ошибка"), edgeBytes, DBString(edges), "a\0b"s));
    // Any invalid sequence makes the whole text the marker: never valid, lone continuation,
    // overlong forms, surrogates, beyond U+10FFFF, cut short, a continuation missing.
    std::string marked, want;
    for (const char* bad : {"\xFF", "ok\xFE", "\x80", "\xC0\xAF", "\xC1\xBF", "\xE0\x80\xAF",
                            "\xF0\x80\x80\xAF", "\xED\xA0\x80", "\xED\xBF\xBF", "\xF4\x90\x80\x80",
                            "\xF5\x80\x80\x80", "\xE2\x82", "abc\xD0", "\xE2\x28\xA1"}) {
        DBString assigned(L"previous");
        assigned = bad;
        marked += (DBString(bad) + assigned).ToStr() + " ";
        want += "?utf-32??utf-32? ";
    }
    EXPECT_EQ(marked, want);
    for (const wchar_t c : {L'\xD800', L'\xDFFF', static_cast<wchar_t>(0x110000)})
        EXPECT_EQ(DBString(std::wstring(L"ab") + c).ToStr(), "?utf-8?") << static_cast<unsigned>(c);
}

TEST(DBStringFormat, FormatsAppendsAndCutsLongResultsAt32767Characters) {
    DBString s(L"old");
    s.Format(L"%ls=%s %d %02d %X", L"ключ", "narrow", -7, 5, 0xBEEFu);
    s.AppendFormat(L"|%04d", 12);
    const std::wstring tooLong = L"S" + std::wstring(39999, L'y');
    const DBString exact = DBString().Format(L"%ls", std::wstring(32767, L'x').c_str()),
                   cut = DBString().Format(L"<%ls>", tooLong.c_str());
    DBString appended(L"head:");
    appended.AppendFormat(L"%ls", tooLong.c_str());
    EXPECT_EQ(
        std::make_tuple(s, exact.size(), cut.size(), cut.substr(0, 3), appended.size(),
                        appended.substr(0, 6)),
        std::make_tuple(DBString(L"ключ=narrow -7 05 BEEF|0012"), 32767u, 32767u, L"<Sy", 32772u, L"head:S"));
}

TEST(DBStringEdit, TrimSubStrFindReplaceAndSearchKeys) {
    DBString a(L"aaa"), ab(L"abab"), dashes(L"x--y--"), none(L"none"), r(L"abc");
    const int replaced = a.Replace(L"a", L"aa") * 1000 + ab.Replace(L"ab", L"b") * 100 +
                         dashes.Replace(L"--", L"") * 10 +
                         none.Replace(L"zz", L"y");  // never rescans what it put in
    const std::tuple<DBString, const wchar_t*> texts[] = {
        {DBString(L"  \tab c\t  ").Trim(), L"\tab c\t"},  // spaces only
        {DBString(L"     ").Trim(), L""},
        {DBString(L"  \"abc\"  ").TrimArg() + L"|" + DBString(L"\"abc").TrimArg() + L"|" +
             DBString(L"abc\"").TrimArg() + L"|" + DBString(L"\"\"x\"\"").TrimArg() + L"|" +
             DBString(L"\"").TrimArg(),
         L"abc|abc|abc|\"x\"|"},  // at most one quote each side
        {DBString(L"abcde").SubStr(5, 2) + L"|" + DBString(L"abcde").SubStr(-1, 2) + L"|" +
             DBString(L"abcde").SubStr(3, 10) + L"|" + DBString(L"abc").SubStr(1, -1),
         L"||de|bc"},
        {DBString(L"abc").Left(10) + DBString(L"abc").Left(-1) + DBString(L"abc").Left(2), L"abcabcab"},
        {DBString(L" Ёлка\t№ 5 ё").ForFind() + L"|" + DBString(L"a b\tc~\x7FЖ!").NotASCII() + L"|" +
             DBString(L"AbC-1").MakeLower(),
         L"ЕлкаN5ё| \t\x7FЖ|abc-1"},
        {a + L"|" + ab + L"|" + dashes + L"|" + none, L"aaaaaa|bb|xy|none"},
    };
    for (const auto& [got, want] : texts) EXPECT_EQ(got, DBString(want));
    const DBString s(L"abcabc"), digits(L"a1٣");  // an Arabic-Indic digit is not 0..9
    EXPECT_EQ(
        (std::vector<int>{s.Find(L'b'), s.Find(L'b', 2), s.Find(L'b', 5), s.Find(L'b', -3), s.Find(L"ca"),
                          s.Find(L"bc", 2), s.Find(L"cc"), s.Find(static_cast<const wchar_t*>(nullptr)),
                          s.ReverseFind(L'a'), s.ReverseFind(L'z'), replaced, digits.IsDigit(-1),
                          digits.IsDigit(1), digits.IsDigit(2), digits.IsDigit(3), r.Replace(L"", L"x")}),
        (std::vector<int>{1, 4, -1, 1, 2, 4, -1, -1, 3, -1, 3220, 0, 1, 0, 0, 0}));
    EXPECT_THROW(r.Replace(nullptr, L"x"), std::logic_error);
    EXPECT_THROW(r.Replace(L"a", nullptr), std::logic_error);
}

TEST(DBStringConversions, CodePagesHashesUtf16AndLists) {
    const DBString cyrillic(L"Ошибка ЁёЇ №5 €");
    const std::string bytes = "\xCE\xF8\xE8\xE1\xEA\xE0 \xA8\xB8\xAF \xB9\x35 \x88";  // ...№5 €
    DBString back, longText, longAscii;
    back.FromCP1251(bytes.c_str());
    longText.FromCP1251(std::string(300, '\xC0').c_str());  // at most 127 characters
    longAscii.FromCP1251(std::string(300, 'a').c_str());
    EXPECT_EQ(
        std::make_tuple(cyrillic.ToCP1251(), back, DBString(L"abc中def").ToCP1251(), longText.size(),
                        longAscii.size(), DBString(std::wstring(5000, L'я')).ToCP1251().size(),
                        DBString(std::wstring(5000, L'a')).ToCP1251().size(), DBString(L"Ошибка").Md5Hash()),
        std::make_tuple(bytes, cyrillic, "abc", 127u, 127u, 1024u, 1024u,
                        DBString(L"1F9B59F5380E26DF0654A64A18BB80D7")));
    const char16_t units[] = {u'A', 0x0416, 0xD83D, 0xDE00, 0};  // zero-extended, pairs not combined
    EXPECT_EQ(std::make_tuple(DBString(units), DBString(units, 2), (DBString(L"a") + L"\U0001F600").ToU16()),
              std::make_tuple(DBString(L"AЖ\xD83D\xDE00"), DBString(L"AЖ"), std::u16string(u"a\U0001F600")));
}
