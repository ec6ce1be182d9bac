#include "DBString.h"

#include <iconv.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <stdexcept>

#include "md5.h"

namespace {

const wchar_t kBadUtf8[] = L"?utf-32?";
const char kBadWide[] = "?utf-8?";

// Strict decoder: overlong forms, surrogates, code points above U+10FFFF and
// sequences cut short are all refused, so that a text which passed here always
// encodes back to the very same bytes.
bool DecodeUtf8(const char* data, size_t size, std::wstring& out) {
    out.clear();
    out.reserve(size);
    const auto* p = reinterpret_cast<const unsigned char*>(data);
    const auto* end = p + size;
    while (p < end) {
        const unsigned char lead = *p++;
        if (lead < 0x80) {
            out.push_back(static_cast<wchar_t>(lead));
            continue;
        }
        int extra;
        uint32_t cp;
        uint32_t min;
        if (lead >= 0xC2 && lead <= 0xDF) {
            extra = 1;
            cp = lead & 0x1Fu;
            min = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            extra = 2;
            cp = lead & 0x0Fu;
            min = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            extra = 3;
            cp = lead & 0x07u;
            min = 0x10000;
        } else {
            return false;
        }
        if (end - p < extra) return false;
        for (int i = 0; i < extra; ++i) {
            const unsigned char c = *p++;
            if ((c & 0xC0u) != 0x80u) return false;
            cp = (cp << 6) | (c & 0x3Fu);
        }
        if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        out.push_back(static_cast<wchar_t>(cp));
    }
    return true;
}

void AssignUtf8(std::wstring& target, const char* data, size_t size) {
    std::wstring decoded;
    if (DecodeUtf8(data, size, decoded))
        target = std::move(decoded);
    else
        target = kBadUtf8;
}

// Host-order UTF-32: a plain "UTF-32" source would be read as big-endian without a BOM.
const char* HostUtf32() {
    return std::endian::native == std::endian::little ? "UTF-32LE" : "UTF-32BE";
}

struct IconvCloser {
    void operator()(void* cd) const { iconv_close(static_cast<iconv_t>(cd)); }
};
using IconvHandle = std::unique_ptr<void, IconvCloser>;

IconvHandle OpenIconv(const char* to, const char* from) {
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return IconvHandle();
    return IconvHandle(cd);
}

constexpr size_t kCp1251OutBytes = 1024;
constexpr size_t kCp1251InChars = 127;

// Runs one iconv pass and returns how many output bytes were produced. Errors
// (an unconvertible character, a full buffer) simply end the pass: whatever was
// converted up to that point is the result.
size_t RunIconv(iconv_t cd, const char* in, size_t inBytes, char* out, size_t outBytes) {
    char* src = const_cast<char*>(in);
    char* dst = out;
    size_t dstLeft = outBytes;
    iconv(cd, &src, &inBytes, &dst, &dstLeft);
    return outBytes - dstLeft;
}

DBString VFormat(const wchar_t* fmt, va_list args) {
    if (fmt == nullptr) return DBString();
    // Most results are short; the large buffer is only zeroed when it is needed.
    wchar_t small[512];
    va_list copy;
    va_copy(copy, args);
    const int n = std::vswprintf(small, std::size(small), fmt, copy);
    va_end(copy);
    if (n >= 0) return DBString(small, static_cast<size_t>(n));

    // Either the text did not fit, or a conversion failed part way. The buffer is
    // zeroed first so that whatever the library managed to write before giving up
    // can be kept: a long log line loses its tail rather than vanishing.
    std::wstring big(DBString::FormatBufferSize, L'\0');
    const int m = std::vswprintf(big.data(), big.size(), fmt, args);
    if (m >= 0) {
        big.resize(static_cast<size_t>(m));
    } else {
        big.resize(wcsnlen(big.data(), big.size() - 1));
    }
    return DBString(std::move(big));
}

}  // namespace

DBString::DBString(const wchar_t* text) : std::wstring(text != nullptr ? text : L"") {}

DBString::DBString(const std::wstring& text) : std::wstring(text) {}

DBString::DBString(std::wstring&& text) noexcept : std::wstring(std::move(text)) {}

DBString::DBString(const char* utf8) {
    if (utf8 != nullptr) AssignUtf8(*this, utf8, std::strlen(utf8));
}

DBString::DBString(const std::string& utf8) {
    AssignUtf8(*this, utf8.data(), utf8.size());
}

DBString::DBString(const char16_t* text) {
    if (text == nullptr) return;
    for (; *text != 0; ++text) push_back(static_cast<wchar_t>(*text));
}

DBString::DBString(const char16_t* text, int count) {
    if (text == nullptr || count <= 0) return;
    reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) push_back(static_cast<wchar_t>(text[i]));
}

DBString::DBString(const std::wstring& separator, const std::vector<DBString>& items) {
    for (const DBString& item : items) {
        append(item);
        append(separator);
    }
}

std::string DBString::ToStr() const {
    std::string out;
    out.reserve(size());
    for (wchar_t wc : *this) {
        const auto cp = static_cast<uint32_t>(wc);
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            if (cp >= 0xD800 && cp <= 0xDFFF) return kBadWide;
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            return kBadWide;
        }
    }
    return out;
}

std::u16string DBString::ToU16() const {
    std::u16string out;
    out.reserve(size());
    for (wchar_t wc : *this) {
        const auto cp = static_cast<uint32_t>(wc);
        if (cp < 0x10000) {
            // Lone surrogates pass through unchanged so that the char16_t
            // constructor gives the same string back.
            out.push_back(static_cast<char16_t>(cp));
        } else if (cp <= 0x10FFFF) {
            const uint32_t v = cp - 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(u'\uFFFD');
        }
    }
    return out;
}

std::string DBString::ToCP1251() const {
    // ASCII is the same in code page 1251; most texts are, and the converter's modules then
    // need not be loaded at all.
    if (std::all_of(begin(), end(), [](wchar_t c) { return c >= 0 && c < 0x80; })) {
        return std::string(begin(), begin() + static_cast<std::ptrdiff_t>(std::min(size(), kCp1251OutBytes)));
    }
    IconvHandle cd = OpenIconv("CP1251", HostUtf32());
    if (!cd) return std::string();
    char out[kCp1251OutBytes];
    const size_t n = RunIconv(static_cast<iconv_t>(cd.get()), reinterpret_cast<const char*>(data()),
                              size() * sizeof(wchar_t), out, sizeof(out));
    return std::string(out, n);
}

DBString& DBString::FromCP1251(const char* text) {
    clear();
    if (text == nullptr) return *this;
    // Code page 1251 is one byte per character, so feeding no more bytes than the
    // character limit keeps the output inside its buffer.
    const size_t inBytes = strnlen(text, kCp1251InChars);
    if (std::all_of(text, text + inBytes, [](char c) { return static_cast<unsigned char>(c) < 0x80; })) {
        assign(text, text + inBytes);
        return *this;
    }
    IconvHandle cd = OpenIconv(HostUtf32(), "CP1251");
    if (!cd) return *this;
    wchar_t out[kCp1251InChars];
    const size_t n =
        RunIconv(static_cast<iconv_t>(cd.get()), text, inBytes, reinterpret_cast<char*>(out), sizeof(out));
    assign(out, n / sizeof(wchar_t));
    return *this;
}

DBString DBString::Md5Hash() const {
    const std::string bytes = ToCP1251();
    md5::md5_context ctx;
    md5::md5_starts(&ctx);
    md5::md5_update(&ctx, reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
    unsigned char digest[16];
    md5::md5_finish(&ctx, digest);
    static const wchar_t hex[] = L"0123456789ABCDEF";
    DBString out;
    out.reserve(32);
    for (unsigned char b : digest) {
        out.push_back(hex[b >> 4]);
        out.push_back(hex[b & 0x0F]);
    }
    return out;
}

DBString& DBString::Format(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    DBString result = VFormat(fmt, args);
    va_end(args);
    *this = std::move(result);
    return *this;
}

DBString& DBString::AppendFormat(const wchar_t* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    DBString result = VFormat(fmt, args);
    va_end(args);
    append(result);
    return *this;
}

DBString& DBString::Trim() {
    const size_t first = find_first_not_of(L' ');
    if (first == npos) {
        clear();
        return *this;
    }
    const size_t last = find_last_not_of(L' ');
    erase(last + 1);
    erase(0, first);
    return *this;
}

DBString& DBString::TrimArg() {
    Trim();
    if (!empty() && front() == L'"') erase(0, 1);
    if (!empty() && back() == L'"') pop_back();
    return *this;
}

DBString& DBString::MakeLower() {
    for (wchar_t& c : *this) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return *this;
}

bool DBString::IsDigit(int i) const {
    if (i < 0 || static_cast<size_t>(i) >= size()) return false;
    const wchar_t c = (*this)[static_cast<size_t>(i)];
    return c >= L'0' && c <= L'9';
}

DBString DBString::SubStr(int start, int count) const {
    if (start < 0 || static_cast<size_t>(start) >= size()) return DBString();
    return DBString(substr(static_cast<size_t>(start), count < 0 ? npos : static_cast<size_t>(count)));
}

DBString DBString::Left(int n) const {
    if (n < 0 || static_cast<size_t>(n) >= size()) return *this;
    return DBString(substr(0, static_cast<size_t>(n)));
}

namespace {
int ToPos(size_t pos) {
    return pos == std::wstring::npos ? -1 : static_cast<int>(pos);
}
}  // namespace

int DBString::Find(wchar_t ch, int start) const {
    if (start < 0) start = 0;
    return ToPos(find(ch, static_cast<size_t>(start)));
}

int DBString::Find(const wchar_t* text, int start) const {
    if (text == nullptr) return -1;
    if (start < 0) start = 0;
    return ToPos(find(text, static_cast<size_t>(start)));
}

int DBString::Find(const std::wstring& text, int start) const {
    if (start < 0) start = 0;
    return ToPos(find(text, static_cast<size_t>(start)));
}

int DBString::ReverseFind(wchar_t ch) const {
    return ToPos(rfind(ch));
}

int DBString::Replace(const wchar_t* what, const wchar_t* with) {
    if (what == nullptr || with == nullptr) throw std::logic_error("DBString::Replace: null argument");
    return Replace(std::wstring(what), std::wstring(with));
}

int DBString::Replace(const std::wstring& what, const std::wstring& with) {
    // An empty pattern would match everywhere and never advance.
    if (what.empty()) return 0;
    int count = 0;
    size_t pos = find(what);
    while (pos != npos) {
        replace(pos, what.size(), with);
        ++count;
        pos = find(what, pos + with.size());
    }
    return count;
}

DBString DBString::ForFind() const {
    DBString out;
    out.reserve(size());
    for (wchar_t c : *this) {
        switch (c) {
            case L' ':
            case L'\t':
                break;
            case L'\u0401':
                out.push_back(L'\u0415');
                break;
            case L'\u2116':
                out.push_back(L'N');
                break;
            default:
                out.push_back(c);
        }
    }
    return out;
}

DBString DBString::NotASCII() const {
    DBString out;
    for (wchar_t c : *this) {
        if (c < 33 || c > 126) out.push_back(c);
    }
    return out;
}

std::vector<DBString> DBString::Parse(const std::wstring& separator) const {
    std::vector<DBString> out;
    if (empty()) return out;
    if (separator.empty()) {
        out.push_back(*this);
        return out;
    }
    size_t from = 0;
    while (from < size()) {
        const size_t at = find(separator, from);
        if (at == npos) {
            out.emplace_back(substr(from));
            break;
        }
        out.emplace_back(substr(from, at - from));
        from = at + separator.size();
    }
    return out;
}

DBString& DBString::operator=(wchar_t ch) {
    assign(1, ch);
    return *this;
}

DBString& DBString::operator=(const wchar_t* text) {
    if (text == nullptr)
        clear();
    else
        assign(text);
    return *this;
}

DBString& DBString::operator=(const std::wstring& text) {
    assign(text);
    return *this;
}

DBString& DBString::operator=(std::wstring&& text) noexcept {
    std::wstring::operator=(std::move(text));
    return *this;
}

DBString& DBString::operator=(const char* utf8) {
    if (utf8 == nullptr)
        clear();
    else
        AssignUtf8(*this, utf8, std::strlen(utf8));
    return *this;
}

DBString& DBString::operator=(const std::string& utf8) {
    AssignUtf8(*this, utf8.data(), utf8.size());
    return *this;
}

DBString& DBString::operator+=(wchar_t ch) {
    push_back(ch);
    return *this;
}

DBString& DBString::operator+=(const wchar_t* text) {
    if (text != nullptr) append(text);
    return *this;
}

DBString& DBString::operator+=(const DBString& text) {
    append(text);
    return *this;
}

DBString& DBString::operator+=(const std::wstring& text) {
    append(text);
    return *this;
}

DBString& DBString::operator+=(const char* utf8) {
    append(DBString(utf8));
    return *this;
}

DBString& DBString::operator+=(const std::string& utf8) {
    append(DBString(utf8));
    return *this;
}

DBString operator+(const DBString& a, const DBString& b) {
    DBString r(a);
    r.append(b);
    return r;
}

DBString operator+(const DBString& a, const wchar_t* b) {
    DBString r(a);
    r += b;
    return r;
}

DBString operator+(const wchar_t* a, const DBString& b) {
    DBString r(a);
    r.append(b);
    return r;
}

DBString operator+(const DBString& a, wchar_t b) {
    DBString r(a);
    r.push_back(b);
    return r;
}

DBString operator+(wchar_t a, const DBString& b) {
    DBString r(1, a);
    r.append(b);
    return r;
}

DBString operator+(const DBString& a, const char* b) {
    DBString r(a);
    r += b;
    return r;
}

DBString operator+(const char* a, const DBString& b) {
    DBString r(a);
    r.append(b);
    return r;
}

DBString operator+(const DBString& a, const std::wstring& b) {
    DBString r(a);
    r.append(b);
    return r;
}

DBString operator+(const std::wstring& a, const DBString& b) {
    DBString r(a);
    r.append(b);
    return r;
}

DBString operator+(const DBString& a, std::wstring&& b) {
    b.insert(0, a);
    return DBString(std::move(b));
}

DBString operator+(std::wstring&& a, const DBString& b) {
    a.append(b);
    return DBString(std::move(a));
}

int DBString::Cmp(const std::wstring& a, const std::wstring& b) {
    const int c = a.compare(b);
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

int DBString::Cmp(const std::wstring& a, const wchar_t* b) {
    const int c = a.compare(b != nullptr ? b : L"");
    return c < 0 ? -1 : c > 0 ? 1 : 0;
}

std::string FormatStr(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        text.resize(static_cast<size_t>(length));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}
