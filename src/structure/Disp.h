#pragma once

#include <libxml/tree.h>

#include <cstdint>
#include <memory>
#include <string>

#include "DBString.h"
#include "Mes.h"
#include "Pack.h"
#include "Pult.h"

// Root of the dispatch structure: the consoles, and the only place that knows how to send.
// A subclass supplies Put (the tool's console object sends over V7 or through the console
// program); the other hooks do nothing here so that a subclass overrides only what it uses.
class CDisp {
public:
    static constexpr char s_Elem[] = "Disp";

    CDisp();
    virtual ~CDisp();
    CDisp(const CDisp&) = delete;
    CDisp& operator=(const CDisp&) = delete;

    // Sends a packet of messages on behalf of a console.
    virtual void Put(CPult* pult, CPackMes& pack) = 0;
    virtual void PutNoIdent(CPult*, CPackMes&) {}
    virtual void PutDirect(CPult*, CPackMes&) {}
    virtual void PutDirectNoIdent(CPult*, CPackMes&) {}
    virtual int Get(CPult*, CPackMes&) { return 0; }
    virtual int Mng(CPult*, CPackMes&) { return 1; }
    virtual void SendAlert(CPult*, int, int, CMes::typAlert, const unsigned char*, int) {}
    // The slot that sends for the slots of UM `um` of that console.
    virtual CSlot* RootSlot(CPult* pult, int um);
    virtual void PutLog(const wchar_t*, bool) {}

    CPultTab& PultTab() { return m_PultTab; }
    const CPultTab& PultTab() const { return m_PultTab; }
    const DBString& Name() const { return m_Name; }
    void SetName(const DBString& name) { m_Name = name; }
    int Number() const { return m_Number; }
    void SetNumber(int n) { m_Number = n; }
    CParam* Param() const { return m_Param.get(); }
    void SetParam(std::unique_ptr<CParam> par) { m_Param = std::move(par); }

    // Look-ups from the root; null as soon as a level has no match.
    CPult* FindPult(int pult) const { return m_PultTab.FindPult(pult); }
    CUM* FindUM(int pult, int um) const;
    CSlot* FindBlok(int pult, int um, int slot) const;
    CDev* FindDev(int pult, int um, int slot, int addr) const;
    void ReOrder() { m_PultTab.ReOrder(); }

    // ---- XML ----
    // The document mirrors the tree only as far as the records' own XML operations keep
    // it; saving therefore builds a new document from the tree first, so what is written
    // is always what the tree holds.
    //
    // Loading replaces the whole tree and the document. Nothing changes when the text
    // cannot be parsed, has no Disp element at the top, or names a record twice: each of
    // these throws ErrorXML.
    void XMLLoadFile(const std::string& fileName);
    void XMLLoadStr(const std::string& text);
    // The file is written beside its final name and moved over it, so a failed write
    // leaves the old file. Throws ErrorXML.
    void XMLSaveFile(const std::string& fileName);
    // UTF-8, indented.
    void XMLSaveStr(std::string& out);
    // A new document from the tree: version 1.0, UTF-8, a Disp element with the tree below.
    void XMLCreate();
    // Writes the root's attributes into its element; nothing when unbound.
    virtual void XMLUpdate();
    virtual void XMLPostLoad();
    // Frees the document; every record forgets its element.
    void XMLRelease();
    xmlDoc* XMLDoc() const { return m_Doc.get(); }
    xmlNode* XMLElement() const { return m_Element; }

protected:
    // Reads `e` into a new console table and takes it over only when all of it loaded.
    virtual void XMLLoad(xmlNode* e);

private:
    struct DocDeleter {
        void operator()(xmlDoc* d) const noexcept { xmlFreeDoc(d); }
    };
    using Doc = std::unique_ptr<xmlDoc, DocDeleter>;

    CPultTab m_PultTab;
    DBString m_Name;
    std::unique_ptr<CParam> m_Param;
    int32_t m_Number = 0;
    Doc m_Doc;
    xmlNode* m_Element = nullptr;

    void XMLForgetTree();
    void XMLTakeDoc(Doc doc);
};
