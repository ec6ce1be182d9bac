#include "Slot.h"

#include <arpa/inet.h>

#include <string>

#include "Disp.h"
#include "Pult.h"
#include "Um.h"
#include "Xml.h"

using ZARNCloud::CNodeB;

namespace {

const xmlChar* X(const char* s) {
    return reinterpret_cast<const xmlChar*>(s);
}

bool IsElement(const xmlNode* n, const char* name) {
    return n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, X(name));
}

xmlNode* NewChild(xmlNode* parent, const char* name) {
    xmlNode* e = parent ? xmlNewChild(parent, nullptr, X(name), nullptr) : nullptr;
    if (!e) throw ErrorXML(41076, name);
    return e;
}

void FreeChildren(xmlNode* parent, const char* name) {
    for (xmlNode* c = parent->children; c;) {
        xmlNode* next = c->next;
        if (IsElement(c, name)) {
            xmlUnlinkNode(c);
            xmlFreeNode(c);
        }
        c = next;
    }
}

DBString IpText(const CIpAddr& a) {
    if (a.IsNul()) return DBString();
    in_addr in{};
    in.s_addr = htonl(a.addr);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &in, text, sizeof text);
    return DBString(text);
}

// An absent attribute is no address; one that is not a dotted IPv4 address is refused
// rather than read as none, which would silently lose it.
CIpAddr LoadIp(xmlNode* e, const char* attr) {
    const DBString text = CNodeB::XMLLoadString(e, CSlot::s_LinkCLL, attr, true);
    CIpAddr a;
    if (text.empty()) return a;
    in_addr in{};
    if (inet_pton(AF_INET, text.ToStr().c_str(), &in) != 1) throw ErrorXML(25000, CSlot::s_LinkCLL, attr);
    a.addr = ntohl(in.s_addr);
    return a;
}

CIpPort LoadPort(xmlNode* e, const char* attr) {
    const int v = CNodeB::XMLLoadInteger(e, CSlot::s_LinkCLL, attr, 0);
    if (v < 0 || v > 65535) throw ErrorXML("Bad port", CSlot::s_LinkCLL, attr);
    CIpPort p;
    p.port = static_cast<uint16_t>(v);
    return p;
}

DBString Where(const wchar_t* fmt, int a, int b, int c, int d) {
    DBString s;
    s.Format(fmt, a, b, c, d);
    return s;
}

}  // namespace

CSlot::CSlot(int number, CUM* um, typSlot type, CParam* par)
    : m_Number(number),
      m_Created(DBTime::CurDateTime()),
      m_Changed(m_Created),
      m_Typ(type),
      m_UM(um),
      m_DevTab(this),
      m_Param(par) {}

CSlot::~CSlot() = default;

CPult* CSlot::Pult() const {
    return m_UM ? m_UM->Pult() : nullptr;
}

CDisp* CSlot::Disp() const {
    CPult* p = Pult();
    return p ? p->Disp() : nullptr;
}

int CSlot::PartnerType(int t) {
    switch (t) {
        case 2:
            return 3;
        case 18:
            return 19;
        case 5:
            return 6;
        case 7:
            return 8;
        case 9:
            return 10;
        case 12:
            return 13;
        case 14:
            return 15;
        case 16:
            return 17;
        default:
            return -1;
    }
}

// ---- Messages ----------------------------------------------------------------------------

CSlot* CSlot::SendingSlot() {
    CPult* pult = Pult();
    if (!pult) return this;
    // Every step moves to the slot of another UM; more steps than the console has UMs
    // can only mean the root slots lead round in a circle.
    int steps = pult->UMTab().Count();
    CSlot* s = this;
    while (s->m_UM && pult->Route() && pult->OwnNode() != s->m_UM->Number()) {
        if (steps-- <= 0) return nullptr;
        CDisp* disp = pult->Disp();
        s = disp ? disp->RootSlot(pult, s->m_UM->Number()) : nullptr;
        if (!s) return nullptr;
    }
    return s;
}

int CSlot::AddMes(int prior, const CMes& m) {
    CSlot* s = SendingSlot();
    if (!s) return 0;
    CPackMes& pack = s->m_Pack;
    if (!pack.AddMes(m)) {
        // Sending the full packet empties it, and with it its priority: the priority is
        // therefore set only once the message is in.
        if (pack.IsEmpty() || !s->PutOwn() || !pack.AddMes(m)) return 0;
    }
    pack.SetPrior(prior);
    return 1;
}

int CSlot::Put() {
    CSlot* s = SendingSlot();
    return s ? s->PutOwn() : 0;
}

int CSlot::PutOwn() {
    if (m_Pack.IsEmpty()) return 0;
    CPult* pult = Pult();
    CDisp* disp = pult ? pult->Disp() : nullptr;
    // Without a root the messages have nowhere to go; they stay for a later attempt.
    if (!disp) return 0;
    disp->Put(pult, m_Pack);
    m_Pack.Clear();
    return 1;
}

// ---- XML ---------------------------------------------------------------------------------

void CSlot::XMLLoad(xmlNode* e) {
    m_Element = e;
    m_Typ = static_cast<typSlot>(CNodeB::XMLLoadInteger(e, s_Elem, "TypSlot", m_Typ));
    m_Program = CNodeB::XMLLoadInteger(e, s_Elem, "Program", -1);
    m_LinkUM = CNodeB::XMLLoadInteger(e, s_Elem, "LinkUM", 0);
    m_LinkSlot = CNodeB::XMLLoadInteger(e, s_Elem, "LinkSlot", 0);
    m_VolRec = CNodeB::XMLLoadInteger(e, s_Elem, "VolRec", 0);
    m_VolPlay = CNodeB::XMLLoadInteger(e, s_Elem, "VolPlay", 0);

    CPult* pult = Pult();
    const int pultNo = pult ? pult->Number() : 0;
    const int umNo = m_UM ? m_UM->Number() : 0;
    for (xmlNode* tab = e->children; tab; tab = tab->next) {
        if (IsElement(tab, CDev::s_TabElem)) {
            for (xmlNode* c = tab->children; c; c = c->next) {
                if (!IsElement(c, CDev::s_Elem)) continue;
                const int addr = CNodeB::XMLLoadInteger(c, CDev::s_Elem, "Addr", 0);
                auto dev = std::make_unique<CDev>(addr, this, CDev::devNone, m_Param);
                CDev* d = dev.get();
                if (!m_DevTab.Insert(std::move(dev)))
                    throw ErrorXML(
                        Where(L"Device %d  already exist in slot %d:%d:%d", addr, pultNo, umNo, m_Number), 0);
                d->XMLLoad(c);
            }
        } else if (IsElement(tab, s_TabLinkNet)) {
            for (xmlNode* c = tab->children; c; c = c->next) {
                if (!IsElement(c, s_LinkNet)) continue;
                auto link = std::make_unique<CLinkNet>();
                link->um = CNodeB::XMLLoadInteger(c, s_LinkNet, "UM", 0);
                link->slot = CNodeB::XMLLoadInteger(c, s_LinkNet, "Slot", 0);
                const int um = link->um;
                const int slot = link->slot;
                if (!m_LinkNet.Insert(std::move(link))) {
                    DBString s;
                    s.Format(L"Link %d:%d already exist in slot %d:%d:%d", um, slot, pultNo, umNo, m_Number);
                    throw ErrorXML(s, 0);
                }
            }
        } else if (IsElement(tab, s_TabLinkCLL)) {
            for (xmlNode* c = tab->children; c; c = c->next) {
                if (!IsElement(c, s_LinkCLL)) continue;
                auto link = std::make_unique<CLinkCLL>();
                link->number = CNodeB::XMLLoadInteger(c, s_LinkCLL, "Number", 0);
                link->um = CNodeB::XMLLoadInteger(c, s_LinkCLL, "UM", 0);
                link->slot = CNodeB::XMLLoadInteger(c, s_LinkCLL, "Slot", 0);
                link->ip = LoadIp(c, "IP");
                link->ipDop1 = LoadIp(c, "IPDop1");
                link->ipDop2 = LoadIp(c, "IPDop2");
                link->mask = LoadIp(c, "Mask");
                link->gtw = LoadIp(c, "GTW");
                link->dataPort = LoadPort(c, "DataPort");
                link->voicePort = LoadPort(c, "VoicePort");
                link->note = CNodeB::XMLLoadString(c, s_LinkCLL, "Note", false);
                const int number = link->number;
                if (!m_LinkCLL.Insert(std::move(link)))
                    throw ErrorXML(
                        Where(L"Link %d already exist in slot %d:%d:%d", number, pultNo, umNo, m_Number), 0);
            }
        }
    }
}

void CSlot::XMLAdd() {
    m_Element = NewChild(m_UM ? m_UM->XMLElement() : nullptr, s_Elem);
    XMLUpdate();
    for (const auto& d : m_DevTab) d->XMLAdd();
}

void CSlot::XMLUpdate() {
    if (!m_Element) return;
    CNodeB::XMLUpdateInteger(m_Element, m_Number, s_Elem, "Number", true);
    CNodeB::XMLUpdateInteger(m_Element, m_Typ, s_Elem, "TypSlot", true);
    CNodeB::XMLUpdateInteger(m_Element, m_Program, s_Elem, "Program", true);
    CNodeB::XMLUpdateInteger(m_Element, m_LinkUM, s_Elem, "LinkUM", true);
    CNodeB::XMLUpdateInteger(m_Element, m_LinkSlot, s_Elem, "LinkSlot", true);
    CNodeB::XMLUpdateInteger(m_Element, m_VolRec, s_Elem, "VolRec", false);
    CNodeB::XMLUpdateInteger(m_Element, m_VolPlay, s_Elem, "VolPlay", false);
    XMLWriteLinks();
}

void CSlot::XMLWriteLinks() {
    FreeChildren(m_Element, s_TabLinkNet);
    FreeChildren(m_Element, s_TabLinkCLL);
    if (m_LinkNet.Count() > 0) {
        xmlNode* tab = NewChild(m_Element, s_TabLinkNet);
        for (int i = 0; i < m_LinkNet.Count(); ++i) {
            const CLinkNet* l = m_LinkNet.At(i);
            xmlNode* e = NewChild(tab, s_LinkNet);
            CNodeB::XMLUpdateInteger(e, l->um, s_LinkNet, "UM", true);
            CNodeB::XMLUpdateInteger(e, l->slot, s_LinkNet, "Slot", true);
        }
    }
    if (m_LinkCLL.Count() > 0) {
        xmlNode* tab = NewChild(m_Element, s_TabLinkCLL);
        for (int i = 0; i < m_LinkCLL.Count(); ++i) {
            const CLinkCLL* l = m_LinkCLL.At(i);
            xmlNode* e = NewChild(tab, s_LinkCLL);
            CNodeB::XMLUpdateInteger(e, l->number, s_LinkCLL, "Number", true);
            CNodeB::XMLUpdateInteger(e, l->um, s_LinkCLL, "UM", true);
            CNodeB::XMLUpdateInteger(e, l->slot, s_LinkCLL, "Slot", true);
            CNodeB::XMLUpdateString(e, IpText(l->ip), s_LinkCLL, "IP");
            CNodeB::XMLUpdateString(e, IpText(l->ipDop1), s_LinkCLL, "IPDop1");
            CNodeB::XMLUpdateString(e, IpText(l->ipDop2), s_LinkCLL, "IPDop2");
            CNodeB::XMLUpdateString(e, IpText(l->mask), s_LinkCLL, "Mask");
            CNodeB::XMLUpdateString(e, IpText(l->gtw), s_LinkCLL, "GTW");
            CNodeB::XMLUpdateInteger(e, l->dataPort.port, s_LinkCLL, "DataPort", false);
            CNodeB::XMLUpdateInteger(e, l->voicePort.port, s_LinkCLL, "VoicePort", false);
            CNodeB::XMLUpdateString(e, l->note, s_LinkCLL, "Note");
        }
    }
}

xmlNode* CSlot::XMLTabDev(bool create) {
    if (!m_Element) return nullptr;
    for (xmlNode* c = m_Element->children; c; c = c->next)
        if (IsElement(c, CDev::s_TabElem)) return c;
    return create ? NewChild(m_Element, CDev::s_TabElem) : nullptr;
}

void CSlot::XMLRemove() {
    xmlNode* e = m_Element;
    // The devices' elements go with the slot's, so none of them may keep a pointer to it.
    XMLForget();
    if (!e) return;
    xmlUnlinkNode(e);
    xmlFreeNode(e);
}

void CSlot::XMLPostLoad() {
    for (const auto& d : m_DevTab) d->XMLPostLoad();
}

void CSlot::XMLForget() {
    m_Element = nullptr;
    for (const auto& d : m_DevTab) d->XMLForget();
}

// ---- CSlotTab ----------------------------------------------------------------------------

int CSlotTab::Insert(std::unique_ptr<CSlot>&& slot) {
    CSlot* s = slot.get();
    if (!InsertRecord(std::move(slot))) return 0;
    if (m_UM) s->m_UM = m_UM;
    return 1;
}
