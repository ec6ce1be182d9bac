#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "DBString.h"

// The 16-byte identifier layout shared with other programs; integers in host order.
struct GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
};
static_assert(sizeof(GUID) == 16, "GUID must be 16 bytes without padding");

// An identifier whose text form is 32 upper-case hexadecimal digits (Data1, Data2,
// Data3, then the bytes of Data4) without braces or hyphens. All zero means "not set".
class DBGUID : public GUID {
public:
    DBGUID() : GUID{} {}
    DBGUID(const GUID& g) : GUID(g) {}
    DBGUID(const DBGUID&) = default;
    DBGUID& operator=(const DBGUID&) = default;

    bool IsNul() const;

    DBGUID& operator=(const GUID& g);
    // 16 raw bytes; a null pointer clears the identifier.
    DBGUID& operator=(const void* bytes);
    DBGUID& operator=(const unsigned char* bytes);
    // Text form; digits that are missing or unreadable leave their fields 0.
    DBGUID& operator=(const wchar_t* text);
    DBGUID& operator=(const char* text);
    DBGUID& operator=(const std::wstring& text);
    DBGUID& operator=(const std::string& text);

    // Clears, then copies min(size, 16) bytes.
    void Set(const void* bytes, size_t size);

    DBString ToString() const;
    // A fresh random version-4, variant-1 identifier.
    bool Generate();

    friend bool operator==(const DBGUID& a, const DBGUID& b);
    friend bool operator!=(const DBGUID& a, const DBGUID& b) { return !(a == b); }
    // Field by field, so that identifiers can key ordered containers.
    friend bool operator<(const DBGUID& a, const DBGUID& b);
};
