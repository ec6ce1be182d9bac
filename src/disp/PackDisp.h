#pragma once

#include <netinet/in.h>

#include <cstdint>

#include "DBGUID.h"
#include "DBString.h"
#include "DBTime.h"

class CIdeaCtx;
class CPackV7;
class DispLog;
enum typRec : int;

// One message of the dispatcher link: u16 length (counting itself), u8 code, then
// the fields of its kind, all little-endian. The length field always holds a value
// between 2 (empty, no code) and kBufSize, so the bytes Data()[0 .. Len()-1] are
// exactly what travels in a frame record.
//
// Builders (Create_<Kind>) replace the message and return false, leaving it as it
// was, when a variable part does not fit. Readers (Parse_<Kind>) set every output to
// 0 (or the stated default), read the fields with a bounds check on each and return
// true only when every mandatory field is there; on false every output is left at
// its default. Outputs of u8, u16 and u32 fields are int (u32 as its
// two's-complement bits); u64 fields and the 40-bit time of TimeAndGUID are int64_t.
// Block and list readers take the capacity of the caller's buffer and refuse a
// longer block. Texts go out as at most 255 UTF-16 units (each character cut to 16
// bits); a null text is sent as the empty text.
class CMesDisp {
public:
    static constexpr int kBufSize = 490;
    static constexpr int kHeadSize = 3;  // length and code
    static constexpr int kMaxText = 255;

    // Message codes.
    enum typMes : int {
        mesGetNode = 1,
        mesNode = 2,
        mesSetGGS = 3,
        mesStatGGS = 4,
        mesGetParCfg = 5,
        mesParCfg = 6,
        mesEvent = 7,
        mesNotif = 8,
        mesRefresh = 9,
        mesSubscDial = 10,
        mesGetGroupErr = 11,
        mesGroupErr = 12,
        mesOpenScanState = 13,
        mesGetNextState = 14,
        mesNextState = 15,
        mesGetStateCar = 16,
        mesStateCar = 17,
        mesCleanErr = 18,
        mesMngOutput = 19,
        mesGradOff = 20,
        mesTestGGS = 21,
        mesSuspend = 22,
        mesOpenLog = 23,
        mesStateOpenLog = 24,
        mesGetEventLog = 25,
        mesCloseLog = 26,
        mesCloseLink = 27,
        mesOpenLinkEx = 28,
        mesGetConfig = 29,
        mesConfig = 30,
        mesGetTypLU = 31,
        mesTypLU = 32,
        mesOpenStatist = 33,
        mesStateOpenStatist = 34,
        mesGetStatist = 35,
        mesStatist = 36,
        mesCloseStatist = 37,
        mesOpenErr = 38,
        mesStateOpenErr = 39,
        mesGetErr = 40,
        mesErr = 41,
        mesStateErr = 42,
        mesCloseErr = 43,
        mesSendMsg = 44,
        mesSubscMsg = 45,
        mesMsg = 46,
        mesGetParamStatict = 47,
        mesParamStatict = 48,
        mesExecution = 49,
        mesBegExecution = 50,
        mesEndExecution = 51,
        mesChangeUser = 52,
        mesResChangeUser = 53,
        mesSetMultiGGS = 54,
        mesStatMultiGGS = 55,
        mesVoice = 56,
        mesGetStatLUNode = 57,
        mesStatLUNode = 58,
        mesRefreshLU = 59,
        mesSelSaveVoice = 60,
        mesParSaveVoice = 61,
        mesGetSaveVoice = 62,
        mesReConnect = 63,
        mesParReConnect = 64,
        mesAcceptProfil = 65,
        mesGetProfil = 66,
        mesProfil = 67,
        mesProfilProcessed = 68,
        mesAcceptStruct = 69,
        mesGetStruct = 70,
        mesStruct = 71,
        mesStructAccepted = 72,
        mesAcceptSQLAsk = 73,
        mesGetSQLAsk = 74,
        mesFragSQLAsk = 75,
        mesAcceptSQLAnsw = 76,
        mesGetSQLAnsw = 77,
        mesFragSQLAnsw = 78,
        mesExecuteAsk = 79,
        mesTCPData = 80,
        mesConfTCPData = 81,
        mesTimeAndGUID = 82,
        mesClientStatus = 83,
        mesSendMsgV7 = 84,
        mesSubscMsgV7 = 85,
        mesMsgV7 = 86,
    };
    static constexpr int kKinds = 86;

    // One-byte selectors carried by the SQL, TCP and client-status messages. Their
    // values are the business of the two programs at the ends of those exchanges,
    // so any byte value is a valid member.
    enum typAskSQL : unsigned char {};
    enum typAnswSQL : unsigned char {};
    enum typTCPData : unsigned char {};
    enum typClientStatus : unsigned char {};

    // The empty message (length 2, no code), read position 2.
    CMesDisp();

    void Clear();
    // The empty message of that code (length 3); false for a code outside 1..254.
    bool SetTypMes(int code);
    // The code, or 0 when the message has none.
    int TypMes() const;
    bool IsValid() const;
    int Len() const { return len_; }
    const unsigned char* Data() const { return buf_; }
    // Loads a whole message from its length field on. False, leaving the message
    // as it was, unless 2 <= n <= kBufSize and the length field says n.
    bool Assign(const unsigned char* bytes, int n);

    // Reading field by field from the read position.
    int FrsParse();
    int GetPos() const { return pos_; }
    bool Get(void* out, int n);
    bool Get(DBString& text);
    bool Get(DBTime& time);

    // Appending one field; false (message unchanged) when it would pass kBufSize
    // bytes. A null pointer reserves n zero bytes.
    bool Add(const void* data, int n);
    bool Add(const wchar_t* text);
    bool Add(const DBTime& time);

    // ---- the catalogue, code by code ----
    bool Create_GetNode(int a, int b, int c = -1);     // c omitted for -1
    bool Parse_GetNode(int& a, int& b, int& c) const;  // c = -1 when absent
    bool Create_Node(int a, int b, int c, int d, const wchar_t* text);
    bool Parse_Node(int& a, int& b, int& c, int& d, DBString& text) const;
    bool Create_SetGGS(int a, int b, int c);
    bool Parse_SetGGS(int& a, int& b, int& c) const;
    bool Create_StatGGS(int a, int b, int c);
    bool Parse_StatGGS(int& a, int& b, int& c) const;
    bool Create_GetParCfg();
    bool Parse_GetParCfg() const;
    bool Create_GetParCfgEx(const wchar_t* text, int b);
    bool Parse_GetParCfgEx(DBString& text, int& b) const;
    bool Create_ParCfg(int a, int b, int c, int d, int n, const int* list);
    bool Parse_ParCfg(int& a, int& b, int& c, int& d, int& n, int* list, int size) const;
    bool Create_Event(int a, int64_t b, int c, const DBTime& time, int d, int e, int f, int g, int h, int i,
                      int n, const unsigned char* state, const wchar_t* text);
    bool Parse_Event(int& a, int64_t& b, int& c, DBTime& time, int& d, int& e, int& f, int& g, int& h, int& i,
                     int& n, unsigned char* state, int size, DBString& text) const;
    bool Create_Notif(int a, int b, int n, const unsigned char* bytes);
    bool Parse_Notif(int& a, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_Refresh();
    bool Parse_Refresh() const;
    bool Create_SubscDial(int a, int b);
    bool Parse_SubscDial(int& a, int& b) const;
    bool Create_GetGroupErr(int a);
    bool Parse_GetGroupErr(int& a) const;
    bool Create_GroupErr(int a, int b);
    bool Parse_GroupErr(int& a, int& b) const;
    bool Create_OpenScanState(int a);
    bool Parse_OpenScanState(int& a) const;
    bool Create_GetNextState(int a);
    bool Parse_GetNextState(int& a) const;
    bool Create_NextState(int a, int b, int c, int d, const wchar_t* text);
    bool Parse_NextState(int& a, int& b, int& c, int& d, DBString& text) const;
    bool Create_GetStateCar(int a);
    bool Parse_GetStateCar(int& a) const;
    bool Create_StateCar(int a, const wchar_t* text, const DBTime& t1, const DBTime& t2);
    bool Parse_StateCar(int& a, DBString& text, DBTime& t1, DBTime& t2) const;
    bool Create_CleanErr(int a);
    bool Parse_CleanErr(int& a) const;
    bool Create_MngOutput(int a, int b, int n, const unsigned char* bytes);
    bool Parse_MngOutput(int& a, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_GradOff(int a);
    bool Parse_GradOff(int& a) const;
    bool Create_TestGGS(int a);
    bool Parse_TestGGS(int& a) const;
    bool Create_Suspend(int a);
    bool Parse_Suspend(int& a) const;
    bool Create_OpenLog(const DBTime& from, const DBTime& to, int a, int b, int c, int d, int e, int f,
                        const wchar_t* t1, const wchar_t* t2, const wchar_t* t3);
    bool Parse_OpenLog(DBTime& from, DBTime& to, int& a, int& b, int& c, int& d, int& e, int& f, DBString& t1,
                       DBString& t2, DBString& t3) const;
    bool Create_StateOpenLog(int a, int b);
    bool Parse_StateOpenLog(int& a, int& b) const;
    bool Create_GetEventLog(int a);
    bool Parse_GetEventLog(int& a) const;
    bool Create_CloseLog();
    bool Parse_CloseLog() const;
    bool Create_CloseLink();
    bool Parse_CloseLink() const;
    // list holds the values of a list of length k. The first three always go out
    // (values past a shorter list as 0); with k >= 0 the count k - 3 (0 for a shorter
    // list) and the values from the fourth on follow. With k = -1 the tail is omitted
    // and list must hold three values (or be null for three zeros).
    bool Create_OpenLinkEx(const int* list, int k, int a, int b);
    // k = -1 when the tail is absent, else 3 + the tail count; false when the list
    // would not fit into size values (size must be at least 3).
    bool Parse_OpenLinkEx(int* list, int size, int& k, int& a, int& b) const;
    bool Create_GetConfig(int a = -1);   // a omitted for -1
    bool Parse_GetConfig(int& a) const;  // a = -1 when absent
    bool Create_Config(int a, int b, const wchar_t* text);
    bool Parse_Config(int& a, int& b, DBString& text) const;
    bool Create_GetTypLU(int a);
    bool Parse_GetTypLU(int& a) const;
    bool Create_TypLU(int a, const wchar_t* text);
    bool Parse_TypLU(int& a, DBString& text) const;
    bool Create_OpenStatist(int a, const DBTime& t1, const DBTime& t2);
    bool Parse_OpenStatist(int& a, DBTime& t1, DBTime& t2) const;
    bool Create_StateOpenStatist(int a, int b);
    bool Parse_StateOpenStatist(int& a, int& b) const;
    bool Create_GetStatist(int a, int b);
    bool Parse_GetStatist(int& a, int& b) const;
    bool Create_Statist(int a, int b, int c, const DBTime& time, int d, int e, int f, int g);
    bool Parse_Statist(int& a, int& b, int& c, DBTime& time, int& d, int& e, int& f, int& g) const;
    bool Create_CloseStatist();
    bool Parse_CloseStatist() const;
    bool Create_OpenErr(int a, const DBTime& t1, const DBTime& t2);
    bool Parse_OpenErr(int& a, DBTime& t1, DBTime& t2) const;
    bool Create_StateOpenErr(int a, int b);
    bool Parse_StateOpenErr(int& a, int& b) const;
    bool Create_GetErr(int a, int b);
    bool Parse_GetErr(int& a, int& b) const;
    bool Create_Err(int a, int b, int c, int d, const DBTime& time, int n, const unsigned char* bytes);
    bool Parse_Err(int& a, int& b, int& c, int& d, DBTime& time, int& n, unsigned char* buf, int size) const;
    bool Create_StateErr(int a, int b, int c);
    bool Parse_StateErr(int& a, int& b, int& c) const;
    bool Create_CloseErr();
    bool Parse_CloseErr() const;
    // A line packet for the console's UM line or node `target`.
    bool Create_SendMsg(int target, unsigned char kind, int n, const unsigned char* bytes);
    bool Parse_SendMsg(int& target, int& kind, int& n, unsigned char* buf, int size) const;
    bool Create_SubscMsg(int a, int b);
    bool Parse_SubscMsg(int& a, int& b) const;
    bool Create_Msg(int source, int n, const unsigned char* bytes);
    // A line packet from the device side.
    bool Parse_Msg(int& source, int& n, unsigned char* buf, int size) const;
    bool Create_GetParamStatict(int a);
    bool Parse_GetParamStatict(int& a) const;
    bool Create_ParamStatict(int a, const DBTime& time, double value);
    bool Parse_ParamStatict(int& a, DBTime& time, double& value) const;
    bool Create_Execution();
    bool Parse_Execution() const;
    bool Create_BegExecution();
    bool Parse_BegExecution() const;
    bool Create_EndExecution();
    bool Parse_EndExecution() const;
    bool Create_ChangeUser(int n, const unsigned char* bytes);
    bool Parse_ChangeUser(int& n, unsigned char* buf, int size) const;
    bool Create_ResChangeUser(int result);
    bool Parse_ResChangeUser(int& result) const;
    bool Create_SetMultiGGS(int a, int b, int c);
    bool Parse_SetMultiGGS(int& a, int& b, int& c) const;
    bool Create_StatMultiGGS(int a, int b, int c);
    bool Parse_StatMultiGGS(int& a, int& b, int& c) const;
    bool Create_Voice(int a, int b, int n, const unsigned char* bytes);
    // Also accepts a VoiceExt message; its trailing fields are not read.
    bool Parse_Voice(int& a, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_VoiceExt(int a, int b, int n, const unsigned char* bytes, int c, const DBGUID& guid);
    bool Parse_VoiceExt(int& a, int& b, int& n, unsigned char* buf, int size, int& c, DBGUID& guid) const;
    bool Create_GetStatLUNode(int a, int b, int c);
    bool Parse_GetStatLUNode(int& a, int& b, int& c) const;
    bool Create_StatLUNode(int a, int b, const int values[7]);
    bool Parse_StatLUNode(int& a, int& b, int values[7]) const;
    bool Create_RefreshLU(int a);
    bool Parse_RefreshLU(int& a) const;
    bool Create_SelSaveVoice(const DBTime& t1, const DBTime& t2, int a, int b);
    bool Parse_SelSaveVoice(DBTime& t1, DBTime& t2, int& a, int& b) const;
    bool Create_ParSaveVoice(int a, const DBTime& time, int b, int c, int d);
    bool Parse_ParSaveVoice(int& a, DBTime& time, int& b, int& c, int& d) const;
    bool Create_GetSaveVoice(int a, int b);
    bool Parse_GetSaveVoice(int& a, int& b) const;
    bool Create_ReConnect();
    bool Parse_ReConnect() const;
    bool Create_ParReConnect(int a, int b, int n, const int* list);
    bool Parse_ParReConnect(int& a, int& b, int& n, int* list, int size) const;
    bool Create_AcceptProfil(int a, int b);
    bool Parse_AcceptProfil(int& a, int& b) const;
    bool Create_GetProfil(int a = -1);   // a omitted for -1
    bool Parse_GetProfil(int& a) const;  // a = 0 when absent
    bool Create_Profil(int a, const wchar_t* text);
    bool Parse_Profil(int& a, DBString& text) const;
    bool Create_ProfilProcessed(int a);
    bool Parse_ProfilProcessed(int& a) const;
    bool Create_AcceptStruct(int a);
    bool Parse_AcceptStruct(int& a) const;
    bool Create_GetStruct(int a = -1);   // a omitted for -1
    bool Parse_GetStruct(int& a) const;  // a = 0 when absent
    bool Create_Struct(int a, const wchar_t* text);
    bool Parse_Struct(int& a, DBString& text) const;
    bool Create_StructAccepted(int a);
    bool Parse_StructAccepted(int& a) const;
    bool Create_AcceptSQLAsk(int a, typAskSQL typ, int b, int n, const unsigned char* bytes);
    bool Parse_AcceptSQLAsk(int& a, typAskSQL& typ, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_GetSQLAsk(int a, int b);
    bool Parse_GetSQLAsk(int& a, int& b) const;
    bool Create_FragSQLAsk(int a, int b, int n, const unsigned char* bytes);
    bool Parse_FragSQLAsk(int& a, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_AcceptSQLAnsw(int a, typAnswSQL typ, int b, int n, const unsigned char* bytes);
    bool Parse_AcceptSQLAnsw(int& a, typAnswSQL& typ, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_GetSQLAnsw(int a, int b);
    bool Parse_GetSQLAnsw(int& a, int& b) const;
    bool Create_FragSQLAnsw(int a, int b, int n, const unsigned char* bytes);
    bool Parse_FragSQLAnsw(int& a, int& b, int& n, unsigned char* buf, int size) const;
    bool Create_ExecuteAsk(int a);
    bool Parse_ExecuteAsk(int& a) const;
    bool Create_TCPData(const DBGUID& guid, typTCPData typ, int a, int b);
    bool Parse_TCPData(DBGUID& guid, typTCPData& typ, int& a, int& b) const;
    bool Create_ConfTCPData(const DBGUID& guid, int a, int b);
    bool Parse_ConfTCPData(DBGUID& guid, int& a, int& b) const;
    // The time goes out as its low 40 bits and is read back unsigned.
    bool Create_TimeAndGUID(long t, const DBGUID& guid);
    bool Parse_TimeAndGUID(long& t, DBGUID& guid) const;
    bool Create_ClientStatus(typClientStatus status);
    bool Parse_ClientStatus(typClientStatus& status) const;
    // Only a data-class V7 packet (its type and the payload behind its 13-byte header).
    bool Create_SendMsgV7(int target, unsigned char kind, const CPackV7& p);
    bool Create_SendMsgV7(int target, unsigned char kind, int typ, int n, const unsigned char* payload);
    bool Parse_SendMsgV7(int& target, int& kind, int& typ, int& n, unsigned char* buf, int size) const;
    bool Create_SubscMsgV7(int a, int b);
    bool Parse_SubscMsgV7(int& a, int& b) const;
    bool Create_MsgV7(int source, unsigned char kind, const CPackV7& p);
    bool Create_MsgV7(int source, unsigned char kind, int typ, int n, const unsigned char* payload);
    bool Parse_MsgV7(int& source, int& kind, int& typ, int& n, unsigned char* buf, int size) const;

    friend bool operator==(const CMesDisp& a, const CMesDisp& b);

private:
    int16_t len_ = 2;
    int16_t pos_ = 2;
    unsigned char buf_[kBufSize] = {2, 0};
};

// One datagram of the dispatcher link.
//
// Frame: u16 F (bytes before the CRC, 4..512), u8 ident (0 = no acknowledgement
// wanted), u8 0x10 | number of reply bytes, the message records (each a CMesDisp
// from its length field on; a record of length 2 is a place holder), the reply bytes
// (idents of the peer's frames acknowledged hereby), then the CRC-16/XMODEM of the
// F bytes, low byte first. The CRC in the buffer is kept current by every change.
//
// On the wire the frame and CRC either travel as they are or, with a cipher
// context, padded to whole 8-byte IDEA blocks and followed by 0..3 random bytes.
class CPackDisp {
public:
    static constexpr int kMaxFrame = 512;           // largest F
    static constexpr int kBufSize = kMaxFrame + 2;  // frame and CRC
    static constexpr int kHeadSize = 4;
    static constexpr int kMaxReply = 15;
    static constexpr int kMaxBlocks = 65;                      // 520 bytes, enough for kBufSize
    static constexpr int kWireSize = kMaxBlocks * 8 + 3;       // largest enciphered datagram
    static constexpr int kMaxMessage = kMaxFrame - kHeadSize;  // record that fits alone

    int pos = kHeadSize;  // read position of GetMes
    int ident = 0;
    int nReply = 0;
    bool isVoice = false;  // the frame holds a voice message
    bool valid = true;     // the last decode succeeded

    // The empty frame: 04 00 00 10 and its CRC C0 D8.
    CPackDisp();
    // A frame holding m alone; a message that cannot fit gives the empty frame.
    explicit CPackDisp(const CMesDisp& m);

    void Clear();

    // F: the frame bytes before the CRC.
    int Len() const;
    // The frame from its length field on; Len() + 2 bytes including the CRC.
    const unsigned char* Data() const { return buf_; }
    // Whether any record other than a place holder lies before the reply bytes.
    bool HasMessages() const;

    // False, leaving the frame unchanged, when the message would take F past 512
    // (with reply bytes present: to 512 or more), when a voice message would join a
    // frame that holds messages, or when anything but a TimeAndGUID stamp would join
    // a frame that holds a voice message.
    bool AddMes(const CMesDisp& m);
    void BegGet() { pos = kHeadSize; }
    // The next message, skipping place holders; false at the reply bytes or on a
    // record that is malformed (m is then empty).
    bool GetMes(CMesDisp& m);

    // 0..255; false for any other value.
    bool SetIdent(int id);
    void DelIdent();
    // False, leaving the frame unchanged, when F + n would pass 511 or the frame
    // would hold more than 15 reply bytes.
    bool AddReply(const unsigned char* ids, int n);
    const unsigned char* GetReply(int& n) const;

    void CalcCrc();
    void CalcCrc(unsigned char& lo, unsigned char& hi) const;
    bool TestCRC() const;
    // CRC-16/XMODEM: polynomial 0x1021, initial 0, no reflection, no final XOR.
    static uint16_t Crc16(const unsigned char* p, int n);

    // Writes the datagram into out and returns its length; 0 when it does not fit
    // into size bytes. With a cipher context the frame travels enciphered.
    int Encoding(unsigned char* out, int size, const CIdeaCtx* ctx);
    // Reads a datagram; valid tells whether it was a good frame. Never reads or
    // writes outside in[0 .. n-1] and the frame's own buffer.
    void Decoding(const unsigned char* in, int n, const CIdeaCtx* ctx);
    // Checks the buffer and sets ident, nReply, isVoice and valid from it.
    void UnPack();

    // Moves messages of other into this frame, in order, while they fit; false when
    // nothing moved or when either frame holds a voice message.
    bool Link(CPackDisp& other);
    bool IsExistClose() const;
    // The first TimeAndGUID message; t and g are 0 and the result false without one.
    bool GetTimeAndGUID(long& t, DBGUID& g) const;

    // prefix, then " %02X" for each of the F frame bytes.
    DBString ToString(const wchar_t* prefix) const;

private:
    int Walk(int code) const;  // position of the first record with that code, or -1
    void SetLen(int f);
    void WriteHead();

    unsigned char buf_[kBufSize] = {};
};

// One line of the dispatcher log: the frame from its length field on, with its two check
// bytes.
void LogPacket(DispLog& log, typRec direction, const in6_addr& address, int port, const CPackDisp& packet);
