// Every check a datagram passes on its way into the tool, fed to the endpoint without a socket. The
// outcome is what the link told the outside (reports, events, offers), then "ident" when the
// packet's ident was taken up to be acknowledged, and "moved to" the unit's new port.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "ScriptedPeerUtil.h"
#include "utilities.h"

namespace {

std::vector<std::wstring> Feed(LinkRig& rig, CPackV7 p, int port) {
    const std::size_t idents = rig.send.Replies().Size(), earlier = rig.rec.Lines().size();
    unsigned char out[CPackV7::kBufSize];
    const int n = p.ChanCod(out, sizeof out, LinkKey());
    rig.receiv.Receive(out, n, LocalHostIPv6(), port);
    std::vector<std::wstring> lines = rig.rec.Lines();
    lines.erase(lines.begin(), lines.begin() + static_cast<std::ptrdiff_t>(earlier));
    EXPECT_EQ(rig.input.Size(),
              static_cast<std::size_t>(std::count(lines.begin(), lines.end(), kPackV7Received)));
    if (rig.send.Replies().Size() > idents) lines.push_back(L"ident");
    if (rig.send.GetPort() != 5000) lines.push_back(L"moved to " + std::to_wstring(rig.send.GetPort()));
    return lines;
}

// The unit's packet 9 came earlier from port.
void EarlierFrom(LinkRig& rig, int port) {
    Feed(rig, PeerPacket(kUnit, kTool, 9), port);
    rig.input.Clear();
}

const CIdentV7 kStranger(222222, 0);
const std::wstring kFrom = L" ::1|5000 ";
const std::wstring kUnknown = L"Receive pack form unknown device 222222.0 from address " + kFrom +
                              L" 04 01 00 00 0E 64 03 00 4E 61 BC 00 00";

struct Case {
    const char* name;
    std::function<void(LinkRig&)> setup;
    CPackV7 packet;
    std::vector<std::wstring> outcome;
    int port = 5000;
};

const Case kCases[] = {
    {"the unit's packet", nullptr, PeerPacket(kUnit, kTool, 1), {kPackV7Received, L"ident"}},
    {"a repeat", [](LinkRig& r) { EarlierFrom(r, 5000); }, PeerPacket(kUnit, kTool, 9), {}},
    {"for another device of the tool's node",
     nullptr,
     PeerPacket(kUnit, CIdentV7(kTool.GetNode(), 3), 1),
     {L"ident"}},
    {"while no window listens",
     [](LinkRig& r) { r.events.Remove(); },
     PeerPacket(kUnit, kTool, 1),
     {L"ident"}},
    {"from an unknown unit", nullptr, PeerPacket(kStranger, kTool, 1), {L"offered 222222.0", kUnknown}},
    {"for someone else",
     nullptr,
     PeerPacket(kUnit, CIdentV7(777777, 0), 1),
     {L"Not known recipient: 123456.0 -> 777777.0 from IP " + kFrom}},
    {"not under the party's own key",
     [](LinkRig& r) { r.send.SetKey(LinkKey(true)); },
     PeerPacket(kUnit, kTool, 1),
     {L"! LU 123456.0 - key does not match the key in the communication parameters with this LU, data is "
      L"ignored"}},
    {"from elsewhere than the party's fixed address",
     [](LinkRig& r) { r.send.SetFixedAddress(true), r.send.SetAddress(IP6FromStr("127.0.0.1"), 5000); },
     PeerPacket(kUnit, kTool, 1),
     {L"! Receive data from device 123456.0 from IP ::1, device have IP ::ffff:127.0.0.1"}},
    {"from the tool's own identity",
     [](LinkRig& r) { r.receiv.SetIdent(CIdentV7(kUnit.GetNode(), 5)); },
     PeerPacket(kUnit, CIdentV7(kUnit.GetNode(), 5), 1),
     {L"Data from own Ident 123456.0->123456.5 - " + kFrom}},
    {"back too soon after a move",
     [](LinkRig& r) { EarlierFrom(r, 6000); },
     PeerPacket(kUnit, kTool, 1),
     {L"! New IP:port from device 123456.0 " + kFrom +
          L" exist ::1|6000 - ignored, because time from previous < 3 sec",
      kPackV7Received, L"ident", L"moved to 6000"}},
    {"back once the guard time is over",
     [](LinkRig& r) { r.receiv.SetAddrChangeGuard(0), EarlierFrom(r, 6000); },
     PeerPacket(kUnit, kTool, 1),
     {L"! Changed IP:port for device 123456.0 - new " + kFrom + L" old ::1|6000", kPackV7Received, L"ident"}},
};

TEST(ReceivV7, EveryCheckOfAnIncomingDatagram) {
    for (const Case& c : kCases) {
        LinkRig rig(5000);
        if (c.setup) c.setup(rig);
        EXPECT_EQ(Feed(rig, c.packet, c.port), c.outcome) << c.name;
    }
}

}  // namespace
