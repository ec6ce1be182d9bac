#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <tuple>

#include "ClientCFG.h"
#include "LoadRes.h"
#include "Xml.h"

namespace fs = std::filesystem;
using ZARNCloud::CNodeB;

namespace {

// The text of the ErrorXML that f throws.
template <typename F>
std::string Thrown(F f) {
    try {
        f();
    } catch (const ErrorXML& e) {
        return e.Text().ToStr();
    }
    return "<nothing thrown>";
}

// Each test gets a HOME of its own, an element UM in a document of its own, and the error
// texts of the message table in English; HOME and the language flag are put back afterwards.
class Config : public ::testing::Test {
protected:
    void SetUp() override {
        g_StringENU = true;
        xmlDocSetRootElement(doc.get(), um);
        ASSERT_NE(mkdtemp(home.data()), nullptr);
        file = fs::path(home) / "ZARN/etc/ZARNClient.xml";
        setenv("HOME", home.c_str(), 1);
    }
    void TearDown() override {
        saved ? setenv("HOME", saved, 1) : unsetenv("HOME");
        g_StringENU = savedEnu;
        fs::remove_all(home);
    }
    // An attribute as libxml2 holds it: what a reader of the file would see.
    std::string Raw(const char* attr) {
        std::unique_ptr<xmlChar, void (*)(void*)> v(xmlGetProp(um, BAD_CAST attr), xmlFree);
        return v ? reinterpret_cast<const char*>(v.get()) : "<absent>";
    }
    void Write(const std::string& content) {
        fs::create_directories(file.parent_path());
        std::ofstream(file) << content;
    }

    const char* saved = std::getenv("HOME");  // glibc keeps the old value when HOME is set anew
    bool savedEnu = g_StringENU;
    std::string home = (fs::temp_directory_path() / "tolvane-cfg-XXXXXX").string();
    fs::path file;
    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc{xmlNewDoc(BAD_CAST "1.0"), xmlFreeDoc};
    xmlNode* um = xmlNewDocNode(doc.get(), nullptr, BAD_CAST "UM", nullptr);
};

std::string Doc(const std::string& language) {
    return "<?xml version=\"1.0\"?><ZARNClient Language=\"" + language + "\" Theme=\"Тёмная\"/>";
}

}  // namespace

TEST_F(Config, ErrorXmlTextsAndNumbers) {
    const std::tuple<ErrorXML, const wchar_t*, int> cases[] = {
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
        {ErrorXML(static_cast<const wchar_t*>(nullptr), 1, nullptr), L" elements ", 1},  // null is empty
    };
    for (const auto& [error, text, number] : cases) {
        EXPECT_EQ(std::make_tuple(error.Text(), error.Number(), std::string(error.what())),
                  std::make_tuple(DBString(text), number, DBString(text).ToStr()));
    }
}

TEST_F(Config, IntegerAttributesReadWithStrtolAndZeroKeptOnlyWhenAsked) {
    std::string read, written;
    for (const char* v : {"12abc", "abc", "", "-45", " 7", "2147483647", "99999999999", "-99999999999"}) {
        xmlSetProp(um, BAD_CAST "Number", BAD_CAST v);
        read += std::to_string(CNodeB::XMLLoadInteger(um, "UM", "Number", -1)) + " ";
    }
    xmlUnsetProp(um, BAD_CAST "Number");
    read += std::to_string(CNodeB::XMLLoadInteger(um, "UM", "Number", -7)) + " " +
            std::to_string(CNodeB::XMLLoadInteger(nullptr, "UM", "Number", 42));
    EXPECT_EQ(read, "12 0 0 -45 7 2147483647 2147483647 -2147483648 -7 42");  // absent: the default
    const int values[] = {-3, INT_MIN, 0, 0, 7};
    const bool keepZero[] = {false, false, true, false, true};
    for (int i = 0; i < 5; ++i) {
        CNodeB::XMLUpdateInteger(um, values[i], "UM", "Number", keepZero[i]);
        written += Raw("Number") + " ";
    }
    EXPECT_EQ(written, "-3 -2147483648 0 <absent> 7 ");
}

TEST_F(Config, StringAttributesTrimRoundTripAndRemove) {
    xmlSetProp(um, BAD_CAST "Name", BAD_CAST "  Lift 3 ");
    EXPECT_EQ(std::make_tuple(CNodeB::XMLLoadString(um, "UM", "Name", true),
                              CNodeB::XMLLoadString(um, "UM", "Name", false),
                              CNodeB::XMLLoadString(um, "UM", "Note", true)),
              std::make_tuple(DBString(L"Lift 3"), DBString(L"  Lift 3 "), DBString()));
    CNodeB::XMLUpdateString(um, DBString(L"Лифт №5"), "UM", "Note");
    EXPECT_EQ(std::make_tuple(Raw("Note"), CNodeB::XMLLoadString(um, "UM", "Note", false)),
              std::make_tuple(std::string("Лифт №5"), DBString(L"Лифт №5")));  // UTF-8 in the file
    CNodeB::XMLUpdateString(um, DBString(), "UM", "Note");
    CNodeB::XMLUpdateString(um, DBString(), "UM", "Note");  // already gone is no failure
    EXPECT_EQ(Raw("Note"), "<absent>");
    EXPECT_EQ(Thrown([] { CNodeB::XMLUpdateString(nullptr, DBString(L"x"), "UM", "Name"); }) + "|" +
                  Thrown([] { CNodeB::XMLUpdateInteger(nullptr, 5, "UM", "Name", false); }),
              "Error append parameters Name elements UM|Error append parameters Name elements UM");
}

TEST_F(Config, TheFileDecidesTheLanguage) {
    const std::tuple<std::optional<std::string>, const wchar_t*, int, bool> cases[] = {
        {std::nullopt, L"", CClientCFG::LangRussian, true},  // no file: the empty document
        {"", L"", CClientCFG::LangRussian, true},
        {"Language=enu\n", L"", CClientCFG::LangRussian, true},  // not XML
        {"<?xml version=\"1.0\"?><Disp Language=\"enu\"/>", L"", CClientCFG::LangRussian, false},
        {Doc(" rus "), L"rus", CClientCFG::LangRussian, true},
        {Doc(""), L"", CClientCFG::LangRussian, true},
        {"<ZARNClient/>", L"", CClientCFG::LangRussian, true},
        {Doc("enu"), L"enu", CClientCFG::LangEnglish, true},
        {Doc("deu"), L"deu", CClientCFG::LangEnglish, true},  // any other text is English
    };
    EXPECT_EQ(CClientCFG::FileName(), file.string());
    for (const auto& [content, text, language, element] : cases) {
        fs::remove_all(file.parent_path());
        if (content) Write(*content);
        CClientCFG cfg;
        cfg.SetLanguage(CClientCFG::LangEnglish);
        cfg.XMLLoadFile();
        EXPECT_EQ(std::make_tuple(cfg.Language(), cfg.LanguageText(), cfg.Element() != nullptr),
                  std::make_tuple(language, DBString(text), element))
            << content.value_or("<no file>");
    }
    unsetenv("HOME");  // no file name: as no file
    CClientCFG cfg;
    cfg.XMLLoadFile();
    EXPECT_EQ(std::make_tuple(CClientCFG::FileName(), cfg.Language()), std::make_tuple(std::string(), 0));
    setenv("HOME", home.c_str(), 1);
    // At start-up the file may switch the texts to English, never back.
    g_StringENU = false;
    std::string flags;
    for (const char* value : {"rus", "enu", "rus"}) {
        Write(Doc(value));
        CClientCFG::SetDefLanguage();
        flags += g_StringENU ? "E" : "R";
    }
    EXPECT_EQ(flags, "REE");
}

TEST_F(Config, SaveWritesWhatLoadReadsBackOrSaysWhyNot) {
    CClientCFG cfg;
    cfg.XMLLoadFile();  // no file, no directory yet: they are made on the way
    cfg.SetLanguage(CClientCFG::LangEnglish);
    cfg.XMLUpdate();
    cfg.XMLSaveFile();
    cfg.XMLLoadFile();
    EXPECT_EQ(cfg.LanguageText(), DBString(L"enu"));
    Write(Doc(""));
    cfg.XMLLoadFile();
    cfg.XMLUpdate();  // number 0 writes "rus" back, the other attribute stays
    cfg.XMLSaveFile();
    std::ifstream in(file);
    const std::string saved{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(saved.find("encoding=\"utf-8\"?>\n<ZARNClient Language=\"rus\" Theme=\"Тёмная\""),
              std::string::npos)
        << saved;
    EXPECT_EQ(std::distance(fs::directory_iterator(file.parent_path()), fs::directory_iterator()), 1)
        << "a temporary file was left behind";
    setenv("HOME", (home + "/ZARN/etc/ZARNClient.xml").c_str(), 1);  // a plain file: no directory below it
    EXPECT_EQ(Thrown([&] { cfg.XMLSaveFile(); }), "Error XMLDOMSave->save");
}
