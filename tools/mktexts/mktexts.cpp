// Turns one message text file into a C++ source that holds the message table image
// as constant data, so that the program carries its texts without any file at run time.
//
// Usage: tolvane_mktexts <texts.txt> <output.cpp> <symbol>
//
// Input: UTF-8, one message per line: the decimal number, one TAB, the text. Inside the
// text "\n" stands for a line break and "\\" for a backslash. Empty lines and lines
// starting with '#' are skipped.
//
// Output: `const unsigned char <symbol>[]` and `const std::size_t <symbol>_size`, the
// image made of string-table records (0xFF, type 6, 0xFF, block number, flags, size,
// then 16 entries of a length byte and the UTF-8 bytes), blocks in increasing order.
//
// Any fault in the input fails the build: a table that silently lost a text would show
// a fallback code instead of the text, which nobody notices until a user does.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr unsigned kMaxNumber = 65535;
constexpr std::size_t kMaxTextBytes = 255;
constexpr unsigned kEntriesPerBlock = 16;
constexpr unsigned kTypeStringTable = 6;
constexpr unsigned kMemoryFlags = 0x1030;

struct InputError {
    std::string text;
};

[[noreturn]] void Fail(const std::string& file, int line, const std::string& what) {
    std::ostringstream s;
    s << file << ":" << line << ": " << what;
    throw InputError{s.str()};
}

// Length of the UTF-8 sequence starting at s[i], or 0 when it is not well-formed
// (overlong forms, surrogates and code points above U+10FFFF included).
std::size_t Utf8SequenceLength(const std::string& s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b0 = byte(i);
    std::size_t len;
    std::uint32_t cp;
    if (b0 < 0x80) return 1;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2;
        cp = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3;
        cp = b0 & 0x0F;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4;
        cp = b0 & 0x07;
    } else {
        return 0;
    }
    if (i + len > s.size()) return 0;
    for (std::size_t k = 1; k < len; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return len;
}

std::string Unescape(const std::string& raw, const std::string& file, int line) {
    std::string out;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        const char c = raw[i];
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "control character 0x%02X in the text",
                          static_cast<unsigned char>(c));
            Fail(file, line, buf);
        }
        if (c != '\\') {
            out += c;
            continue;
        }
        if (i + 1 >= raw.size()) Fail(file, line, "backslash at the end of the text");
        const char e = raw[++i];
        if (e == 'n')
            out += '\n';
        else if (e == '\\')
            out += '\\';
        else
            Fail(file, line, std::string("unknown escape \\") + e + " (only \\n and \\\\ are allowed)");
    }
    return out;
}

std::map<unsigned, std::string> ReadTexts(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) throw InputError{file + ": cannot open for reading"};

    std::map<unsigned, std::string> texts;
    std::map<unsigned, int> firstLine;
    std::string raw;
    int line = 0;
    while (std::getline(in, raw)) {
        ++line;
        if (raw.empty() || raw[0] == '#') continue;

        const std::size_t tab = raw.find('\t');
        if (tab == std::string::npos) Fail(file, line, "no TAB between the number and the text");
        const std::string num = raw.substr(0, tab);
        if (num.empty()) Fail(file, line, "the line does not start with a message number");
        if (num.size() > 5)
            Fail(file, line, "message number '" + num + "' is above " + std::to_string(kMaxNumber));
        unsigned number = 0;
        for (char c : num) {
            if (c < '0' || c > '9') Fail(file, line, "message number '" + num + "' is not a decimal number");
            number = number * 10 + static_cast<unsigned>(c - '0');
        }
        if (number > kMaxNumber)
            Fail(file, line, "message number " + num + " is above " + std::to_string(kMaxNumber));

        const std::string text = Unescape(raw.substr(tab + 1), file, line);
        if (text.empty())
            Fail(file, line, "message " + num + " has an empty text (an empty entry means 'no text')");
        for (std::size_t i = 0; i < text.size();) {
            const std::size_t n = Utf8SequenceLength(text, i);
            if (n == 0) Fail(file, line, "message " + num + " is not valid UTF-8");
            i += n;
        }
        if (text.size() > kMaxTextBytes)
            Fail(file, line,
                 "message " + num + " is " + std::to_string(text.size()) + " bytes of UTF-8, at most " +
                     std::to_string(kMaxTextBytes) + " fit");

        const auto [it, inserted] = firstLine.emplace(number, line);
        if (!inserted)
            Fail(file, line,
                 "message " + num + " is defined twice (first on line " + std::to_string(it->second) + ")");
        texts.emplace(number, text);
    }
    if (in.bad()) throw InputError{file + ": read error"};
    return texts;
}

void PutLE16(std::vector<unsigned char>& out, unsigned v) {
    out.push_back(static_cast<unsigned char>(v & 0xFF));
    out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void PutLE32(std::vector<unsigned char>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<unsigned char>((v >> shift) & 0xFF));
}

std::vector<unsigned char> BuildImage(const std::map<unsigned, std::string>& texts) {
    std::map<unsigned, std::vector<const std::string*>> blocks;  // block number -> 16 entries
    for (const auto& [number, text] : texts) {
        auto& entries = blocks[number / kEntriesPerBlock + 1];
        entries.resize(kEntriesPerBlock, nullptr);
        entries[number % kEntriesPerBlock] = &text;
    }

    std::vector<unsigned char> image;
    for (const auto& [block, entries] : blocks) {
        std::vector<unsigned char> data;
        for (const std::string* text : entries) {
            if (text == nullptr) {
                data.push_back(0);
                continue;
            }
            data.push_back(static_cast<unsigned char>(text->size()));
            data.insert(data.end(), text->begin(), text->end());
        }
        image.push_back(0xFF);
        PutLE16(image, kTypeStringTable);
        image.push_back(0xFF);
        PutLE16(image, block);
        PutLE16(image, kMemoryFlags);
        PutLE32(image, static_cast<std::uint32_t>(data.size()));
        image.insert(image.end(), data.begin(), data.end());
    }
    return image;
}

bool IsIdentifier(const std::string& s) {
    if (s.empty() || (s[0] >= '0' && s[0] <= '9')) return false;
    for (char c : s) {
        const bool ok =
            (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
        if (!ok) return false;
    }
    return true;
}

std::string Source(const std::vector<unsigned char>& image, const std::string& symbol,
                   const std::string& input, std::size_t count) {
    std::ostringstream s;
    s << "// Generated by tolvane_mktexts from " << input << " (" << count << " texts). Do not edit.\n"
      << "#include <cstddef>\n\n"
      << "extern const unsigned char " << symbol << "[];\n"
      << "extern const std::size_t " << symbol << "_size;\n\n";
    // A zero-length array is not valid C++, so an empty table still gets one byte.
    s << "const unsigned char " << symbol << "[] = {";
    if (image.empty()) s << "\n    0x00";
    for (std::size_t i = 0; i < image.size(); ++i) {
        if (i % 16 == 0) s << "\n   ";
        char buf[8];
        std::snprintf(buf, sizeof buf, " 0x%02X,", image[i]);
        s << buf;
    }
    s << "\n};\n\n"
      << "const std::size_t " << symbol << "_size = " << image.size() << ";\n";
    return s.str();
}

// Written beside the target and renamed over it, so that a failed run never leaves a
// half-written source for the next build to pick up.
void WriteFile(const std::string& path, const std::string& content) {
    const std::string tmp = path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        if (!out) throw InputError{tmp + ": cannot open for writing"};
        out << content;
        out.close();
        if (!out) {
            std::remove(tmp.c_str());
            throw InputError{tmp + ": write error"};
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        const int err = errno;
        std::remove(tmp.c_str());
        throw InputError{path + ": cannot replace: " + std::strerror(err)};
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: " << (argc > 0 ? argv[0] : "tolvane_mktexts")
                  << " <texts.txt> <output.cpp> <symbol>\n";
        return 2;
    }
    const std::string input = argv[1];
    const std::string output = argv[2];
    const std::string symbol = argv[3];
    if (!IsIdentifier(symbol)) {
        std::cerr << "tolvane_mktexts: '" << symbol << "' is not a C++ identifier\n";
        return 2;
    }
    try {
        const auto texts = ReadTexts(input);
        WriteFile(output, Source(BuildImage(texts), symbol, input, texts.size()));
    } catch (const InputError& e) {
        std::cerr << "tolvane_mktexts: error: " << e.text << "\n";
        return 1;
    }
    return 0;
}
