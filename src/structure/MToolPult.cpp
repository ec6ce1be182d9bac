#include "MToolPult.h"

#include <netinet/in.h>

#include <memory>

#include "Dev.h"
#include "PackDisp.h"
#include "PackV7.h"
#include "Pult.h"
#include "Slot.h"
#include "Um.h"
#include "Xml.h"

MToolPult::MToolPult(ToolContext& context) : m_Context(context) {}

MToolPult::~MToolPult() = default;

bool MToolPult::IsDirect() const {
    return m_Context.v7Id >= 1;
}

bool MToolPult::Connect() {
    ToolContext& c = m_Context;
    // A second Connect starts from an empty tree again: the tool services one unit.
    m_Dev = nullptr;
    PultTab().Clear();
    try {
        auto pultRecord = std::make_unique<CPult>(c.pultNum);
        CPult* pult = pultRecord.get();
        // Every slot sends its own messages: there is no root slot to route through.
        pult->SetRoute(false);
        pult->SetDisp(this);
        PultTab().Insert(std::move(pultRecord));

        auto umRecord = std::make_unique<CUM>(c.umNum, pult);
        CUM* um = umRecord.get();
        pult->UMTab().Insert(std::move(umRecord));

        auto slotRecord = std::make_unique<CSlot>(c.slotNum, um, CSlot::slotLine, nullptr);
        CSlot* slot = slotRecord.get();
        um->SlotTab().Insert(std::move(slotRecord));

        auto devRecord = std::make_unique<CDev>(c.devAddr, slot, CDev::devNone, nullptr);
        m_Dev = devRecord.get();
        slot->DevTab().Insert(std::move(devRecord));

        pult->UMTab().SetLink();

        if (IsDirect()) {
            c.receivV7.Start();
            c.sendV7.Start();
            c.proLog.Open("C", "log");
        } else {
            c.sendDisp.SetAcceptance(c.codLift, c.pultNum, !IN6_IS_ADDR_UNSPECIFIED(&c.utilAddr));
            c.receivDisp.Start();
            c.sendDisp.Start();
            c.dispLog.Open("C", "log");
        }
        pult->SetOwn(kOwnNode, kOwnSub);
        return true;
    } catch (const ErrorXML& e) {
        Disconnect();
        if (!e.Text().empty()) c.badLog.PutErr(e.Text().c_str(), e.Number(), false);
        return false;
    }
}

void MToolPult::Disconnect() {
    ToolContext& c = m_Context;
    // The traffic log closes last, so the close-link datagrams the sender still sends are
    // in it too.
    if (IsDirect()) {
        c.sendV7.Stop();
        c.receivV7.Stop();
        c.proLog.Close();
    } else {
        c.sendDisp.Stop();
        c.receivDisp.Stop();
        c.dispLog.Close();
    }
}

void MToolPult::Put(CPult* /*pult*/, CPackMes& pack) {
    ToolContext& c = m_Context;
    if (IsDirect()) {
        pack.BegGet();
        CMes m;
        while (pack.GetMes(m)) {
            CPackV7 p(m);
            c.sendV7.Put(p);
        }
        return;
    }
    CMesDisp mes;
    const int target = IN6_IS_ADDR_UNSPECIFIED(&c.utilAddr) ? c.codLift : c.pultNum;
    if (mes.Create_SendMsg(target, kSendMsgLinePacket, pack.len, pack.buf)) c.sendDisp.SendMes(mes);
}

ToolContext::ToolContext()
    : pult(*this),
      pool(&badLog),
      receivDisp(&pool, sendDisp, badLog),
      sendDisp(&pool, receivDisp, inpMes, dispLog, badLog, events),
      sendV7(&pool, receivV7, proLog, badLog, events),
      receivV7(&pool, sendV7, inpV7, proLog, badLog, events) {}

ToolContext::~ToolContext() {
    events.Remove();
    receivV7.Stop();
    sendV7.StopOnly();
    // The sender's CloseLink still needs the receiver's socket.
    sendDisp.Stop();
    receivDisp.Stop();
    pool.Stop();
}

void ToolContext::ResetSettings() {
    pultNum = -1;
    umNum = 0;
    slotNum = -1;
    devAddr = 0;
    codLift = 0;
    utilPort = 0;
    utilAddr = in6_addr{};
    v7Id = 0;
    v7Addr = in6_addr{};
    v7Port = 0;
    keyText = DBString();
}
