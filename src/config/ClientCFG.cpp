#include "ClientCFG.h"

#include <libxml/parser.h>
#include <malloc.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <utility>

#include "BaseLog.h"
#include "DBTime.h"
#include "LoadRes.h"
#include "Xml.h"

namespace {

// XML_PARSE_OLD10 keeps the fourth-edition name rules the configuration files are written
// against. The file is the user's own but still input: no network look-ups, and a broken file
// is handled by falling back to the empty document, not by parser chatter on the console.
constexpr int kParseOptions = XML_PARSE_OLD10 | XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

constexpr char kEmptyDocument[] = "<?xml version=\"1.0\"?><ZARNClient> </ZARNClient>";

const xmlChar* X(const char* text) {
    return reinterpret_cast<const xmlChar*>(text);
}

// Every missing directory on the way to the file; a failure shows up when the file is written.
void MakeDirectories(const std::string& fileName) {
    for (std::size_t slash = fileName.find('/', 1); slash != std::string::npos;
         slash = fileName.find('/', slash + 1)) {
        const std::string dir = fileName.substr(0, slash);
        if (::mkdir(dir.c_str(), 0775) != 0 && errno != EEXIST) return;
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// CNodeClientCFG

CNodeClientCFG* CNodeClientCFG::FindRoot() {
    CNodeClientCFG* node = this;
    while (node->m_Parent) node = node->m_Parent;
    return node;
}

void CNodeClientCFG::BadPut(const wchar_t* text) {
    CNodeClientCFG* root = FindRoot();
    // A root that does not write diagnostics of its own would send them straight back here.
    if (root != this)
        root->BadPut(text);
    else
        PutStdout(text);
}

void CNodeClientCFG::BadPutErr(const wchar_t* text, int error) {
    CNodeClientCFG* root = FindRoot();
    if (root != this)
        root->BadPutErr(text, error);
    else
        BadPut(CBaseLog::CnvErr(text ? text : L"", error).c_str());
}

void CNodeClientCFG::XMLRemove() {
    if (!m_Element) return;
    xmlUnlinkNode(m_Element);
    xmlFreeNode(m_Element);
    m_Element = nullptr;
}

void CNodeClientCFG::XMLRelease() {
    // Freeing an element its document still links to would leave the document pointing at
    // freed memory, to be freed a second time with the document.
    XMLRemove();
}

void CNodeClientCFG::PutStdout(const wchar_t* text) {
    std::string line = DBTime::CurDateTime().DatTimString().ToStr();
    line += DBString(text).ToStr();
    line += '\n';
    std::cout << line << std::flush;
}

// ---------------------------------------------------------------------------------------------
// CNodeClientCFGArray

CNodeClientCFG* CNodeClientCFGArray::Add(std::unique_ptr<CNodeClientCFG> node) {
    CNodeClientCFG* added = node.get();
    if (added) m_Items.push_back(std::move(node));
    return added;
}

bool CNodeClientCFGArray::Remove(const CNodeClientCFG* node) {
    for (auto it = m_Items.begin(); it != m_Items.end(); ++it) {
        if (it->get() == node) {
            m_Items.erase(it);
            return true;
        }
    }
    return false;
}

// ---------------------------------------------------------------------------------------------
// CNodeClientCFGTree

void CNodeClientCFGTree::Clear() {
    m_Children.Clear();
    CNodeClientCFG::Clear();
}

void CNodeClientCFGTree::XMLRemove() {
    ForgetChildElements();
    CNodeClientCFG::XMLRemove();
}

void CNodeClientCFGTree::XMLRelease() {
    ForgetChildElements();
    CNodeClientCFG::XMLRelease();
}

void CNodeClientCFGTree::ForgetElements() {
    CNodeClientCFG::Clear();
    ForgetChildElements();
}

void CNodeClientCFGTree::ForgetChildElements() {
    for (const auto& child : m_Children) {
        if (auto* tree = dynamic_cast<CNodeClientCFGTree*>(child.get()))
            tree->ForgetElements();
        else
            child->Clear();
    }
}

// ---------------------------------------------------------------------------------------------
// CClientCFG

void CClientCFG::SetDefLanguage() {
    CClientCFG cfg;
    cfg.XMLLoadFile();
    if (cfg.Language() == LangEnglish) g_StringENU = true;
    cfg.Clear();
    cfg.XMLRelease();
}

std::string CClientCFG::FileName() {
    const char* home = std::getenv("HOME");
    if (!home || !*home) return std::string();
    return std::string(home) + "/ZARN/etc/ZARNClient.xml";
}

void CClientCFG::XMLUpdate() {
    if (m_Language == LangRussian)
        m_LanguageText = s_Rus;
    else if (m_Language == LangEnglish)
        m_LanguageText = s_Enu;
    else
        m_LanguageText.clear();
    if (m_Element) ZARNCloud::CNodeB::XMLUpdateString(m_Element, m_LanguageText, s_Root, s_Language);
}

void CClientCFG::BadPut(const wchar_t* text) {
    PutStdout(text);
}

void CClientCFG::BadPutErr(const wchar_t* text, int error) {
    BadPut(CBaseLog::CnvErr(text ? text : L"", error).c_str());
}

void CClientCFG::XMLLoadFile() {
    Doc doc;
    const std::string name = FileName();
    // Only a regular file is read: a directory there is no configuration, and a FIFO would
    // hold the start-up forever.
    struct stat st {};
    if (!name.empty() && ::stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        doc.reset(xmlReadFile(name.c_str(), nullptr, kParseOptions));
    if (!doc)
        doc.reset(xmlReadMemory(kEmptyDocument, sizeof kEmptyDocument - 1, nullptr, nullptr, kParseOptions));
    if (!doc) throw ErrorXML(41083);
    LoadDoc(std::move(doc));
}

void CClientCFG::XMLLoadStr(const std::string& text) {
    if (text.size() > static_cast<std::size_t>(INT_MAX)) throw ErrorXML(41083);
    Doc doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions));
    // The current document stays as it was when the text is refused.
    if (!doc) throw ErrorXML(41083);
    LoadDoc(std::move(doc));
}

void CClientCFG::LoadDoc(Doc doc) {
    Clear();
    m_XMLDOM = std::move(doc);
    for (xmlNode* node = m_XMLDOM->children; node; node = node->next) {
        if (node->type == XML_ELEMENT_NODE && xmlStrEqual(node->name, X(s_Root))) {
            XMLLoad(node);
            return;
        }
    }
}

void CClientCFG::XMLLoad() {
    xmlNode* root = m_XMLDOM ? xmlDocGetRootElement(m_XMLDOM.get()) : nullptr;
    Clear();
    if (root) XMLLoad(root);
}

void CClientCFG::XMLLoad(xmlNode* e) {
    if (!e) return;
    m_Element = e;
    m_LanguageText = ZARNCloud::CNodeB::XMLLoadString(e, s_Root, s_Language, true);
    m_Language = (m_LanguageText.empty() || m_LanguageText == DBString(s_Rus)) ? LangRussian : LangEnglish;
}

void CClientCFG::XMLCreate() {
    Doc doc(xmlNewDoc(X("1.0")));
    if (!doc) throw ErrorXML(41080);
    xmlNode* root = xmlNewDocNode(doc.get(), nullptr, X(s_Root), nullptr);
    if (!root) throw ErrorXML(41076, s_Root);
    xmlDocSetRootElement(doc.get(), root);
    CNodeClientCFGTree::Clear();
    m_XMLDOM = std::move(doc);
    m_Element = root;
    XMLUpdate();
}

void CClientCFG::XMLAdd() {
    if (!m_XMLDOM) throw ErrorXML("!m_XMLDOM", nullptr);
    xmlNode* root = xmlNewDocNode(m_XMLDOM.get(), nullptr, X(s_Root), nullptr);
    if (!root) throw ErrorXML(41076, s_Root);
    if (xmlNode* old = xmlDocSetRootElement(m_XMLDOM.get(), root)) {
        // The replaced root is ours to free, and with it whatever the tree pointed into.
        ForgetElements();
        xmlFreeNode(old);
    }
    m_Element = root;
    XMLUpdate();
}

void CClientCFG::XMLSaveFile() {
    const std::string name = FileName();
    if (name.empty()) throw ErrorXML(41088);

    // Whatever was loaded, the file written must be one that XMLLoadFile reads back.
    if (!m_XMLDOM)
        XMLCreate();
    else if (!m_Element)
        XMLAdd();
    if (xmlDocGetRootElement(m_XMLDOM.get()) != m_Element) {
        xmlNode* element = m_Element;
        if (xmlNode* old = xmlDocSetRootElement(m_XMLDOM.get(), element)) {
            ForgetElements();
            m_Element = element;
            xmlFreeNode(old);
        }
    }

    // A fresh account has no ~/ZARN/etc yet, and saving should still work there.
    MakeDirectories(name);
    // Written beside the file and renamed over it, so that a failed write (a full disk, say)
    // leaves the previous file intact instead of a truncated one.
    const std::string temp = name + "." + std::to_string(::getpid()) + ".tmp";
    if (xmlSaveFormatFileEnc(temp.c_str(), m_XMLDOM.get(), "utf-8", 1) < 0 ||
        std::rename(temp.c_str(), name.c_str()) != 0) {
        ::unlink(temp.c_str());
        throw ErrorXML(41088);
    }
}

void CClientCFG::XMLSaveStr(std::string& out) {
    if (!m_XMLDOM) throw ErrorXML("!m_XMLDOM", nullptr);
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(m_XMLDOM.get(), &text, &size, "utf-8", 0);
    if (!text) throw ErrorXML(41088);
    out.assign(reinterpret_cast<const char*>(text), static_cast<std::size_t>(size));
    xmlFree(text);
}

void CClientCFG::XMLRelease() {
    ForgetElements();
    m_XMLDOM.reset();
    // The document is the biggest allocation of a short start-up read; hand it back.
    ::malloc_trim(0);
}

void CClientCFG::Clear() {
    CNodeClientCFGTree::Clear();
    m_LanguageText.clear();
    m_Language = LangRussian;
}
