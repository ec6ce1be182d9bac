// The V7 packet: the header layout of every builder, the CRCs, and both codings against
// datagrams worked out from the coding rules alone, outside this program.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <vector>

#include "Mes.h"
#include "PackV7.h"

namespace {

using Bytes = std::vector<unsigned char>;

// The default link key, 5A3C91E07B2D46F8A1C39E5D7024B6F1.
const unsigned char kKey[16] = {0x5A, 0x3C, 0x91, 0xE0, 0x7B, 0x2D, 0x46, 0xF8,
                                0xA1, 0xC3, 0x9E, 0x5D, 0x70, 0x24, 0xB6, 0xF1};
// Tool 12345678.0 and LU 123456.0: on the wire 00 4E 61 BC and 00 40 E2 01.
const CIdentV7 kTool(12345678, 0), kLU(123456, 0);
const unsigned char kUnits[8] = {0x3F, 0x0F, 0x01, 0x02, 0x00, 0x3A, 0x00, 0x2F};  // a type-58 request
// Ident 5, acknowledging 3, with the units above; its CRC-16 is E7A1.
const Bytes kMesPacket = {0x04, 0x05, 0x03, 0x00, 0x4E, 0x61, 0xBC, 0x00, 0x40, 0xE2, 0x01,
                          0x00, 0x01, 0x09, 0x3F, 0x0F, 0x01, 0x02, 0x00, 0x3A, 0x00, 0x2F};
const Bytes kAckPacket = {0x04, 0x00, 0x05, 0x00, 0x40, 0xE2, 0x01, 0x00, 0x4E, 0x61, 0xBC, 0x00, 0x00};

Bytes Buf(const CPackV7& p) {
    return Bytes(p.GetBuf(), p.GetBuf() + p.GetLength());
}

CPackV7 MesPacket() {
    CPackV7 p(CMes(8, kUnits));
    p.SetID(kTool, kLU);
    p.SetIdent(5);
    p.AddRepl(3);
    return p;
}

TEST(PackV7, CrcCheckValuesAndTheSubstitutionTable) {
    const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(CPackV7::CalcCrc16(digits, 9), 0x31C3);  // CRC-16/XMODEM's published check value
    EXPECT_EQ(CPackV7::CalcCrc(digits, 9), 0x29);
    const unsigned char* t = CPackV7::CrcTable();
    // 0x80 shifted eight times under 0x43, by hand: 43 86 4F 9E 7F FE BF 3D.
    EXPECT_EQ(Bytes({t[0], t[1], t[2], t[3], t[0x80], t[0xFF]}), Bytes({0x00, 0x43, 0x86, 0xC5, 0x3D, 0x17}));
}

// Every builder writes the header from the fields set before it; at its limit it gives the
// longest packet, and one byte more is refused and changes nothing.
TEST(PackV7, BuildersLayOutHeaderAndPayloadUpToTheirLimits) {
    const Bytes data(1010, 0xAA);
    const auto* d = data.data();
    auto head = [](int cls, int type, Bytes tail) {
        tail.insert(tail.begin(), {static_cast<unsigned char>(cls), 9, 4, 0, 0x4E, 0x61, 0xBC, 0, 0x40, 0xE2,
                                   0x01, 0, static_cast<unsigned char>(type)});
        return tail;
    };
    using Build = std::function<int(CPackV7&, int)>;
    const std::tuple<Build, int, Bytes, int> cases[] = {
        {[&](CPackV7& p, int n) { return p.SetLink(CPackV7::typCloseLink, d, n); }, 2,
         head(3, 4, {0xAA, 0xAA}), 1009},
        {[&](CPackV7& p, int n) { return p.SetData(CPackV7::typPack(20), d, n); }, 1, head(4, 20, {0xAA}),
         1008},
        {[&](CPackV7& p, int n) {
             return p.SetAsk(CPackV7::typAsk3, CPackV7::askRestart, CPackV7::dirRequest, d, n);
         },
         0, head(4, 3, {0x82}), 1008},
        {[&](CPackV7& p, int n) {
             // An ask byte to put the data behind, the first time.
             if (p.GetLength() < 14)
                 p.SetAsk(CPackV7::typAsk4, CPackV7::typAsk(1), CPackV7::dirRequest, nullptr, 5);
             return p.SetAskData(d, n);
         },
         2, head(4, 4, {0x81, 0xAA, 0xAA}), 1008},
        {[&](CPackV7& p, int) { return p.SetMes(CMes(2, kUnits)); }, 0, head(4, 1, {0x03, 0x3F, 0x0F}), -1},
    };
    for (const auto& [build, n, bytes, limit] : cases) {
        CPackV7 p;
        p.SetID(kTool, kLU);
        p.SetIdent(9);
        p.AddRepl(4);
        ASSERT_EQ(build(p, n), 1);
        EXPECT_EQ(Buf(p), bytes);
        if (limit < 0) continue;
        EXPECT_EQ(build(p, limit + 1), 0) << limit;
        EXPECT_EQ(Buf(p), bytes) << limit;
        ASSERT_EQ(build(p, limit), 1) << limit;
        EXPECT_EQ(p.GetLength(), static_cast<int>(bytes.size()) - n + limit) << limit;
    }
}

TEST(PackV7, Readers) {
    CMes m;
    ASSERT_EQ(MesPacket().GetMes(m), 1);
    EXPECT_EQ(Bytes(m.data, m.data + m.len), Bytes(kUnits, kUnits + 8));
    Bytes payload(kMesPacket.begin() + 13, kMesPacket.end());
    payload[0] = 10;  // must be length - 13
    CPackV7 p;
    p.SetData(CPackV7::typMes, payload.data(), static_cast<int>(payload.size()));
    EXPECT_EQ(p.GetMes(m) + m.len, 0) << "refused, and the message left empty";
    EXPECT_FALSE(CPackV7(CMes(3, kUnits)).IsValid()) << "too short for a message";
    // type, ask, direction -> 2 for loudspeaker switching + 1 for restart
    for (const auto& [type, ask, dir, is] :
         {std::tuple{3, 65, 1, 2}, {3, 66, 1, 2}, {3, 66, 0, 0}, {3, 67, 1, 0}, {3, 2, 1, 1}, {4, 2, 1, 0}}) {
        p.SetAsk(CPackV7::typPack(type), CPackV7::typAsk(ask), CPackV7::typDirAsk(dir));
        EXPECT_EQ(p.IsOnOffGGS() * 2 + p.IsRestart(), is) << type << '/' << ask << '/' << dir;
    }
    for (unsigned char b : {1, 2}) EXPECT_EQ(p.SetLink(CPackV7::typRefuse, &b, 1) && p.IsRefuse(), b == 1);
}

// glibc's first rand() after srand(1) is 1804289383: R = 0x67, start index 13. An empty packet:
// the datagram is refused, as is every datagram with one bit or one key bit changed.
const std::pair<Bytes, Bytes> kDatagrams[] = {
    {kMesPacket, {0x5D, 0x76, 0xF6, 0x60, 0xEF, 0x1A, 0x78, 0x0A, 0x36, 0xDF, 0xCA, 0x0D, 0x28,
                  0x52, 0xDA, 0xCA, 0x05, 0x39, 0x2C, 0xF0, 0x92, 0x9D, 0xED, 0x5D, 0x34}},
    {kAckPacket,
     {0xDA, 0xE0, 0x73, 0x7D, 0x7B, 0x99, 0x38, 0x34, 0xE6, 0xDB, 0x3E, 0x0E, 0xE4, 0xF8, 0xA9, 0xD4}},
    // Good CRCs, but class 5, and a 12-byte packet that is never parsed.
    {{}, {0xAD, 0x96, 0x5D, 0xEA, 0x4A, 0x9E, 0x0B, 0xD4, 0x45, 0x3B, 0x19, 0xB0, 0x0E, 0xCC, 0xCB, 0xD5}},
    {{}, {0x86, 0x90, 0xDA, 0xC1, 0xEC, 0xC8, 0xBA, 0xA0, 0xDF, 0xC0, 0x5E, 0x8E, 0x80, 0xD6, 0x0C}},
};

TEST(PackV7Link, WorkedDatagramsBothWays) {
    std::srand(1);
    ASSERT_EQ(std::rand() & 0xFF, 0x67) << "the worked datagrams assume glibc's rand()";
    for (const auto& [packet, datagram] : kDatagrams) {
        CPackV7 q = MesPacket();
        const int n = static_cast<int>(datagram.size());
        ASSERT_EQ(q.ChanDecod(datagram.data(), n, kKey), !packet.empty()) << n;
        EXPECT_EQ(Buf(q), packet.empty() ? kMesPacket : packet)
            << "a refused datagram leaves the packet as it was";
        if (packet.empty()) continue;
        unsigned char out[CPackV7::kBufSize];
        std::srand(1);
        EXPECT_EQ(Bytes(out, out + q.ChanCod(out, sizeof out, kKey)), datagram);
        for (int bit = 0; bit < 8 * n; ++bit) {
            Bytes bad = datagram;
            unsigned char key[16];
            std::copy(kKey, kKey + 16, key);
            bad[bit / 8] ^= static_cast<unsigned char>(1 << bit % 8);
            key[bit / 8 % 16] ^= static_cast<unsigned char>(1 << bit % 8);
            EXPECT_FALSE(CPackV7().ChanDecod(bad.data(), n, kKey) ||
                         CPackV7().ChanDecod(datagram.data(), n, key))
                << bit;
        }
    }
}

// Packet, CRC and trailer must fit into the 1024-byte datagram.
TEST(PackV7Link, TheLongestCodablePacketFillsTheDatagram) {
    const Bytes data(1009, 0xC3);
    unsigned char out[CPackV7::kBufSize + 8];
    for (int n : {1008, 1009}) {
        CPackV7 p, q;
        p.SetLink(CPackV7::typMes, data.data(), n);
        const int coded = p.ChanCod(out, sizeof out, kKey);
        EXPECT_EQ(coded, n == 1008 ? 1024 : 0) << n;
        EXPECT_EQ(q.ChanDecod(out, coded, kKey) ? Buf(q) : Bytes{}, n == 1008 ? Buf(p) : Bytes{}) << n;
    }
}

}  // namespace
