#include "Xml.h"

#include <climits>
#include <cstdlib>
#include <memory>
#include <utility>

#include "LoadRes.h"

namespace {

// Null texts come from optional arguments; they read as empty instead of crashing the throw.
DBString Wide(const wchar_t* text) {
    return text ? DBString(text) : DBString();
}
DBString Narrow(const char* text) {
    return text ? DBString(text) : DBString();
}

DBString ElementsText(DBString a, const DBString& b) {
    a += L" elements ";
    a += b;
    return a;
}

DBString ParametersText(DBString a, const DBString& param, const DBString& elem) {
    a += L" parameters ";
    a += param;
    return ElementsText(std::move(a), elem);
}

struct XmlFreeDeleter {
    void operator()(xmlChar* p) const noexcept { xmlFree(p); }
};
using XmlText = std::unique_ptr<xmlChar, XmlFreeDeleter>;

XmlText GetProp(xmlNode* e, const char* attr) {
    if (!e || !attr) return nullptr;
    return XmlText(xmlGetProp(e, reinterpret_cast<const xmlChar*>(attr)));
}

void SetProp(xmlNode* e, const std::string& value, const char* elem, const char* attr) {
    if (!e || !attr ||
        !xmlSetProp(e, reinterpret_cast<const xmlChar*>(attr),
                    reinterpret_cast<const xmlChar*>(value.c_str())))
        throw ErrorXML(41076, elem, attr);
}

void UnsetProp(xmlNode* e, const char* attr) {
    // Removing what is not there is no failure: the attribute is absent either way.
    if (e && attr) xmlUnsetProp(e, reinterpret_cast<const xmlChar*>(attr));
}

}  // namespace

ErrorXML::ErrorXML(const wchar_t* a, int n, const wchar_t* b) : m_Number(n) {
    SetText(ElementsText(Wide(a), Wide(b)));
}

ErrorXML::ErrorXML(const wchar_t* a, int n, const wchar_t* b, const wchar_t* c) : m_Number(n) {
    SetText(ParametersText(Wide(a), Wide(c), Wide(b)));
}

ErrorXML::ErrorXML(const char* a) {
    SetText(Narrow(a));
}

ErrorXML::ErrorXML(const char* a, const char* b) {
    SetText(b ? ElementsText(Narrow(a), Narrow(b)) : Narrow(a));
}

ErrorXML::ErrorXML(const char* a, const char* b, const char* c) {
    SetText(ParametersText(Narrow(a), Narrow(c), Narrow(b)));
}

ErrorXML::ErrorXML(int id) {
    SetText(_S_(id));
}

ErrorXML::ErrorXML(int id, const char* b) {
    SetText(b ? ElementsText(_S_(id), Narrow(b)) : _S_(id));
}

ErrorXML::ErrorXML(int id, const char* a, const char* b) {
    SetText(ParametersText(_S_(id), Narrow(b), Narrow(a)));
}

ErrorXML::ErrorXML(const wchar_t* text, int number) : m_Number(number) {
    SetText(Wide(text));
}

ErrorXML::ErrorXML(DBString text, int number) : m_Number(number) {
    SetText(std::move(text));
}

void ErrorXML::SetText(DBString text) {
    m_Text = std::move(text);
    m_Utf8 = m_Text.ToStr();
}

namespace ZARNCloud {

DBString CNodeB::XMLLoadString(xmlNode* e, const char* /*elem*/, const char* attr, bool trim) {
    XmlText value = GetProp(e, attr);
    if (!value) return DBString();
    DBString result(reinterpret_cast<const char*>(value.get()));
    if (trim) result.Trim();
    return result;
}

int CNodeB::XMLLoadInteger(xmlNode* e, const char* /*elem*/, const char* attr, int def) {
    XmlText value = GetProp(e, attr);
    if (!value) return def;
    long number = std::strtol(reinterpret_cast<const char*>(value.get()), nullptr, 10);
    // A value beyond int would otherwise wrap into an unrelated number; the nearest one is
    // the least surprising reading of an out-of-range attribute.
    if (number > INT_MAX) return INT_MAX;
    if (number < INT_MIN) return INT_MIN;
    return static_cast<int>(number);
}

void CNodeB::XMLUpdateString(xmlNode* e, const DBString& value, const char* elem, const char* attr) {
    if (value.empty())
        UnsetProp(e, attr);
    else
        SetProp(e, value.ToStr(), elem, attr);
}

void CNodeB::XMLUpdateInteger(xmlNode* e, int value, const char* elem, const char* attr, bool keepZero) {
    if (value == 0 && !keepZero)
        UnsetProp(e, attr);
    else
        SetProp(e, std::to_string(value), elem, attr);
}

}  // namespace ZARNCloud
