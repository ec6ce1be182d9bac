#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>

#include "DBTime.h"
#include "Dev.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"
#include "Sost.h"

// One channel or line of a UM. The slot collects the messages of the devices on its line
// into one line packet and hands it to the root of the tree when asked to send.
class CSlot {
public:
    // A plain number. Paired kinds come in twos (PartnerType); the tool's slot is a line.
    enum typSlot : int { slotNone = 0, slotLine = 1 };

    static constexpr char s_Elem[] = "Slot";

    CSlot(int number, CUM* um, typSlot type, CParam* par);
    virtual ~CSlot();
    CSlot(const CSlot&) = delete;
    CSlot& operator=(const CSlot&) = delete;

    int Number() const { return m_Number; }
    typSlot Typ() const { return m_Typ; }
    void SetTyp(typSlot t) { m_Typ = t; }
    // Number of the program the slot runs; -1 when none has been set.
    int Program() const { return m_Program; }
    void SetProgram(int p) { m_Program = p; }
    int LinkUM() const { return m_LinkUM; }
    int LinkSlot() const { return m_LinkSlot; }
    void SetLinkTo(int um, int slot) {
        m_LinkUM = um;
        m_LinkSlot = slot;
    }
    int VolRec() const { return m_VolRec; }
    int VolPlay() const { return m_VolPlay; }
    void SetVolume(int rec, int play) {
        m_VolRec = rec;
        m_VolPlay = play;
    }

    const DBTime& Created() const { return m_Created; }
    const DBTime& Changed() const { return m_Changed; }
    void Touch() { m_Changed = DBTime::CurDateTime(); }

    CUM* UM() const { return m_UM; }
    CPult* Pult() const;
    CDisp* Disp() const;
    CParam* Param() const { return m_Param; }

    CLinkNetTab& LinkNet() { return m_LinkNet; }
    const CLinkNetTab& LinkNet() const { return m_LinkNet; }
    CLinkCLLTab& LinkCLL() { return m_LinkCLL; }
    const CLinkCLLTab& LinkCLL() const { return m_LinkCLL; }
    CPackMes& Pack() { return m_Pack; }
    const CPackMes& Pack() const { return m_Pack; }
    CNvRam& NvRam() { return m_NvRam; }
    CDevTab& DevTab() { return m_DevTab; }
    const CDevTab& DevTab() const { return m_DevTab; }
    CDev* FindDev(int addr) const { return m_DevTab.FindDev(addr); }

    // The kind a slot linked to a slot of kind `t` takes: 2 -> 3, 18 -> 19, 5 -> 6, 7 -> 8,
    // 9 -> 10, 12 -> 13, 14 -> 15, 16 -> 17. -1 when `t` heads no link.
    static int PartnerType(int t);

    // The slot whose packet carries this slot's messages: the slot itself, unless its
    // console routes through root slots and does not sit on this slot's UM. Null when the
    // route breaks off or runs in a circle.
    CSlot* SendingSlot();
    // Queues `m` with priority `prior` in the sending slot's packet; a full packet is sent
    // first. 0 when there is no sending slot or the message does not fit even an empty
    // packet (or the full one could not be sent), in which case nothing changes.
    int AddMes(int prior, const CMes& m);
    // Sends the sending slot's packet through the root when it holds anything.
    int Put();

    // ---- XML ----
    xmlNode* XMLElement() const { return m_Element; }
    // Reads the attributes, the devices and both link lists of `e` into an empty slot.
    // Throws ErrorXML for a duplicate device or link and for a bad attribute value.
    virtual void XMLLoad(xmlNode* e);
    // Adds an element under the UM's element with everything below it.
    virtual void XMLAdd();
    // Writes the attributes and rewrites both link lists, which have no elements of their
    // own; nothing when unbound.
    virtual void XMLUpdate();
    virtual void XMLRemove();
    virtual void XMLPostLoad();
    void XMLForget();
    // The device list element, made on request when missing.
    xmlNode* XMLTabDev(bool create);

    static constexpr char s_TabLinkNet[] = "TabLinkNet";
    static constexpr char s_LinkNet[] = "LinkNet";
    static constexpr char s_TabLinkCLL[] = "TabLinkCLL";
    static constexpr char s_LinkCLL[] = "LinkCLL";

private:
    friend class CSlotTab;

    int m_Number;
    DBTime m_Created;
    DBTime m_Changed;
    typSlot m_Typ;
    int32_t m_Program = -1;
    CLinkNetTab m_LinkNet;
    CLinkCLLTab m_LinkCLL;
    CUM* m_UM;
    CPackMes m_Pack;
    CNvRam m_NvRam;
    CDevTab m_DevTab;
    int32_t m_LinkUM = 0;
    int32_t m_LinkSlot = 0;
    int32_t m_VolRec = 0;
    int32_t m_VolPlay = 0;
    CParam* m_Param;
    xmlNode* m_Element = nullptr;

    int PutOwn();
    void XMLWriteLinks();
};

// The slots of one UM.
class CSlotTab : public CStructTab<CSlot> {
public:
    explicit CSlotTab(CUM* um = nullptr) : m_UM(um) {}

    CUM* UM() const { return m_UM; }
    CSlot* FindBlok(int n) const { return Find(n); }
    // Appends the slot and makes this table's UM its UM; 0 for a duplicate number.
    int Insert(std::unique_ptr<CSlot>&& slot);
    void ReOrder() { SortByNumber(); }

private:
    CUM* m_UM;
};
