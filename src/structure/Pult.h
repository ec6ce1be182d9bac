#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>

#include "DBString.h"
#include "Um.h"

// A console of the dispatch network, one per subnet.
class CPult {
public:
    static constexpr char s_Elem[] = "Pult";

    explicit CPult(int number);
    virtual ~CPult();
    CPult(const CPult&) = delete;
    CPult& operator=(const CPult&) = delete;

    int Number() const { return m_Number; }
    // The console's own address on the line: the sender of every message it builds.
    int OwnNode() const { return m_OwnNode; }
    int OwnSub() const { return m_OwnSub; }
    void SetOwn(int node, int sub) {
        m_OwnNode = node;
        m_OwnSub = sub;
    }
    // Set: slots of UMs other than the console's own send through a root slot.
    bool Route() const { return m_Route; }
    void SetRoute(bool route) { m_Route = route; }
    const DBString& Name() const { return m_Name; }
    void SetName(const DBString& name) { m_Name = name; }
    // Set on the console the dispatcher works with when nothing else is chosen.
    bool IsDefault() const { return m_Default; }
    void SetDefault(bool d) { m_Default = d; }
    CDisp* Disp() const { return m_Disp; }
    void SetDisp(CDisp* disp) { m_Disp = disp; }
    CUMTab& UMTab() { return m_UMTab; }
    const CUMTab& UMTab() const { return m_UMTab; }
    CUM* FindUM(int n) const { return m_UMTab.FindUM(n); }

    // ---- XML ----
    xmlNode* XMLElement() const { return m_Element; }
    // Reads the attributes and the UMs of `e` into an empty console; throws ErrorXML for
    // a duplicate UM.
    virtual void XMLLoad(xmlNode* e);
    virtual void XMLAdd();
    virtual void XMLUpdate();
    virtual void XMLRemove();
    // Pairs the linked slots that the document named only from one end.
    virtual void XMLPostLoad();
    void XMLForget();

private:
    friend class CPultTab;

    int32_t m_OwnNode = 0;
    int32_t m_OwnSub = 0;
    CUMTab m_UMTab;
    bool m_Route = true;
    DBString m_Name;
    int32_t m_Number;
    bool m_Default = false;
    CDisp* m_Disp = nullptr;
    xmlNode* m_Element = nullptr;
};

// The consoles under a dispatch root.
class CPultTab : public CStructTab<CPult> {
public:
    explicit CPultTab(CDisp* disp = nullptr) : m_Disp(disp) {}

    CDisp* Disp() const { return m_Disp; }
    CPult* FindPult(int n) const { return Find(n); }
    // Appends the console and, when this table has a root, makes it the console's owner;
    // 0 for a duplicate number.
    int Insert(std::unique_ptr<CPult>&& pult);
    // Sorts the consoles and everything below them by number.
    void ReOrder();

private:
    CDisp* m_Disp;
};
