#pragma once

#include <cstdint>

#include "DBGUID.h"
#include "DBString.h"

// A routed voice frame of the dispatch network: 96 voice bytes, the direction, the
// source and destination in the structure (UM, slot, device, point), a hop counter,
// the call identifier, the frame type and, in an error answer, an error code.
class CPackVoice {
public:
    static constexpr int kBufSize = 256;
    static constexpr int kVoiceBytes = 96;
    // Bytes of a frame built by the default constructor; an error answer has one more.
    static constexpr int kFrameSize = 124;
    static constexpr int kMaxHop = 15;

    enum typPack : int {
        typVoice = 0,
        typError = 254,
    };

    enum codError : int {
        errNone = 0,
    };

    CPackVoice();
    // A received frame; more than 256 bytes, n < 0 or no bytes give an empty frame.
    CPackVoice(int n, const unsigned char* p);
    CPackVoice(const CPackVoice& o);
    CPackVoice& operator=(const CPackVoice& o);

    int GetLength() const { return length_; }
    const unsigned char* GetBuf() const { return buf_; }
    int GetNumCall() const { return numCall_; }
    void SetNumCall(int n) { numCall_ = n; }

    const unsigned char* GetVoice() const { return buf_; }
    // The 96 voice bytes and the direction byte behind them.
    void SetVoice(const unsigned char* p);

    int GetTyp() const { return buf_[kTyp]; }
    void SetTyp(int t) { Put(kTyp, t); }
    int GetDirect() const { return buf_[kDirect]; }
    void SetDirect(int v) { Put(kDirect, v); }
    int GetOrigUM() const { return buf_[kOrig]; }
    void SetOrigUM(int v) { Put(kOrig, v); }
    int GetOrigSlot() const { return buf_[kOrig + 1]; }
    void SetOrigSlot(int v) { Put(kOrig + 1, v); }
    int GetOrigDev() const { return buf_[kOrig + 2]; }
    void SetOrigDev(int v) { Put(kOrig + 2, v); }
    int GetOrigPoint() const { return buf_[kOrig + 3]; }
    void SetOrigPoint(int v) { Put(kOrig + 3, v); }
    int GetDestUM() const { return buf_[kDest]; }
    void SetDestUM(int v) { Put(kDest, v); }
    int GetDestSlot() const { return buf_[kDest + 1]; }
    void SetDestSlot(int v) { Put(kDest + 1, v); }
    int GetDestDev() const { return buf_[kDest + 2]; }
    void SetDestDev(int v) { Put(kDest + 2, v); }
    int GetDestPoint() const { return buf_[kDest + 3]; }
    void SetDestPoint(int v) { Put(kDest + 3, v); }
    int GetHop() const { return buf_[kHop]; }
    void SetHop(int v) { Put(kHop, v); }
    DBGUID GetGUID() const;
    void SetGUID(const DBGUID& g);

    // 0 once the counter has reached 15 (the frame has travelled far enough).
    int IncHop();
    void SetError(codError e);
    // -1 unless this is an error answer long enough to hold the code.
    int GetError() const;
    // This frame becomes the answer to r: r's call, r's route reversed, r's identifier.
    void SetAnswer(const CPackVoice& r);
    // Turns the route around in place.
    void SetAnswer();

    DBString ToString(const wchar_t* prefix) const;

private:
    static constexpr int kDirect = 96;
    static constexpr int kMark = 97;
    static constexpr int kOrig = 98;
    static constexpr int kDest = 102;
    static constexpr int kHop = 106;
    static constexpr int kGuid = 107;
    static constexpr int kTyp = 123;
    static constexpr int kError = 124;

    void Put(int at, int v) { buf_[at] = static_cast<unsigned char>(v); }

    int32_t length_ = 0;
    unsigned char buf_[kBufSize] = {};
    int32_t numCall_ = -1;
};
