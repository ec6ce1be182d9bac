#include "FuzzLinks.h"

#include "FuzzSupport.h"
#include "Pack.h"
#include "PackDisp.h"
#include "PackV7.h"

// ---- V7 -----------------------------------------------------------------------------------

const CIdentV7 FuzzV7Endpoint::kOwn(10000001, 0);
const CIdentV7 FuzzV7Endpoint::kUnit(1234, 0);
const in6_addr FuzzV7Endpoint::kUnitAddress = {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 192, 0, 2, 1}}};

FuzzV7Endpoint::FuzzV7Endpoint(const FuzzV7Setup& setup)
    : CReceivV7(nullptr), m_Unit(*this), m_RelayDecoder(setup.relayDecoder) {
    SetIdent(kOwn);
    SetKey(FuzzLinkKey());
    m_Unit.SetRemoteIdent(kUnit);
    m_Unit.SetAddress(kUnitAddress, kUnitPort);
    m_Unit.SetRelayAddress(kUnitAddress, kUnitPort + 1);
    if (setup.ownKey) m_Unit.SetKey(FuzzOtherKey());
    m_Unit.SetViaRelay(setup.viaRelay);
    m_Unit.SetFixedAddress(setup.fixedAddress);
    m_Unit.SetDisabled(setup.disabled);
}

FuzzV7Endpoint::~FuzzV7Endpoint() {
    Stop();
}

CSendV7* FuzzV7Endpoint::GetSend(const CIdentV7& ident) {
    const bool none = ident.GetNode() == 0 && ident.GetDev() == 0;
    return ident == kUnit || none ? &m_Unit : nullptr;
}

void FuzzV7Endpoint::HandlingData(const CPackV7& pack, const CSendV7* sender) {
    // Whatever the datagram said, only a packet for this endpoint from a working link gets
    // this far.
    FUZZ_CHECK(sender == &m_Unit && !m_Unit.IsDisabled());
    FUZZ_CHECK(pack.GetDest() == kOwn);
    ++m_Delivered;
    ReadV7Packet(pack);
}

bool FuzzV7Endpoint::ChanDecod(const unsigned char* in, int n, CPackV7& pack, CKeySys& key, bool& viaRelay) {
    if (!m_RelayDecoder || !pack.ChanCloudProDecod(in, n, key)) return false;
    viaRelay = true;
    return true;
}

// ---- Disp ---------------------------------------------------------------------------------

FuzzDispLink::FuzzDispLink(int room) : CSendDisp(nullptr, in6addr_loopback, 5000, 1, nullptr), m_Room(room) {}

FuzzDispLink::~FuzzDispLink() {
    Halt();
}

int FuzzDispLink::Send(const unsigned char* data, int n, const in6_addr&, int) {
    CPackDisp back;
    back.Decoding(data, n, &FuzzDispCipher());
    FUZZ_CHECK(back.valid);
    return n;
}

void FuzzDispLink::HandlingData(CPackDisp& p) {
    ++m_Handled;
    CMesDisp m;
    p.BegGet();
    while (p.GetMes(m)) {
        ReadDispMessage(m, m_Room);
        int source = 0, n = 0;
        unsigned char bytes[255];
        if (!m.Parse_Msg(source, n, bytes, static_cast<int>(sizeof bytes))) continue;
        CPackMes line(n, bytes, 255);
        line.UnPack();  // the window unpacks what it takes from the queue once more
        ReadLinePacket(line);
    }
}
