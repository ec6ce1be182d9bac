#include <gtest/gtest.h>
#include <libxml/parser.h>
#include <libxml/tree.h>

#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "Disp.h"
#include "LoadRes.h"
#include "ScopedHomeUtil.h"
#include "Xml.h"

namespace {

class QuietDisp : public CDisp {
public:
    void Put(CPult*, CPackMes&) override {}
};

// Every field away from its default and from its neighbours' values, so that a field dropped,
// swapped or saved under another name shows; texts that need escaping; elements and
// attributes nobody knows, to be skipped; a slot heading a link whose partner is not there.
const char kSample[] = R"(<?xml version="1.0"?>
<Disp Number="7" Name="Центр «North» &amp; &lt;co&gt;" Extra="x"><!-- note --><Other/>
 <Pult Number="2" Name="Console &quot;A&quot;" Default="1" Node="12" Sub="3" Route="0">
  <Um Number="5" Note="Note ü ' &quot;">
   <Slot Number="4" TypSlot="11" Program="8" LinkUM="6" LinkSlot="1" VolRec="9" VolPlay="10"><Unknown/>
    <TabDev><Dev Addr="19" TypDev="13" Variant="133" TypTerm="38"/><Note/></TabDev>
    <TabLinkNet><LinkNet UM="13" Slot="14"/></TabLinkNet>
    <TabLinkCLL><LinkCLL Number="15" UM="16" Slot="17" IP="10.0.0.5" IPDop1="10.0.0.6" IPDop2="192.168.1.200"
      Mask="255.255.255.0" GTW="10.0.0.1" DataPort="5000" VoicePort="65535" Note="upper shaft"/></TabLinkCLL>
   </Slot>
   <Slot Number="2" TypSlot="14" LinkUM="8" LinkSlot="3"/>
  </Um>
 </Pult>
 <Pult Number="3"/>
</Disp>)";

std::string SaveStr(CDisp& disp) {
    std::string text;
    disp.XMLSaveStr(text);
    return text;
}

// The first element of that name, depth first.
xmlNode* Find(xmlNode* n, const char* name) {
    for (; n; n = n->next) {
        if (n->type == XML_ELEMENT_NODE && xmlStrEqual(n->name, BAD_CAST name)) return n;
        if (xmlNode* c = Find(n->children, name)) return c;
    }
    return nullptr;
}

class StructureXml : public ::testing::Test {
protected:
    void SetUp() override { g_StringENU = true; }
    void TearDown() override { g_StringENU = saved_; }

private:
    bool saved_ = g_StringENU;
};

TEST_F(StructureXml, EveryFieldIsSavedUnderItsNameAndComesBackUnchanged) {
    QuietDisp loaded;
    loaded.XMLLoadStr(kSample);
    const std::string text = SaveStr(loaded);
    EXPECT_EQ(text.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u) << text.substr(0, 60);
    std::unique_ptr<xmlDoc, void (*)(xmlDoc*)> doc(
        xmlReadMemory(text.data(), static_cast<int>(text.size()), nullptr, nullptr, XML_PARSE_NONET),
        xmlFreeDoc);
    ASSERT_TRUE(doc);
    // Each element's attributes, sorted by name: none missing, misspelt or added.
    const char* const want[][2] = {
        {"Disp", "Name=Центр «North» & <co> Number=7"},
        {"Pult", "Default=1 Name=Console \"A\" Node=12 Number=2 Route=0 Sub=3"},
        {"Um", "Note=Note ü ' \" Number=5"},
        {"Slot", "LinkSlot=1 LinkUM=6 Number=4 Program=8 TypSlot=11 VolPlay=10 VolRec=9"},
        {"LinkNet", "Slot=14 UM=13"},
        {"LinkCLL",
         "DataPort=5000 GTW=10.0.0.1 IP=10.0.0.5 IPDop1=10.0.0.6 IPDop2=192.168.1.200 "
         "Mask=255.255.255.0 Note=upper shaft Number=15 Slot=17 UM=16 VoicePort=65535"},
        {"Dev", "Addr=19 TypDev=13 TypTerm=38 Variant=133"},
    };
    for (const auto& [elem, attrs] : want) {
        xmlNode* e = Find(xmlDocGetRootElement(doc.get()), elem);
        ASSERT_NE(e, nullptr) << elem;
        std::map<std::string, std::string> sorted;
        for (xmlAttr* a = e->properties; a; a = a->next) {
            xmlChar* v = xmlGetProp(e, a->name);
            sorted[reinterpret_cast<const char*>(a->name)] = reinterpret_cast<const char*>(v);
            xmlFree(v);
        }
        std::string got;
        for (const auto& [name, value] : sorted) got += (got.empty() ? "" : " ") + name + "=" + value;
        EXPECT_EQ(got, attrs) << elem;
    }
    EXPECT_TRUE(loaded.FindPult(3)->Route()) << "a console without a Route attribute routes";
    EXPECT_EQ(loaded.FindBlok(2, 5, 2)->Program(), -1);
    CSlot* partner = loaded.FindBlok(2, 8, 3);
    ASSERT_NE(partner, nullptr) << "the partner is made after loading";
    EXPECT_EQ(std::vector<int>({partner->Typ(), partner->LinkUM(), partner->LinkSlot()}),
              std::vector<int>({15, 5, 2}));
    EXPECT_EQ(loaded.FindDev(2, 5, 4, 19)->Slot()->UM()->Pult()->Disp(), &loaded);

    // Loaded again, through a string and through a file saved twice, the tree saves to the very
    // same text; the file is replaced whole and no temporary file stays behind.
    QuietDisp copy, reread, empty;
    copy.XMLLoadStr(text);
    EXPECT_EQ(SaveStr(copy), text);
    ScopedHome dir;
    for (int pass = 0; pass < 2; ++pass) loaded.XMLSaveFile(dir.Path() + "/disp.xml");
    reread.XMLLoadFile(dir.Path() + "/disp.xml");
    EXPECT_EQ(SaveStr(reread), text);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.Path()), {}), 1);
    EXPECT_THROW(loaded.XMLSaveFile(dir.Path() + "/missing/disp.xml"), ErrorXML);
    EXPECT_EQ(SaveStr(empty), "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Disp Number=\"0\"/>\n");
}

TEST_F(StructureXml, RefusedDocumentsSayWhyAndLeaveTheTreeAsItWas) {
    const std::string head = "<Disp><Pult Number='3'><Um Number='4'><Slot Number='1'>";
    const std::string tail = "</Slot></Um></Pult></Disp>";
    const std::string cases[][2] = {
        {"<Disp><Pult Number='3'/><Pult Number='3'/></Disp>", "Subnet 3 already exist in structure"},
        {"<Disp><Pult/><Pult Number='0'/></Disp>", "Subnet 0 already exist in structure"},
        {"<Disp><Pult Number='3'><Um Number='4'/><Um Number='4'/></Pult></Disp>",
         "UM 4 already exist in subnet 3"},
        {head + "</Slot><Slot Number='1' TypSlot='2'>" + tail, "Slot 1 already exist in UM 3:4"},
        {head + "<TabDev><Dev Addr='9'/></TabDev><TabDev><Dev Addr='9'/></TabDev>" + tail,
         "Device 9  already exist in slot 3:4:1"},
        {"garbage", _S_(41083).ToStr()},
        {"<Other/>", (_S_(41083) + L" elements Disp").ToStr()},
        {head + "<TabLinkCLL><LinkCLL Mask='255.0'/></TabLinkCLL>" + tail,
         (_S_(25000) + L" parameters Mask elements LinkCLL").ToStr()},
        {head + "<TabLinkCLL><LinkCLL IP='10.0.0.256'/></TabLinkCLL>" + tail, ""},
        {head + "<TabLinkNet><LinkNet UM='1'/><LinkNet UM='1'/></TabLinkNet>" + tail, ""},
    };
    QuietDisp disp;
    disp.XMLLoadStr(kSample);
    const std::string before = SaveStr(disp);
    for (const auto& [text, why] : cases) {
        std::string got = "<accepted>";
        try {
            disp.XMLLoadStr(text);
        } catch (const ErrorXML& e) {
            got = e.Text().ToStr();
        }
        EXPECT_EQ(got, why.empty() && got != "<accepted>" ? got : why) << text;
        EXPECT_EQ(SaveStr(disp), before) << text;
    }
    EXPECT_THROW(disp.XMLLoadFile("/nonexistent/tolvane/disp.xml"), ErrorXML);
}

}  // namespace
