#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <sstream>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "LoadRes.h"

namespace {

std::string TableText(const ResTable& table, int number) {
    unsigned char buffer[256] = {};
    const int n = LoadString(buffer, 255, table.start, table.end, number);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

// Placeholders of printf-style conversions, in order, as Format would consume them. The space
// flag is left out: "90% of cabin load" is a plain text, never a format.
std::string Conversions(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        std::size_t j = i + 1;
        while (j < text.size() && std::strchr("-+#0123456789.", text[j]) != nullptr) ++j;
        if (j < text.size() && text[j] == 'l') ++j;
        if (j < text.size() && (std::isalpha(static_cast<unsigned char>(text[j])) || text[j] == '%')) {
            out += text.substr(i, j + 1 - i) + " ";
            i = j;
        }
    }
    return out;
}

}  // namespace

TEST(MessageTable, TheLanguageFlagChoosesTheTableAndMissingTextsFallBack) {
    const bool saved = g_StringENU;
    g_StringENU = false;
    const DBString ru = _S_(1104), ru9 = _S_(9), en1105 = LoadStringFromResourceENU(1105);
    g_StringENU = true;
    const DBString en = _S_(1104), en9 = _S_(9), ru1105 = LoadStringFromResource(1105);
    g_StringENU = saved;
    EXPECT_EQ(std::make_tuple(ru, ru9, en, en9, ru1105, en1105),
              std::make_tuple(DBString("Устройство не отвечает"), DBString("RUS9"),
                              DBString("The device is not responding"), DBString("ENU9"),
                              DBString("В ЛБ заняты все связи, подключение невозможно"),
                              DBString("In LU busy all links, connection impossible")));
    // 1113 and 1124: their blocks exist, those entries are empty; 43854: past the last text;
    // -1 and 70000: outside every block. 1123 and 1125 prove the blocks are there.
    std::string got;
    for (int n : {1113, 1124, 43854, -1, 70000, 1123, 1125})
        got += LoadStringFromResource(n).ToStr() + " " + LoadStringFromResourceENU(n).ToStr() + "|";
    EXPECT_EQ(got,
              "RUS1113 ENU1113|RUS1124 ENU1124|RUS43854 ENU43854|RUS-1 ENU-1|RUS70000 ENU70000|Выход Exit|"
              "Дополнительные функции Func|");
}

TEST(MessageTable, BothLanguagesHoldTheSameNumbersPlaceholdersAndEveryTextInUse) {
    const ResTable en = ResTableENU(), ru = ResTableRUS();
    std::string problems;
    int count = 0;
    for (int n = 0; n <= 65535; ++n) {
        const std::string e = TableText(en, n), r = TableText(ru, n);
        if (e.empty() != r.empty()) problems += "only one language: " + std::to_string(n) + "\n";
        if (e.empty()) continue;
        ++count;
        // A translation that drops or reorders a %ls would make Format read the wrong argument.
        if (Conversions(e) != Conversions(r)) problems += "placeholders: " + std::to_string(n) + "\n";
        if (DBString(e) == DBString("?utf-32?") || DBString(r) == DBString("?utf-32?"))
            problems += "not UTF-8: " + std::to_string(n) + "\n";
    }
    // The windows, device type and controller names, state bits, link and XML diagnostics.
    std::istringstream used(
        "1100-1111 1120-1123 1125 1130-1150 1155-1156 1160-1189 1570 1580-1636 1650-1690 1801-1807 1902-1966 "
        "1983-1998 25000 41000-41009 "
        "41040 41071-41073 41076 41080 41083 41088 41094-41095 41158 41163-41166 41168-41172 41175-41178 "
        "41181-41182 41185-41187 41190-41191 41196-41216 41229 41242-41287 41296 41311-41317 41320 41323 "
        "41326 "
        "41329 41332 41335 41338 41341 41344 41347 41350 41369-41377 41382-41383 41386 41389 41392 42000 "
        "42098 "
        "43006-43024 43035-43058 43091 43097 43132-43133 43298 43300-43308 43310 43323-43328 43471-43478 "
        "43501-43511 43603-43614 43617-43619 43850-43853");
    for (std::string range; used >> range;)
        for (int n = std::stoi(range); n <= std::stoi(range.substr(range.find('-') + 1)); ++n)
            if (TableText(en, n).empty()) problems += "missing: " + std::to_string(n) + "\n";
    EXPECT_EQ(problems, "");
    EXPECT_GT(count, 400);
}
