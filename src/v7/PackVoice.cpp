#include "PackVoice.h"

#include <algorithm>
#include <cstring>

CPackVoice::CPackVoice() : length_(kFrameSize) {
    buf_[kMark] = 27;
}

CPackVoice::CPackVoice(int n, const unsigned char* p) {
    if (n >= 0 && n <= kBufSize && (n == 0 || p != nullptr)) {
        length_ = n;
        if (n > 0) {
            std::memcpy(buf_, p, static_cast<size_t>(n));
        }
    }
}

CPackVoice::CPackVoice(const CPackVoice& o) {
    *this = o;
}

CPackVoice& CPackVoice::operator=(const CPackVoice& o) {
    if (this == &o) {
        return *this;
    }
    length_ = 0;
    std::memset(buf_, 0, sizeof buf_);
    if (o.length_ >= 0 && o.length_ <= kBufSize) {
        length_ = o.length_;
    }
    std::memcpy(buf_, o.buf_, sizeof buf_);
    numCall_ = o.numCall_;
    return *this;
}

void CPackVoice::SetVoice(const unsigned char* p) {
    if (p != nullptr) {
        std::memcpy(buf_, p, kVoiceBytes + 1);
    }
}

DBGUID CPackVoice::GetGUID() const {
    DBGUID g;
    g.Set(buf_ + kGuid, sizeof(GUID));
    return g;
}

void CPackVoice::SetGUID(const DBGUID& g) {
    const GUID& raw = g;
    std::memcpy(buf_ + kGuid, &raw, sizeof(GUID));
}

int CPackVoice::IncHop() {
    if (buf_[kHop] >= kMaxHop) {
        return 0;
    }
    ++buf_[kHop];
    return 1;
}

void CPackVoice::SetError(codError e) {
    buf_[kTyp] = static_cast<unsigned char>(typError);
    // The code sits behind the frame's usual end; a frame too short for it grows.
    length_ = std::max(length_, kError + 1);
    buf_[kError] = static_cast<unsigned char>(e);
}

int CPackVoice::GetError() const {
    if (buf_[kTyp] != typError || length_ < kError + 1) {
        return -1;
    }
    return buf_[kError];
}

void CPackVoice::SetAnswer(const CPackVoice& r) {
    if (this == &r) {
        SetAnswer();
        return;
    }
    numCall_ = r.numCall_;
    std::memcpy(buf_ + kOrig, r.buf_ + kDest, 4);
    std::memcpy(buf_ + kDest, r.buf_ + kOrig, 4);
    std::memcpy(buf_ + kGuid, r.buf_ + kGuid, sizeof(GUID));
}

void CPackVoice::SetAnswer() {
    std::swap_ranges(buf_ + kOrig, buf_ + kOrig + 4, buf_ + kDest);
}

DBString CPackVoice::ToString(const wchar_t* prefix) const {
    DBString s(prefix);
    static const wchar_t hex[] = L"0123456789ABCDEF";
    for (int i = 0; i < length_; ++i) {
        s += L' ';
        s += hex[buf_[i] >> 4];
        s += hex[buf_[i] & 15];
    }
    return s;
}
