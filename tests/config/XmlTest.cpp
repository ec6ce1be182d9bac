#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <climits>
#include <memory>
#include <string>

#include "LoadRes.h"
#include "Xml.h"

using ZARNCloud::CNodeB;

namespace {

// Error texts come from the message table; these tests read them in English.
class EnglishTexts : public ::testing::Test {
protected:
    void SetUp() override { g_StringENU = true; }
    void TearDown() override { g_StringENU = saved; }
    bool saved = g_StringENU;
};

struct DocDeleter {
    void operator()(xmlDoc* d) const { xmlFreeDoc(d); }
};

class NodeB : public EnglishTexts {
protected:
    void SetUp() override {
        EnglishTexts::SetUp();
        doc.reset(xmlNewDoc(BAD_CAST "1.0"));
        um = xmlNewDocNode(doc.get(), nullptr, BAD_CAST "UM", nullptr);
        xmlDocSetRootElement(doc.get(), um);
    }

    void Set(const char* attr, const char* value) { xmlSetProp(um, BAD_CAST attr, BAD_CAST value); }
    bool Has(const char* attr) { return xmlHasProp(um, BAD_CAST attr) != nullptr; }
    // The raw bytes as libxml2 holds them, to see what a reader of the file would see.
    std::string Raw(const char* attr) {
        xmlChar* v = xmlGetProp(um, BAD_CAST attr);
        std::string s = v ? reinterpret_cast<const char*>(v) : "<absent>";
        xmlFree(v);
        return s;
    }

    std::unique_ptr<xmlDoc, DocDeleter> doc;
    xmlNode* um = nullptr;
};

}  // namespace

TEST_F(EnglishTexts, ErrorXmlTextsAndNumbers) {
    struct Case {
        ErrorXML error;
        const wchar_t* text;
        int number;
    };
    const Case cases[] = {
        {ErrorXML(L"Bad", 5, L"Slot"), L"Bad elements Slot", 5},
        {ErrorXML(L"Bad", -3, L"Slot", L"Addr"), L"Bad parameters Addr elements Slot", -3},
        {ErrorXML("plain"), L"plain", 0},
        {ErrorXML("Bad", "Slot"), L"Bad elements Slot", 0},
        {ErrorXML("!m_XMLDOM", nullptr), L"!m_XMLDOM", 0},
        {ErrorXML("Bad", "Slot", "Addr"), L"Bad parameters Addr elements Slot", 0},
        {ErrorXML(41083), L"Error loadXML", 0},
        {ErrorXML(41076, "ZARNClient"), L"Error append elements ZARNClient", 0},
        {ErrorXML(41080, nullptr), L"Error create of XML parsers", 0},
        {ErrorXML(41076, "UM", "Name"), L"Error append parameters Name elements UM", 0},
        {ErrorXML(L"sendto", 111), L"sendto", 111},
        {ErrorXML(DBString(L"Сбой bind"), 98), L"Сбой bind", 98},
        // Optional texts left null read as empty rather than crashing the thrower.
        {ErrorXML(static_cast<const wchar_t*>(nullptr), 1, nullptr), L" elements ", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(DBString(c.text).ToStr());
        EXPECT_EQ(c.error.Text(), DBString(c.text));
        EXPECT_EQ(c.error.Number(), c.number);
        EXPECT_EQ(std::string(c.error.what()), DBString(c.text).ToStr());
    }
}

TEST_F(NodeB, LoadInteger) {
    const struct {
        const char* value;
        int expected;
    } cases[] = {
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"-45", -45},
        {" 7", 7},
        {"2147483647", INT_MAX},
        {"99999999999", INT_MAX},
        {"-99999999999", INT_MIN},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        Set("Number", c.value);
        EXPECT_EQ(CNodeB::XMLLoadInteger(um, "UM", "Number", -1), c.expected);
    }
    EXPECT_EQ(CNodeB::XMLLoadInteger(um, "UM", "Absent", -7), -7);
    EXPECT_EQ(CNodeB::XMLLoadInteger(nullptr, "UM", "Number", 42), 42);
}

TEST_F(NodeB, StringsTrimRoundTripAndRemove) {
    Set("Name", "  Lift 3 ");
    EXPECT_EQ(CNodeB::XMLLoadString(um, "UM", "Name", true), DBString(L"Lift 3"));
    EXPECT_EQ(CNodeB::XMLLoadString(um, "UM", "Name", false), DBString(L"  Lift 3 "));
    EXPECT_TRUE(CNodeB::XMLLoadString(um, "UM", "Note", true).empty());

    const DBString cyrillic(L"Лифт №5");
    CNodeB::XMLUpdateString(um, cyrillic, "UM", "Note");
    EXPECT_EQ(Raw("Note"),
              "\xD0\x9B\xD0\xB8\xD1\x84\xD1\x82 \xE2\x84\x96"
              "5");
    EXPECT_EQ(CNodeB::XMLLoadString(um, "UM", "Note", false), cyrillic);

    CNodeB::XMLUpdateString(um, DBString(), "UM", "Note");
    EXPECT_FALSE(Has("Note"));
    // Removing an attribute that is already gone is not a failure.
    EXPECT_NO_THROW(CNodeB::XMLUpdateString(um, DBString(), "UM", "Note"));
}

TEST_F(NodeB, UpdateIntegerZeroAndNegatives) {
    CNodeB::XMLUpdateInteger(um, -3, "UM", "Number", false);
    EXPECT_EQ(Raw("Number"), "-3");
    CNodeB::XMLUpdateInteger(um, INT_MIN, "UM", "Number", false);
    EXPECT_EQ(Raw("Number"), "-2147483648");
    EXPECT_EQ(CNodeB::XMLLoadInteger(um, "UM", "Number", 0), INT_MIN);

    CNodeB::XMLUpdateInteger(um, 0, "UM", "Number", true);
    EXPECT_EQ(Raw("Number"), "0");
    CNodeB::XMLUpdateInteger(um, 0, "UM", "Number", false);
    EXPECT_FALSE(Has("Number"));
    EXPECT_EQ(CNodeB::XMLLoadInteger(um, "UM", "Number", 9), 9);
}

TEST_F(NodeB, FailedSetThrowsWithElementAndAttribute) {
    const DBString expected(L"Error append parameters Name elements UM");
    try {
        CNodeB::XMLUpdateString(nullptr, DBString(L"x"), "UM", "Name");
        ADD_FAILURE() << "string set on no element";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), expected);
    }
    try {
        CNodeB::XMLUpdateInteger(nullptr, 5, "UM", "Name", false);
        ADD_FAILURE() << "integer set on no element";
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), expected);
    }
}
