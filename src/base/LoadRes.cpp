#include "LoadRes.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <unordered_map>

// Generated at build time from data/texts/en.txt and ru.txt (cmake/MessageTable.cmake).
extern const unsigned char tolvane_texts_enu[];
extern const std::size_t tolvane_texts_enu_size;
extern const unsigned char tolvane_texts_rus[];
extern const std::size_t tolvane_texts_rus_size;

bool g_StringENU = false;

namespace {

constexpr std::ptrdiff_t kHeaderSize = 12;
constexpr unsigned kTypeStringTable = 6;
constexpr int kEntriesPerBlock = 16;
// Texts are at most 255 bytes; one more byte keeps the buffer zero-terminated.
constexpr int kTextBufferSize = 256;

unsigned LE16(const unsigned char* p) {
    return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

std::uint32_t LE32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Looks in one block's data for the entry at `place`. Returns its length and sets
// *text, or returns 0 when the entry is empty or the entries run past the data.
int FindEntry(const unsigned char* data, const unsigned char* dataEnd, int place,
              const unsigned char** text) {
    const unsigned char* p = data;
    for (int i = 0; i < kEntriesPerBlock; ++i) {
        if (p >= dataEnd) return 0;
        const int len = *p++;
        if (len > dataEnd - p) return 0;
        if (i == place) {
            *text = p;
            return len;
        }
        p += len;
    }
    return 0;
}

DBString Lookup(const ResTable& table, const char* fallbackPrefix, int number) {
    unsigned char buffer[kTextBufferSize] = {};
    if (LoadString(buffer, kTextBufferSize - 1, table.start, table.end, number) == 0)
        std::snprintf(reinterpret_cast<char*>(buffer), sizeof buffer, "%s%d", fallbackPrefix, number);
    return DBString(reinterpret_cast<const char*>(buffer));
}

// The built-in tables never change, so each text is looked up and decoded once: a listing of
// the parameters asks for "on" and "off" a few hundred times.
class TextCache {
public:
    TextCache(ResTable table, const char* fallbackPrefix) : m_Table(table), m_Prefix(fallbackPrefix) {}

    DBString Get(int number) {
        std::lock_guard<std::mutex> lock(m_Mutex);
        auto it = m_Texts.find(number);
        if (it == m_Texts.end()) it = m_Texts.emplace(number, Lookup(m_Table, m_Prefix, number)).first;
        return it->second;
    }

private:
    const ResTable m_Table;
    const char* const m_Prefix;
    std::mutex m_Mutex;
    std::unordered_map<int, DBString> m_Texts;
};

}  // namespace

int LoadString(unsigned char* buffer, int size, const unsigned char* start, const unsigned char* end,
               int number) {
    if (start == nullptr || end == nullptr || buffer == nullptr) return 0;
    const unsigned char* rec = start;
    while (rec < end) {
        // The header is read only when all of it lies inside the table; a table cut
        // inside a header ends the search like any other damaged record.
        if (end - rec < kHeaderSize || rec[0] != 0xFF || rec[3] != 0xFF) return 0;
        const unsigned type = LE16(rec + 1);
        const unsigned block = LE16(rec + 4);
        const std::uint32_t dataSize = LE32(rec + 8);
        const unsigned char* data = rec + kHeaderSize;
        // Nothing after a record whose size runs past the end can be located.
        if (dataSize > static_cast<std::uint64_t>(end - data)) return 0;
        const unsigned char* dataEnd = data + dataSize;

        const int first = static_cast<int>((block - 1) & 0xFFF) * kEntriesPerBlock;
        if (type == kTypeStringTable && number >= first && number < first + kEntriesPerBlock) {
            const unsigned char* text = nullptr;
            const int len = FindEntry(data, dataEnd, number - first, &text);
            if (len > 0) {
                const int n = len < size ? len : (size > 0 ? size : 0);
                for (int i = 0; i < n; ++i) buffer[i] = text[i];
                return n;
            }
        }
        rec = dataEnd;
    }
    return 0;
}

ResTable ResTableENU() {
    return {tolvane_texts_enu, tolvane_texts_enu + tolvane_texts_enu_size};
}

ResTable ResTableRUS() {
    return {tolvane_texts_rus, tolvane_texts_rus + tolvane_texts_rus_size};
}

DBString LoadStringFromResource(int number) {
    static TextCache texts(ResTableRUS(), "RUS");
    return texts.Get(number);
}

DBString LoadStringFromResourceENU(int number) {
    static TextCache texts(ResTableENU(), "ENU");
    return texts.Get(number);
}

DBString _S_(int number) {
    return g_StringENU ? LoadStringFromResourceENU(number) : LoadStringFromResource(number);
}
