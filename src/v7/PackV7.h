#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "DBString.h"
#include "IdentV7.h"
#include "KeySys.h"

class CMes;
class ProLog;
enum typRec : int;

// One status record of a type-10 packet: [length][kind][data], the length counting
// its own two bytes.
class CMsgV7 {
public:
    static constexpr int kMaxKind = 11;
    static constexpr int kMaxData = 253;

    CMsgV7() = default;

    void Clear();
    int GetKind() const { return kind_; }
    // Data bytes, without the two header bytes.
    int GetSize() const { return size_; }
    const unsigned char* GetData() const { return data_; }

private:
    friend class CPackV7;

    int kind_ = -1;
    int size_ = 0;
    unsigned char data_[kMaxData] = {};
};

// One packet of the V7 device link: a 13-byte header, a payload, and on the wire a
// CRC-16 and a keyed channel coding.
//
// Header: class, ident, repl, source identity (4), destination identity (4),
// reserved, type. Builders and readers refuse bad input with 0 or false and leave
// the packet as it was.
class CPackV7 {
public:
    static constexpr int kBufSize = 1024;
    static constexpr int kHeadSize = 13;
    // Largest payload from byte 13 (link and voice packets).
    static constexpr int kMaxPayload = 1009;
    // Largest data of class-4 packets (after the type byte, or after the ask byte).
    static constexpr int kMaxData = 1008;
    // The longest packet the link coding can carry: packet, CRC-16 and trailer
    // must fit into one coding buffer.
    static constexpr int kMaxCodable = kBufSize - 3;
    static constexpr int kVoiceBytes = 96;

    // The pass-phrase key of CKeySys::Create.
    static constexpr const unsigned char (&ForKeySYS)[16] = v7keys::ForKeySYS;

    enum classPack : int {
        classNone = 0,
        classLink = 3,
        classData = 4,
        classVoice = 7,
        classReserve = 8,  // accepted by the decoders, never built
    };

    // Type byte; its meaning depends on the class.
    enum typPack : int {
        typEmpty = 0,  // class 4: carries only an ident or a repl
        typMes = 1,    // class 4: one line message; class 7: voice to the LU
        typAsk3 = 3,   // class 4 request kinds: 3, 4, 7, 10
        typAsk4 = 4,
        typCloseLink = 4,  // class 3: the link is closed
        typRefuse = 5,     // class 3: the LU refuses the link
        typAsk7 = 7,
        typMsgList = 10,  // class 4: CMsgV7 records (ask 0, dirAsk 0)
    };

    enum typAsk : int {
        askNone = -1,
        askMsgList = 0,
        askRestart = 2,
        askGGSOn = 65,  // the two loudspeaker-switching requests
        askGGSOff = 66,
    };

    enum typDirAsk : int {
        dirAnswer = 0,
        dirRequest = 1,
    };

    CPackV7() = default;
    // Class 4, type 0, length 13: a packet that exists to carry an ident or a repl.
    CPackV7(const CIdentV7& src, const CIdentV7& dst);
    // Class 4, type 1 with m's units; identities 0.0 (the sender fills them in).
    explicit CPackV7(const CMes& m);

    // The new packet: length 0, every field at its initial value.
    void Clear();

    // Header fields.
    int GetClass() const { return class_; }
    int GetTyp() const { return typ_; }
    int GetAsk() const { return ask_; }
    int GetDirAsk() const { return dirAsk_; }
    int GetIdent() const { return ident_; }
    int GetRepl() const { return repl_; }
    const CIdentV7& GetSource() const { return source_; }
    const CIdentV7& GetDest() const { return dest_; }
    int GetReserved() const { return reserved_; }
    bool IsValid() const { return valid_; }

    // Bytes as sent or received; after a coding the two bytes behind the packet
    // hold its CRC-16.
    const unsigned char* GetBuf() const { return buf_; }
    int GetLength() const { return length_; }
    int GetOffset() const { return offset_; }

    // Stores both identities and rewrites bytes 3..10.
    void SetID(const CIdentV7& src, const CIdentV7& dst);
    void SetIdent(int i);
    void DelIdent() { SetIdent(0); }
    // One acknowledgement per packet: returns 0 when a repl is already there.
    int AddRepl(unsigned char r);

    // Builders: each writes the header from the current fields (so ident, repl and
    // identities survive) and then the payload. A null data pointer with n > 0 and
    // n < 0 are refused, as are payloads above the limits.
    int SetLink(typPack t, const unsigned char* data, int n);
    int SetData(typPack t, const unsigned char* data, int n);
    // Byte 13 = a | 128 when d is non-zero; data (if any) from byte 14.
    int SetAsk(typPack t, typAsk a, typDirAsk d, const unsigned char* data = nullptr, int n = 0);
    // Replaces the data from byte 14; a null pointer or n == 0 leaves none.
    int SetAskData(const unsigned char* data, int n);
    int SetMes(const CMes& m);
    int SetVoice(typPack t, const unsigned char* data, int n);
    // Class 7, type 1: 96 voice bytes and the closing '_'.
    int SetVoiceToLU(const unsigned char* data);

    // Clears m; 1 when this is a message packet whose byte 13 matches its length.
    int GetMes(CMes& m) const;
    // Next record of a type-10 list from the read offset; 0 at the end or for a
    // record that is malformed or runs past the packet (the offset stays).
    int GetMes(CMsgV7& r);

    // Parses the header from the buffer into the fields.
    void UnPack();
    // Writes the 13 header bytes from the fields; length 13.
    void Pack();
    void BegGet() { offset_ = kHeadSize + 1; }

    // Class 4 with a type other than 0: numbered and acknowledged.
    bool IsInIdent() const { return class_ == classData && typ_ != typEmpty; }
    bool IsCloseLink() const { return class_ == classLink && typ_ == typCloseLink; }
    // Also gives the identity carried in the payload (0.0 when there is none).
    bool IsCloseLink(CIdentV7& who) const;
    bool IsRestart() const;
    bool IsOnOffGGS() const;
    // Class 3, type 5 with byte 13 = 1.
    bool IsRefuse() const;

    // Link coding into out (size bytes; 1024 is always enough). Writes the CRC-16
    // behind the packet and returns the datagram length (packet + 3), or 0 for a
    // packet that is shorter than its header or would not fit.
    int ChanCod(unsigned char* out, int size, const unsigned char* key);
    int ChanCod(unsigned char* out, int size, const CKeySys& key) { return ChanCod(out, size, key.Get()); }
    // True for a good packet of class 3, 4, 7 or 8; on false the packet is unchanged.
    bool ChanDecod(const unsigned char* in, int n, const unsigned char* key);
    bool ChanDecod(const unsigned char* in, int n, const CKeySys& key) { return ChanDecod(in, n, key.Get()); }

    // Relay coding: IDEA under the built-in relay key, the link key carried inside.
    // Returns the datagram length or 0.
    int ChanCloudProCod(unsigned char* out, int size, const unsigned char* key);
    int ChanCloudProCod(unsigned char* out, int size, const CKeySys& key) {
        return ChanCloudProCod(out, size, key.Get());
    }
    // On success also gives the sender's link key; on false packet and key are unchanged.
    bool ChanCloudProDecod(const unsigned char* in, int n, CKeySys& key);

    // The relay coding without a link key inside.
    int ChanCloudCod(unsigned char* out, int size);
    bool ChanCloudDecod(const unsigned char* in, int n);

    // CRC-16/XMODEM (poly 0x1021, init 0, no reflection, no final XOR).
    static uint16_t CalcCrc16(const unsigned char* p, int n);
    // CRC-8, poly 0x43, init 0, MSB first.
    static unsigned char CalcCrc(const unsigned char* p, int n);
    // True when the last two of n bytes are the CRC-16 of the others, low byte first.
    static bool TestCRC(const unsigned char* p, int n);
    // The CRC-8 table, which the link coding also uses as a byte substitution.
    static const unsigned char* CrcTable();

    // One packet as text: the prefix, then " %02X" per byte of the packet.
    DBString ToString(const wchar_t* prefix = nullptr) const;

private:
    void WriteHead();
    // Takes over decoded bytes (packet, CRC and whatever follows) and parses them.
    void Load(const unsigned char* bytes, int total, int packetLength);
    int SetPayload(int cls, int t, int at, const unsigned char* data, int n, int limit);
    void AppendCrc();
    // The two relay codings; key null: the keyless form.
    int CloudCod(unsigned char* out, int size, const unsigned char* key);
    bool CloudDecod(const unsigned char* in, int n, CKeySys* key);

    unsigned char buf_[kBufSize] = {};
    int32_t length_ = 0;
    int32_t offset_ = 0;
    int32_t class_ = classNone;
    int32_t typ_ = typEmpty;
    int32_t ask_ = askNone;
    int32_t dirAsk_ = dirRequest;
    int32_t ident_ = 0;
    int32_t repl_ = 0;
    CIdentV7 source_;
    CIdentV7 dest_;
    int32_t reserved_ = 0;
    bool valid_ = true;
};

// One line of the protocol log: the packet's bytes and the CRC-16 behind them. An empty
// packet leaves no line. The log knows bytes only; what a packet shows of itself is the
// packet's business.
void LogPacket(ProLog& log, typRec direction, const in6_addr& address, int port, const CPackV7& packet);
