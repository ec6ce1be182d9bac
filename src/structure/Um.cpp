#include "Um.h"

#include <vector>

#include "Disp.h"
#include "Pult.h"
#include "Xml.h"

using ZARNCloud::CNodeB;

namespace {

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

}  // namespace

CUM::CUM(int number, CPult* pult) : m_Number(number), m_Pult(pult), m_SlotTab(this) {}

CUM::~CUM() = default;

void CUM::XMLLoad(xmlNode* e) {
    m_Element = e;
    m_Note = CNodeB::XMLLoadString(e, s_Elem, "Note", false);
    const int pultNo = m_Pult ? m_Pult->Number() : 0;
    for (xmlNode* c = e->children; c; c = c->next) {
        if (c->type != XML_ELEMENT_NODE || !xmlStrEqual(c->name, X(CSlot::s_Elem))) continue;
        const int n = CNodeB::XMLLoadInteger(c, CSlot::s_Elem, "Number", 0);
        const auto type = static_cast<CSlot::typSlot>(CNodeB::XMLLoadInteger(c, CSlot::s_Elem, "TypSlot", 0));
        auto slot = std::make_unique<CSlot>(n, this, type, nullptr);
        CSlot* s = slot.get();
        if (!m_SlotTab.Insert(std::move(slot))) {
            DBString text;
            text.Format(L"Slot %d already exist in UM %d:%d", n, pultNo, m_Number);
            throw ErrorXML(text, 0);
        }
        s->XMLLoad(c);
    }
}

void CUM::XMLAdd() {
    xmlNode* parent = m_Pult ? m_Pult->XMLElement() : nullptr;
    xmlNode* e = parent ? xmlNewChild(parent, nullptr, X(s_Elem), nullptr) : nullptr;
    if (!e) throw ErrorXML(41076, s_Elem);
    m_Element = e;
    XMLUpdate();
    for (const auto& s : m_SlotTab) s->XMLAdd();
}

void CUM::XMLUpdate() {
    if (!m_Element) return;
    CNodeB::XMLUpdateInteger(m_Element, m_Number, s_Elem, "Number", true);
    CNodeB::XMLUpdateString(m_Element, m_Note, s_Elem, "Note");
}

void CUM::XMLRemove() {
    xmlNode* e = m_Element;
    XMLForget();
    if (!e) return;
    xmlUnlinkNode(e);
    xmlFreeNode(e);
}

void CUM::XMLPostLoad() {
    for (const auto& s : m_SlotTab) s->XMLPostLoad();
}

void CUM::XMLForget() {
    m_Element = nullptr;
    for (const auto& s : m_SlotTab) s->XMLForget();
}

// ---- CUMTab ------------------------------------------------------------------------------

CSlot* CUMTab::FindBlok(int um, int slot) const {
    const CUM* u = FindUM(um);
    return u ? u->FindBlok(slot) : nullptr;
}

CDev* CUMTab::FindDev(int um, int slot, int addr) const {
    const CSlot* s = FindBlok(um, slot);
    return s ? s->FindDev(addr) : nullptr;
}

int CUMTab::Insert(std::unique_ptr<CUM>&& um) {
    CUM* u = um.get();
    if (!InsertRecord(std::move(um))) return 0;
    if (m_Pult) u->m_Pult = m_Pult;
    return 1;
}

void CUMTab::ReOrder() {
    SortByNumber();
    for (const auto& u : m_Items) {
        u->SlotTab().ReOrder();
        for (const auto& s : u->SlotTab()) s->DevTab().ReOrder();
    }
}

CSlot* CUMTab::RootSlot(int um) const {
    for (const auto& u : m_Items) {
        if (u->Number() == um) continue;
        for (const auto& s : u->SlotTab())
            if (CSlot::PartnerType(s->Typ()) >= 0 && s->LinkUM() == um) return s.get();
    }
    return nullptr;
}

void CUMTab::SetLink() {
    // Partners may be made on the way, which grows the tables being walked: collect the
    // heads first.
    std::vector<CSlot*> heads;
    for (const auto& u : m_Items)
        for (const auto& s : u->SlotTab())
            if (CSlot::PartnerType(s->Typ()) >= 0) heads.push_back(s.get());

    for (CSlot* head : heads) {
        const int partnerType = CSlot::PartnerType(head->Typ());
        const int headUM = head->UM()->Number();
        const int um = head->LinkUM();
        const int slot = head->LinkSlot();
        if (um == headUM && slot == head->Number()) continue;

        CUM* u = FindUM(um);
        if (!u) {
            auto made = std::make_unique<CUM>(um, m_Pult);
            u = made.get();
            Insert(std::move(made));
        }
        CSlot* partner = u->FindBlok(slot);
        if (!partner) {
            auto made =
                std::make_unique<CSlot>(slot, u, static_cast<CSlot::typSlot>(partnerType), head->Param());
            partner = made.get();
            u->SlotTab().Insert(std::move(made));
        } else if (CSlot::PartnerType(partner->Typ()) >= 0) {
            continue;
        }
        partner->SetTyp(static_cast<CSlot::typSlot>(partnerType));
        partner->SetLinkTo(headUM, head->Number());
        head->LinkNet().Insert(std::make_unique<CLinkNet>(CLinkNet{um, slot}));
        partner->LinkNet().Insert(std::make_unique<CLinkNet>(CLinkNet{headUM, head->Number()}));
    }
}
