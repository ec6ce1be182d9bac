#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "Idea.h"
#include "KeySys.h"
#include "Mes.h"
#include "PackV7.h"

#ifdef TOLVANE_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

using Bytes = std::vector<unsigned char>;

// The default link key, 5A3C91E07B2D46F8A1C39E5D7024B6F1.
const unsigned char kKey[16] = {0x5A, 0x3C, 0x91, 0xE0, 0x7B, 0x2D, 0x46, 0xF8,
                                0xA1, 0xC3, 0x9E, 0x5D, 0x70, 0x24, 0xB6, 0xF1};

// Tool 12345678.0 and LU 123456.0: on the wire 00 4E 61 BC and 00 40 E2 01.
const CIdentV7 kTool(12345678, 0);
const CIdentV7 kLU(123456, 0);

// A type-58 request as raw 6-bit units.
const unsigned char kUnits[8] = {0x3F, 0x0F, 0x01, 0x02, 0x00, 0x3A, 0x00, 0x2F};

// The message packet of the worked datagrams below: ident 5, acknowledging 3.
const Bytes kMesPacket = {0x04, 0x05, 0x03,        // class, ident, repl
                          0x00, 0x4E, 0x61, 0xBC,  // source 12345678.0
                          0x00, 0x40, 0xE2, 0x01,  // destination 123456.0
                          0x00, 0x01,              // reserved, type
                          0x09,                    // units + 1
                          0x3F, 0x0F, 0x01, 0x02, 0x00, 0x3A, 0x00, 0x2F};
const unsigned char kMesCrcLow = 0xA1, kMesCrcHigh = 0xE7;

// glibc's first rand() after srand(1) is 1804289383: R = 0x67, start index 13. The
// datagrams were worked out from the coding rules alone, outside this program.
constexpr unsigned kSeed = 1;
const Bytes kMesDatagram = {0x5D, 0x76, 0xF6, 0x60, 0xEF, 0x1A, 0x78, 0x0A, 0x36, 0xDF, 0xCA, 0x0D, 0x28,
                            0x52, 0xDA, 0xCA, 0x05, 0x39, 0x2C, 0xF0, 0x92, 0x9D, 0xED, 0x5D, 0x34};
// 13-byte class-4 type-0 packet from the LU to the tool acknowledging 5 (CRC BC EE).
const Bytes kAckPacket = {0x04, 0x00, 0x05, 0x00, 0x40, 0xE2, 0x01, 0x00, 0x4E, 0x61, 0xBC, 0x00, 0x00};
const Bytes kAckDatagram = {0xDA, 0xE0, 0x73, 0x7D, 0x7B, 0x99, 0x38, 0x34,
                            0xE6, 0xDB, 0x3E, 0x0E, 0xE4, 0xF8, 0xA9, 0xD4};
// The same coding of a 12-byte packet (class 4, good CRC), of a class-5 and of a
// class-8 13-byte packet.
const Bytes kShortDatagram = {0x86, 0x90, 0xDA, 0xC1, 0xEC, 0xC8, 0xBA, 0xA0,
                              0xDF, 0xC0, 0x5E, 0x8E, 0x80, 0xD6, 0x0C};
const Bytes kClass5Datagram = {0xAD, 0x96, 0x5D, 0xEA, 0x4A, 0x9E, 0x0B, 0xD4,
                               0x45, 0x3B, 0x19, 0xB0, 0x0E, 0xCC, 0xCB, 0xD5};
const Bytes kClass8Datagram = {0x4A, 0x7C, 0x32, 0x8F, 0x3E, 0xBA, 0x22, 0x45,
                               0x26, 0xB9, 0xCB, 0x6F, 0x56, 0xCF, 0x2F, 0x08};

Bytes Buf(const CPackV7& p, int extra = 0) {
    return Bytes(p.GetBuf(), p.GetBuf() + p.GetLength() + extra);
}

CPackV7 MesPacket() {
    CPackV7 p(CMes(8, kUnits));
    p.SetID(kTool, kLU);
    p.SetIdent(5);
    p.AddRepl(3);
    return p;
}

Bytes Code(CPackV7& p, const unsigned char* key, unsigned seed) {
    unsigned char out[CPackV7::kBufSize];
    std::srand(seed);
    const int n = p.ChanCod(out, sizeof out, key);
    return Bytes(out, out + std::max(n, 0));
}

void ExpectSamePacket(const CPackV7& a, const CPackV7& b) {
    EXPECT_EQ(Buf(a), Buf(b));
    EXPECT_EQ(a.GetClass(), b.GetClass());
    EXPECT_EQ(a.GetTyp(), b.GetTyp());
    EXPECT_EQ(a.GetIdent(), b.GetIdent());
    EXPECT_EQ(a.GetRepl(), b.GetRepl());
    EXPECT_EQ(a.GetAsk(), b.GetAsk());
    EXPECT_EQ(a.GetDirAsk(), b.GetDirAsk());
    EXPECT_TRUE(a.GetSource().FullEQ(b.GetSource()));
    EXPECT_TRUE(a.GetDest().FullEQ(b.GetDest()));
    EXPECT_EQ(a.IsValid(), b.IsValid());
}

// ---------------------------------------------------------------------------

TEST(PackV7Crc, CheckValuesAndTable) {
    const unsigned char digits[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    // The published check value of CRC-16/XMODEM.
    EXPECT_EQ(CPackV7::CalcCrc16(digits, 9), 0x31C3);
    EXPECT_EQ(CPackV7::CalcCrc(digits, 9), 0x29);
    EXPECT_EQ(CPackV7::CalcCrc16(kMesPacket.data(), static_cast<int>(kMesPacket.size())),
              (kMesCrcHigh << 8) | kMesCrcLow);

    const unsigned char* step = CPackV7::CrcTable();
    const unsigned char first[16] = {0x00, 0x43, 0x86, 0xC5, 0x4F, 0x0C, 0xC9, 0x8A,
                                     0x9E, 0xDD, 0x18, 0x5B, 0xD1, 0x92, 0x57, 0x14};
    EXPECT_EQ(0, std::memcmp(step, first, 16));
    EXPECT_EQ(step[0xFF], 0x17);

    Bytes framed = kMesPacket;
    framed.push_back(kMesCrcLow);
    framed.push_back(kMesCrcHigh);
    EXPECT_TRUE(CPackV7::TestCRC(framed.data(), static_cast<int>(framed.size())));
    std::swap(framed[framed.size() - 1], framed[framed.size() - 2]);
    EXPECT_FALSE(CPackV7::TestCRC(framed.data(), static_cast<int>(framed.size())));
    EXPECT_FALSE(CPackV7::TestCRC(framed.data(), 1));
    EXPECT_FALSE(CPackV7::TestCRC(nullptr, 10));
}

// ---------------------------------------------------------------------------

TEST(PackV7Build, NewAndAcknowledgementPackets) {
    CPackV7 p;
    EXPECT_EQ(p.GetLength(), 0);
    EXPECT_EQ(p.GetClass(), 0);
    EXPECT_EQ(p.GetAsk(), -1);
    EXPECT_EQ(p.GetDirAsk(), 1);
    EXPECT_TRUE(p.IsValid());

    CPackV7 ack(kLU, kTool);
    EXPECT_EQ(ack.GetClass(), CPackV7::classData);
    EXPECT_FALSE(ack.IsInIdent());
    EXPECT_EQ(ack.AddRepl(5), 1);
    EXPECT_EQ(Buf(ack), kAckPacket);
    // One acknowledgement per packet.
    EXPECT_EQ(ack.AddRepl(7), 0);
    EXPECT_EQ(ack.GetRepl(), 5);
    EXPECT_EQ(ack.GetBuf()[2], 5);
}

TEST(PackV7Build, MessagePacketAndItsMessage) {
    CPackV7 p = MesPacket();
    EXPECT_EQ(Buf(p), kMesPacket);
    EXPECT_TRUE(p.IsInIdent());
    EXPECT_TRUE(p.IsValid());
    EXPECT_FALSE(p.IsOnOffGGS());

    CMes m;
    ASSERT_EQ(p.GetMes(m), 1);
    EXPECT_EQ(m.len, 8);
    EXPECT_EQ(0, std::memcmp(m.data, kUnits, 8));
    EXPECT_EQ(m.typ, CMes::mesDevAsk);

    // The loudspeaker-switching message goes first in the sender's queue.
    unsigned char ggs[8];
    std::memcpy(ggs, kUnits, 8);
    ggs[5] = CMes::mesGGS;
    EXPECT_TRUE(CPackV7(CMes(8, ggs)).IsOnOffGGS());

    // Up to three units the packet is too short to be a message.
    EXPECT_FALSE(CPackV7(CMes(3, kUnits)).IsValid());
    EXPECT_TRUE(CPackV7(CMes(4, kUnits)).IsValid());
}

TEST(PackV7Build, MessageReaderRefusesWhatIsNoMessage) {
    // Byte 13 must equal length - 13.
    Bytes payload(kMesPacket.begin() + 13, kMesPacket.end());
    payload[0] = 10;
    CPackV7 p;
    ASSERT_EQ(p.SetData(CPackV7::typMes, payload.data(), static_cast<int>(payload.size())), 1);
    CMes m(8, kUnits);
    EXPECT_EQ(p.GetMes(m), 0);
    EXPECT_EQ(m.len, 0);
    EXPECT_EQ(m.typ, 0);

    // The same bytes as a link packet hold no message.
    payload[0] = 9;
    ASSERT_EQ(p.SetLink(CPackV7::typMes, payload.data(), static_cast<int>(payload.size())), 1);
    EXPECT_EQ(p.GetMes(m), 0);
    ASSERT_EQ(p.SetData(CPackV7::typMes, payload.data(), static_cast<int>(payload.size())), 1);
    EXPECT_EQ(p.GetMes(m), 1);

    // A header-only packet.
    EXPECT_EQ(CPackV7(kTool, kLU).GetMes(m), 0);
}

TEST(PackV7Build, BuildersKeepTheHeaderFields) {
    CPackV7 p;
    p.SetID(kTool, kLU);
    p.SetIdent(9);
    p.AddRepl(4);
    const unsigned char data[3] = {1, 2, 3};
    ASSERT_EQ(p.SetLink(CPackV7::typCloseLink, data, 3), 1);
    const Bytes link = {0x03, 0x09, 0x04, 0x00, 0x4E, 0x61, 0xBC, 0x00,
                        0x40, 0xE2, 0x01, 0x00, 0x04, 1,    2,    3};
    EXPECT_EQ(Buf(p), link);

    ASSERT_EQ(p.SetData(CPackV7::typPack(20), data, 2), 1);
    const Bytes dat = {0x04, 0x09, 0x04, 0x00, 0x4E, 0x61, 0xBC, 0x00, 0x40, 0xE2, 0x01, 0x00, 20, 1, 2};
    EXPECT_EQ(Buf(p), dat);

    p.DelIdent();
    EXPECT_EQ(p.GetIdent(), 0);
    EXPECT_EQ(p.GetBuf()[1], 0);
    p.Pack();
    EXPECT_EQ(p.GetLength(), 13);
}

TEST(PackV7Build, RequestPackets) {
    CPackV7 p;
    p.SetID(kTool, kLU);
    const unsigned char data[2] = {0xAA, 0xBB};
    ASSERT_EQ(p.SetAsk(CPackV7::typAsk3, CPackV7::askRestart, CPackV7::dirRequest), 1);
    EXPECT_EQ(p.GetLength(), 14);
    EXPECT_EQ(p.GetBuf()[13], 0x82);
    EXPECT_TRUE(p.IsRestart());
    EXPECT_FALSE(p.IsOnOffGGS());

    ASSERT_EQ(p.SetAsk(CPackV7::typAsk7, CPackV7::typAsk(5), CPackV7::dirAnswer, data, 2), 1);
    const Bytes ask7 = {0x04, 0x00, 0x00, 0x00, 0x4E, 0x61, 0xBC, 0x00,
                        0x40, 0xE2, 0x01, 0x00, 7,    5,    0xAA, 0xBB};
    EXPECT_EQ(Buf(p), ask7);
    EXPECT_EQ(p.GetAsk(), 5);
    EXPECT_EQ(p.GetDirAsk(), 0);

    // Data given as null with a count: none.
    ASSERT_EQ(p.SetAsk(CPackV7::typAsk4, CPackV7::typAsk(1), CPackV7::dirRequest, nullptr, 5), 1);
    EXPECT_EQ(p.GetLength(), 14);

    ASSERT_EQ(p.SetAskData(data, 2), 1);
    EXPECT_EQ(p.GetLength(), 16);
    EXPECT_EQ(p.GetBuf()[13], 0x81);
    EXPECT_EQ(p.GetBuf()[15], 0xBB);
    ASSERT_EQ(p.SetAskData(nullptr, 0), 1);
    EXPECT_EQ(p.GetLength(), 14);
    // No ask byte to put data behind.
    CPackV7 head(kTool, kLU);
    EXPECT_EQ(head.SetAskData(data, 2), 0);
    EXPECT_EQ(head.GetLength(), 13);

    for (int ask : {65, 66}) {
        ASSERT_EQ(p.SetAsk(CPackV7::typAsk3, CPackV7::typAsk(ask), CPackV7::dirRequest), 1);
        EXPECT_TRUE(p.IsOnOffGGS()) << ask;
        ASSERT_EQ(p.SetAsk(CPackV7::typAsk3, CPackV7::typAsk(ask), CPackV7::dirAnswer), 1);
        EXPECT_FALSE(p.IsOnOffGGS()) << ask;
    }
    ASSERT_EQ(p.SetAsk(CPackV7::typAsk3, CPackV7::typAsk(67), CPackV7::dirRequest), 1);
    EXPECT_FALSE(p.IsOnOffGGS());
    ASSERT_EQ(p.SetAsk(CPackV7::typAsk4, CPackV7::askRestart, CPackV7::dirRequest), 1);
    EXPECT_FALSE(p.IsRestart());
}

TEST(PackV7Build, PayloadLimitsLeaveThePacketUnchanged) {
    const Bytes big(1010, 0x5A);
    CPackV7 p = MesPacket();
    const CPackV7 before = p;

    EXPECT_EQ(p.SetLink(CPackV7::typMes, big.data(), 1010), 0);
    EXPECT_EQ(p.SetVoice(CPackV7::typMes, big.data(), 1010), 0);
    EXPECT_EQ(p.SetData(CPackV7::typPack(20), big.data(), 1009), 0);
    EXPECT_EQ(p.SetAsk(CPackV7::typAsk3, CPackV7::askRestart, CPackV7::dirRequest, big.data(), 1009), 0);
    EXPECT_EQ(p.SetAskData(big.data(), 1009), 0);
    EXPECT_EQ(p.SetLink(CPackV7::typMes, big.data(), -1), 0);
    EXPECT_EQ(p.SetData(CPackV7::typMes, nullptr, 4), 0);
    EXPECT_EQ(p.SetVoiceToLU(nullptr), 0);
    ExpectSamePacket(p, before);

    ASSERT_EQ(p.SetLink(CPackV7::typMes, big.data(), 1009), 1);
    EXPECT_EQ(p.GetLength(), 1022);
    ASSERT_EQ(p.SetVoice(CPackV7::typMes, big.data(), 1009), 1);
    EXPECT_EQ(p.GetLength(), 1022);
    ASSERT_EQ(p.SetData(CPackV7::typPack(20), big.data(), 1008), 1);
    EXPECT_EQ(p.GetLength(), 1021);
    ASSERT_EQ(p.SetAsk(CPackV7::typAsk3, CPackV7::askRestart, CPackV7::dirRequest, big.data(), 1008), 1);
    EXPECT_EQ(p.GetLength(), 1022);
    ASSERT_EQ(p.SetAskData(big.data(), 1008), 1);
    EXPECT_EQ(p.GetLength(), 1022);
}

TEST(PackV7Build, VoiceToTheLU) {
    unsigned char voice[96];
    for (int i = 0; i < 96; ++i) {
        voice[i] = static_cast<unsigned char>(200 - i);
    }
    CPackV7 p;
    ASSERT_EQ(p.SetVoiceToLU(voice), 1);
    EXPECT_EQ(p.GetLength(), 110);
    EXPECT_EQ(p.GetClass(), CPackV7::classVoice);
    EXPECT_EQ(p.GetBuf()[0], 7);
    EXPECT_EQ(p.GetBuf()[12], 1);
    EXPECT_EQ(0, std::memcmp(p.GetBuf() + 13, voice, 96));
    EXPECT_EQ(p.GetBuf()[109], 0x5F);
    // Voice packets are not numbered.
    EXPECT_FALSE(p.IsInIdent());
}

TEST(PackV7Build, CloseLinkCarriesTheClosingParty) {
    unsigned char who[4];
    kTool.GetValue(who);
    CPackV7 p;
    p.SetID(kTool, kLU);
    ASSERT_EQ(p.SetLink(CPackV7::typCloseLink, who, 4), 1);
    CIdentV7 got(1, 1);
    EXPECT_TRUE(p.IsCloseLink());
    EXPECT_TRUE(p.IsCloseLink(got));
    EXPECT_TRUE(got.FullEQ(kTool));
    EXPECT_FALSE(p.IsInIdent());

    // Without a payload the identity reads as 0.0.
    ASSERT_EQ(p.SetLink(CPackV7::typCloseLink, nullptr, 0), 1);
    EXPECT_TRUE(p.IsCloseLink(got));
    EXPECT_TRUE(got.FullEQ(CIdentV7()));

    ASSERT_EQ(p.SetData(CPackV7::typCloseLink, who, 4), 1);
    EXPECT_FALSE(p.IsCloseLink(got));

    const unsigned char refuse[1] = {1};
    ASSERT_EQ(p.SetLink(CPackV7::typRefuse, refuse, 1), 1);
    EXPECT_TRUE(p.IsRefuse());
    const unsigned char other[1] = {2};
    ASSERT_EQ(p.SetLink(CPackV7::typRefuse, other, 1), 1);
    EXPECT_FALSE(p.IsRefuse());
}

TEST(PackV7Build, StatusRecordList) {
    CPackV7 p;
    p.SetID(kLU, kTool);
    // [length][kind][data]: three records, the second without data.
    const unsigned char list[] = {3, 1, 0xAA, 2, 11, 5, 4, 1, 2, 3};
    ASSERT_EQ(p.SetAsk(CPackV7::typMsgList, CPackV7::askMsgList, CPackV7::dirAnswer, list, sizeof list), 1);

    CMsgV7 r;
    ASSERT_EQ(p.GetMes(r), 1);
    EXPECT_EQ(r.GetKind(), 1);
    ASSERT_EQ(r.GetSize(), 1);
    EXPECT_EQ(r.GetData()[0], 0xAA);
    ASSERT_EQ(p.GetMes(r), 1);
    EXPECT_EQ(r.GetKind(), 11);
    EXPECT_EQ(r.GetSize(), 0);
    ASSERT_EQ(p.GetMes(r), 1);
    EXPECT_EQ(r.GetKind(), 4);
    ASSERT_EQ(r.GetSize(), 3);
    EXPECT_EQ(r.GetData()[2], 3);
    EXPECT_EQ(p.GetMes(r), 0);
    EXPECT_EQ(r.GetKind(), 4);  // a refused read leaves the record alone

    p.BegGet();
    ASSERT_EQ(p.GetMes(r), 1);
    EXPECT_EQ(r.GetKind(), 1);

    // Malformed records stop the reading where they are.
    const unsigned char badKind[] = {2, 12};
    const unsigned char badLen[] = {1, 3, 2, 3};
    const unsigned char pastEnd[] = {3, 1, 0xAA, 5, 2, 1, 2};
    for (const auto& [bytes, n] : {std::pair{badKind, 2}, std::pair{badLen, 4}, std::pair{pastEnd, 7}}) {
        ASSERT_EQ(p.SetAsk(CPackV7::typMsgList, CPackV7::askMsgList, CPackV7::dirAnswer, bytes, n), 1);
        while (p.GetMes(r) == 1) {
        }
        const int stuck = p.GetOffset();
        EXPECT_EQ(p.GetMes(r), 0);
        EXPECT_EQ(p.GetOffset(), stuck);
        EXPECT_LE(stuck, p.GetLength());
    }

    // Other request kinds carry no records.
    ASSERT_EQ(p.SetAsk(CPackV7::typMsgList, CPackV7::typAsk(1), CPackV7::dirAnswer, list, sizeof list), 1);
    EXPECT_EQ(p.GetMes(r), 0);
    ASSERT_EQ(p.SetAsk(CPackV7::typMsgList, CPackV7::askMsgList, CPackV7::dirRequest, list, sizeof list), 1);
    EXPECT_EQ(p.GetMes(r), 0);
}

// ---------------------------------------------------------------------------

TEST(PackV7Link, MessageDatagramByteByByte) {
    std::srand(kSeed);
    ASSERT_EQ(std::rand() & 0xFF, 0x67) << "the worked datagrams assume glibc's rand()";

    CPackV7 p = MesPacket();
    EXPECT_EQ(Code(p, kKey, kSeed), kMesDatagram);
    // The CRC-16 now follows the packet, low byte first.
    EXPECT_EQ(p.GetBuf()[22], kMesCrcLow);
    EXPECT_EQ(p.GetBuf()[23], kMesCrcHigh);

    CPackV7 q;
    ASSERT_TRUE(q.ChanDecod(kMesDatagram.data(), static_cast<int>(kMesDatagram.size()), kKey));
    EXPECT_EQ(Buf(q), kMesPacket);
    EXPECT_EQ(q.GetBuf()[22], kMesCrcLow);
    EXPECT_EQ(q.GetBuf()[23], kMesCrcHigh);
    EXPECT_EQ(q.GetClass(), 4);
    EXPECT_EQ(q.GetTyp(), 1);
    EXPECT_EQ(q.GetIdent(), 5);
    EXPECT_EQ(q.GetRepl(), 3);
    EXPECT_TRUE(q.GetSource().FullEQ(kTool));
    EXPECT_TRUE(q.GetDest().FullEQ(kLU));
    EXPECT_EQ(q.GetOffset(), 14);
    EXPECT_TRUE(q.IsValid());
    CMes m;
    ASSERT_EQ(q.GetMes(m), 1);
    EXPECT_EQ(0, std::memcmp(m.data, kUnits, 8));
}

TEST(PackV7Link, ThirteenBytesMakeSixteenAndOnlyTheKeyOpensThem) {
    CPackV7 ack(kLU, kTool);
    ack.AddRepl(5);
    EXPECT_EQ(Code(ack, kKey, kSeed), kAckDatagram);

    CPackV7 q;
    ASSERT_TRUE(q.ChanDecod(kAckDatagram.data(), 16, kKey));
    EXPECT_EQ(Buf(q), kAckPacket);
    EXPECT_EQ(q.GetRepl(), 5);

    // Every key differing in one bit fails.
    for (int byte = 0; byte < 16; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            unsigned char other[16];
            std::memcpy(other, kKey, 16);
            other[byte] ^= static_cast<unsigned char>(1 << bit);
            CPackV7 w;
            EXPECT_FALSE(w.ChanDecod(kAckDatagram.data(), 16, other)) << byte << '/' << bit;
        }
    }
    CKeySys def;
    def.SetDefault();
    EXPECT_TRUE(q.ChanDecod(kAckDatagram.data(), 16, def));
}

TEST(PackV7Link, ShortAndForeignDatagramsAreRefused) {
    // 15 bytes: a 12-byte packet with a good CRC, never parsed, so class 0.
    CPackV7 q;
    EXPECT_FALSE(q.ChanDecod(kShortDatagram.data(), 15, kKey));
    EXPECT_EQ(q.GetClass(), 0);
    EXPECT_EQ(q.GetLength(), 0);

    EXPECT_FALSE(q.ChanDecod(kClass5Datagram.data(), 16, kKey));
    EXPECT_EQ(q.GetClass(), 0);
    ASSERT_TRUE(q.ChanDecod(kClass8Datagram.data(), 16, kKey));
    EXPECT_EQ(q.GetClass(), 8);

    // A refused datagram leaves the previous packet in place.
    const CPackV7 before = q;
    EXPECT_FALSE(q.ChanDecod(kClass5Datagram.data(), 16, kKey));
    EXPECT_FALSE(q.ChanDecod(kAckDatagram.data(), 2, kKey));
    EXPECT_FALSE(q.ChanDecod(nullptr, 16, kKey));
    EXPECT_FALSE(q.ChanDecod(kAckDatagram.data(), 16, static_cast<const unsigned char*>(nullptr)));
    ExpectSamePacket(q, before);

    // Any one flipped bit of a datagram is caught.
    for (size_t i = 0; i < kMesDatagram.size(); ++i) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes d = kMesDatagram;
            d[i] ^= static_cast<unsigned char>(1 << bit);
            CPackV7 w;
            EXPECT_FALSE(w.ChanDecod(d.data(), static_cast<int>(d.size()), kKey)) << i << '/' << bit;
        }
    }
}

TEST(PackV7Link, CodingsDifferAndBothDecode) {
    CPackV7 p = MesPacket();
    const Bytes a = Code(p, kKey, 11);
    const Bytes b = Code(p, kKey, 12);
    ASSERT_EQ(a.size(), kMesPacket.size() + 3);
    ASSERT_EQ(b.size(), a.size());
    EXPECT_NE(a, b);
    for (const Bytes& d : {a, b}) {
        CPackV7 q;
        ASSERT_TRUE(q.ChanDecod(d.data(), static_cast<int>(d.size()), kKey));
        EXPECT_EQ(Buf(q), kMesPacket);
    }
}

TEST(PackV7Link, LengthLimitsOfTheCoding) {
    const Bytes data(1009, 0xC3);
    CPackV7 p;
    p.SetID(kTool, kLU);

    // 1021 bytes fill the 1024-byte datagram exactly.
    ASSERT_EQ(p.SetLink(CPackV7::typMes, data.data(), 1008), 1);
    const Bytes full = Code(p, kKey, 3);
    ASSERT_EQ(full.size(), 1024u);
    CPackV7 q;
    ASSERT_TRUE(q.ChanDecod(full.data(), 1024, kKey));
    EXPECT_EQ(Buf(q), Buf(p));
    // Bytes beyond 1024 are not part of the datagram.
    Bytes longer = full;
    longer.resize(1100, 0x77);
    ASSERT_TRUE(q.ChanDecod(longer.data(), 1100, kKey));
    EXPECT_EQ(Buf(q), Buf(p));

    // 1022 bytes would leave no room for the trailer.
    ASSERT_EQ(p.SetLink(CPackV7::typMes, data.data(), 1009), 1);
    unsigned char out[2048];
    EXPECT_EQ(p.ChanCod(out, sizeof out, kKey), 0);

    // The output must hold packet, CRC and trailer.
    CPackV7 ack(kLU, kTool);
    EXPECT_EQ(ack.ChanCod(out, 15, kKey), 0);
    EXPECT_EQ(ack.ChanCod(out, 16, kKey), 16);
    EXPECT_EQ(ack.ChanCod(nullptr, 16, kKey), 0);
    EXPECT_EQ(CPackV7().ChanCod(out, sizeof out, kKey), 0);
}

TEST(PackV7Link, RoundTripsOfEveryClassAndLength) {
    std::mt19937 rng(20261206);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 400; ++round) {
        unsigned char key[16];
        for (auto& k : key) {
            k = static_cast<unsigned char>(byte(rng));
        }
        const int n = std::uniform_int_distribution<int>(0, 1008)(rng);
        Bytes data(static_cast<size_t>(n));
        for (auto& d : data) {
            d = static_cast<unsigned char>(byte(rng));
        }
        CPackV7 p;
        p.SetID(CIdentV7(byte(rng) << 16 | byte(rng), byte(rng)), kLU);
        p.SetIdent(byte(rng) & 127);
        switch (round % 3) {
            case 0:
                ASSERT_EQ(p.SetLink(CPackV7::typPack(byte(rng) & 127), data.data(), n), 1);
                break;
            case 1:
                ASSERT_EQ(p.SetData(CPackV7::typPack(byte(rng) & 127), data.data(), n), 1);
                break;
            default:
                ASSERT_EQ(p.SetVoice(CPackV7::typPack(byte(rng) & 127), data.data(), n), 1);
                break;
        }
        const Bytes d = Code(p, key, static_cast<unsigned>(round));
        ASSERT_EQ(static_cast<int>(d.size()), p.GetLength() + 3);
        CPackV7 q;
        ASSERT_TRUE(q.ChanDecod(d.data(), static_cast<int>(d.size()), key)) << round;
        ExpectSamePacket(q, p);
    }
}

TEST(PackV7Link, RandomDatagramsNeverBreakTheDecoder) {
    std::mt19937 rng(4711);
    std::uniform_int_distribution<int> byte(0, 255);
    std::uniform_int_distribution<int> length(0, 1100);
    Bytes d(1100);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        const int n = length(rng);
        for (int i = 0; i < n; ++i) {
            d[static_cast<size_t>(i)] = static_cast<unsigned char>(byte(rng));
        }
        // The heap copy makes any read past n visible to the address sanitizer.
        Bytes exact(d.begin(), d.begin() + n);
        CPackV7 p;
        if (p.ChanDecod(exact.data(), n, kKey)) {
            ++accepted;
            EXPECT_GE(p.GetLength(), 13);
            EXPECT_LE(p.GetLength(), CPackV7::kMaxCodable);
            EXPECT_TRUE(CPackV7::TestCRC(p.GetBuf(), p.GetLength() + 2));
        }
        p.UnPack();
        CMes m;
        p.GetMes(m);
        CMsgV7 r;
        for (int guard = 0; p.GetMes(r) == 1; ++guard) {
            ASSERT_LT(guard, 1024);
        }
        CKeySys key;
        if (p.ChanCloudProDecod(exact.data(), n, key)) {
            EXPECT_TRUE(CPackV7::TestCRC(p.GetBuf(), p.GetLength() + 2));
        }
        p.ChanCloudDecod(exact.data(), n);
    }
    // Random bytes pass the CRC-16 and the class test about once in 2^16 / 4 tries.
    EXPECT_LT(accepted, 10);
}

// ---------------------------------------------------------------------------

// The relay key's IDEA encryption of blocks, by an independent implementation
// where one is at hand.
Bytes RelayEncrypt(const Bytes& plain) {
    Bytes out(plain.size());
#ifdef TOLVANE_HAVE_GCRYPT
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h = nullptr;
    if (gcry_cipher_open(&h, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) == 0) {
        gcry_cipher_setkey(h, v7keys::Relay, 16);
        gcry_cipher_encrypt(h, out.data(), out.size(), plain.data(), plain.size());
        gcry_cipher_close(h);
        return out;
    }
#endif
    CIdeaCtx(v7keys::Relay).Encrypt(plain.data(), out.data(), static_cast<int>(plain.size() / 8));
    return out;
}

TEST(PackV7Relay, MessageDatagramByteByByte) {
    // Six blocks: length 24, the packet, its CRC, the link key, six filler bytes.
    Bytes plain = {0x18, 0x00};
    plain.insert(plain.end(), kMesPacket.begin(), kMesPacket.end());
    plain.push_back(kMesCrcLow);
    plain.push_back(kMesCrcHigh);
    plain.insert(plain.end(), kKey, kKey + 16);
    plain.resize(48, 0x00);
    Bytes expected = RelayEncrypt(plain);
    // srand(1): tail count 1804289383 & 3 = 3, then the low bytes of the next three draws.
    expected.insert(expected.end(), {0xC6, 0x69, 0x73});

    CPackV7 p = MesPacket();
    unsigned char out[CPackV7::kBufSize];
    std::srand(kSeed);
    const int n = p.ChanCloudProCod(out, sizeof out, kKey);
    ASSERT_EQ(n, 51);
    EXPECT_EQ(Bytes(out, out + n), expected);

    CPackV7 q;
    CKeySys key;
    ASSERT_TRUE(q.ChanCloudProDecod(expected.data(), n, key));
    EXPECT_EQ(Buf(q), kMesPacket);
    EXPECT_EQ(0, std::memcmp(key.Get(), kKey, 16));

    // The filler carries no meaning.
    plain[47] = 0xEE;
    const Bytes other = RelayEncrypt(plain);
    CKeySys key2;
    ASSERT_TRUE(q.ChanCloudProDecod(other.data(), 48, key2));
    EXPECT_EQ(key2, key);
}

TEST(PackV7Relay, RefusedCodings) {
    const Bytes data(1009, 0x11);
    CPackV7 p;
    p.SetID(kTool, kLU);
    unsigned char out[2048];

    // 1004 bytes need 128 blocks, 1005 would need 129.
    ASSERT_EQ(p.SetLink(CPackV7::typMes, data.data(), 991), 1);
    std::srand(kSeed);  // tail count 3
    EXPECT_EQ(p.ChanCloudProCod(out, 1024, kKey), 0);
    std::srand(kSeed);
    EXPECT_EQ(p.ChanCloudProCod(out, 1027, kKey), 1027);
    CPackV7 q;
    CKeySys key;
    EXPECT_TRUE(q.ChanCloudProDecod(out, 1027, key));
    EXPECT_EQ(Buf(q), Buf(p));
    ASSERT_EQ(p.SetLink(CPackV7::typMes, data.data(), 992), 1);
    EXPECT_EQ(p.ChanCloudProCod(out, sizeof out, kKey), 0);
}

TEST(PackV7Relay, ForgedCountsAndShortDatagramsAreRefused) {
    CKeySys key;
    key.SetDefault();
    const CKeySys keyBefore = key;
    CPackV7 q = MesPacket();
    const CPackV7 before = q;

    // A count far beyond the three deciphered blocks.
    Bytes plain(24, 0);
    plain[0] = 0xE8;
    plain[1] = 0x03;
    Bytes d = RelayEncrypt(plain);
    EXPECT_FALSE(q.ChanCloudProDecod(d.data(), 24, key));
    // A count with no room for the link key behind it.
    Bytes fits = {0x0F, 0x00};
    fits.insert(fits.end(), kAckPacket.begin(), kAckPacket.end());
    const uint16_t crc = CPackV7::CalcCrc16(kAckPacket.data(), 13);
    fits.push_back(static_cast<unsigned char>(crc & 0xFF));
    fits.push_back(static_cast<unsigned char>(crc >> 8));
    fits.resize(24, 0);
    d = RelayEncrypt(fits);
    EXPECT_FALSE(q.ChanCloudProDecod(d.data(), 24, key));
    // ... which the keyless form accepts.
    CPackV7 keyless;
    ASSERT_TRUE(keyless.ChanCloudDecod(d.data(), 24));
    EXPECT_EQ(Buf(keyless), kAckPacket);

    // Counts below 2.
    plain[0] = 1;
    plain[1] = 0;
    d = RelayEncrypt(plain);
    EXPECT_FALSE(q.ChanCloudProDecod(d.data(), 24, key));
    // Fewer than three blocks, more than 128.
    EXPECT_FALSE(q.ChanCloudProDecod(d.data(), 23, key));
    const Bytes huge(1032, 0);
    EXPECT_FALSE(q.ChanCloudProDecod(huge.data(), 1032, key));
    EXPECT_FALSE(q.ChanCloudProDecod(nullptr, 24, key));

    ExpectSamePacket(q, before);
    EXPECT_EQ(key, keyBefore);
}

TEST(PackV7Relay, KeylessPairRoundTrip) {
    CPackV7 p = MesPacket();
    unsigned char out[CPackV7::kBufSize];
    const int n = p.ChanCloudCod(out, sizeof out);
    // 2 + 22 + 2 bytes: four blocks and a tail of 0..3.
    ASSERT_GE(n, 32);
    ASSERT_LE(n, 35);
    CPackV7 q;
    ASSERT_TRUE(q.ChanCloudDecod(out, n));
    EXPECT_EQ(Buf(q), kMesPacket);
    out[3] ^= 1;
    EXPECT_FALSE(q.ChanCloudDecod(out, n));
    EXPECT_EQ(Buf(q), kMesPacket);
}

TEST(PackV7Text, HexDump) {
    CPackV7 ack(kLU, kTool);
    EXPECT_EQ(ack.ToString(L"P:"), DBString(L"P: 04 00 00 00 40 E2 01 00 4E 61 BC 00 00"));
    EXPECT_EQ(CPackV7().ToString(nullptr), DBString(L""));
}

}  // namespace
