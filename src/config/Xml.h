#pragma once

// ErrorXML, the exception of the XML and link code, and the attribute operations with which
// every XML-backed record reads and writes its attributes.

#include <libxml/tree.h>

#include <exception>
#include <string>

#include "DBString.h"

class ErrorXML : public std::exception {
public:
    // "a elements b" with the number n.
    ErrorXML(const wchar_t* a, int n, const wchar_t* b);
    // "a parameters c elements b" with the number n.
    ErrorXML(const wchar_t* a, int n, const wchar_t* b, const wchar_t* c);
    explicit ErrorXML(const char* a);
    // "a elements b"; a null b leaves the element part out.
    ErrorXML(const char* a, const char* b);
    // "a parameters c elements b".
    ErrorXML(const char* a, const char* b, const char* c);
    // Text number id of the message table.
    explicit ErrorXML(int id);
    // The text of id, then "elements b" when b is given.
    ErrorXML(int id, const char* b);
    // The text of id, then "parameters b elements a".
    ErrorXML(int id, const char* a, const char* b);
    // A ready text and an error number, as the link code throws them.
    ErrorXML(const wchar_t* text, int number);
    ErrorXML(DBString text, int number);

    const DBString& Text() const noexcept { return m_Text; }
    int Number() const noexcept { return m_Number; }
    // The text in UTF-8.
    const char* what() const noexcept override { return m_Utf8.c_str(); }

private:
    void SetText(DBString text);

    DBString m_Text;
    int m_Number = 0;
    std::string m_Utf8;
};

namespace ZARNCloud {

// Attribute access shared by the XML-backed records. The element name only serves the error
// texts, so that a failure says which record it came from.
class CNodeB {
public:
    // The attribute decoded from UTF-8; empty when absent.
    static DBString XMLLoadString(xmlNode* e, const char* elem, const char* attr, bool trim);
    // The leading decimal number of the attribute (0 when there is none); def when absent.
    static int XMLLoadInteger(xmlNode* e, const char* elem, const char* attr, int def);
    // An empty value removes the attribute. Throws ErrorXML when the attribute cannot be set.
    static void XMLUpdateString(xmlNode* e, const DBString& value, const char* elem, const char* attr);
    // Zero removes the attribute unless keepZero. Throws ErrorXML when it cannot be set.
    static void XMLUpdateInteger(xmlNode* e, int value, const char* elem, const char* attr, bool keepZero);
};

}  // namespace ZARNCloud
