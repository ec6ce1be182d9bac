#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>

#include "DBString.h"
#include "Slot.h"

// A UM of a console: the unit whose channels are the slots.
class CUM {
public:
    static constexpr char s_Elem[] = "Um";

    CUM(int number, CPult* pult);
    virtual ~CUM();
    CUM(const CUM&) = delete;
    CUM& operator=(const CUM&) = delete;

    int Number() const { return m_Number; }
    const DBString& Note() const { return m_Note; }
    void SetNote(const DBString& note) { m_Note = note; }
    CPult* Pult() const { return m_Pult; }
    CSlotTab& SlotTab() { return m_SlotTab; }
    const CSlotTab& SlotTab() const { return m_SlotTab; }
    CSlot* FindBlok(int n) const { return m_SlotTab.FindBlok(n); }

    // ---- XML ----
    xmlNode* XMLElement() const { return m_Element; }
    // Reads the note and the slots of `e` into an empty UM; throws ErrorXML for a
    // duplicate slot.
    virtual void XMLLoad(xmlNode* e);
    virtual void XMLAdd();
    virtual void XMLUpdate();
    virtual void XMLRemove();
    virtual void XMLPostLoad();
    void XMLForget();

private:
    friend class CUMTab;

    int32_t m_Number;
    DBString m_Note;
    CPult* m_Pult;
    CSlotTab m_SlotTab;
    xmlNode* m_Element = nullptr;
};

// The UMs of one console.
class CUMTab : public CStructTab<CUM> {
public:
    explicit CUMTab(CPult* pult = nullptr) : m_Pult(pult) {}

    CPult* Pult() const { return m_Pult; }
    CUM* FindUM(int n) const { return Find(n); }
    // Descend level by level; null as soon as a level has no match.
    CSlot* FindBlok(int um, int slot) const;
    CDev* FindDev(int um, int slot, int addr) const;
    // Appends the UM and makes this table's console its console; 0 for a duplicate number.
    int Insert(std::unique_ptr<CUM>&& um);
    // Sorts the UMs, and below each of them the slots and the devices, by number.
    void ReOrder();
    // The slot that reaches UM `um` from the console's side: the first slot of another UM
    // that heads a link to it. Null when no slot does.
    CSlot* RootSlot(int um) const;
    // Pairs every slot that heads a link with its partner (UM LinkUM, slot LinkSlot), which
    // is made, together with its UM, when missing. The partner takes the partner kind and
    // both ends record each other. A partner that heads a link of its own, or a slot that
    // names itself, is left alone: retyping it would break the other link.
    void SetLink();

private:
    CPult* m_Pult;
};
