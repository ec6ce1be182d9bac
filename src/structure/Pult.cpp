#include "Pult.h"

#include "Disp.h"
#include "Xml.h"

using ZARNCloud::CNodeB;

namespace {

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

}  // namespace

CPult::CPult(int number) : m_UMTab(this), m_Number(number) {}

CPult::~CPult() = default;

void CPult::XMLLoad(xmlNode* e) {
    m_Element = e;
    m_Name = CNodeB::XMLLoadString(e, s_Elem, "Name", false);
    m_Default = CNodeB::XMLLoadInteger(e, s_Elem, "Default", 0) != 0;
    m_OwnNode = CNodeB::XMLLoadInteger(e, s_Elem, "Node", 0);
    m_OwnSub = CNodeB::XMLLoadInteger(e, s_Elem, "Sub", 0);
    m_Route = CNodeB::XMLLoadInteger(e, s_Elem, "Route", 1) != 0;
    for (xmlNode* c = e->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || !xmlStrEqual(c->name, X(CUM::s_Elem))) continue;
        const int n = CNodeB::XMLLoadInteger(c, CUM::s_Elem, "Number", 0);
        auto um = std::make_unique<CUM>(n, this);
        CUM* u = um.get();
        if (!m_UMTab.Insert(std::move(um))) {
            DBString text;
            text.Format(L"UM %d already exist in subnet %d", n, m_Number);
            throw ErrorXML(text, 0);
        }
        u->XMLLoad(c);
    }
}

void CPult::XMLAdd() {
    xmlNode* parent = m_Disp ? m_Disp->XMLElement() : nullptr;
    xmlNode* e = parent ? xmlNewChild(parent, nullptr, X(s_Elem), nullptr) : nullptr;
    if (!e) throw ErrorXML(41076, s_Elem);
    m_Element = e;
    XMLUpdate();
    for (const auto& u : m_UMTab) u->XMLAdd();
}

void CPult::XMLUpdate() {
    if (!m_Element) return;
    CNodeB::XMLUpdateInteger(m_Element, m_Number, s_Elem, "Number", true);
    CNodeB::XMLUpdateString(m_Element, m_Name, s_Elem, "Name");
    CNodeB::XMLUpdateInteger(m_Element, m_Default ? 1 : 0, s_Elem, "Default", false);
    CNodeB::XMLUpdateInteger(m_Element, m_OwnNode, s_Elem, "Node", false);
    CNodeB::XMLUpdateInteger(m_Element, m_OwnSub, s_Elem, "Sub", false);
    // An absent attribute reads as routing on; writing it always keeps the file explicit.
    CNodeB::XMLUpdateInteger(m_Element, m_Route ? 1 : 0, s_Elem, "Route", true);
}

void CPult::XMLRemove() {
    xmlNode* e = m_Element;
    XMLForget();
    if (!e) return;
    xmlUnlinkNode(e);
    xmlFreeNode(e);
}

void CPult::XMLPostLoad() {
    m_UMTab.SetLink();
    for (const auto& u : m_UMTab) u->XMLPostLoad();
}

void CPult::XMLForget() {
    m_Element = nullptr;
    for (const auto& u : m_UMTab) u->XMLForget();
}

// ---- CPultTab ----------------------------------------------------------------------------

int CPultTab::Insert(std::unique_ptr<CPult>&& pult) {
    CPult* p = pult.get();
    if (!InsertRecord(std::move(pult))) return 0;
    if (m_Disp) p->m_Disp = m_Disp;
    return 1;
}

void CPultTab::ReOrder() {
    SortByNumber();
    for (const auto& p : m_Items) p->UMTab().ReOrder();
}
