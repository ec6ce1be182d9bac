#pragma once

// The per-user client configuration file and the node tree it is held in.

#include <libxml/tree.h>

#include <memory>
#include <string>
#include <vector>

#include "DBString.h"
#include "Xml.h"  // ErrorXML, which every load and save may throw

// A node of the configuration tree. Its XML element belongs to the document of the root, so
// the node only points at it.
class CNodeClientCFG {
public:
    explicit CNodeClientCFG(CNodeClientCFG* parent = nullptr) : m_Parent(parent) {}
    CNodeClientCFG(const CNodeClientCFG&) = delete;
    CNodeClientCFG& operator=(const CNodeClientCFG&) = delete;
    virtual ~CNodeClientCFG() = default;

    virtual void XMLUpdate() = 0;
    virtual int TypNode() const = 0;
    // Diagnostics go to the root, which alone knows where to write them.
    virtual void BadPut(const wchar_t* text);
    virtual void BadPutErr(const wchar_t* text, int error);

    CNodeClientCFG* FindRoot();
    CNodeClientCFG* Parent() const { return m_Parent; }
    xmlNode* Element() const { return m_Element; }

    // Forgets the element without touching the document.
    void Clear() { m_Element = nullptr; }
    // Takes the element out of its document and frees it.
    void XMLRemove();
    // Frees the element; it is unlinked first, so a document that still holds it stays sound.
    void XMLRelease();

protected:
    // The time-stamped line on the standard output that the root writes for BadPut.
    static void PutStdout(const wchar_t* text);

    CNodeClientCFG* m_Parent;
    xmlNode* m_Element = nullptr;
};

// The owned children of a node.
class CNodeClientCFGArray {
public:
    using Items = std::vector<std::unique_ptr<CNodeClientCFG>>;

    CNodeClientCFG* Add(std::unique_ptr<CNodeClientCFG> node);
    // Deletes the child; false when it is not one of ours.
    bool Remove(const CNodeClientCFG* node);
    void Clear() { m_Items.clear(); }

    std::size_t size() const { return m_Items.size(); }
    bool empty() const { return m_Items.empty(); }
    CNodeClientCFG* operator[](std::size_t i) const { return m_Items[i].get(); }
    Items::const_iterator begin() const { return m_Items.begin(); }
    Items::const_iterator end() const { return m_Items.end(); }

private:
    Items m_Items;
};

class CNodeClientCFGTree : public CNodeClientCFG {
public:
    explicit CNodeClientCFGTree(CNodeClientCFG* parent = nullptr) : CNodeClientCFG(parent) {}

    CNodeClientCFGArray& Children() { return m_Children; }
    const CNodeClientCFGArray& Children() const { return m_Children; }

    // Deletes the children and forgets the element.
    void Clear();
    // As the plain node, but the children forget their elements, which go with this one.
    void XMLRemove();
    void XMLRelease();

protected:
    // Drop the element pointers of this subtree, for when the elements are freed elsewhere.
    void ForgetElements();
    void ForgetChildElements();

    CNodeClientCFGArray m_Children;
};

class CClientCFG : public CNodeClientCFGTree {
public:
    static constexpr const char* s_Root = "ZARNClient";
    static constexpr const char* s_Language = "Language";
    static constexpr const char* s_Rus = "rus";
    static constexpr const char* s_Enu = "enu";

    static constexpr int LangRussian = 0;
    static constexpr int LangEnglish = 1;

    CClientCFG() = default;

    // Reads the user's file and switches the texts to English when it asks for them.
    static void SetDefLanguage();

    // Empty when HOME is not set, which then counts as a missing file.
    static std::string FileName();

    void XMLUpdate() override;
    int TypNode() const override { return 10; }
    void BadPut(const wchar_t* text) override;
    void BadPutErr(const wchar_t* text, int error) override;

    void XMLLoadFile();
    void XMLLoadStr(const std::string& text);
    void XMLLoad();
    void XMLLoad(xmlNode* e);
    void XMLCreate();
    void XMLAdd();
    void XMLSaveFile();
    void XMLSaveStr(std::string& out);
    void XMLRelease();
    void Clear();

    const DBString& LanguageText() const { return m_LanguageText; }
    int Language() const { return m_Language; }
    void SetLanguage(int language) { m_Language = language; }
    xmlDoc* Document() const { return m_XMLDOM.get(); }

private:
    struct DocDeleter {
        void operator()(xmlDoc* doc) const noexcept { xmlFreeDoc(doc); }
    };
    using Doc = std::unique_ptr<xmlDoc, DocDeleter>;

    void LoadDoc(Doc doc);

    DBString m_LanguageText;
    int m_Language = LangRussian;
    Doc m_XMLDOM;
};
