#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "LoadRes.h"

namespace {

// Restores the process-wide language flag however a test ends.
class LanguageGuard {
public:
    LanguageGuard() : saved_(g_StringENU) {}
    ~LanguageGuard() { g_StringENU = saved_; }

private:
    bool saved_;
};

std::string TableText(const ResTable& table, int number) {
    unsigned char buffer[256] = {};
    const int n = LoadString(buffer, 255, table.start, table.end, number);
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

bool Holds(const ResTable& table, int number) {
    unsigned char buffer[256];
    return LoadString(buffer, 256, table.start, table.end, number) > 0;
}

// ---------------------------------------------------------------------------------
// The tables the build generates from data/texts.

TEST(MessageTable, LanguageFlagChoosesTheTable) {
    LanguageGuard guard;
    g_StringENU = false;
    EXPECT_EQ(_S_(1104), DBString("Устройство не отвечает"));
    EXPECT_EQ(_S_(9), DBString("RUS9"));
    g_StringENU = true;
    EXPECT_EQ(_S_(1104), DBString("The device is not responding"));
    EXPECT_EQ(_S_(9), DBString("ENU9"));

    // The fixed-language forms ignore the flag in both directions.
    EXPECT_EQ(LoadStringFromResource(1105), DBString("В ЛБ заняты все связи, подключение невозможно"));
    g_StringENU = false;
    EXPECT_EQ(LoadStringFromResourceENU(1105), DBString("In LU busy all links, connection impossible"));
}

TEST(MessageTable, MissingTextsFallBackToLanguageAndNumber) {
    // 9: no block at all; 1113 and 1124: their blocks exist but those entries are empty;
    // 43854: just past the last text; -1 and 70000: outside every possible block.
    EXPECT_EQ(LoadStringFromResource(9), DBString("RUS9"));
    EXPECT_EQ(LoadStringFromResourceENU(9), DBString("ENU9"));
    EXPECT_EQ(LoadStringFromResource(1113), DBString("RUS1113"));
    EXPECT_EQ(LoadStringFromResourceENU(1124), DBString("ENU1124"));
    EXPECT_EQ(LoadStringFromResourceENU(43854), DBString("ENU43854"));
    EXPECT_EQ(LoadStringFromResource(-1), DBString("RUS-1"));
    EXPECT_EQ(LoadStringFromResourceENU(70000), DBString("ENU70000"));
    // Neighbours of the empty entries are there, so the fallback above is not a lost block.
    EXPECT_EQ(LoadStringFromResourceENU(1123), DBString("Exit"));
    EXPECT_EQ(LoadStringFromResourceENU(1125), DBString("Func"));
}

TEST(MessageTable, WindowTextsMatchTheirWording) {
    struct Expect {
        int number;
        const char* en;
        const char* ru;
    };
    // Chosen for what copying tends to break: line breaks, a space after a line break,
    // inner quotes of three kinds, double and trailing spaces, block edges, long texts.
    const Expect cases[] = {
        {1100, "Not defined parameter -n<number_subnet>", "Не указан ключ -n<номер_подсети>"},
        {1103, "Not defined parameter -a<number_LU_in_LB>", "Не указан ключ -a<адрес_ЛБ_на_ЛШ>"},
        {1107, "Set default\nvalue", "Задать значения\nпо умолчанию"},
        {1109, "Reset to last\n saved values", "Сбросить на последний\nсохранённый вариант"},
        {1111, "NVRAM written successfully: every word read back as written", "Параметры успешно сохранены"},
        {1570, "sec.", "сек."},
        {1587, "0.35-0,8 mps", "0.35-0,8 м/с"},
        {1600, "Shaft penetration signal", "Сигнал \"Проникновение в шахту\""},
        {1612, "\"Button OUT1\" dispatcher control", "Управление диспетчером \"Кнопка OUT1\""},
        {1633, "225. Signal «Out of service»", "225. Сигнал «Аварийная блокировка»"},
        {1652, "Prior to cabin “STOP” button", "До кнопки «СТОП» в кабине лифта"},
        {1664, "”Voice informator” connected", "Подключен «Речевой информатор»"},
        {1802, "Allow\nalgorithms usage", "Разрешение\nалгоритмов"},
        {1807, "Lift Unit table of parameters", "Таблица параметров лифтового блока"},
        {1925, "Cabin door starts opening", "Открывание дверей кабины "},
        {1928, "‘STOP’  button clamped", "Зажата кнопка «СТОП» в кабине лифта"},
        {1988,
         "88. Prohibit disabling the elevator/escalator when communication with the dispatcher room is lost",
         "88. Запрет отключения лифта/эскалатора при потере связи с диспетчерской"},
        {1998, "98. OGS type", "98. Тип устройства контроля скорости лифта \"Ливрат\""},
    };
    for (const Expect& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(LoadStringFromResourceENU(c.number), DBString(c.en));
        EXPECT_EQ(LoadStringFromResource(c.number), DBString(c.ru));
    }
}

TEST(MessageTable, QuotedDiagnosticsAndNamesAreExact) {
    struct Expect {
        int number;
        const char* en;
    };
    const Expect cases[] = {
        {25000, "bad value IPv4 address"},
        {41076, "Error append"},
        {41083, "Error loadXML"},
        {41088, "Error XMLDOMSave->save"},
        {41094, "Remote device break connect"},
        {41095, "Receive pack form unknown device %ls from address %ls"},
        {41158, "Maintenance mode"},
        {41166, "‘STOP’ button clamped"},
        {41214, "Not link"},
        {41229, "Backup battery fault"},
        {42000, "Lift"},
        {42098, "Voice codec in slot %d:%d:%d is working"},
        {43302, "Receive data from device %ls from IP %ls, device have IP "},
        {43303, "New IP:port from device %ls %ls exist %ls|%u - ignored, because time from previous < 3 sec"},
        {43308, "Data from %ls cannot be decrypted"},
        {43472,
         "LU %ls - key does not match the key in the communication parameters with this LU, data is ignored"},
    };
    for (const Expect& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(LoadStringFromResourceENU(c.number), DBString(c.en));
    }
}

TEST(MessageTable, EveryNumberInUseHasTextsInBothLanguages) {
    std::vector<int> required;
    const auto range = [&](int first, int last) {
        for (int n = first; n <= last; ++n) required.push_back(n);
    };
    // Windows: menus, buttons, lists, the grid's state names and the flag labels.
    range(1100, 1111);
    range(1120, 1123);
    required.push_back(1125);
    required.push_back(1570);
    range(1580, 1636);
    range(1650, 1690);
    range(1801, 1807);
    range(1902, 1966);
    range(1983, 1998);
    // Device type names, and the prefix of an unknown terminal.
    range(41000, 41009);
    for (int n : {41040, 41071, 41072, 41073, 41242, 41296, 43310}) required.push_back(n);
    // Controller names by controller kind, and terminal names by terminal type.
    for (auto [a, b] : {std::pair{41243, 41287},
                        {41311, 41317},
                        {41369, 41377},
                        {43323, 43328},
                        {43501, 43511},
                        {43603, 43609},
                        {43617, 43619},
                        {43012, 43022},
                        {43035, 43039},
                        {43046, 43050},
                        {43473, 43478},
                        {43610, 43614},
                        {43851, 43853},
                        {43008, 43011},
                        {43040, 43045},
                        {43051, 43058}})
        range(a, b);
    for (int n : {41320, 41323, 41326, 41329, 41332, 41335, 41338, 41341, 41344, 41347, 41350, 41382, 41383,
                  41386, 41389, 41392, 43132, 43133, 43298, 43850, 43006, 43007, 43023, 43024, 43091, 43097})
        required.push_back(n);
    // State bits.
    for (int n : {41158, 41216, 41163, 41164, 41165, 41166, 41168, 41169, 41170, 41171, 41172, 41175, 41176,
                  41177, 41178, 41181, 41182, 41185, 41186, 41187, 41190, 41191, 41229, 41212, 41213, 41214})
        required.push_back(n);
    range(41196, 41211);
    required.push_back(41215);
    // Link, configuration and XML diagnostics.
    for (int n : {25000, 41076, 41080, 41083, 41088, 41094, 41095, 43471, 43472, 42000, 42098})
        required.push_back(n);
    range(43300, 43308);

    const ResTable en = ResTableENU();
    const ResTable ru = ResTableRUS();
    for (int n : required) {
        EXPECT_TRUE(Holds(en, n)) << "English text " << n << " is missing";
        EXPECT_TRUE(Holds(ru, n)) << "Russian text " << n << " is missing";
    }
}

// Placeholders of printf-style conversions, in order, as Format would consume them.
// The space flag is left out: "90% of cabin load" is a plain text, never a format.
std::vector<std::string> Conversions(const std::string& text) {
    std::vector<std::string> out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') continue;
        std::size_t j = i + 1;
        while (j < text.size() && std::strchr("-+#0123456789.", text[j]) != nullptr) ++j;
        std::string conv;
        if (j < text.size() && text[j] == 'l') conv += text[j++];
        if (j < text.size() && (std::isalpha(static_cast<unsigned char>(text[j])) || text[j] == '%')) {
            out.push_back(conv + text[j]);
            i = j;
        }
    }
    return out;
}

TEST(MessageTable, BothLanguagesHoldTheSameNumbersAndPlaceholders) {
    const ResTable en = ResTableENU();
    const ResTable ru = ResTableRUS();
    int count = 0;
    for (int n = 0; n <= 65535; ++n) {
        const std::string e = TableText(en, n);
        const std::string r = TableText(ru, n);
        ASSERT_EQ(e.empty(), r.empty()) << "number " << n << " is in one language only";
        if (e.empty()) continue;
        ++count;
        // A translation that drops or reorders a %ls would make Format read the wrong argument.
        EXPECT_EQ(Conversions(e), Conversions(r)) << "number " << n;
        // An invalid UTF-8 sequence would show as "?utf-32?" instead of the text.
        EXPECT_NE(LoadStringFromResourceENU(n), DBString("?utf-32?")) << "number " << n;
        EXPECT_NE(LoadStringFromResource(n), DBString("?utf-32?")) << "number " << n;
    }
    EXPECT_GT(count, 400);
}

TEST(MessageTable, GeneratedImageIsAChainOfAscendingStringBlocks) {
    for (const ResTable& t : {ResTableENU(), ResTableRUS()}) {
        const unsigned char* p = t.start;
        int lastBlock = 0;
        int blocks = 0;
        while (p < t.end) {
            ASSERT_GE(t.end - p, 12);
            EXPECT_EQ(p[0], 0xFF);
            EXPECT_EQ(p[1] | (p[2] << 8), 6);
            EXPECT_EQ(p[3], 0xFF);
            const int block = p[4] | (p[5] << 8);
            EXPECT_GT(block, lastBlock) << "blocks must be in increasing order";
            lastBlock = block;
            const std::uint32_t size =
                p[8] | (p[9] << 8) | (p[10] << 16) | (static_cast<std::uint32_t>(p[11]) << 24);
            ASSERT_LE(size, static_cast<std::uint32_t>(t.end - p - 12));
            // The data is exactly 16 entries.
            const unsigned char* q = p + 12;
            for (int i = 0; i < 16; ++i) {
                ASSERT_LT(q, p + 12 + size);
                q += 1 + *q;
            }
            EXPECT_EQ(q, p + 12 + size);
            p += 12 + size;
            ++blocks;
        }
        EXPECT_EQ(p, t.end);
        EXPECT_GT(blocks, 20);
    }
}

// ---------------------------------------------------------------------------------
// LoadString over hand-built images.

class ImageBuilder {
public:
    // One record; entries map place (0..15) to text, a missing place is an empty entry.
    ImageBuilder& Record(unsigned type, unsigned block,
                         const std::vector<std::pair<int, std::string>>& entries,
                         unsigned char marker0 = 0xFF, unsigned char marker3 = 0xFF) {
        std::vector<unsigned char> data;
        for (int place = 0; place < 16; ++place) {
            std::string text;
            for (const auto& [p, t] : entries)
                if (p == place) text = t;
            data.push_back(static_cast<unsigned char>(text.size()));
            data.insert(data.end(), text.begin(), text.end());
        }
        return Raw(type, block, data, static_cast<std::uint32_t>(data.size()), marker0, marker3);
    }

    // A record with any data and any declared size, to build damaged images.
    ImageBuilder& Raw(unsigned type, unsigned block, const std::vector<unsigned char>& data,
                      std::uint32_t size, unsigned char marker0 = 0xFF, unsigned char marker3 = 0xFF) {
        const unsigned char header[12] = {marker0,
                                          static_cast<unsigned char>(type),
                                          static_cast<unsigned char>(type >> 8),
                                          marker3,
                                          static_cast<unsigned char>(block),
                                          static_cast<unsigned char>(block >> 8),
                                          0x30,
                                          0x10,
                                          static_cast<unsigned char>(size),
                                          static_cast<unsigned char>(size >> 8),
                                          static_cast<unsigned char>(size >> 16),
                                          static_cast<unsigned char>(size >> 24)};
        bytes.insert(bytes.end(), header, header + 12);
        bytes.insert(bytes.end(), data.begin(), data.end());
        return *this;
    }

    std::vector<unsigned char> bytes;
};

// Looks up in a heap copy of exactly the image's size, so that AddressSanitizer
// catches any read past its end.
std::string Find(const std::vector<unsigned char>& image, int number, int size = 255) {
    std::vector<unsigned char> exact(image);
    exact.shrink_to_fit();
    unsigned char buffer[256];
    std::memset(buffer, 0xAA, sizeof buffer);
    const unsigned char* start = exact.empty() ? nullptr : exact.data();
    const int n = LoadString(buffer, size, start, start == nullptr ? nullptr : start + exact.size(), number);
    if (n < 0 || n > 255 || (n > 0 && n > size)) return "<bad count " + std::to_string(n) + ">";
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
}

TEST(LoadString, FindsTextsByBlockAndPlace) {
    ImageBuilder b;
    b.Record(6, 1, {{0, "zero"}, {15, "fifteen"}})    // numbers 0..15
        .Record(6, 70, {{0, "n1104"}, {3, "n1107"}})  // numbers 1104..1119
        .Record(6, 4096, {{15, "last"}});             // numbers 65520..65535
    EXPECT_EQ(Find(b.bytes, 0), "zero");
    EXPECT_EQ(Find(b.bytes, 15), "fifteen");
    EXPECT_EQ(Find(b.bytes, 1104), "n1104");
    EXPECT_EQ(Find(b.bytes, 1107), "n1107");
    EXPECT_EQ(Find(b.bytes, 65535), "last");
    EXPECT_EQ(Find(b.bytes, 1), "");
    EXPECT_EQ(Find(b.bytes, 16), "");
    EXPECT_EQ(Find(b.bytes, 1103), "");
    EXPECT_EQ(Find(b.bytes, -1), "");
}

TEST(LoadString, CopiesNoTerminatorAndAtMostTheBufferSize) {
    ImageBuilder b;
    b.Record(6, 1, {{5, "abcdef"}});
    std::vector<unsigned char> image = b.bytes;
    const ResTable t{image.data(), image.data() + image.size()};

    unsigned char buffer[16];
    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(LoadString(buffer, 16, t.start, t.end, 5), 6);
    EXPECT_EQ(std::memcmp(buffer, "abcdef", 6), 0);
    EXPECT_EQ(buffer[6], 0xAA);

    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(LoadString(buffer, 4, t.start, t.end, 5), 4);
    EXPECT_EQ(std::memcmp(buffer, "abcd", 4), 0);
    EXPECT_EQ(buffer[4], 0xAA);

    std::memset(buffer, 0xAA, sizeof buffer);
    EXPECT_EQ(LoadString(buffer, 0, t.start, t.end, 5), 0);
    EXPECT_EQ(LoadString(buffer, -3, t.start, t.end, 5), 0);
    EXPECT_EQ(buffer[0], 0xAA);
}

TEST(LoadString, BadMarkerEndsTheSearch) {
    for (int which : {0, 3}) {
        SCOPED_TRACE(which);
        ImageBuilder b;
        b.Record(6, 1, {{1, "before"}})
            .Record(6, 2, {{1, "broken"}}, which == 0 ? 0xFE : 0xFF, which == 3 ? 0x00 : 0xFF)
            .Record(6, 3, {{1, "after"}});
        EXPECT_EQ(Find(b.bytes, 1), "before");
        EXPECT_EQ(Find(b.bytes, 17), "");
        // Nothing behind the bad record is reached, although it is well-formed.
        EXPECT_EQ(Find(b.bytes, 33), "");
    }
}

TEST(LoadString, OtherResourceTypesAreSkipped) {
    ImageBuilder b;
    b.Record(5, 70, {{0, "a dialog"}})
        .Record(0x106, 70, {{0, "high byte set"}})
        .Record(6, 70, {{0, "the text"}});
    EXPECT_EQ(Find(b.bytes, 1104), "the text");
}

TEST(LoadString, EmptyEntryLetsTheSearchGoOn) {
    ImageBuilder b;
    b.Record(6, 70, {{1, "other"}}).Record(6, 9, {{0, "unrelated"}}).Record(6, 70, {{0, "later"}});
    EXPECT_EQ(Find(b.bytes, 1104), "later");
    EXPECT_EQ(Find(b.bytes, 1105), "other");

    // The first non-empty entry wins.
    ImageBuilder twice;
    twice.Record(6, 70, {{0, "first"}}).Record(6, 70, {{0, "second"}});
    EXPECT_EQ(Find(twice.bytes, 1104), "first");
}

TEST(LoadString, RecordRunningPastTheEndIsNotRead) {
    // The declared size is larger than what is left: no entry of it may be used.
    ImageBuilder b;
    b.Record(6, 1, {{0, "good"}});
    std::vector<unsigned char> data = {3, 'a', 'b', 'c'};
    b.Raw(6, 2, data, 200);
    EXPECT_EQ(Find(b.bytes, 0), "good");
    EXPECT_EQ(Find(b.bytes, 16), "");

    // A size near 2^32 must not wrap the end pointer around.
    ImageBuilder huge;
    huge.Raw(6, 1, data, 0xFFFFFFF0u).Record(6, 1, {{0, "behind"}});
    EXPECT_EQ(Find(huge.bytes, 0), "");
}

TEST(LoadString, EntriesRunningPastTheirBlockAreNotRead) {
    // Entry 0 claims 200 bytes inside a 4-byte block; the search goes on with the next
    // record, which is sound, and nothing of the following header is taken as text.
    ImageBuilder b;
    b.Raw(6, 1, {200, 'x', 'y', 'z'}, 4).Record(6, 1, {{0, "sound"}, {2, "two"}});
    EXPECT_EQ(Find(b.bytes, 0), "sound");
    EXPECT_EQ(Find(b.bytes, 2), "two");

    // Fewer than 16 entries in the data: the missing ones are absent, not read on.
    ImageBuilder short_;
    short_.Raw(6, 1, {1, 'a', 1, 'b'}, 4);
    EXPECT_EQ(Find(short_.bytes, 1), "b");
    EXPECT_EQ(Find(short_.bytes, 5), "");
}

TEST(LoadString, EveryTruncationOfAnImageIsSafe) {
    ImageBuilder b;
    b.Record(6, 1, {{0, "alpha"}, {7, "beta"}}).Record(4, 1, {{0, "not text"}}).Record(6, 2, {{15, "gamma"}});
    const std::vector<unsigned char>& full = b.bytes;
    const std::size_t firstEnd = 12 + 16 + 5 + 4;
    for (std::size_t len = 0; len <= full.size(); ++len) {
        SCOPED_TRACE(len);
        const std::vector<unsigned char> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        const bool whole = len == full.size();
        EXPECT_EQ(Find(cut, 0), len >= firstEnd ? "alpha" : "");
        EXPECT_EQ(Find(cut, 7), len >= firstEnd ? "beta" : "");
        EXPECT_EQ(Find(cut, 31), whole ? "gamma" : "");
    }
}

TEST(LoadString, NullOrEmptyTableHasNoTexts) {
    unsigned char buffer[8];
    const unsigned char one = 0xFF;
    EXPECT_EQ(LoadString(buffer, 8, nullptr, nullptr, 0), 0);
    EXPECT_EQ(LoadString(buffer, 8, &one, &one, 0), 0);
    EXPECT_EQ(LoadString(buffer, 8, &one, &one + 1, 0), 0);
}

}  // namespace
