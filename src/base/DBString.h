#pragma once

#include <string>
#include <vector>

// The wide string used for every text in the program. wchar_t is 32 bits on our
// platforms, so one element is one Unicode code point.
class DBString : public std::wstring {
public:
    using std::wstring::wstring;
    using std::wstring::operator=;

    DBString() = default;
    DBString(const DBString&) = default;
    DBString(DBString&&) noexcept = default;
    DBString& operator=(const DBString&) = default;
    DBString& operator=(DBString&&) noexcept = default;

    // A null pointer gives the empty string instead of undefined behaviour.
    DBString(const wchar_t* text);
    DBString(const std::wstring& text);
    DBString(std::wstring&& text) noexcept;

    // UTF-8 input; any invalid sequence turns the whole result into "?utf-32?".
    DBString(const char* utf8);
    DBString(const std::string& utf8);

    // Each 16-bit unit becomes one character; surrogate pairs are not combined.
    DBString(const char16_t* text);
    DBString(const char16_t* text, int count);

    // Every item followed by the separator, the last one too.
    DBString(const std::wstring& separator, const std::vector<DBString>& items);

    // UTF-8; a character that has no UTF-8 form turns the whole result into "?utf-8?".
    std::string ToStr() const;
    std::u16string ToU16() const;

    // At most 1024 bytes; stops before the first character code page 1251 lacks.
    std::string ToCP1251() const;
    // Replaces the content; at most 127 characters are kept.
    DBString& FromCP1251(const char* text);
    // MD5 of the code page 1251 bytes, 32 upper-case hex digits.
    DBString Md5Hash() const;

    static constexpr int FormatBufferSize = 32768;
    // printf-style formatting; output longer than FormatBufferSize - 1 is cut there.
    DBString& Format(const wchar_t* fmt, ...);
    DBString& AppendFormat(const wchar_t* fmt, ...);

    DBString& Trim();
    DBString& TrimArg();
    DBString& MakeLower();

    bool IsDigit(int i) const;
    DBString SubStr(int start, int count = -1) const;
    DBString Left(int n) const;
    int Find(wchar_t ch, int start = 0) const;
    int Find(const wchar_t* text, int start = 0) const;
    int Find(const std::wstring& text, int start = 0) const;
    int ReverseFind(wchar_t ch) const;
    // Returns the number of replacements; null arguments throw std::logic_error.
    int Replace(const wchar_t* what, const wchar_t* with);
    int Replace(const std::wstring& what, const std::wstring& with);

    DBString ForFind() const;
    DBString NotASCII() const;

    // Splits at every separator; a trailing separator does not add an empty piece,
    // so this undoes the separator-and-vector constructor.
    std::vector<DBString> Parse(const std::wstring& separator) const;

    DBString& operator=(wchar_t ch);
    DBString& operator=(const wchar_t* text);
    DBString& operator=(const std::wstring& text);
    DBString& operator=(std::wstring&& text) noexcept;
    DBString& operator=(const char* utf8);
    DBString& operator=(const std::string& utf8);

    DBString& operator+=(wchar_t ch);
    DBString& operator+=(const wchar_t* text);
    DBString& operator+=(const DBString& text);
    DBString& operator+=(const std::wstring& text);
    DBString& operator+=(const char* utf8);
    DBString& operator+=(const std::string& utf8);

    // std::wstring gets its own overloads: otherwise a mix of DBString and
    // std::wstring would be ambiguous between these and the standard templates.
    friend DBString operator+(const DBString& a, const DBString& b);
    friend DBString operator+(const DBString& a, const std::wstring& b);
    friend DBString operator+(const std::wstring& a, const DBString& b);
    friend DBString operator+(const DBString& a, std::wstring&& b);
    friend DBString operator+(std::wstring&& a, const DBString& b);
    friend DBString operator+(const DBString& a, const wchar_t* b);
    friend DBString operator+(const wchar_t* a, const DBString& b);
    friend DBString operator+(const DBString& a, wchar_t b);
    friend DBString operator+(wchar_t a, const DBString& b);
    friend DBString operator+(const DBString& a, const char* b);
    friend DBString operator+(const char* a, const DBString& b);

#define DBSTRING_COMPARISON(op)                                         \
    friend bool operator op(const DBString& a, const DBString& b) {     \
        return Cmp(a, b) op 0;                                          \
    }                                                                   \
    friend bool operator op(const DBString& a, const std::wstring& b) { \
        return Cmp(a, b) op 0;                                          \
    }                                                                   \
    friend bool operator op(const std::wstring& a, const DBString& b) { \
        return -Cmp(b, a) op 0;                                         \
    }                                                                   \
    friend bool operator op(const DBString& a, const wchar_t* b) {      \
        return Cmp(a, b) op 0;                                          \
    }                                                                   \
    friend bool operator op(const wchar_t* a, const DBString& b) {      \
        return -Cmp(b, a) op 0;                                         \
    }
    DBSTRING_COMPARISON(==)
    DBSTRING_COMPARISON(!=)
    DBSTRING_COMPARISON(<)
    DBSTRING_COMPARISON(>)
    DBSTRING_COMPARISON(<=)
    DBSTRING_COMPARISON(>=)
#undef DBSTRING_COMPARISON

private:
    // Sign of the code point comparison; a null text counts as empty.
    static int Cmp(const std::wstring& a, const std::wstring& b);
    static int Cmp(const std::wstring& a, const wchar_t* b);
};

template <>
struct std::hash<DBString> : std::hash<std::wstring> {};

// printf into a narrow string of whatever length the text needs.
std::string FormatStr(const char* format, ...) __attribute__((format(printf, 1, 2)));
