#include "Disp.h"

#include <libxml/parser.h>

#include <cstdio>

#include "LoadRes.h"
#include "Xml.h"

using ZARNCloud::CNodeB;

namespace {

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

// No network access while parsing: a structure file never needs to fetch anything. The
// parser's own complaints stay quiet; a failure reaches the caller as ErrorXML.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

}  // namespace

CDisp::CDisp() : m_PultTab(this) {}

CDisp::~CDisp() = default;

CSlot* CDisp::RootSlot(CPult* pult, int um) {
    return pult ? pult->UMTab().RootSlot(um) : nullptr;
}

CUM* CDisp::FindUM(int pult, int um) const {
    const CPult* p = FindPult(pult);
    return p ? p->FindUM(um) : nullptr;
}

CSlot* CDisp::FindBlok(int pult, int um, int slot) const {
    const CPult* p = FindPult(pult);
    return p ? p->UMTab().FindBlok(um, slot) : nullptr;
}

CDev* CDisp::FindDev(int pult, int um, int slot, int addr) const {
    const CPult* p = FindPult(pult);
    return p ? p->UMTab().FindDev(um, slot, addr) : nullptr;
}

// ---- XML ---------------------------------------------------------------------------------

void CDisp::XMLForgetTree() {
    m_Element = nullptr;
    for (const auto& p : m_PultTab) p->XMLForget();
}

void CDisp::XMLTakeDoc(Doc doc) {
    // The old elements die with the old document.
    XMLForgetTree();
    m_Doc = std::move(doc);
    m_Element = m_Doc ? xmlDocGetRootElement(m_Doc.get()) : nullptr;
}

void CDisp::XMLRelease() {
    XMLTakeDoc(nullptr);
}

void CDisp::XMLLoadFile(const std::string& fileName) {
    Doc doc(xmlReadFile(fileName.c_str(), nullptr, kParseOptions));
    if (!doc) throw ErrorXML(_S_(41083) + L" " + DBString(fileName), 0);
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root || !xmlStrEqual(root->name, X(s_Elem))) throw ErrorXML(41083, s_Elem);
    XMLLoad(root);
    // XMLLoad has bound the new records to `doc`; the old ones are gone.
    m_Doc = std::move(doc);
    XMLPostLoad();
}

void CDisp::XMLLoadStr(const std::string& text) {
    Doc doc(xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, kParseOptions));
    if (!doc) throw ErrorXML(41083);
    xmlNode* root = xmlDocGetRootElement(doc.get());
    if (!root || !xmlStrEqual(root->name, X(s_Elem))) throw ErrorXML(41083, s_Elem);
    XMLLoad(root);
    m_Doc = std::move(doc);
    XMLPostLoad();
}

void CDisp::XMLLoad(xmlNode* e) {
    CPultTab loaded(this);
    for (xmlNode* c = e->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || !xmlStrEqual(c->name, X(CPult::s_Elem))) continue;
        const int n = CNodeB::XMLLoadInteger(c, CPult::s_Elem, "Number", 0);
        auto pult = std::make_unique<CPult>(n);
        CPult* p = pult.get();
        if (!loaded.Insert(std::move(pult))) {
            DBString text;
            text.Format(L"Subnet %d already exist in structure", n);
            throw ErrorXML(text, 0);
        }
        p->XMLLoad(c);
    }
    // Everything below loaded: only now does the old tree go.
    m_Number = CNodeB::XMLLoadInteger(e, s_Elem, "Number", 0);
    m_Name = CNodeB::XMLLoadString(e, s_Elem, "Name", false);
    m_PultTab.SwapItems(loaded);
    m_Element = e;
}

void CDisp::XMLCreate() {
    Doc doc(xmlNewDoc(X("1.0")));
    if (!doc) throw ErrorXML(41080);
    xmlNode* root = xmlNewDocNode(doc.get(), nullptr, X(s_Elem), nullptr);
    if (!root) throw ErrorXML(41076, s_Elem);
    xmlDocSetRootElement(doc.get(), root);
    XMLTakeDoc(std::move(doc));
    XMLUpdate();
    for (const auto& p : m_PultTab) p->XMLAdd();
}

void CDisp::XMLUpdate() {
    if (!m_Element) return;
    CNodeB::XMLUpdateInteger(m_Element, m_Number, s_Elem, "Number", true);
    CNodeB::XMLUpdateString(m_Element, m_Name, s_Elem, "Name");
}

void CDisp::XMLPostLoad() {
    for (const auto& p : m_PultTab) p->XMLPostLoad();
}

void CDisp::XMLSaveStr(std::string& out) {
    XMLCreate();
    xmlChar* text = nullptr;
    int size = 0;
    xmlDocDumpFormatMemoryEnc(m_Doc.get(), &text, &size, "UTF-8", 1);
    if (!text) throw ErrorXML(41088);
    out.assign(reinterpret_cast<const char*>(text), static_cast<size_t>(size));
    xmlFree(text);
}

void CDisp::XMLSaveFile(const std::string& fileName) {
    XMLCreate();
    const std::string temp = fileName + ".tmp";
    if (xmlSaveFormatFileEnc(temp.c_str(), m_Doc.get(), "UTF-8", 1) < 0) {
        std::remove(temp.c_str());
        throw ErrorXML(41088);
    }
    if (std::rename(temp.c_str(), fileName.c_str()) != 0) {
        std::remove(temp.c_str());
        throw ErrorXML(41088);
    }
}
