#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "Disp.h"
#include "LoadRes.h"
#include "Xml.h"

namespace {

class QuietDisp : public CDisp {
public:
    void Put(CPult*, CPackMes&) override {}
};

CIpAddr Ip(const char* text) {
    in_addr in{};
    EXPECT_EQ(inet_pton(AF_INET, text, &in), 1);
    CIpAddr a;
    a.addr = ntohl(in.s_addr);
    return a;
}

template <class Tab, class T>
T* Put(Tab& tab, std::unique_ptr<T> r) {
    T* raw = r.get();
    EXPECT_EQ(tab.Insert(std::move(r)), 1);
    return raw;
}

// Two consoles with every persisted field away from its default somewhere, and at its
// default somewhere else, and texts that need escaping.
void BuildSample(CDisp& disp) {
    disp.SetNumber(7);
    disp.SetName(L"Центр «North» & <co>");

    CPult* a = Put(disp.PultTab(), std::make_unique<CPult>(2));
    a->SetName(L"Console \"A\"");
    a->SetDefault(true);
    a->SetOwn(12, 3);
    CUM* um5 = Put(a->UMTab(), std::make_unique<CUM>(5, a));
    um5->SetNote(L"Note ü ' \"");
    CSlot* head =
        Put(um5->SlotTab(), std::make_unique<CSlot>(3, um5, static_cast<CSlot::typSlot>(2), nullptr));
    head->SetProgram(4);
    head->SetLinkTo(6, 1);
    head->SetVolume(7, 9);
    CLinkCLL cll;
    cll.number = 1;
    cll.um = 6;
    cll.slot = 1;
    cll.ip = Ip("10.0.0.5");
    cll.ipDop2 = Ip("192.168.1.200");
    cll.mask = Ip("255.255.255.0");
    cll.gtw = Ip("10.0.0.1");
    cll.dataPort.port = 5000;
    cll.note = L"upper shaft";
    ASSERT_EQ(head->LinkCLL().Insert(std::make_unique<CLinkCLL>(cll)), 1);
    cll.number = 2;
    cll.ip = Ip("255.255.255.255");
    cll.voicePort.port = 65535;
    cll.note.clear();
    ASSERT_EQ(head->LinkCLL().Insert(std::make_unique<CLinkCLL>(cll)), 1);
    CDev* v7 = Put(head->DevTab(), std::make_unique<CDev>(4, head, CDev::devLB14, nullptr));
    v7->SetVariant(133);
    CDev* term = Put(head->DevTab(), std::make_unique<CDev>(0, head, CDev::devTerm7, nullptr));
    term->SetTypTerm(static_cast<CDev::typTerm7>(38));
    Put(um5->SlotTab(), std::make_unique<CSlot>(0, um5, CSlot::slotLine, nullptr));
    a->UMTab().SetLink();

    CPult* b = Put(disp.PultTab(), std::make_unique<CPult>(0));
    b->SetRoute(false);
    CUM* um0 = Put(b->UMTab(), std::make_unique<CUM>(0, b));
    CSlot* neg = Put(um0->SlotTab(), std::make_unique<CSlot>(15, um0, CSlot::slotLine, nullptr));
    neg->SetLinkTo(-4, -1);
    Put(neg->DevTab(), std::make_unique<CDev>(255, neg, CDev::devNone, nullptr));
}

std::string IpOf(const CIpAddr& a) {
    return std::to_string(a.addr);
}

// Every field the document keeps, and every parent pointer, one record per line: two trees
// are the same when their descriptions are.
std::string Describe(const CDisp& disp) {
    std::ostringstream o;
    o << "disp " << disp.Number() << " " << DBString(disp.Name()).ToStr() << "\n";
    for (const auto& p : disp.PultTab()) {
        o << " pult " << p->Number() << " '" << p->Name().ToStr() << "' " << p->IsDefault() << " "
          << p->OwnNode() << "/" << p->OwnSub() << " " << p->Route() << (p->Disp() == &disp ? "" : " ORPHAN")
          << "\n";
        for (const auto& u : p->UMTab()) {
            o << "  um " << u->Number() << " '" << u->Note().ToStr() << "'"
              << (u->Pult() == p.get() ? "" : " ORPHAN") << "\n";
            for (const auto& s : u->SlotTab()) {
                o << "   slot " << s->Number() << " " << s->Typ() << " " << s->Program() << " " << s->LinkUM()
                  << ":" << s->LinkSlot() << " " << s->VolRec() << "/" << s->VolPlay()
                  << (s->UM() == u.get() ? "" : " ORPHAN") << "\n";
                for (int i = 0; i < s->LinkNet().Count(); ++i)
                    o << "    net " << s->LinkNet().At(i)->um << ":" << s->LinkNet().At(i)->slot << "\n";
                for (int i = 0; i < s->LinkCLL().Count(); ++i) {
                    const CLinkCLL& l = *s->LinkCLL().At(i);
                    o << "    cll " << l.number << " " << l.um << ":" << l.slot << " " << IpOf(l.ip) << " "
                      << IpOf(l.ipDop1) << " " << IpOf(l.ipDop2) << " " << IpOf(l.mask) << " " << IpOf(l.gtw)
                      << " " << l.dataPort.port << " " << l.voicePort.port << " '" << l.note.ToStr() << "'\n";
                }
                for (const auto& d : s->DevTab())
                    o << "    dev " << d->Addr() << " " << d->Typ() << " " << d->Variant() << " "
                      << d->TypTerm() << (d->Slot() == s.get() ? "" : " ORPHAN") << "\n";
            }
        }
    }
    return o.str();
}

std::string Attr(xmlNode* e, const char* name) {
    xmlChar* v = xmlGetProp(e, reinterpret_cast<const xmlChar*>(name));
    if (!v) return "<absent>";
    std::string s(reinterpret_cast<const char*>(v));
    xmlFree(v);
    return s;
}

std::vector<xmlNode*> Children(xmlNode* e, const char* name) {
    std::vector<xmlNode*> out;
    for (xmlNode* c = e ? e->children : nullptr; c; c = c->next)
        if (c->type == XML_ELEMENT_NODE && xmlStrEqual(c->name, reinterpret_cast<const xmlChar*>(name)))
            out.push_back(c);
    return out;
}

std::string Expect(const std::string& text) {
    QuietDisp d;
    try {
        d.XMLLoadStr(text);
    } catch (const ErrorXML& e) {
        return e.Text().ToStr();
    }
    ADD_FAILURE() << "no ErrorXML for " << text;
    return {};
}

class StructureXml : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = g_StringENU;
        g_StringENU = true;
    }
    void TearDown() override { g_StringENU = saved_; }

private:
    bool saved_ = false;
};

// ---- Round trips -------------------------------------------------------------------------

TEST_F(StructureXml, ATreeComesBackFromItsTextUnchanged) {
    QuietDisp original;
    BuildSample(original);
    std::string text;
    original.XMLSaveStr(text);

    QuietDisp copy;
    copy.XMLLoadStr(text);
    EXPECT_EQ(Describe(copy), Describe(original));
    EXPECT_NE(Describe(original).find("    dev 0 13 0 38\n"), std::string::npos) << Describe(original);

    // The copy saves to the very same text: nothing was lost or added on the way.
    std::string again;
    copy.XMLSaveStr(again);
    EXPECT_EQ(again, text);
}

TEST_F(StructureXml, ATreeComesBackFromItsFileAndAnOverwriteLeavesNoTrace) {
    char dirTemplate[] = "/tmp/tolvane-structure-XXXXXX";
    ASSERT_NE(mkdtemp(dirTemplate), nullptr);
    const std::filesystem::path dir(dirTemplate);
    const std::string file = (dir / "disp.xml").string();

    QuietDisp original;
    BuildSample(original);
    original.XMLSaveFile(file);
    QuietDisp copy;
    copy.XMLLoadFile(file);
    EXPECT_EQ(Describe(copy), Describe(original));

    // Saving a changed tree over the file replaces it whole.
    original.FindUM(2, 5)->SetNote(L"changed");
    original.XMLSaveFile(file);
    QuietDisp reread;
    reread.XMLLoadFile(file);
    EXPECT_EQ(reread.FindUM(2, 5)->Note(), L"changed");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), std::filesystem::directory_iterator()),
              1)
        << "the temporary file must not stay behind";

    // A file that cannot be written is reported and leaves the old one alone.
    EXPECT_THROW(original.XMLSaveFile((dir / "missing" / "disp.xml").string()), ErrorXML);
    std::filesystem::remove_all(dir);
}

TEST_F(StructureXml, TheDocumentUsesTheAgreedElementAndAttributeNames) {
    QuietDisp disp;
    BuildSample(disp);
    std::string text;
    disp.XMLSaveStr(text);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text.substr(0, 60);

    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_NONET),
        xmlFreeDoc);
    ASSERT_TRUE(doc);
    xmlNode* root = xmlDocGetRootElement(doc.get());
    ASSERT_STREQ(reinterpret_cast<const char*>(root->name), "Disp");
    EXPECT_EQ(Attr(root, "Number"), "7");
    EXPECT_EQ(Attr(root, "Name"), "Центр «North» & <co>");

    const auto pults = Children(root, "Pult");
    ASSERT_EQ(pults.size(), 2u);
    const auto ums = Children(pults[0], "Um");
    ASSERT_EQ(ums.size(), 2u) << "UM 5 and the partner UM 6 made by SetLink";
    const auto slots = Children(ums[0], "Slot");
    ASSERT_EQ(slots.size(), 2u);
    xmlNode* head = slots[0];
    const auto devs = Children(Children(head, "TabDev").at(0), "Dev");
    ASSERT_EQ(devs.size(), 2u);
    const auto net = Children(Children(head, "TabLinkNet").at(0), "LinkNet");
    ASSERT_EQ(net.size(), 1u);
    const auto cll = Children(Children(head, "TabLinkCLL").at(0), "LinkCLL");
    ASSERT_EQ(cll.size(), 2u);
    EXPECT_TRUE(Children(slots[1], "TabDev").empty()) << "a slot without devices has no device list";

    const std::vector<std::tuple<xmlNode*, const char*, std::string>> want = {
        {pults[0], "Number", "2"},
        {pults[0], "Name", "Console \"A\""},
        {pults[0], "Default", "1"},
        {pults[1], "Number", "0"},
        {pults[1], "Name", "<absent>"},
        {ums[0], "Number", "5"},
        {ums[0], "Note", "Note ü ' \""},
        {head, "Number", "3"},
        {head, "TypSlot", "2"},
        {head, "Program", "4"},
        {head, "LinkUM", "6"},
        {head, "LinkSlot", "1"},
        {head, "VolRec", "7"},
        {head, "VolPlay", "9"},
        {slots[1], "Program", "-1"},
        {devs[0], "Addr", "4"},
        {devs[1], "Addr", "0"},
        {net[0], "UM", "6"},
        {net[0], "Slot", "1"},
        {cll[0], "Number", "1"},
        {cll[0], "UM", "6"},
        {cll[0], "Slot", "1"},
        {cll[0], "IP", "10.0.0.5"},
        {cll[0], "IPDop1", "<absent>"},
        {cll[0], "IPDop2", "192.168.1.200"},
        {cll[0], "Mask", "255.255.255.0"},
        {cll[0], "GTW", "10.0.0.1"},
        {cll[0], "DataPort", "5000"},
        {cll[0], "Note", "upper shaft"},
        {cll[1], "VoicePort", "65535"},
    };
    for (const auto& [e, attr, value] : want)
        EXPECT_EQ(Attr(e, attr), value) << reinterpret_cast<const char*>(e->name) << " " << attr;
}

TEST_F(StructureXml, AnEmptyTreeIsTheDeclarationAndAnEmptyDispElement) {
    QuietDisp disp;
    std::string text;
    disp.XMLSaveStr(text);
    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, 0), xmlFreeDoc);
    ASSERT_TRUE(doc);
    EXPECT_STREQ(reinterpret_cast<const char*>(doc->version), "1.0");
    EXPECT_STREQ(reinterpret_cast<const char*>(doc->encoding), "UTF-8");
    xmlNode* root = xmlDocGetRootElement(doc.get());
    EXPECT_STREQ(reinterpret_cast<const char*>(root->name), "Disp");
    EXPECT_EQ(root->children, nullptr);
}

// ---- Refused documents -------------------------------------------------------------------

TEST_F(StructureXml, DuplicatesAreNamedLevelByLevel) {
    EXPECT_EQ(Expect("<Disp><Pult Number='3'/><Pult Number='3'/></Disp>"),
              "Subnet 3 already exist in structure");
    EXPECT_EQ(Expect("<Disp><Pult Number='3'><Um Number='4'/><Um Number='4'/></Pult></Disp>"),
              "UM 4 already exist in subnet 3");
    EXPECT_EQ(Expect("<Disp><Pult Number='3'><Um Number='4'><Slot Number='1'/><Slot Number='1' TypSlot='2'/>"
                     "</Um></Pult></Disp>"),
              "Slot 1 already exist in UM 3:4");
    EXPECT_EQ(Expect("<Disp><Pult Number='3'><Um Number='4'><Slot Number='1'><TabDev><Dev Addr='9'/></TabDev>"
                     "<TabDev><Dev Addr='9'/></TabDev></Slot></Um></Pult></Disp>"),
              "Device 9  already exist in slot 3:4:1");
    // An absent number is number 0 and clashes with a written 0.
    EXPECT_EQ(Expect("<Disp><Pult/><Pult Number='0'/></Disp>"), "Subnet 0 already exist in structure");
}

TEST_F(StructureXml, ARefusedDocumentLeavesTheTreeAsItWas) {
    QuietDisp disp;
    BuildSample(disp);
    std::string before;
    disp.XMLSaveStr(before);

    const std::vector<std::string> bad = {
        "not xml at all",
        "<Structure><Pult Number='1'/></Structure>",
        "<Disp><Pult Number='1'><Um Number='1'><Slot><TabDev><Dev/><Dev/></TabDev></Slot></Um></Pult></Disp>",
        "<Disp><Pult><Um><Slot><TabLinkCLL><LinkCLL IP='10.0.0.256'/></TabLinkCLL></Slot></Um></Pult></Disp>",
        "<Disp><Pult><Um><Slot><TabLinkCLL><LinkCLL "
        "DataPort='70000'/></TabLinkCLL></Slot></Um></Pult></Disp>",
        "<Disp><Pult><Um><Slot><TabLinkNet><LinkNet UM='1'/><LinkNet "
        "UM='1'/></TabLinkNet></Slot></Um></Pult></Disp>",
    };
    for (const std::string& text : bad) {
        EXPECT_THROW(disp.XMLLoadStr(text), ErrorXML) << text;
        std::string after;
        disp.XMLSaveStr(after);
        EXPECT_EQ(after, before) << text;
    }
    EXPECT_THROW(disp.XMLLoadFile("/nonexistent/tolvane/disp.xml"), ErrorXML);
    EXPECT_NE(disp.FindDev(2, 5, 3, 4), nullptr);
}

TEST_F(StructureXml, RefusalTextsSayWhatWasWrong) {
    EXPECT_EQ(Expect("garbage"), _S_(41083).ToStr());
    EXPECT_EQ(Expect("<Other/>"), (_S_(41083) + L" elements Disp").ToStr());
    EXPECT_EQ(Expect("<Disp><Pult><Um><Slot><TabLinkCLL><LinkCLL "
                     "Mask='255.0'/></TabLinkCLL></Slot></Um></Pult></Disp>"),
              (_S_(25000) + L" parameters Mask elements LinkCLL").ToStr());
}

// ---- Loading details ---------------------------------------------------------------------

TEST_F(StructureXml, LoadingPairsALinkNamedFromOneEndAndSkipsForeignElements) {
    QuietDisp disp;
    disp.XMLLoadStr(
        "<?xml version='1.0'?><Disp Number='1' Extra='x'><!-- note --><Other/>"
        "<Pult Number='4'><Um Number='1'><Slot Number='2' TypSlot='14' LinkUM='8' LinkSlot='3'>"
        "<Unknown/><TabDev><Dev Addr='5' TypDev='12' "
        "Variant='37'/><Note/></TabDev></Slot></Um></Pult></Disp>");
    ASSERT_EQ(disp.PultTab().Count(), 1);
    CPult* pult = disp.FindPult(4);
    ASSERT_NE(pult, nullptr);
    EXPECT_TRUE(pult->Route()) << "a console without a Route attribute routes";
    CDev* dev = disp.FindDev(4, 1, 2, 5);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(dev->Typ(), CDev::devLB12);
    EXPECT_EQ(dev->Variant(), 37);
    EXPECT_EQ(disp.FindBlok(4, 1, 2)->Program(), -1);

    CSlot* partner = disp.FindBlok(4, 8, 3);
    ASSERT_NE(partner, nullptr) << "the partner is made after loading";
    EXPECT_EQ(partner->Typ(), 15);
    EXPECT_EQ(partner->LinkUM(), 1);
    EXPECT_EQ(partner->LinkSlot(), 2);
}

TEST_F(StructureXml, RecordOperationsEditTheLoadedDocumentInPlace) {
    QuietDisp disp;
    BuildSample(disp);
    std::string text;
    disp.XMLSaveStr(text);
    QuietDisp loaded;
    loaded.XMLLoadStr(text);

    CUM* um = loaded.FindUM(2, 5);
    ASSERT_NE(um->XMLElement(), nullptr);
    um->SetNote(L"");
    um->XMLUpdate();
    EXPECT_EQ(Attr(um->XMLElement(), "Note"), "<absent>");
    um->SetNote(L"new");
    um->XMLUpdate();
    EXPECT_EQ(Attr(um->XMLElement(), "Note"), "new");

    // A slot's link lists have no elements of their own: an update rewrites them whole.
    CSlot* head = loaded.FindBlok(2, 5, 3);
    ASSERT_EQ(head->LinkNet().Insert(std::make_unique<CLinkNet>(CLinkNet{9, 9})), 1);
    head->XMLUpdate();
    const auto tabs = Children(head->XMLElement(), "TabLinkNet");
    ASSERT_EQ(tabs.size(), 1u);
    EXPECT_EQ(Children(tabs[0], "LinkNet").size(), 2u);

    // A new device joins the existing device list.
    CDev* added = Put(head->DevTab(), std::make_unique<CDev>(77, head, CDev::devLB11, nullptr));
    added->XMLAdd();
    const auto devs = Children(Children(head->XMLElement(), "TabDev").at(0), "Dev");
    ASSERT_EQ(devs.size(), 3u);
    EXPECT_EQ(Attr(devs[2], "Addr"), "77");
    EXPECT_EQ(Attr(devs[2], "TypDev"), "11");

    // Removing a slot takes its devices' elements with it.
    CDev* onHead = head->FindDev(4);
    ASSERT_NE(onHead->XMLElement(), nullptr);
    head->XMLRemove();
    EXPECT_EQ(head->XMLElement(), nullptr);
    EXPECT_EQ(onHead->XMLElement(), nullptr);
    EXPECT_EQ(Children(um->XMLElement(), "Slot").size(), 1u);
    head->XMLUpdate();  // unbound: nothing to write, nothing to crash on

    // A saved document is rebuilt from the tree, so the removed element comes back.
    std::string saved;
    loaded.XMLSaveStr(saved);
    QuietDisp reread;
    reread.XMLLoadStr(saved);
    ASSERT_NE(reread.FindDev(2, 5, 3, 77), nullptr);
    EXPECT_EQ(reread.FindUM(2, 5)->Note(), L"new");

    loaded.XMLRelease();
    EXPECT_EQ(loaded.XMLDoc(), nullptr);
    EXPECT_EQ(um->XMLElement(), nullptr);
    EXPECT_EQ(added->XMLElement(), nullptr);
}

}  // namespace
