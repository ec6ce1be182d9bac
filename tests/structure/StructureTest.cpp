#include <gtest/gtest.h>

#include <algorithm>
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
    std::vector<std::pair<CPult*, CPackMes>> sent;
    void Put(CPult* pult, CPackMes& pack) override { sent.emplace_back(pult, pack); }

    std::vector<CMes> Messages(size_t i) {
        std::vector<CMes> out;
        CPackMes pack = sent.at(i).second;
        pack.BegGet();
        for (CMes m; pack.GetMes(m);) out.push_back(m);
        return out;
    }
};

template <class Tab, class T>
T* Add(Tab& tab, std::unique_ptr<T> r) {
    T* raw = r.get();
    EXPECT_EQ(tab.Insert(std::move(r)), 1);
    return raw;
}
CUM* AddUM(CPult* p, int n) {
    return Add(p->UMTab(), std::make_unique<CUM>(n, p));
}
CSlot* AddSlot(CUM* u, int n, int type = CSlot::slotLine) {
    return Add(u->SlotTab(), std::make_unique<CSlot>(n, u, static_cast<CSlot::typSlot>(type), nullptr));
}
CDev* AddDev(CSlot* s, int addr) {
    return Add(s->DevTab(), std::make_unique<CDev>(addr, s, CDev::devNone, nullptr));
}

// The tool's shape: one console that sends its own slots' messages, one UM, slot, device.
struct Tree {
    RecordingDisp disp;
    CPult* pult;
    CUM* um;
    CSlot* slot;
    CDev* dev;
    Tree(int pultNo, int umNo, int slotNo, int addr) {
        pult = Add(disp.PultTab(), std::make_unique<CPult>(pultNo));
        pult->SetRoute(false);
        pult->SetOwn(255, 15);
        um = AddUM(pult, umNo);
        slot = AddSlot(um, slotNo);
        dev = AddDev(slot, addr);
    }
};

TEST(StructureTables, OneRecordPerNumberHungUnderTheTablesOwner) {
    Tree t(3, 7, 2, 5);
    auto pult = std::make_unique<CPult>(3);
    auto um = std::make_unique<CUM>(7, t.pult);
    auto slot = std::make_unique<CSlot>(2, t.um, CSlot::slotLine, nullptr);
    auto dev = std::make_unique<CDev>(5, t.slot, CDev::devLB14, nullptr);
    EXPECT_EQ(t.disp.PultTab().Insert(std::move(pult)) + t.pult->UMTab().Insert(std::move(um)) +
                  t.um->SlotTab().Insert(std::move(slot)) + t.slot->DevTab().Insert(std::move(dev)),
              0);
    EXPECT_TRUE(pult && um && slot && dev) << "a refused record stays with the caller";
    EXPECT_EQ(t.slot->DevTab().Count(), 1);
    EXPECT_EQ(t.slot->FindDev(5)->Typ(), CDev::devNone) << "and the first stays in the table";

    // Records built for another parent are hung under the table's owner on insertion.
    CUM stray(9, nullptr);
    CUM* u = Add(t.pult->UMTab(), std::make_unique<CUM>(4, nullptr));
    CSlot* s = Add(u->SlotTab(), std::make_unique<CSlot>(2, &stray, CSlot::slotLine, nullptr));
    CDev* d = Add(s->DevTab(), std::make_unique<CDev>(3, AddSlot(&stray, 1), CDev::devNone, nullptr));
    EXPECT_TRUE(t.pult->Disp() == &t.disp && u->Pult() == t.pult && s->UM() == u && d->Slot() == s);
}

TEST(StructureTables, LookUpsDescendAndStopAtTheFirstMissingLevel) {
    Tree t(2, 10, 4, 33);
    CSlot* second = AddSlot(t.um, 5);
    CDev* other = AddDev(second, 33);
    EXPECT_EQ(t.pult->UMTab().FindDev(10, 5, 33), other) << "the same address in another slot";
    EXPECT_EQ(t.pult->UMTab().FindBlok(10, 4), t.slot);
    EXPECT_EQ(t.disp.FindBlok(2, 10, 5), second);
    EXPECT_EQ(t.disp.FindDev(2, 10, 4, 33), t.dev);
    const int missing[][4] = {{1, 10, 4, 33}, {2, 11, 4, 33}, {2, 10, 6, 33}, {2, 10, 4, 34}};
    for (const auto& m : missing) {
        EXPECT_EQ(t.disp.FindDev(m[0], m[1], m[2], m[3]), nullptr) << m[0] << m[1] << m[2] << m[3];
        EXPECT_EQ(t.pult->UMTab().FindDev(m[1], m[2], m[3]), m[0] == 1 ? t.dev : nullptr) << m[1] << m[2];
    }
}

TEST(StructureMessages, ADeviceMessageCarriesTheConsoleAndSlotAddressesToTheRoot) {
    Tree t(4, 23, 6, 17);
    const unsigned char payload[] = {1, 2, 3};
    ASSERT_EQ(t.dev->AddMes(8, CMes::mesDevAsk, CMes::askLbNVRAM, payload, 3, -1), 1);
    EXPECT_TRUE(t.disp.sent.empty()) << "adding only queues";
    ASSERT_EQ(t.dev->Put(), 1);
    EXPECT_EQ(t.disp.sent.at(0).first, t.pult);
    EXPECT_EQ(t.disp.sent[0].second.prior, 8);
    const CMes m = t.disp.Messages(0).at(0);
    EXPECT_EQ(std::vector<int>({m.origNode, m.origSub, m.destNode, m.destSub, m.dev, m.typ, m.ask, m.len}),
              std::vector<int>({255, 15, 23, 6, 17, CMes::mesDevAsk, CMes::askLbNVRAM, 11}));
    EXPECT_EQ(std::vector<int>({m[2], m[3], m[4]}), std::vector<int>({1, 2, 3}));
    EXPECT_TRUE(t.slot->Pack().IsEmpty()) << "a sent packet is cleared";
    EXPECT_EQ(t.dev->Put(), 0) << "an empty packet is not sent";
}

TEST(StructureMessages, ASlotsMessagesShareAPacketAndAFullOneGoesFirst) {
    Tree t(1, 2, 3, 4);
    CDev* second = AddDev(t.slot, 9);
    ASSERT_EQ(t.dev->AddMes(LuNvramReadRequest()), 1);
    ASSERT_EQ(second->AddMes(LuDevParamsRequest()), 1);
    ASSERT_EQ(t.dev->AddMes(kLuPriorWrite, CMes::sub18Restart, nullptr, 0), 1);
    ASSERT_EQ(second->Put(), 1);
    EXPECT_EQ(t.disp.sent.at(0).second.prior, kLuPriorWrite) << "the last message's priority wins";
    std::vector<int> got;
    for (const CMes& m : t.disp.Messages(0)) got.insert(got.end(), {m.dev, m.ask});
    EXPECT_EQ(got, std::vector<int>({4, CMes::askLbNVRAM, 9, CMes::askDevParam, 4, CMes::askRestart}));

    // 1 address byte + 2 x (1 + 28 units) = 59 bytes: the packet is full.
    const unsigned char payload[20] = {};
    ASSERT_EQ(t.dev->AddMes(5, CMes::mesDevAsk, CMes::askLbNVRAM, payload, 20, -1), 1);
    ASSERT_EQ(t.dev->AddMes(5, CMes::mesDevAsk, CMes::askLbNVRAM, payload, 20, -1), 1);
    EXPECT_EQ(t.disp.sent.size(), 1u);
    ASSERT_EQ(t.dev->AddMes(9, CMes::mesDevAsk, CMes::askRestart, nullptr, 0, -1), 1);
    ASSERT_EQ(t.disp.sent.size(), 2u) << "the full packet goes out before the new message";
    EXPECT_EQ(t.disp.Messages(1).size(), 2u);
    EXPECT_EQ(t.disp.sent[1].second.prior, 5) << "the full packet keeps its own priority";
    ASSERT_EQ(t.dev->Put(), 1);
    EXPECT_EQ(t.disp.sent.at(2).second.prior, 9) << "the emptied packet must not lose the new priority";
    EXPECT_EQ(t.disp.Messages(2).at(0).ask, CMes::askRestart);
}

TEST(StructureMessages, WhatCannotTravelIntactIsRefusedAndNothingIsQueued) {
    Tree t(1, 2, 3, 100);
    const unsigned char big[60] = {};
    CDev* high = AddDev(t.slot, 200);           // would arrive as device 72 with another sub-address
    CDev* wide = AddDev(AddSlot(t.um, 16), 1);  // a slot beyond the 4-bit sub-address
    CDev loose(1, nullptr, CDev::devNone, nullptr);
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, big, 55, -1), 0);
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 3, -1), 0);
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, big, -1, -1), 0);
    EXPECT_EQ(t.dev->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, big, 54, 7), 0) << "with the tail";
    EXPECT_EQ(t.dev->AddMes(1, CMes::sub18Restart, big, 42), 0);
    EXPECT_EQ(high->AddMes(1, CMes::mesDevAsk, CMes::askLbNVRAM, nullptr, 0, -1), 0);
    EXPECT_EQ(high->AddMes(LuRestartRequest()), 0);
    EXPECT_EQ(high->AddMes(1, CMes::sub18Restart, nullptr, 0), 0);
    EXPECT_EQ(wide->AddMes(LuNvramReadRequest()), 0);
    EXPECT_EQ(loose.AddMes(LuNvramReadRequest()), 0);
    EXPECT_EQ(loose.Put(), 0);
    EXPECT_EQ(t.dev->Put() + wide->Put(), 0);
    EXPECT_TRUE(t.disp.sent.empty());

    // A console without a root has nowhere to send, and keeps what was queued.
    CPult pult(1);
    pult.SetRoute(false);
    CDev* orphan = AddDev(AddSlot(AddUM(&pult, 3), 1), 5);
    ASSERT_EQ(orphan->AddMes(LuNvramReadRequest()), 1);
    EXPECT_EQ(orphan->Put(), 0);
    EXPECT_FALSE(orphan->Slot()->Pack().IsEmpty());
}

// The tool's console sends every slot's messages itself; a routing console, one sample.
TEST(StructureRouting, SlotsOfAnotherUMSendThroughTheirRootSlotOrNotAtAll) {
    Tree t(1, 1, 0, 3);
    t.pult->SetRoute(true);
    t.pult->SetOwn(1, 15);
    t.slot->SetTyp(static_cast<CSlot::typSlot>(2));
    t.slot->SetLinkTo(2, 3);
    CDev* far = AddDev(AddSlot(AddUM(t.pult, 2), 3, 3), 7);
    CDev* lost = AddDev(AddSlot(AddUM(t.pult, 4), 0), 1);  // no slot reaches UM 4
    EXPECT_EQ(far->Slot()->SendingSlot(), t.slot);
    ASSERT_EQ(far->AddMes(LuNvramReadRequest()) + t.dev->Put() + lost->AddMes(LuNvramReadRequest()), 2);
    const CMes m = t.disp.Messages(0).at(0);
    EXPECT_EQ(std::vector<int>({m.origNode, m.destNode, m.destSub, m.dev}), std::vector<int>({1, 2, 3, 7}))
        << "routing changes the carrier, not the address";
}

TEST(StructureLinks, EveryHeadKindGetsItsPartnerKindOnBothEnds) {
    const int pairs[][2] = {{2, 3}, {18, 19}, {5, 6}, {7, 8}, {9, 10}, {12, 13}, {14, 15}, {16, 17}};
    for (const auto& [head, partner] : pairs) {
        Tree t(1, 2, 3, 4);
        t.slot->SetTyp(static_cast<CSlot::typSlot>(head));
        t.slot->SetLinkTo(6, 11);
        t.pult->UMTab().SetLink();
        CSlot* p = t.pult->UMTab().FindBlok(6, 11);
        ASSERT_NE(p, nullptr) << head;
        EXPECT_EQ(std::vector<int>({p->Typ(), p->LinkUM(), p->LinkSlot(), t.slot->Typ()}),
                  std::vector<int>({partner, 2, 3, head}));
        EXPECT_EQ(p->UM()->Pult(), t.pult);
        EXPECT_TRUE(p->LinkNet().Find(2, 3) && t.slot->LinkNet().Find(6, 11)) << head;
    }
    for (int k : {0, 1, 3, 4, 6, 11, 19, 20}) EXPECT_EQ(CSlot::PartnerType(k), -1) << k;
}

TEST(StructureLinks, TheToolsLineSlotLinksNothingAndAnExistingPartnerIsRetypedOnce) {
    Tree t(1, 2, 3, 4);
    t.slot->SetLinkTo(8, 8);
    t.pult->UMTab().SetLink();
    EXPECT_EQ(t.pult->UMTab().Count() + t.um->SlotTab().Count() + t.slot->LinkNet().Count(), 2);
    t.slot->SetTyp(static_cast<CSlot::typSlot>(7));
    t.slot->SetLinkTo(2, 9);
    CDev* onPartner = AddDev(AddSlot(t.um, 9), 1);
    for (int pass = 0; pass < 2; ++pass) t.pult->UMTab().SetLink();
    EXPECT_EQ(onPartner->Slot()->Typ(), 8);
    EXPECT_EQ(onPartner->Slot()->LinkNet().Count() + t.slot->LinkNet().Count(), 2)
        << "a second pass adds nothing";
}

}  // namespace
