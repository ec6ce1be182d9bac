#include "Dev.h"

#include <iterator>

#include "Disp.h"
#include "LoadRes.h"
#include "Pult.h"
#include "Slot.h"
#include "Um.h"
#include "Xml.h"

using ZARNCloud::CNodeB;

namespace {

// A run of consecutive numbers named by consecutive messages.
struct NameRange {
    int first;
    int last;
    unsigned firstMes;
};

constexpr NameRange kControllers[] = {
    {0, 3, 41243},     {4, 30, 41248},    {31, 31, 41247},   {32, 44, 41275},   {45, 51, 41311},
    {52, 52, 41320},   {53, 53, 41323},   {54, 54, 41335},   {55, 55, 41338},   {56, 56, 41341},
    {57, 57, 41344},   {58, 58, 41326},   {59, 59, 41329},   {60, 60, 41347},   {61, 61, 41332},
    {62, 62, 41350},   {63, 71, 41369},   {72, 72, 41382},   {73, 73, 41383},   {74, 74, 41386},
    {75, 75, 43132},   {76, 76, 43133},   {77, 77, 41389},   {78, 78, 41392},   {79, 79, 43298},
    {80, 85, 43323},   {86, 95, 43501},   {97, 97, 43511},   {98, 104, 43603},  {105, 107, 43617},
    {108, 108, 43850}, {109, 119, 43012}, {120, 124, 43035}, {125, 129, 43046},
};

// Controllers named by the makers' own designations, which no translation changes.
constexpr int kFixedControllerFirst = 130;
constexpr const wchar_t* kFixedControllers[] = {
    L"KONEL", L"THYSSEN H300", L"REKOBA (MC10 S+)", L"YASKAWA (MC1001)", L"MITSUBISHI MBS", L"SMS", L"ALPACA",
};

constexpr NameRange kTerminals[] = {
    {2, 2, 43006},   {3, 3, 43007},   {4, 9, 43473},   {10, 14, 43610}, {15, 17, 43851}, {18, 21, 43008},
    {22, 22, 43023}, {23, 23, 43024}, {24, 29, 43040}, {30, 37, 43051}, {38, 38, 43091}, {39, 39, 43097},
};

// Boot-loader kinds of the terminal types 2..21.
constexpr int kTermBootFirst = 2;
constexpr int kTermBoot[] = {48, 49, 52, 53, 52, 54, 55, 56, 58, 59, 59, 52, 60, 61, 62, 63, 66, 56, 67, 68};

template <size_t N>
unsigned FindMes(const NameRange (&table)[N], int v) {
    for (const NameRange& r : table)
        if (v >= r.first && v <= r.last) return r.firstMes + static_cast<unsigned>(v - r.first);
    return 0;
}

DBString Numbered(const wchar_t* fmt, int v) {
    DBString s;
    s.Format(fmt, v);
    return s;
}

// Parameter-report layout: the long form carries more than this many units and a zero
// in parameter unit 6; the short form carries exactly kShortUnits.
constexpr int kLongMinUnits = 30;
constexpr int kShortUnits = 14;

}  // namespace

CDev::CDev(int addr, CSlot* slot, typDev type, CParam* par)
    : m_Addr(addr),
      m_Created(DBTime::CurDateTime()),
      m_Changed(m_Created),
      m_Typ(type),
      m_Slot(slot),
      m_Param(par),
      m_Language(!g_StringENU) {}

CDev::~CDev() = default;

CUM* CDev::UM() const {
    return m_Slot ? m_Slot->UM() : nullptr;
}

CPult* CDev::Pult() const {
    return m_Slot ? m_Slot->Pult() : nullptr;
}

// ---- Messages ----------------------------------------------------------------------------

int CDev::Queue(int prior, const CMes& m) {
    return m_Slot ? m_Slot->AddMes(prior, m) : 0;
}

int CDev::AddMes(int prior, CMes::typMes t, CMes::askFromMain a, const unsigned char* data, int n, int tail) {
    CUM* um = UM();
    CPult* pult = Pult();
    if (!um || !pult) return 0;
    // The message record would quietly send the message without its payload.
    if (n < 0 || (n > 0 && !data) || 8 + n >= 63) return 0;
    // Every address travels in fixed units; cut down it would reach another UM, slot or
    // device. A device request decodes the top bit of the device number as a fifth
    // sub-address bit, so it reaches device addr - 128 with a different sub-address.
    const int maxDev = (t == CMes::mesDevAsk || t == CMes::mesDevAnswer) ? kLuMaxDev : 255;
    if (um->Number() < 0 || um->Number() > 255 || m_Slot->Number() < 0 || m_Slot->Number() > 15 ||
        pult->OwnNode() < 0 || pult->OwnNode() > 255 || pult->OwnSub() < 0 || pult->OwnSub() > 15 ||
        m_Addr < 0 || m_Addr > maxDev || a < 0 || a > CMes::askMax)
        return 0;
    const CMes m(um->Number(), m_Slot->Number(), pult->OwnNode(), pult->OwnSub(), m_Addr, t, a, data, n,
                 tail);
    return Queue(prior, m);
}

int CDev::AddMes(int prior, CMes::subServ18 s, const unsigned char* data, int n) {
    CUM* um = UM();
    CPult* pult = Pult();
    if (!um || !pult) return 0;
    if (n < 0 || (n > 0 && !data)) return 0;
    const LuTarget target{um->Number(), m_Slot->Number(), m_Addr, pult->OwnNode(), pult->OwnSub()};
    if (!target.IsValid()) return 0;
    // Bytes past what one record holds (with the leading service byte) would be dropped
    // by the record, not sent.
    constexpr int kMaxBytes = (CMes::kMaxUnits - 8) / 4 * 3 - 1;
    if (n > kMaxBytes) return 0;
    const CMes m(target.destNode, target.destSub, target.origNode, target.origSub, m_Addr, s, data, n);
    return Queue(prior, m);
}

int CDev::AddMes(const LuRequest& r) {
    if (r.n < 0 || r.n > static_cast<int>(r.units.size())) return 0;
    return AddMes(r.prior, r.typ, r.ask, r.n > 0 ? r.units.data() : nullptr, r.n, -1);
}

int CDev::Put() {
    return m_Slot ? m_Slot->Put() : 0;
}

// ---- Device parameters -------------------------------------------------------------------

int CDev::SetParDev(const CMes& m) {
    if (m.ask != CMes::askDevParam) return 0;
    int v = m_Variant;
    const int type = m[2];
    if (m.len >= kLongMinUnits && m[6] == 0) {
        m_LongReport = true;
        v = m[7] * 64 + m[5];
        // Two decimal digits make the low byte; units of up to 63 would otherwise spill
        // into the byte above and falsify the high part of the version.
        const int low = (m[9] * 10 + m[10]) & 0xFF;
        m_Vers = static_cast<uint16_t>(low | (m[11] << 8));
        m_VersFlag = (m[20] & 1) != 0;
    } else if (m.len == kShortUnits) {
        m_LongReport = false;
        v = m[5];
        if (type != m_Typ || v != m_Variant) {
            m_Vers = 0;
            m_VersFlag = false;
        }
    } else if (m_LongReport) {
        // Another form never overrides what a long report said.
        return 0;
    }
    const int changed = (type != m_Typ || v != m_Variant) ? 1 : 0;
    m_Typ = static_cast<typDev>(type);
    m_Variant = v;
    const int u3 = m[3];
    const int u4 = m[4];
    m_ModeBits = (u3 >> 2) & 3;
    m_FlagA = (u3 & 0x20) != 0;
    m_FlagB = (u4 & 0x20) != 0;
    m_FlagC = (u4 & 0x10) != 0;
    m_FlagD = (u4 & 0x08) != 0;
    m_FlagE = (u4 & 0x04) != 0;
    return changed;
}

bool CDev::IsKnovExt() const {
    if (m_Typ < devLB7 || m_Typ > devLB10) return true;
    return m_Variant != 0;
}

int CDev::GetVers(int& a, int& b, int& c, int& d) const {
    if (m_Vers == 0) {
        a = b = c = d = 0;
        return 0;
    }
    const int low = m_Vers & 0xFF;
    a = 0;
    b = low / 10;
    c = low % 10;
    d = m_Vers >> 8;
    return 1;
}

DBString CDev::S(unsigned id) const {
    const int n = static_cast<int>(id);
    if (!m_Language) return LoadStringFromResourceENU(n);
    return _S_(n);
}

DBString CDev::NameController(int variant) const {
    if (const unsigned mes = FindMes(kControllers, variant)) return S(mes);
    const int fixed = variant - kFixedControllerFirst;
    if (fixed >= 0 && fixed < static_cast<int>(std::size(kFixedControllers)))
        return DBString(kFixedControllers[fixed]);
    return Numbered(L" (%d)", variant);
}

DBString CDev::TypTerm7(typTerm7 t, bool* known) const {
    const unsigned mes = FindMes(kTerminals, t);
    if (known) *known = mes != 0;
    if (mes) return S(mes);
    return Numbered(L" (%d)", t);
}

DBString CDev::TypLB() const {
    switch (m_Typ) {
        case devLB4:
            return S(41009);
        case devLB6:
            return S(41000);
        case devLB7:
            return S(41001);
        case devLB8:
            if (m_Variant >= 1 && m_Variant <= 6) return S(41002);
            if (m_Variant >= 7 && m_Variant <= 9) return S(41003);
            return S(41004);
        case devLB9:
            return S(41005);
        case devLB10:
            if (m_Variant == 1) return S(41006);
            if (m_Variant == 3) return S(41007);
            return S(41008);
        case devLB11:
            return S(41040) + L" " + NameController(m_Variant);
        case devLB12:
            return S(41071) + L" " + NameController(m_Variant);
        case devLB14:
            return S(41242) + L" " + NameController(m_Variant);
        case devTerm7: {
            bool known = false;
            DBString name = TypTerm7(m_TypTerm, &known);
            return known ? name : S(43310) + name;
        }
        case devIT16:
            return S(41072);
        case devIT18:
            return S(41073);
        case devIT19:
            return S(41296);
        default:
            break;
    }
    DBString s;
    s.Format(L"(%d) (%d)", static_cast<int>(m_Typ), m_Variant);
    return s;
}

DBString CDev::DesignLB(int d) {
    switch (d) {
        case 0:
            return L"AT89S8252";
        case 1:
            return L"uPSD";
        case 2:
            return L"CM3";
        default:
            return Numbered(L"%d", d);
    }
}

DBString CDev::TypCodec(int c) {
    switch (c) {
        case 0:
            return L"-";
        case 1:
            return L"CMX";
        case 2:
            return L"CT8022";
        case 3:
            return L"STM32F103";
        case 4:
            return L"STM32F405";
        default:
            return Numbered(L"%d", c);
    }
}

int CDev::HardBoot() const {
    switch (m_Typ) {
        case devTerm7: {
            const int i = m_TypTerm - kTermBootFirst;
            return (i >= 0 && i < static_cast<int>(std::size(kTermBoot))) ? kTermBoot[i] : 0;
        }
        case devLB14:
            return 8;
        case devLB12:
            if (m_Vers == 0) return 0;
            switch ((m_Vers & 0xFF) / 10) {
                case 3:
                    return 3;
                case 4:
                    return 5;
                case 6:
                    return 7;
                default:
                    return 0;
            }
        default:
            return 0;
    }
}

// ---- XML ---------------------------------------------------------------------------------

void CDev::XMLLoad(xmlNode* e) {
    m_Element = e;
    m_Typ = static_cast<typDev>(CNodeB::XMLLoadInteger(e, s_Elem, "TypDev", m_Typ));
    m_Variant = CNodeB::XMLLoadInteger(e, s_Elem, "Variant", 0);
    m_TypTerm = static_cast<typTerm7>(CNodeB::XMLLoadInteger(e, s_Elem, "TypTerm", 0));
}

void CDev::XMLAdd() {
    xmlNode* tab = m_Slot ? m_Slot->XMLTabDev(true) : nullptr;
    xmlNode* e = tab ? xmlNewChild(tab, nullptr, reinterpret_cast<const xmlChar*>(s_Elem), nullptr) : nullptr;
    if (!e) throw ErrorXML(41076, s_Elem);
    m_Element = e;
    XMLUpdate();
}

void CDev::XMLUpdate() {
    if (!m_Element) return;
    CNodeB::XMLUpdateInteger(m_Element, m_Addr, s_Elem, "Addr", true);
    CNodeB::XMLUpdateInteger(m_Element, m_Typ, s_Elem, "TypDev", false);
    CNodeB::XMLUpdateInteger(m_Element, m_Variant, s_Elem, "Variant", false);
    CNodeB::XMLUpdateInteger(m_Element, m_TypTerm, s_Elem, "TypTerm", false);
}

void CDev::XMLRemove() {
    if (!m_Element) return;
    xmlUnlinkNode(m_Element);
    xmlFreeNode(m_Element);
    m_Element = nullptr;
}

// ---- CDevTab -----------------------------------------------------------------------------

int CDevTab::Insert(std::unique_ptr<CDev>&& dev) {
    CDev* d = dev.get();
    if (!InsertRecord(std::move(dev))) return 0;
    if (m_Slot) d->m_Slot = m_Slot;
    return 1;
}
