#include <gtest/gtest.h>
#include <libxml/tree.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "ClientCFG.h"
#include "LoadRes.h"
#include "Xml.h"

namespace fs = std::filesystem;

namespace {

// Every test gets a HOME of its own and leaves the real one and the language flag as found.
class ClientCFGTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* h = std::getenv("HOME")) savedHome = h;
        std::string pattern = (fs::temp_directory_path() / "tolvane-cfg-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        home = pattern;
        setenv("HOME", home.c_str(), 1);
        g_StringENU = true;  // error texts are checked in English
    }

    void TearDown() override {
        if (savedHome)
            setenv("HOME", savedHome->c_str(), 1);
        else
            unsetenv("HOME");
        g_StringENU = savedEnu;
        std::error_code ec;
        fs::remove_all(home, ec);
    }

    fs::path File() const { return home / "ZARN" / "etc" / "ZARNClient.xml"; }
    long EntriesBesideFile() const {
        return std::distance(fs::directory_iterator(File().parent_path()), fs::directory_iterator());
    }

    void Write(const std::string& content) {
        fs::create_directories(File().parent_path());
        std::ofstream(File(), std::ios::binary) << content;
    }

    std::string Read() const {
        std::ostringstream s;
        s << std::ifstream(File(), std::ios::binary).rdbuf();
        return s.str();
    }

    static std::string Root(const std::string& attrs) {
        return "<?xml version=\"1.0\"?><ZARNClient " + attrs + "/>";
    }

    std::optional<std::string> savedHome;
    bool savedEnu = g_StringENU;
    fs::path home;
};

// Runs f and expects it to throw ErrorXML with the given text.
template <typename F>
void ExpectError(F f, const wchar_t* text) {
    try {
        f();
        ADD_FAILURE() << "no ErrorXML; expected " << DBString(text).ToStr();
    } catch (const ErrorXML& e) {
        EXPECT_EQ(e.Text(), DBString(text));
    }
}

class Branch : public CNodeClientCFGTree {
public:
    explicit Branch(CNodeClientCFG* parent = nullptr, int* deaths = nullptr)
        : CNodeClientCFGTree(parent), deaths(deaths) {}
    ~Branch() override {
        if (deaths) ++*deaths;
    }
    void XMLUpdate() override {}
    int TypNode() const override { return 2; }
    void Attach(xmlNode* e) { m_Element = e; }
    int* deaths;
};

class RecordingRoot : public Branch {
public:
    void BadPut(const wchar_t* text) override { lines.emplace_back(text); }
    std::vector<DBString> lines;
};

}  // namespace

TEST_F(ClientCFGTest, FilesThatGiveRussian) {
    const struct {
        const char* name;
        std::optional<std::string> content;  // nullopt: no file
        const wchar_t* text;
        bool element;
    } cases[] = {
        {"absent file", std::nullopt, L"", true},
        {"empty file", "", L"", true},
        {"not XML", "Language=enu\n", L"", true},
        {"other root", "<?xml version=\"1.0\"?><Disp Language=\"enu\"/>", L"", false},
        {"spaced rus", Root("Language=\" rus \""), L"rus", true},
        {"empty value", Root("Language=\"\""), L"", true},
        {"no attribute", Root(""), L"", true},
    };
    EXPECT_EQ(CClientCFG::FileName(), File().string());
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        fs::remove_all(home / "ZARN", ec);
        if (c.content) Write(*c.content);
        CClientCFG cfg;
        cfg.SetLanguage(CClientCFG::LangEnglish);
        cfg.XMLLoadFile();
        EXPECT_EQ(cfg.Language(), CClientCFG::LangRussian);
        EXPECT_EQ(cfg.LanguageText(), DBString(c.text));
        EXPECT_EQ(cfg.Element() != nullptr, c.element);
    }
    for (const char* value : {"enu", "deu"}) {
        SCOPED_TRACE(value);
        Write(Root(std::string("Language=\"") + value + "\""));
        CClientCFG cfg;
        cfg.XMLLoadFile();
        EXPECT_EQ(cfg.Language(), CClientCFG::LangEnglish);
    }
}

TEST_F(ClientCFGTest, SetDefLanguageOnlyEverSwitchesToEnglish) {
    g_StringENU = false;
    const std::pair<const char*, bool> steps[] = {{"rus", false}, {"enu", true}, {"rus", true}};
    for (const auto& [value, flag] : steps) {
        Write(Root(std::string("Language=\"") + value + "\""));
        CClientCFG::SetDefLanguage();
        EXPECT_EQ(g_StringENU, flag) << value;
    }
}

TEST_F(ClientCFGTest, SaveCreatesDirectoriesAndKeepsOtherAttributes) {
    CClientCFG cfg;
    cfg.XMLLoadFile();
    cfg.SetLanguage(CClientCFG::LangEnglish);
    cfg.XMLUpdate();
    cfg.XMLSaveFile();
    EXPECT_NE(Read().find("encoding=\"utf-8\""), std::string::npos) << Read();
    EXPECT_EQ(EntriesBesideFile(), 1) << "a temporary file was left behind";

    CClientCFG again;
    again.XMLLoadFile();
    EXPECT_EQ(again.LanguageText(), DBString(L"enu"));

    Write(Root("Language=\"\" Theme=\"Тёмная\""));
    again.XMLLoadFile();
    again.XMLUpdate();  // number 0 writes "rus" back
    again.XMLSaveFile();
    EXPECT_NE(Read().find("Language=\"rus\" Theme=\"Тёмная\""), std::string::npos) << Read();

    // A file the loader cannot use is not written back as it was.
    Write("<?xml version=\"1.0\"?><Disp Number=\"3\"/>");
    again.XMLLoadFile();
    again.SetLanguage(CClientCFG::LangEnglish);
    again.XMLSaveFile();
    cfg.XMLLoadFile();
    EXPECT_EQ(cfg.Language(), CClientCFG::LangEnglish);
    EXPECT_EQ(Read().find("Disp"), std::string::npos) << Read();
}

TEST_F(ClientCFGTest, SaveFailuresAreReported) {
    const wchar_t* saveError = L"Error XMLDOMSave->save";
    CClientCFG cfg;
    setenv("HOME", "", 1);
    EXPECT_EQ(CClientCFG::FileName(), "");
    unsetenv("HOME");
    EXPECT_EQ(CClientCFG::FileName(), "");
    cfg.XMLLoadFile();
    EXPECT_EQ(cfg.Language(), CClientCFG::LangRussian);
    ExpectError([&] { cfg.XMLSaveFile(); }, saveError);

    // HOME is a plain file, so no directory can be made below it.
    const fs::path plain = home / "plain";
    std::ofstream(plain) << "x";
    setenv("HOME", plain.c_str(), 1);
    ExpectError([&] { cfg.XMLSaveFile(); }, saveError);

    // The file's place is taken by a directory: the load falls back, the save fails cleanly.
    setenv("HOME", home.c_str(), 1);
    fs::create_directories(File() / "sub");
    cfg.SetLanguage(CClientCFG::LangEnglish);
    cfg.XMLLoadFile();
    EXPECT_EQ(cfg.Language(), CClientCFG::LangRussian);
    ExpectError([&] { cfg.XMLSaveFile(); }, saveError);
    EXPECT_EQ(EntriesBesideFile(), 1);
}

TEST_F(ClientCFGTest, DocumentLifecycle) {
    CClientCFG cfg;
    std::string text;
    ExpectError([&] { cfg.XMLSaveStr(text); }, L"!m_XMLDOM");
    ExpectError([&] { cfg.XMLAdd(); }, L"!m_XMLDOM");

    cfg.SetLanguage(CClientCFG::LangEnglish);
    cfg.XMLCreate();
    cfg.XMLSaveStr(text);
    EXPECT_NE(text.find("<ZARNClient Language=\"enu\"/>"), std::string::npos) << text;

    // A refused text leaves the loaded document and language as they were.
    ExpectError([&] { cfg.XMLLoadStr("<ZARNClient"); }, L"Error loadXML");
    EXPECT_EQ(cfg.Language(), CClientCFG::LangEnglish);
    ASSERT_NE(cfg.Element(), nullptr);

    ZARNCloud::CNodeB::XMLUpdateString(cfg.Element(), DBString(L"rus"), "ZARNClient", "Language");
    cfg.XMLLoad();
    EXPECT_EQ(cfg.Language(), CClientCFG::LangRussian);

    cfg.SetLanguage(7);
    cfg.XMLAdd();
    EXPECT_EQ(xmlDocGetRootElement(cfg.Document()), cfg.Element());
    cfg.XMLSaveStr(text);
    EXPECT_EQ(text.find("Language"), std::string::npos) << text;

    cfg.XMLRelease();
    EXPECT_EQ(cfg.Document(), nullptr);
    EXPECT_EQ(cfg.Element(), nullptr);
}

TEST_F(ClientCFGTest, DiagnosticsGoToTheRoot) {
    RecordingRoot root;
    CNodeClientCFG* branch = root.Children().Add(std::make_unique<Branch>(&root));
    auto* leaf =
        static_cast<Branch*>(static_cast<Branch*>(branch)->Children().Add(std::make_unique<Branch>(branch)));
    EXPECT_EQ(leaf->FindRoot(), &root);
    leaf->BadPut(L"leaf");
    leaf->BadPutErr(L"open", 2);
    ASSERT_EQ(root.lines.size(), 2u);
    EXPECT_EQ(root.lines[0], DBString(L"leaf"));
    EXPECT_EQ(root.lines[1], DBString(L"open: 2 - ") + DBString(std::strerror(2)));

    // A root without an output of its own writes to the standard output instead of looping.
    Branch lone;
    testing::internal::CaptureStdout();
    lone.BadPut(L"Сбой");
    CClientCFG().BadPutErr(L"bind", 0);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(" Сбой\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" bind\n"), std::string::npos) << out;
    EXPECT_EQ(out[2], '.') << "time stamp first: " << out;
}

TEST_F(ClientCFGTest, ChildrenAndTheirElements) {
    int deaths = 0;
    CClientCFG cfg;
    cfg.XMLLoadStr("<ZARNClient><Group><Item/></Group><Other/></ZARNClient>");
    auto* group = static_cast<Branch*>(cfg.Children().Add(std::make_unique<Branch>(&cfg, &deaths)));
    auto* item = static_cast<Branch*>(group->Children().Add(std::make_unique<Branch>(group, &deaths)));
    group->Attach(xmlFirstElementChild(cfg.Element()));
    item->Attach(xmlFirstElementChild(group->Element()));

    // The item's element goes with the group's, so the item must forget it.
    group->XMLRemove();
    EXPECT_EQ(item->Element(), nullptr);
    EXPECT_STREQ(reinterpret_cast<const char*>(xmlFirstElementChild(cfg.Element())->name), "Other");

    // A still linked element is taken out of the document before it is freed; ASan reports
    // the double free otherwise when the document goes.
    group->Attach(xmlFirstElementChild(cfg.Element()));
    group->XMLRelease();
    EXPECT_EQ(xmlFirstElementChild(cfg.Element()), nullptr);

    Branch stranger;
    EXPECT_FALSE(cfg.Children().Remove(&stranger));
    EXPECT_TRUE(group->Children().Remove(item));
    EXPECT_EQ(deaths, 1);
    cfg.XMLLoadFile();  // reloading drops the children
    EXPECT_EQ(deaths, 2);
    EXPECT_TRUE(cfg.Children().empty());
}
