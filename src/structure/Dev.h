#pragma once

#include <libxml/tree.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "DBString.h"
#include "DBTime.h"
#include "InfoCLB.h"
#include "Mes.h"
#include "NvRam.h"
#include "Sost.h"
#include "SostDZ.h"
#include "SostSens.h"

class CSlot;
class CUM;
class CPult;
class CDisp;

// Settings of a dispatch installation. The tree only hands them on; whoever fills them in
// derives from this class.
class CParam {
public:
    virtual ~CParam() = default;
};

// The table behind every level of the tree: it owns its records and holds at most one per
// number. A record refused as a duplicate stays with the caller, because the pointer is
// moved from only when the record goes in.
template <class T>
class CStructTab {
public:
    using Items = std::vector<std::unique_ptr<T>>;

    CStructTab() = default;
    CStructTab(const CStructTab&) = delete;
    CStructTab& operator=(const CStructTab&) = delete;

    int Count() const { return static_cast<int>(m_Items.size()); }
    bool IsEmpty() const { return m_Items.empty(); }
    T* At(int i) const { return (i >= 0 && i < Count()) ? m_Items[static_cast<size_t>(i)].get() : nullptr; }
    // First record with that number, or null.
    T* Find(int n) const {
        for (const auto& r : m_Items)
            if (r->Number() == n) return r.get();
        return nullptr;
    }
    // Deletes the record with that number; 0 when there is none.
    int Remove(int n) {
        auto it = std::find_if(m_Items.begin(), m_Items.end(),
                               [n](const std::unique_ptr<T>& r) { return r->Number() == n; });
        if (it == m_Items.end()) return 0;
        m_Items.erase(it);
        return 1;
    }
    void Clear() { m_Items.clear(); }
    // Records of equal number cannot exist, so a stable sort keeps nothing to chance.
    void SortByNumber() {
        std::stable_sort(m_Items.begin(), m_Items.end(),
                         [](const std::unique_ptr<T>& a, const std::unique_ptr<T>& b) {
                             return a->Number() < b->Number();
                         });
    }
    // Exchanges the records of two tables whose owner is the same record.
    void SwapItems(CStructTab& o) noexcept { m_Items.swap(o.m_Items); }

    typename Items::const_iterator begin() const { return m_Items.begin(); }
    typename Items::const_iterator end() const { return m_Items.end(); }

protected:
    int InsertRecord(std::unique_ptr<T>&& r) {
        if (!r || Find(r->Number()) != nullptr) return 0;
        m_Items.push_back(std::move(r));
        return 1;
    }

    Items m_Items;
};

// One device on the line of a slot: for the tool, the lift unit it services. The device
// learns its kind from the LU's device-parameters report and names it through the
// message table.
class CDev {
public:
    enum typDev : int {
        devNone = 0,
        devLB4 = 4,
        devLB6 = 6,
        devLB7 = 7,
        devLB8 = 8,
        devLB9 = 9,
        devLB10 = 10,
        devLB11 = 11,
        devLB12 = 12,
        devTerm7 = 13,
        devLB14 = 14,
        devIT16 = 16,
        devIT18 = 18,
        devIT19 = 19
    };

    // Kind of V7 terminal (device type 13); a plain number, the names come from the table.
    enum typTerm7 : int { termNone = 0 };

    static constexpr char s_Elem[] = "Dev";
    static constexpr char s_TabElem[] = "TabDev";

    CDev(int addr, CSlot* slot, typDev type, CParam* par);
    virtual ~CDev();
    CDev(const CDev&) = delete;
    CDev& operator=(const CDev&) = delete;

    // The table key.
    int Number() const { return m_Addr; }
    int Addr() const { return m_Addr; }
    CSlot* Slot() const { return m_Slot; }
    CUM* UM() const;
    CPult* Pult() const;
    CParam* Param() const { return m_Param; }

    const DBTime& Created() const { return m_Created; }
    const DBTime& Changed() const { return m_Changed; }
    void Touch() { m_Changed = DBTime::CurDateTime(); }

    typDev Typ() const { return m_Typ; }
    void SetTyp(typDev t) { m_Typ = t; }
    int Variant() const { return m_Variant; }
    void SetVariant(int v) { m_Variant = v; }
    typTerm7 TypTerm() const { return m_TypTerm; }
    void SetTypTerm(typTerm7 t) { m_TypTerm = t; }
    int ModeBits() const { return m_ModeBits; }
    bool FlagA() const { return m_FlagA; }
    bool FlagB() const { return m_FlagB; }
    bool FlagC() const { return m_FlagC; }
    bool FlagD() const { return m_FlagD; }
    bool FlagE() const { return m_FlagE; }
    bool IsLongReport() const { return m_LongReport; }
    uint16_t Vers() const { return m_Vers; }
    bool VersFlag() const { return m_VersFlag; }
    // Extension kind of the device; IsExtended is true for 1 and 2. Starts at -1.
    int ExtMode() const { return m_ExtMode; }
    void SetExtMode(int m) { m_ExtMode = m; }

    // True: names in the language of the message table; false: always English.
    bool Language() const { return m_Language; }
    void SetLanguage(bool chosen) { m_Language = chosen; }

    CNvRam& NvRam() { return m_NvRam; }
    const CNvRam& NvRam() const { return m_NvRam; }
    CInfoCLB& Info() { return m_Info; }
    CSostDev& Sost() { return m_Sost; }
    CSostDZ& SostDZ() { return m_SostDZ; }
    CSostSens& SostSens() { return m_SostSens; }

    // ---- Messages ----
    // Each form builds a message from the console's own address to this device on the
    // slot's UM and slot, and queues it at the slot that sends for this one. They return 0
    // when nothing was queued: the device hangs in no complete tree, an address does not
    // fit its units, the payload would be dropped by the message record, or no sending
    // slot accepts it.
    int AddMes(int prior, CMes::typMes t, CMes::askFromMain a, const unsigned char* data, int n, int tail);
    int AddMes(int prior, CMes::subServ18 s, const unsigned char* data, int n);
    // One of the ready LU requests, queued with its own priority.
    int AddMes(const LuRequest& r);
    // Hands the sending slot's pending messages to the root; 0 when nothing went out.
    int Put();

    // ---- Device parameters ----
    // Takes type, variant, version and flags from a device-parameters report (sub-address
    // 0). Returns 1 when the type or the variant changed, else 0.
    int SetParDev(const CMes& m);

    bool IsV6() const { return IsV6(m_Typ); }
    static bool IsV6(int type) { return type == devLB11 || type == devLB12 || type == devLB14; }
    bool IsV7() const { return IsV7(m_Typ); }
    static bool IsV7(int type) { return type == devLB14; }
    bool IsPro() const { return IsPro(m_Typ); }
    static bool IsPro(int type) { return type == devLB12 || type == devLB14; }
    bool IsIT() const { return m_Typ == devIT16 || m_Typ == devIT18 || m_Typ == devIT19; }
    bool IsKnovExt() const;
    bool IsExtended() const { return m_ExtMode == 1 || m_ExtMode == 2; }

    // The version as 0.b.c.d; 0 when the device reported none.
    int GetVers(int& a, int& b, int& c, int& d) const;

    DBString TypLB() const;
    // Lift controller of an LU of the V6 family, by variant.
    DBString NameController(int variant) const;
    DBString TypTerm7(typTerm7 t, bool* known) const;
    static DBString DesignLB(int d);
    static DBString TypCodec(int c);
    // Boot-loader kind, 0 when none is known for this device.
    int HardBoot() const;

    // Text `id` in this device's language.
    DBString S(unsigned id) const;

    // ---- XML ----
    // The element of this record, null when it has none.
    xmlNode* XMLElement() const { return m_Element; }
    // Reads the attributes of `e` (the address is the key and stays) and binds to it.
    virtual void XMLLoad(xmlNode* e);
    // Adds an element under the slot's device list and writes the attributes into it.
    virtual void XMLAdd();
    // Writes the attributes into the bound element; nothing when unbound.
    virtual void XMLUpdate();
    // Unlinks and frees the element.
    virtual void XMLRemove();
    virtual void XMLPostLoad() {}
    // Drops the element pointer without touching the document, for a document that is
    // being freed as a whole.
    void XMLForget() { m_Element = nullptr; }

private:
    friend class CDevTab;

    int m_Addr;
    DBTime m_Created;
    DBTime m_Changed;
    typDev m_Typ;
    int32_t m_Variant = 0;
    typTerm7 m_TypTerm = termNone;
    int32_t m_ModeBits = 0;
    bool m_FlagA = false;
    bool m_FlagB = false;
    bool m_FlagC = false;
    bool m_FlagD = false;
    bool m_FlagE = false;
    bool m_LongReport = false;
    uint16_t m_Vers = 0;
    bool m_VersFlag = false;
    int32_t m_ExtMode = -1;
    CSlot* m_Slot;
    CNvRam m_NvRam;
    CInfoCLB m_Info;
    CSostDev m_Sost;
    CSostDZ m_SostDZ;
    CSostSens m_SostSens;
    CParam* m_Param;
    bool m_Language;
    xmlNode* m_Element = nullptr;

    int Queue(int prior, const CMes& m);
};

// The devices of one slot.
class CDevTab : public CStructTab<CDev> {
public:
    explicit CDevTab(CSlot* slot = nullptr) : m_Slot(slot) {}

    CSlot* Slot() const { return m_Slot; }
    CDev* FindDev(int addr) const { return Find(addr); }
    // Appends the device and makes this table's slot its slot; 0 for a duplicate address.
    int Insert(std::unique_ptr<CDev>&& dev);
    void ReOrder() { SortByNumber(); }

private:
    CSlot* m_Slot;
};
