#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "Disp.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"

namespace {

// A root that keeps what it is asked to send, as the tool's console object would queue it.
class RecordingDisp : public CDisp {
public:
    struct Sent {
        CPult* pult;
        CPackMes pack;
    };
    std::vector<Sent> sent;

    void Put(CPult* pult, CPackMes& pack) override { sent.push_back({pult, pack}); }

    // The messages of one sent packet, in order.
    static std::vector<CMes> Messages(CPackMes pack) {
        std::vector<CMes> out;
        pack.BegGet();
        CMes m;
        while (pack.GetMes(m)) out.push_back(m);
        return out;
    }
};

struct Tree {
    CPult* pult = nullptr;
    CUM* um = nullptr;
    CSlot* slot = nullptr;
    CDev* dev = nullptr;
};

CUM* AddUM(CPult* p, int n) {
    auto u = std::make_unique<CUM>(n, p);
    CUM* raw = u.get();
    EXPECT_EQ(p->UMTab().Insert(std::move(u)), 1);
    return raw;
}

CSlot* AddSlot(CUM* u, int n, int type) {
    auto s = std::make_unique<CSlot>(n, u, static_cast<CSlot::typSlot>(type), nullptr);
    CSlot* raw = s.get();
    EXPECT_EQ(u->SlotTab().Insert(std::move(s)), 1);
    return raw;
}

CDev* AddDev(CSlot* s, int addr) {
    auto d = std::make_unique<CDev>(addr, s, CDev::devNone, nullptr);
    CDev* raw = d.get();
    EXPECT_EQ(s->DevTab().Insert(std::move(d)), 1);
    return raw;
}

// The tool's shape: one console that sends its own slots' messages, one UM, slot, device.
Tree BuildOne(CDisp& disp, int pultNo, int umNo, int slotNo, int addr) {
    Tree t;
    auto p = std::make_unique<CPult>(pultNo);
    t.pult = p.get();
    t.pult->SetRoute(false);
    EXPECT_EQ(disp.PultTab().Insert(std::move(p)), 1);
    t.um = AddUM(t.pult, umNo);
    t.slot = AddSlot(t.um, slotNo, CSlot::slotLine);
    t.dev = AddDev(t.slot, addr);
    t.pult->SetOwn(255, 15);
    return t;
}

// ---- Tables ------------------------------------------------------------------------------

TEST(StructureTables, EveryLevelRefusesADuplicateAndLeavesItWithTheCaller) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 3, 7, 2, 5);

    auto pult = std::make_unique<CPult>(3);
    EXPECT_EQ(disp.PultTab().Insert(std::move(pult)), 0);
    ASSERT_NE(pult, nullptr) << "a refused console must stay with the caller";
    EXPECT_EQ(disp.PultTab().Count(), 1);
    EXPECT_EQ(disp.FindPult(3), t.pult);

    auto um = std::make_unique<CUM>(7, t.pult);
    EXPECT_EQ(t.pult->UMTab().Insert(std::move(um)), 0);
    ASSERT_NE(um, nullptr);
    EXPECT_EQ(t.pult->UMTab().Count(), 1);
    EXPECT_EQ(t.pult->FindUM(7), t.um);

    auto slot = std::make_unique<CSlot>(2, t.um, CSlot::slotLine, nullptr);
    EXPECT_EQ(t.um->SlotTab().Insert(std::move(slot)), 0);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(t.um->SlotTab().Count(), 1);
    EXPECT_EQ(t.um->FindBlok(2), t.slot);

    auto dev = std::make_unique<CDev>(5, t.slot, CDev::devLB14, nullptr);
    EXPECT_EQ(t.slot->DevTab().Insert(std::move(dev)), 0);
    ASSERT_NE(dev, nullptr);
    EXPECT_EQ(t.slot->DevTab().Count(), 1);
    EXPECT_EQ(t.slot->FindDev(5), t.dev);
    EXPECT_EQ(t.dev->Typ(), CDev::devNone) << "the refused device must not replace the first";

    // A second number goes in beside the first.
    EXPECT_EQ(t.slot->DevTab().Insert(std::make_unique<CDev>(6, t.slot, CDev::devNone, nullptr)), 1);
    EXPECT_EQ(t.slot->DevTab().Count(), 2);
    EXPECT_EQ(t.slot->DevTab().Insert(nullptr), 0);
}

TEST(StructureTables, InsertionHangsTheRecordUnderTheTablesOwner) {
    RecordingDisp disp;
    auto p = std::make_unique<CPult>(1);
    CPult* pult = p.get();
    ASSERT_EQ(disp.PultTab().Insert(std::move(p)), 1);
    EXPECT_EQ(pult->Disp(), &disp);

    // Records built for some other parent would otherwise route through the wrong tree.
    CUM stray(9, nullptr);
    auto u = std::make_unique<CUM>(4, nullptr);
    CUM* um = u.get();
    ASSERT_EQ(pult->UMTab().Insert(std::move(u)), 1);
    EXPECT_EQ(um->Pult(), pult);

    CSlot* other = AddSlot(&stray, 1, CSlot::slotLine);
    auto s = std::make_unique<CSlot>(2, &stray, CSlot::slotLine, nullptr);
    CSlot* slot = s.get();
    ASSERT_EQ(um->SlotTab().Insert(std::move(s)), 1);
    EXPECT_EQ(slot->UM(), um);
    EXPECT_EQ(slot->Disp(), &disp);

    auto d = std::make_unique<CDev>(3, other, CDev::devNone, nullptr);
    CDev* dev = d.get();
    ASSERT_EQ(slot->DevTab().Insert(std::move(d)), 1);
    EXPECT_EQ(dev->Slot(), slot);
    EXPECT_EQ(dev->Pult(), pult);
}

TEST(StructureTables, LookUpsDescendAndStopAtTheFirstMissingLevel) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 2, 10, 4, 33);
    CSlot* second = AddSlot(t.um, 5, CSlot::slotLine);
    CDev* other = AddDev(second, 33);

    const CUMTab& ums = t.pult->UMTab();
    EXPECT_EQ(ums.FindBlok(10, 4), t.slot);
    EXPECT_EQ(ums.FindBlok(10, 6), nullptr);
    EXPECT_EQ(ums.FindBlok(11, 4), nullptr);
    EXPECT_EQ(ums.FindDev(10, 4, 33), t.dev);
    EXPECT_EQ(ums.FindDev(10, 5, 33), other) << "the same address in another slot is another device";
    EXPECT_EQ(ums.FindDev(10, 4, 34), nullptr);
    EXPECT_EQ(ums.FindDev(99, 4, 33), nullptr);

    EXPECT_EQ(disp.FindUM(2, 10), t.um);
    EXPECT_EQ(disp.FindUM(3, 10), nullptr);
    EXPECT_EQ(disp.FindBlok(2, 10, 5), second);
    EXPECT_EQ(disp.FindDev(2, 10, 4, 33), t.dev);
    EXPECT_EQ(disp.FindDev(2, 11, 4, 33), nullptr);
    EXPECT_EQ(disp.FindDev(1, 10, 4, 33), nullptr);
}

TEST(StructureTables, ReOrderSortsEveryLevelBelowTheRoot) {
    RecordingDisp disp;
    for (int p : {5, 1, 3}) {
        auto pult = std::make_unique<CPult>(p);
        CPult* raw = pult.get();
        ASSERT_EQ(disp.PultTab().Insert(std::move(pult)), 1);
        for (int u : {9, 2}) {
            CUM* um = AddUM(raw, u);
            for (int s : {7, 0, 3}) {
                CSlot* slot = AddSlot(um, s, CSlot::slotLine);
                for (int d : {40, 4, 12}) AddDev(slot, d);
            }
        }
    }
    disp.ReOrder();

    auto numbers = [](const auto& tab) {
        std::vector<int> n;
        for (const auto& r : tab) n.push_back(r->Number());
        return n;
    };
    EXPECT_EQ(numbers(disp.PultTab()), (std::vector<int>{1, 3, 5}));
    for (const auto& p : disp.PultTab()) {
        EXPECT_EQ(numbers(p->UMTab()), (std::vector<int>{2, 9}));
        for (const auto& u : p->UMTab()) {
            EXPECT_EQ(numbers(u->SlotTab()), (std::vector<int>{0, 3, 7}));
            for (const auto& s : u->SlotTab()) EXPECT_EQ(numbers(s->DevTab()), (std::vector<int>{4, 12, 40}));
        }
    }
    // Sorting moved the records, not the look-up results.
    EXPECT_EQ(disp.FindDev(3, 9, 7, 12)->Slot()->UM()->Pult()->Number(), 3);
}

// ---- Messages through the tree -----------------------------------------------------------

TEST(StructureMessages, ADeviceMessageCarriesTheConsoleAndSlotAddressesToTheRoot) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 4, 23, 6, 17);

    const unsigned char payload[] = {1, 2, 3};
    ASSERT_EQ(t.dev->AddMes(8, CMes::mesDevAsk, CMes::askLbNVRAM, payload, 3, -1), 1);
    EXPECT_TRUE(disp.sent.empty()) << "adding only queues";
    ASSERT_EQ(t.dev->Put(), 1);
    ASSERT_EQ(disp.sent.size(), 1u);
    EXPECT_EQ(disp.sent[0].pult, t.pult);
    EXPECT_EQ(disp.sent[0].pack.prior, 8);

    const auto mes = RecordingDisp::Messages(disp.sent[0].pack);
    ASSERT_EQ(mes.size(), 1u);
    const CMes& m = mes[0];
    EXPECT_EQ(m.origNode, 255);
    EXPECT_EQ(m.origSub, 15);
    EXPECT_EQ(m.destNode, 23);
    EXPECT_EQ(m.destSub, 6);
    EXPECT_EQ(m.dev, 17);
    EXPECT_EQ(m.typ, CMes::mesDevAsk);
    EXPECT_EQ(m.ask, CMes::askLbNVRAM);
    EXPECT_EQ(m.len, 11);
    EXPECT_EQ(m[2], 1);
    EXPECT_EQ(m[4], 3);

    EXPECT_TRUE(t.slot->Pack().IsEmpty()) << "a sent packet is cleared";
    EXPECT_EQ(t.dev->Put(), 0) << "an empty packet is not sent";
    EXPECT_EQ(disp.sent.size(), 1u);
}

TEST(StructureMessages, MessagesOfOneSlotShareAPacketUntilItIsSent) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 1, 2, 3, 4);
    CDev* second = AddDev(t.slot, 9);

    ASSERT_EQ(t.dev->AddMes(LuNvramReadRequest()), 1);
    ASSERT_EQ(second->AddMes(LuDevParamsRequest()), 1);
    ASSERT_EQ(t.dev->AddMes(kLuPriorWrite, CMes::sub18Restart, nullptr, 0), 1);
    ASSERT_EQ(second->Put(), 1);
    ASSERT_EQ(disp.sent.size(), 1u);
    EXPECT_EQ(disp.sent[0].pack.prior, kLuPriorWrite) << "the last message's priority wins";

    const auto mes = RecordingDisp::Messages(disp.sent[0].pack);
    ASSERT_EQ(mes.size(), 3u);
    EXPECT_EQ(mes[0].dev, 4);
    EXPECT_EQ(mes[0].ask, CMes::askLbNVRAM);
    EXPECT_EQ(mes[1].dev, 9);
    EXPECT_EQ(mes[1].ask, CMes::askDevParam);
    EXPECT_EQ(mes[2].dev, 4);
    EXPECT_EQ(mes[2].ask, CMes::askRestart);
    EXPECT_EQ(mes[2][2], CMes::sub18Restart);
}

TEST(StructureMessages, AFullPacketIsSentFirstAndTheNewMessageKeepsItsPriority) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 1, 2, 3, 4);
    const unsigned char payload[20] = {};

    // 1 address byte + 2 x (1 + 28 units) = 59 bytes: the packet is full.
    ASSERT_EQ(t.dev->AddMes(5, CMes::mesDevAsk, CMes::askLbNVRAM, payload, 20, -1), 1);
    ASSERT_EQ(t.dev->AddMes(5, CMes::mesDevAsk, CMes::askLbNVRAM, payload, 20, -1), 1);
    EXPECT_EQ(t.slot->Pack().len, 59);
    EXPECT_TRUE(disp.sent.empty());

    ASSERT_EQ(t.dev->AddMes(9, CMes::mesDevAsk, CMes::askRestart, nullptr, 0, -1), 1);
    ASSERT_EQ(disp.sent.size(), 1u) << "the full packet goes out before the new message";
    EXPECT_EQ(RecordingDisp::Messages(disp.sent[0].pack).size(), 2u);
    EXPECT_EQ(disp.sent[0].pack.prior, 5) << "the full packet keeps its own priority";

    ASSERT_EQ(t.dev->Put(), 1);
    ASSERT_EQ(disp.sent.size(), 2u);
    EXPECT_EQ(disp.sent[1].pack.prior, 9) << "the emptied packet must not lose the new priority";
    const auto rest = RecordingDisp::Messages(disp.sent[1].pack);
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].ask, CMes::askRestart);
}

TEST(StructureMessages, WhatCannotTravelIntactIsRefusedAndNothingIsQueued) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 1, 2, 3, 100);
    const unsigned char big[60] = {};

    // A payload the message record would drop silently.
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, big, 55, -1), 0);
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 3, -1), 0);
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, big, -1, -1), 0);
    // 54 units fit the record but, with the tail, not a line packet.
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, big, 54, 7), 0);
    EXPECT_EQ(t.dev->AddMes(1, CMes::sub18Restart, big, 42), 0);
    EXPECT_TRUE(t.slot->Pack().IsEmpty());

    // Device 200 would arrive as device 72 with another sub-address.
    CDev* high = AddDev(t.slot, 200);
    EXPECT_EQ(high->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1), 0);
    EXPECT_EQ(high->AddMes(LuRestartRequest()), 0);
    EXPECT_EQ(high->AddMes(1, CMes::sub18Restart, nullptr, 0), 0);

    // A slot number beyond the 4-bit sub-address would reach another slot.
    CSlot* wide = AddSlot(t.um, 16, CSlot::slotLine);
    CDev* onWide = AddDev(wide, 1);
    EXPECT_EQ(onWide->AddMes(LuNvramReadRequest()), 0);
    EXPECT_TRUE(wide->Pack().IsEmpty());

    // A device outside a complete tree has no addresses to use.
    CDev loose(1, nullptr, CDev::devNone, nullptr);
    EXPECT_EQ(loose.AddMes(LuNvramReadRequest()), 0);
    EXPECT_EQ(loose.Put(), 0);

    EXPECT_EQ(t.dev->Put(), 0);
    EXPECT_TRUE(disp.sent.empty());
}

TEST(StructureMessages, ASlotWithoutRootKeepsItsMessages) {
    CPult pult(1);
    pult.SetRoute(false);
    // The console has no root, so a send has nowhere to go.
    CUM* owned = AddUM(&pult, 3);
    CSlot* s = AddSlot(owned, 1, CSlot::slotLine);
    CDev* dev = AddDev(s, 5);
    ASSERT_EQ(dev->AddMes(LuNvramReadRequest()), 1);
    EXPECT_EQ(dev->Put(), 0);
    EXPECT_FALSE(s->Pack().IsEmpty()) << "unsent messages must not be thrown away";
}

// ---- Routing through root slots ----------------------------------------------------------

struct RoutedTree {
    RecordingDisp disp;
    CPult* pult = nullptr;
    CSlot* head = nullptr;  // UM 1 slot 0, heads the link to UM 2
    CSlot* far = nullptr;   // UM 2 slot 3, the partner
    CDev* dev = nullptr;    // on the far slot
};

void BuildRouted(RoutedTree& r) {
    auto p = std::make_unique<CPult>(1);
    r.pult = p.get();
    r.pult->SetOwn(1, 15);
    ASSERT_EQ(r.disp.PultTab().Insert(std::move(p)), 1);
    CUM* near = AddUM(r.pult, 1);
    r.head = AddSlot(near, 0, 2);
    r.head->SetLinkTo(2, 3);
    CUM* farUM = AddUM(r.pult, 2);
    r.far = AddSlot(farUM, 3, 3);
    r.dev = AddDev(r.far, 7);
}

TEST(StructureRouting, SlotsOfAnotherUMSendThroughTheirRootSlot) {
    RoutedTree r;
    BuildRouted(r);
    ASSERT_TRUE(r.pult->Route());
    EXPECT_EQ(r.pult->UMTab().RootSlot(2), r.head);
    EXPECT_EQ(r.far->SendingSlot(), r.head);
    EXPECT_EQ(r.head->SendingSlot(), r.head) << "the console's own UM sends itself";

    ASSERT_EQ(r.dev->AddMes(LuNvramReadRequest()), 1);
    EXPECT_TRUE(r.far->Pack().IsEmpty());
    EXPECT_FALSE(r.head->Pack().IsEmpty());
    ASSERT_EQ(r.dev->Put(), 1);
    ASSERT_EQ(r.disp.sent.size(), 1u);
    const auto mes = RecordingDisp::Messages(r.disp.sent[0].pack);
    ASSERT_EQ(mes.size(), 1u);
    EXPECT_EQ(mes[0].destNode, 2) << "routing changes the carrier, not the address";
    EXPECT_EQ(mes[0].destSub, 3);
    EXPECT_EQ(mes[0].origNode, 1);

    // Without routing every slot carries its own messages.
    r.pult->SetRoute(false);
    EXPECT_EQ(r.far->SendingSlot(), r.far);
    ASSERT_EQ(r.dev->AddMes(LuNvramReadRequest()), 1);
    EXPECT_FALSE(r.far->Pack().IsEmpty());
}

TEST(StructureRouting, ABrokenOrCircularRouteQueuesNothingAndEnds) {
    RoutedTree r;
    BuildRouted(r);
    // UM 4 has no slot that reaches it.
    CSlot* island = AddSlot(AddUM(r.pult, 4), 0, CSlot::slotLine);
    CDev* lost = AddDev(island, 1);
    EXPECT_EQ(island->SendingSlot(), nullptr);
    EXPECT_EQ(lost->AddMes(LuNvramReadRequest()), 0);
    EXPECT_EQ(lost->Put(), 0);

    // UM 2 and UM 5 each reach the other, and neither is the console's own.
    CSlot* loopA = AddSlot(r.pult->FindUM(2), 1, 5);
    loopA->SetLinkTo(5, 0);
    CSlot* loopB = AddSlot(AddUM(r.pult, 5), 0, 5);
    loopB->SetLinkTo(2, 1);
    r.head->SetLinkTo(9, 9);  // the console's UM no longer reaches UM 2
    EXPECT_EQ(r.far->SendingSlot(), nullptr);
    EXPECT_EQ(r.dev->AddMes(LuNvramReadRequest()), 0);
    EXPECT_TRUE(r.disp.sent.empty());
}

// ---- Line links --------------------------------------------------------------------------

TEST(StructureLinks, EveryHeadKindGetsItsPartnerKindOnBothEnds) {
    const std::vector<std::pair<int, int>> pairs = {{2, 3},  {18, 19}, {5, 6},   {7, 8},
                                                    {9, 10}, {12, 13}, {14, 15}, {16, 17}};
    for (const auto& [head, partner] : pairs) {
        RecordingDisp disp;
        Tree t = BuildOne(disp, 1, 2, 3, 4);
        t.slot->SetTyp(static_cast<CSlot::typSlot>(head));
        t.slot->SetLinkTo(6, 11);
        t.pult->UMTab().SetLink();

        CSlot* p = t.pult->UMTab().FindBlok(6, 11);
        ASSERT_NE(p, nullptr) << head;
        EXPECT_EQ(p->Typ(), partner) << head;
        EXPECT_EQ(p->UM()->Pult(), t.pult);
        EXPECT_EQ(p->LinkUM(), 2);
        EXPECT_EQ(p->LinkSlot(), 3);
        EXPECT_NE(p->LinkNet().Find(2, 3), nullptr);
        EXPECT_NE(t.slot->LinkNet().Find(6, 11), nullptr);
        EXPECT_EQ(t.slot->Typ(), head) << "the head keeps its kind";
    }
    // Kinds that head nothing, partner kinds included.
    for (int k : {0, 1, 3, 4, 6, 11, 19, 20}) EXPECT_EQ(CSlot::PartnerType(k), -1) << k;
}

TEST(StructureLinks, AnExistingPartnerIsRetypedAndASecondPassChangesNothing) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 1, 2, 3, 4);
    t.slot->SetTyp(static_cast<CSlot::typSlot>(7));
    t.slot->SetLinkTo(2, 9);
    CSlot* partner = AddSlot(t.um, 9, CSlot::slotLine);
    CDev* onPartner = AddDev(partner, 1);

    t.pult->UMTab().SetLink();
    EXPECT_EQ(partner->Typ(), 8);
    EXPECT_EQ(partner->FindDev(1), onPartner) << "the partner is retyped, not replaced";
    EXPECT_EQ(t.um->SlotTab().Count(), 2);

    t.pult->UMTab().SetLink();
    EXPECT_EQ(t.pult->UMTab().Count(), 1);
    EXPECT_EQ(t.um->SlotTab().Count(), 2);
    EXPECT_EQ(partner->LinkNet().Count(), 1);
    EXPECT_EQ(t.slot->LinkNet().Count(), 1);
}

TEST(StructureLinks, LineSlotsSelfLinksAndPartnersThatHeadALinkAreLeftAlone) {
    RecordingDisp disp;
    Tree t = BuildOne(disp, 1, 2, 3, 4);
    t.slot->SetLinkTo(8, 8);
    t.pult->UMTab().SetLink();
    EXPECT_EQ(t.pult->UMTab().Count(), 1) << "a line slot links nothing";
    EXPECT_EQ(t.um->SlotTab().Count(), 1);
    EXPECT_EQ(t.slot->LinkNet().Count(), 0);

    t.slot->SetTyp(static_cast<CSlot::typSlot>(2));
    t.slot->SetLinkTo(2, 5);
    CSlot* other = AddSlot(t.um, 5, 18);
    other->SetLinkTo(4, 1);
    CSlot* self = AddSlot(t.um, 6, 9);
    self->SetLinkTo(2, 6);

    t.pult->UMTab().SetLink();
    EXPECT_EQ(other->Typ(), 18) << "retyping it would break its own link";
    EXPECT_EQ(self->Typ(), 9);
    EXPECT_EQ(self->LinkNet().Count(), 0);
    // The other head still gets its partner.
    CSlot* p = t.pult->UMTab().FindBlok(4, 1);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->Typ(), 19);
}

}  // namespace
