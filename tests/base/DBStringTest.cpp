#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "DBString.h"

using namespace std::string_literals;

TEST(DBStringUtf8, CyrillicRoundTrip) {
    const std::string bytes = "\xD0\x9E\xD1\x88\xD0\xB8\xD0\xB1\xD0\xBA\xD0\xB0";  // Ошибка
    const DBString s(bytes.c_str());
    EXPECT_EQ(s.size(), 6u);
    EXPECT_EQ(s, L"Ошибка");
    EXPECT_EQ(s.ToStr(), bytes);
}

TEST(DBStringUtf8, EncodingBoundariesRoundTrip) {
    const std::wstring chars = {L'\x01',
                                L'\x7F',
                                L'\x80',
                                L'\x7FF',
                                L'\x800',
                                L'\xD7FF',
                                L'\xE000',
                                L'\xFFFF',
                                static_cast<wchar_t>(0x10000),
                                static_cast<wchar_t>(0x10FFFF)};
    const std::string bytes = DBString(chars).ToStr();
    EXPECT_EQ(bytes,
              "\x01\x7F\xC2\x80\xDF\xBF\xE0\xA0\x80\xED\x9F\xBF\xEE\x80\x80\xEF\xBF\xBF"
              "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    EXPECT_EQ(DBString(bytes), chars);
}

TEST(DBStringUtf8, InvalidInputGivesMarker) {
    const char* bad[] = {
        "\xFF",              // never valid
        "ok\xFE",            // never valid, after good text
        "\x80",              // continuation without a lead
        "\xC0\xAF",          // overlong '/'
        "\xC1\xBF",          // overlong
        "\xE0\x80\xAF",      // overlong, three bytes
        "\xF0\x80\x80\xAF",  // overlong, four bytes
        "\xED\xA0\x80",      // high surrogate
        "\xED\xBF\xBF",      // low surrogate
        "\xF4\x90\x80\x80",  // U+110000
        "\xF5\x80\x80\x80",  // lead beyond the range
        "\xF8\x88\x80\x80\x80",
        "\xE2\x82",      // cut short
        "abc\xD0",       // cut short at the end
        "\xE2\x28\xA1",  // second byte not a continuation
    };
    for (const char* b : bad) {
        EXPECT_EQ(DBString(b), L"?utf-32?") << "input " << ::testing::PrintToString(std::string(b));
        DBString assigned = L"previous";
        assigned = b;
        EXPECT_EQ(assigned, L"?utf-32?");
    }
}

TEST(DBStringUtf8, NullAndEmbeddedZero) {
    EXPECT_TRUE(DBString(static_cast<const char*>(nullptr)).empty());
    EXPECT_TRUE(DBString(static_cast<const wchar_t*>(nullptr)).empty());
    const DBString z("a\0b"s);
    ASSERT_EQ(z.size(), 3u);
    EXPECT_EQ(z[1], L'\0');
    EXPECT_EQ(z.ToStr(), "a\0b"s);
}

TEST(DBStringUtf8, UnencodableCharacterGivesMarker) {
    EXPECT_EQ(DBString(std::wstring(L"ab") + static_cast<wchar_t>(0xD800)).ToStr(), "?utf-8?");
    EXPECT_EQ(DBString(std::wstring(1, static_cast<wchar_t>(0xDFFF))).ToStr(), "?utf-8?");
    EXPECT_EQ(DBString(std::wstring(1, static_cast<wchar_t>(0x110000))).ToStr(), "?utf-8?");
    EXPECT_EQ(DBString(std::wstring(1, static_cast<wchar_t>(-1))).ToStr(), "?utf-8?");
}

TEST(DBStringUtf16, UnitsAreZeroExtendedNotCombined) {
    const char16_t text[] = {u'A', 0x0416, 0xD83D, 0xDE00, 0};
    const DBString s(text);
    ASSERT_EQ(s.size(), 4u);
    EXPECT_EQ(s[1], L'Ж');
    EXPECT_EQ(s[2], static_cast<wchar_t>(0xD83D));
    EXPECT_EQ(s[3], static_cast<wchar_t>(0xDE00));

    const char16_t withZero[] = {u'x', 0, u'y', u'z'};
    EXPECT_EQ(DBString(withZero, 3), (std::wstring{L'x', L'\0', L'y'}));
    EXPECT_TRUE(DBString(withZero, 0).empty());
    EXPECT_TRUE(DBString(withZero, -5).empty());
    EXPECT_TRUE(DBString(static_cast<const char16_t*>(nullptr)).empty());
    EXPECT_TRUE(DBString(static_cast<const char16_t*>(nullptr), 4).empty());
}

TEST(DBStringUtf16, ToU16PairsSupplementaryCharacters) {
    DBString s(L"aЖ");
    s += static_cast<wchar_t>(0x1F600);
    EXPECT_EQ(s.ToU16(), (std::u16string{u'a', u'Ж', 0xD83D, 0xDE00}));

    // A text without supplementary characters comes back unchanged.
    const DBString bmp(L"Ошибка 42");
    const std::u16string u = bmp.ToU16();
    EXPECT_EQ(DBString(u.c_str()), bmp);
}

TEST(DBStringCp1251, CyrillicRoundTrip) {
    const DBString text(L"Ошибка ЁёЇ №5 €");
    const std::string bytes = text.ToCP1251();
    EXPECT_EQ(bytes,
              "\xCE\xF8\xE8\xE1\xEA\xE0 \xA8\xB8\xAF \xB9"
              "5 \x88");
    DBString back;
    back.FromCP1251(bytes.c_str());
    EXPECT_EQ(back, text);
}

TEST(DBStringCp1251, StopsAtCharacterOutsideCodePage) {
    EXPECT_EQ(DBString(L"abc中def").ToCP1251(), "abc");
    EXPECT_EQ(DBString(L"中").ToCP1251(), "");
}

TEST(DBStringCp1251, LimitsAreKept) {
    EXPECT_EQ(DBString(std::wstring(5000, L'я')).ToCP1251(), std::string(1024, '\xFF'));

    const std::string longText(300, '\xC0');
    DBString s(L"previous content");
    s.FromCP1251(longText.c_str());
    EXPECT_EQ(s, std::wstring(127, L'А'));

    s.FromCP1251(nullptr);
    EXPECT_TRUE(s.empty());
    s = L"x";
    s.FromCP1251("");
    EXPECT_TRUE(s.empty());
}

TEST(DBStringCp1251, Md5HashOfCodePageBytes) {
    EXPECT_EQ(DBString(L"Ошибка").Md5Hash(), L"1F9B59F5380E26DF0654A64A18BB80D7");
    EXPECT_EQ(DBString().Md5Hash(), L"D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(DBString(L"abc").Md5Hash(), L"900150983CD24FB0D6963F7D28E17F72");
}

TEST(DBStringFormat, FormatsAndAppends) {
    DBString s(L"old");
    s.Format(L"%ls=%s %d %02d %X", L"ключ", "narrow", -7, 5, 0xBEEFu);
    EXPECT_EQ(s, L"ключ=narrow -7 05 BEEF");
    s.AppendFormat(L"|%04d", 12);
    EXPECT_EQ(s, L"ключ=narrow -7 05 BEEF|0012");
    EXPECT_EQ(DBString().Format(L"%ls", L""), L"");
}

TEST(DBStringFormat, LongResultIsCutNotLost) {
    const int max = DBString::FormatBufferSize - 1;
    const std::wstring exact(static_cast<size_t>(max), L'x');
    EXPECT_EQ(DBString().Format(L"%ls", exact.c_str()), exact);

    std::wstring tooLong(40000, L'y');
    tooLong[0] = L'S';
    const DBString cut = DBString().Format(L"<%ls>", tooLong.c_str());
    ASSERT_EQ(cut.size(), static_cast<size_t>(max));
    EXPECT_EQ(cut.substr(0, 3), L"<Sy");
    EXPECT_EQ(cut.back(), L'y');

    DBString appended(L"head:");
    appended.AppendFormat(L"%ls", tooLong.c_str());
    EXPECT_EQ(appended.size(), 5u + max);
    EXPECT_EQ(appended.substr(0, 6), L"head:S");
}

TEST(DBStringEdit, TrimAndTrimArg) {
    DBString s(L"  \tab c\t  ");
    EXPECT_EQ(s.Trim(), L"\tab c\t");
    EXPECT_EQ(DBString(L"     ").Trim(), L"");
    EXPECT_EQ(DBString(L"  \"abc\"  ").TrimArg(), L"abc");
    EXPECT_EQ(DBString(L"\"abc").TrimArg(), L"abc");
    EXPECT_EQ(DBString(L"abc\"").TrimArg(), L"abc");
    EXPECT_EQ(DBString(L"\"\"x\"\"").TrimArg(), L"\"x\"");
    EXPECT_EQ(DBString(L"\"").TrimArg(), L"");
}

TEST(DBStringEdit, SubStrLeftIsDigit) {
    const DBString five(L"abcde");
    EXPECT_EQ(five.SubStr(5, 2), L"");
    EXPECT_EQ(five.SubStr(-1, 2), L"");
    EXPECT_EQ(five.SubStr(3, 10), L"de");
    EXPECT_EQ(five.SubStr(1, 0), L"");
    EXPECT_EQ(DBString(L"abc").SubStr(1, -1), L"bc");
    EXPECT_EQ(DBString(L"abc").Left(10), L"abc");
    EXPECT_EQ(DBString(L"abc").Left(-1), L"abc");
    EXPECT_EQ(DBString(L"abc").Left(2), L"ab");
    EXPECT_EQ(DBString(L"abc").Left(0), L"");

    const DBString d(L"a1٣");
    EXPECT_FALSE(d.IsDigit(-1));
    EXPECT_FALSE(d.IsDigit(0));
    EXPECT_TRUE(d.IsDigit(1));
    EXPECT_FALSE(d.IsDigit(2));  // Arabic-Indic digit is not 0..9
    EXPECT_FALSE(d.IsDigit(3));
}

TEST(DBStringEdit, FindAndReverseFind) {
    const DBString s(L"abcabc");
    EXPECT_EQ(s.Find(L'b'), 1);
    EXPECT_EQ(s.Find(L'b', 2), 4);
    EXPECT_EQ(s.Find(L'b', 5), -1);
    EXPECT_EQ(s.Find(L'b', 100), -1);
    EXPECT_EQ(s.Find(L'b', -3), 1);
    EXPECT_EQ(s.Find(L"ca"), 2);
    EXPECT_EQ(s.Find(L"bc", 2), 4);
    EXPECT_EQ(s.Find(L"cc"), -1);
    EXPECT_EQ(s.Find(static_cast<const wchar_t*>(nullptr)), -1);
    EXPECT_EQ(s.Find(DBString(L"abc"), 1), 3);
    EXPECT_EQ(s.ReverseFind(L'a'), 3);
    EXPECT_EQ(s.ReverseFind(L'z'), -1);
    EXPECT_EQ(DBString().ReverseFind(L'a'), -1);
}

TEST(DBStringEdit, ReplaceNeverRescansInsertedText) {
    DBString a(L"aaa");
    EXPECT_EQ(a.Replace(L"a", L"aa"), 3);
    EXPECT_EQ(a, L"aaaaaa");

    DBString b(L"abab");
    EXPECT_EQ(b.Replace(L"ab", L"b"), 2);
    EXPECT_EQ(b, L"bb");

    DBString c(L"x--y--");
    EXPECT_EQ(c.Replace(L"--", L""), 2);
    EXPECT_EQ(c, L"xy");

    DBString d(L"aaaa");
    EXPECT_EQ(d.Replace(L"aa", L"a"), 2);
    EXPECT_EQ(d, L"aa");

    DBString e(L"none");
    EXPECT_EQ(e.Replace(L"zz", L"y"), 0);
    EXPECT_EQ(e, L"none");
}

TEST(DBStringEdit, ReplaceRefusesBadArguments) {
    DBString s(L"abc");
    EXPECT_THROW(s.Replace(nullptr, L"x"), std::logic_error);
    EXPECT_THROW(s.Replace(L"a", nullptr), std::logic_error);
    EXPECT_EQ(s.Replace(L"", L"x"), 0);
    EXPECT_EQ(s, L"abc");
}

TEST(DBStringEdit, SearchKeysAndNonPrintables) {
    EXPECT_EQ(DBString(L" Ёлка\t№ 5 ё").ForFind(), L"ЕлкаN5ё");
    EXPECT_EQ(DBString(L"a b\tc~\x7FЖ!").NotASCII(), L" \t\x7FЖ");
    EXPECT_EQ(DBString(L"AbC-1").MakeLower(), L"abc-1");
}

TEST(DBStringEdit, JoinAndParseAreInverse) {
    const std::vector<DBString> items = {L"one", L"", L"три"};
    const DBString joined(L"; ", items);
    EXPECT_EQ(joined, L"one; ; три; ");
    EXPECT_EQ(joined.Parse(L"; "), items);
    EXPECT_EQ(DBString(L",", {}), L"");
    EXPECT_TRUE(DBString().Parse(L",").empty());
    EXPECT_EQ(DBString(L"a,b").Parse(L","), (std::vector<DBString>{L"a", L"b"}));
    EXPECT_EQ(DBString(L",").Parse(L","), (std::vector<DBString>{L""}));
    EXPECT_EQ(DBString(L"a,b").Parse(L""), (std::vector<DBString>{L"a,b"}));
}

TEST(DBStringOperators, AssignAppendConcatenate) {
    DBString s;
    s = L'Q';
    EXPECT_EQ(s, L"Q");
    s += L'r';
    s += L"st";
    s += std::wstring(L"u");
    s += "\xD0\x96";  // Ж
    s += std::string("!");
    EXPECT_EQ(s, L"QrstuЖ!");
    s += "\xFF";
    EXPECT_EQ(s, L"QrstuЖ!?utf-32?");

    s = "\xD0\xB4\xD0\xB0";
    EXPECT_EQ(s, L"да");
    s = static_cast<const wchar_t*>(nullptr);
    EXPECT_TRUE(s.empty());

    const DBString a(L"a");
    EXPECT_EQ(a + DBString(L"b"), L"ab");
    EXPECT_EQ(a + L"b", L"ab");
    EXPECT_EQ(L"b" + a, L"ba");
    EXPECT_EQ(a + L'c', L"ac");
    EXPECT_EQ(L'c' + a, L"ca");
    EXPECT_EQ(a + "\xD0\x96", L"aЖ");
    EXPECT_EQ("\xD0\x96" + a, L"Жa");
    EXPECT_EQ(a + std::wstring(L"w"), L"aw");
    EXPECT_EQ(std::wstring(L"w") + a, L"wa");
    const std::wstring w(L"w");
    EXPECT_EQ(a + w, L"aw");
    EXPECT_EQ(w + a, L"wa");
    EXPECT_EQ(DBString(L"r") + DBString(L"s") + w + L"t", L"rswt");
}

TEST(DBStringOperators, ComparisonsFollowCodePoints) {
    const DBString a(L"abc");
    const DBString b(L"abd");
    EXPECT_TRUE(a < b);
    EXPECT_TRUE(a < L"abd");
    EXPECT_TRUE(L"abb" < a);
    EXPECT_TRUE(b > a);
    EXPECT_TRUE(b > L"abc");
    EXPECT_TRUE(L"abd" > a);
    EXPECT_TRUE(a <= L"abc");
    EXPECT_TRUE(L"abc" <= a);
    EXPECT_TRUE(a >= L"abc");
    EXPECT_FALSE(L"abb" >= a);
    EXPECT_TRUE(a != b);
    EXPECT_TRUE(L"abc" == a);
    EXPECT_FALSE(a == L"ab");
    EXPECT_TRUE(DBString(L"Я") > DBString(L"z"));
    EXPECT_TRUE(DBString() == static_cast<const wchar_t*>(nullptr));

    const std::wstring w(L"abd");
    EXPECT_TRUE(a < w);
    EXPECT_TRUE(w > a);
    EXPECT_TRUE(w == b);
    EXPECT_TRUE(b == w);
    EXPECT_FALSE(a >= w);
    EXPECT_TRUE(w != a);
}
