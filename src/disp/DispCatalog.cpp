#include "DispCatalog.h"

#include <bit>
#include <cstring>
#include <cwchar>

#include "PackV7.h"

namespace DispCatalog {

namespace {

uint64_t GetLE(const unsigned char* p, int n) {
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
    return v;
}

void PutLE(unsigned char* p, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) {
        p[i] = static_cast<unsigned char>(v & 0xFF);
        v >>= 8;
    }
}

bool IsOmitted(const FieldSpec& s, const FieldIn& in) {
    if (!s.optional) return false;
    return s.kind == Field::List8 ? in.count == -1 : in.num == -1;
}

void SetAbsent(const FieldSpec& s, const FieldOut& out) {
    if (out.cat == Cat::Int)
        *static_cast<int*>(out.target) = s.absent;
    else if (out.cat == Cat::Int64)
        *static_cast<int64_t*>(out.target) = s.absent;
    else if (out.cat == Cat::List)
        *out.count = s.absent;
}

}  // namespace

const KindSpec* FindCode(int code) {
    return code >= 1 && code <= CMesDisp::kKinds ? &kKinds[code - 1] : nullptr;
}

const char* Name(int code) {
    const KindSpec* k = FindCode(code);
    return k != nullptr ? k->name : "?";
}

void ResetOut(const FieldOut& out) {
    switch (out.cat) {
        case Cat::Int:
            *static_cast<int*>(out.target) = 0;
            break;
        case Cat::Int64:
            *static_cast<int64_t*>(out.target) = 0;
            break;
        case Cat::Byte:
            *static_cast<unsigned char*>(out.target) = 0;
            break;
        case Cat::Real:
            *static_cast<double*>(out.target) = 0.0;
            break;
        case Cat::Date:
            *static_cast<DBTime*>(out.target) = DBTime();
            break;
        case Cat::Text:
            static_cast<DBString*>(out.target)->clear();
            break;
        case Cat::Guid:
            *static_cast<DBGUID*>(out.target) = DBGUID();
            break;
        case Cat::Block:
        case Cat::List:
            *out.count = 0;
            break;
    }
}

int PutField(const FieldSpec& s, const FieldIn& in, unsigned char* buf, int pos, int cap) {
    if (!AcceptsIn(s.kind, in.cat)) return -1;
    const int head = HeadSize(s.kind);
    switch (s.kind) {
        case Field::U8:
        case Field::U16:
        case Field::U32:
        case Field::U64:
        case Field::Time40:
            if (pos + head > cap) return -1;
            PutLE(buf + pos, static_cast<uint64_t>(in.num), head);
            return pos + head;
        case Field::F64:
        case Field::Date:
            if (pos + head > cap) return -1;
            PutLE(buf + pos, std::bit_cast<uint64_t>(in.real), head);
            return pos + head;
        case Field::Text: {
            const wchar_t* t = static_cast<const wchar_t*>(in.ptr);
            const size_t n = t != nullptr ? std::wcslen(t) : 0;
            // The count is one byte: a longer text would go out with a wrong count and
            // the peer would read the rest of the message out of place.
            if (n > static_cast<size_t>(CMesDisp::kMaxText)) return -1;
            const int units = static_cast<int>(n);
            if (pos + 1 + 2 * units > cap) return -1;
            buf[pos] = static_cast<unsigned char>(units);
            for (int i = 0; i < units; ++i)
                PutLE(buf + pos + 1 + 2 * i, static_cast<uint32_t>(t[i]) & 0xFFFF, 2);
            return pos + 1 + 2 * units;
        }
        case Field::Guid:
            if (pos + head > cap) return -1;
            std::memcpy(buf + pos, static_cast<const GUID*>(static_cast<const DBGUID*>(in.ptr)), 16);
            return pos + head;
        case Field::Block8:
        case Field::Block16:
        case Field::List8: {
            const int n = in.count;
            const int unit = UnitSize(s.kind);
            if (n < 0 || n > s.limit || (n > 0 && in.ptr == nullptr)) return -1;
            if (pos + head + n * unit > cap) return -1;
            PutLE(buf + pos, static_cast<uint64_t>(n), head);
            if (s.kind == Field::List8) {
                const int* v = static_cast<const int*>(in.ptr);
                for (int i = 0; i < n; ++i) PutLE(buf + pos + head + 4 * i, static_cast<uint32_t>(v[i]), 4);
            } else if (n > 0) {
                std::memcpy(buf + pos + head, in.ptr, static_cast<size_t>(n));
            }
            return pos + head + n * unit;
        }
        case Field::None:
            break;
    }
    return -1;
}

int GetField(const FieldSpec& s, const FieldOut& out, const unsigned char* buf, int pos, int end) {
    if (!AcceptsOut(s.kind, out.cat)) return -1;
    const int head = HeadSize(s.kind);
    if (pos < 0 || pos + head > end) return -1;
    const unsigned char* p = buf + pos;
    switch (s.kind) {
        case Field::U8:
        case Field::U16:
        case Field::U32: {
            const uint64_t v = GetLE(p, head);
            if (out.cat == Cat::Byte)
                *static_cast<unsigned char*>(out.target) = static_cast<unsigned char>(v);
            else
                *static_cast<int*>(out.target) = static_cast<int32_t>(static_cast<uint32_t>(v));
            return pos + head;
        }
        case Field::U64:
        case Field::Time40:
            *static_cast<int64_t*>(out.target) = static_cast<int64_t>(GetLE(p, head));
            return pos + head;
        case Field::F64:
            *static_cast<double*>(out.target) = std::bit_cast<double>(GetLE(p, head));
            return pos + head;
        case Field::Date:
            *static_cast<DBTime*>(out.target) = DBTime(std::bit_cast<double>(GetLE(p, head)), false, 0);
            return pos + head;
        case Field::Text: {
            int units = p[0];
            if (pos + 1 + 2 * units > end) return -1;
            char16_t text[CMesDisp::kMaxText];
            for (int i = 0; i < units; ++i) text[i] = static_cast<char16_t>(GetLE(p + 1 + 2 * i, 2));
            const char16_t* first = text;
            int count = units;
            // FE FF in front: the peer wrote the text big-endian behind a byte-order mark.
            if (count > 0 && first[0] == 0xFFFE) {
                ++first;
                --count;
                for (int i = 0; i < count; ++i)
                    text[i + 1] = static_cast<char16_t>(((text[i + 1] & 0xFF) << 8) | (text[i + 1] >> 8));
            }
            *static_cast<DBString*>(out.target) = DBString(first, count);
            return pos + 1 + 2 * units;
        }
        case Field::Guid:
            static_cast<DBGUID*>(out.target)->Set(p, 16);
            return pos + head;
        case Field::Block8:
        case Field::Block16:
        case Field::List8: {
            const int n = static_cast<int>(GetLE(p, head));
            const int unit = UnitSize(s.kind);
            if (n > s.limit || n > out.size || pos + head + n * unit > end) return -1;
            if (s.kind == Field::List8) {
                int* v = static_cast<int*>(out.target);
                for (int i = 0; i < n; ++i)
                    v[i] = static_cast<int32_t>(static_cast<uint32_t>(GetLE(p + head + 4 * i, 4)));
            } else if (n > 0) {
                std::memcpy(out.target, p + head, static_cast<size_t>(n));
            }
            *out.count = n;
            return pos + head + n * unit;
        }
        case Field::None:
            break;
    }
    return -1;
}

bool Encode(const KindSpec& k, const FieldIn* in, int n, CMesDisp& m) {
    if (n != k.Count()) return false;
    unsigned char buf[CMesDisp::kBufSize];
    buf[2] = static_cast<unsigned char>(k.code);
    int pos = CMesDisp::kHeadSize;
    for (int i = 0; i < n; ++i) {
        if (IsOmitted(k.fields[i], in[i])) break;  // optional fields are last
        pos = PutField(k.fields[i], in[i], buf, pos, CMesDisp::kBufSize);
        if (pos < 0) return false;
    }
    PutLE(buf, static_cast<uint64_t>(pos), 2);
    return m.Assign(buf, pos);
}

bool Decode(const KindSpec& k, const FieldOut* out, int n, const CMesDisp& m) {
    for (int i = 0; i < n; ++i) ResetOut(out[i]);
    if (n != k.Count() || m.TypMes() != k.code) return false;
    const unsigned char* buf = m.Data();
    const int end = m.Len();
    int pos = CMesDisp::kHeadSize;
    for (int i = 0; i < n; ++i) {
        const FieldSpec& s = k.fields[i];
        if (s.optional && pos >= end) {
            SetAbsent(s, out[i]);
            continue;
        }
        pos = GetField(s, out[i], buf, pos, end);
        if (pos < 0) {
            for (int j = 0; j < n; ++j) ResetOut(out[j]);
            return false;
        }
    }
    return true;
}

}  // namespace DispCatalog

// ---------------------------------------------------------------- the named kinds

using DispCatalog::BlockIn;
using DispCatalog::BlockOut;
using DispCatalog::Build;
using DispCatalog::kGetParCfgEx;
using DispCatalog::kVoiceExt;
using DispCatalog::ListIn;
using DispCatalog::ListOut;
using DispCatalog::Read;
using DispCatalog::Row;

#define DISP_ROW(kind) Row(CMesDisp::mes##kind)

bool CMesDisp::Create_GetNode(int a, int b, int c) {
    return Build<DISP_ROW(GetNode)>(*this, a, b, c);
}
bool CMesDisp::Parse_GetNode(int& a, int& b, int& c) const {
    return Read<DISP_ROW(GetNode)>(*this, a, b, c);
}

bool CMesDisp::Create_Node(int a, int b, int c, int d, const wchar_t* text) {
    return Build<DISP_ROW(Node)>(*this, a, b, c, d, text);
}
bool CMesDisp::Parse_Node(int& a, int& b, int& c, int& d, DBString& text) const {
    return Read<DISP_ROW(Node)>(*this, a, b, c, d, text);
}

bool CMesDisp::Create_SetGGS(int a, int b, int c) {
    return Build<DISP_ROW(SetGGS)>(*this, a, b, c);
}
bool CMesDisp::Parse_SetGGS(int& a, int& b, int& c) const {
    return Read<DISP_ROW(SetGGS)>(*this, a, b, c);
}
bool CMesDisp::Create_StatGGS(int a, int b, int c) {
    return Build<DISP_ROW(StatGGS)>(*this, a, b, c);
}
bool CMesDisp::Parse_StatGGS(int& a, int& b, int& c) const {
    return Read<DISP_ROW(StatGGS)>(*this, a, b, c);
}

bool CMesDisp::Create_GetParCfg() {
    return Build<DISP_ROW(GetParCfg)>(*this);
}
bool CMesDisp::Parse_GetParCfg() const {
    return Read<DISP_ROW(GetParCfg)>(*this);
}
bool CMesDisp::Create_GetParCfgEx(const wchar_t* text, int b) {
    return Build<kGetParCfgEx>(*this, text, b);
}
bool CMesDisp::Parse_GetParCfgEx(DBString& text, int& b) const {
    return Read<kGetParCfgEx>(*this, text, b);
}

bool CMesDisp::Create_ParCfg(int a, int b, int c, int d, int n, const int* list) {
    return Build<DISP_ROW(ParCfg)>(*this, a, b, c, d, ListIn{n, list});
}
bool CMesDisp::Parse_ParCfg(int& a, int& b, int& c, int& d, int& n, int* list, int size) const {
    return Read<DISP_ROW(ParCfg)>(*this, a, b, c, d, ListOut{n, list, size});
}

bool CMesDisp::Create_Event(int a, int64_t b, int c, const DBTime& time, int d, int e, int f, int g, int h,
                            int i, int n, const unsigned char* state, const wchar_t* text) {
    return Build<DISP_ROW(Event)>(*this, a, b, c, time, d, e, f, g, h, i, BlockIn{n, state}, text);
}
bool CMesDisp::Parse_Event(int& a, int64_t& b, int& c, DBTime& time, int& d, int& e, int& f, int& g, int& h,
                           int& i, int& n, unsigned char* state, int size, DBString& text) const {
    return Read<DISP_ROW(Event)>(*this, a, b, c, time, d, e, f, g, h, i, BlockOut{n, state, size}, text);
}

bool CMesDisp::Create_Notif(int a, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(Notif)>(*this, a, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_Notif(int& a, int& b, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(Notif)>(*this, a, b, BlockOut{n, buf, size});
}

bool CMesDisp::Create_Refresh() {
    return Build<DISP_ROW(Refresh)>(*this);
}
bool CMesDisp::Parse_Refresh() const {
    return Read<DISP_ROW(Refresh)>(*this);
}
bool CMesDisp::Create_SubscDial(int a, int b) {
    return Build<DISP_ROW(SubscDial)>(*this, a, b);
}
bool CMesDisp::Parse_SubscDial(int& a, int& b) const {
    return Read<DISP_ROW(SubscDial)>(*this, a, b);
}
bool CMesDisp::Create_GetGroupErr(int a) {
    return Build<DISP_ROW(GetGroupErr)>(*this, a);
}
bool CMesDisp::Parse_GetGroupErr(int& a) const {
    return Read<DISP_ROW(GetGroupErr)>(*this, a);
}
bool CMesDisp::Create_GroupErr(int a, int b) {
    return Build<DISP_ROW(GroupErr)>(*this, a, b);
}
bool CMesDisp::Parse_GroupErr(int& a, int& b) const {
    return Read<DISP_ROW(GroupErr)>(*this, a, b);
}
bool CMesDisp::Create_OpenScanState(int a) {
    return Build<DISP_ROW(OpenScanState)>(*this, a);
}
bool CMesDisp::Parse_OpenScanState(int& a) const {
    return Read<DISP_ROW(OpenScanState)>(*this, a);
}
bool CMesDisp::Create_GetNextState(int a) {
    return Build<DISP_ROW(GetNextState)>(*this, a);
}
bool CMesDisp::Parse_GetNextState(int& a) const {
    return Read<DISP_ROW(GetNextState)>(*this, a);
}

bool CMesDisp::Create_NextState(int a, int b, int c, int d, const wchar_t* text) {
    return Build<DISP_ROW(NextState)>(*this, a, b, c, d, text);
}
bool CMesDisp::Parse_NextState(int& a, int& b, int& c, int& d, DBString& text) const {
    return Read<DISP_ROW(NextState)>(*this, a, b, c, d, text);
}

bool CMesDisp::Create_GetStateCar(int a) {
    return Build<DISP_ROW(GetStateCar)>(*this, a);
}
bool CMesDisp::Parse_GetStateCar(int& a) const {
    return Read<DISP_ROW(GetStateCar)>(*this, a);
}

bool CMesDisp::Create_StateCar(int a, const wchar_t* text, const DBTime& t1, const DBTime& t2) {
    return Build<DISP_ROW(StateCar)>(*this, a, text, t1, t2);
}
bool CMesDisp::Parse_StateCar(int& a, DBString& text, DBTime& t1, DBTime& t2) const {
    return Read<DISP_ROW(StateCar)>(*this, a, text, t1, t2);
}

bool CMesDisp::Create_CleanErr(int a) {
    return Build<DISP_ROW(CleanErr)>(*this, a);
}
bool CMesDisp::Parse_CleanErr(int& a) const {
    return Read<DISP_ROW(CleanErr)>(*this, a);
}

bool CMesDisp::Create_MngOutput(int a, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(MngOutput)>(*this, a, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_MngOutput(int& a, int& b, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(MngOutput)>(*this, a, b, BlockOut{n, buf, size});
}

bool CMesDisp::Create_GradOff(int a) {
    return Build<DISP_ROW(GradOff)>(*this, a);
}
bool CMesDisp::Parse_GradOff(int& a) const {
    return Read<DISP_ROW(GradOff)>(*this, a);
}
bool CMesDisp::Create_TestGGS(int a) {
    return Build<DISP_ROW(TestGGS)>(*this, a);
}
bool CMesDisp::Parse_TestGGS(int& a) const {
    return Read<DISP_ROW(TestGGS)>(*this, a);
}
bool CMesDisp::Create_Suspend(int a) {
    return Build<DISP_ROW(Suspend)>(*this, a);
}
bool CMesDisp::Parse_Suspend(int& a) const {
    return Read<DISP_ROW(Suspend)>(*this, a);
}

bool CMesDisp::Create_OpenLog(const DBTime& from, const DBTime& to, int a, int b, int c, int d, int e, int f,
                              const wchar_t* t1, const wchar_t* t2, const wchar_t* t3) {
    return Build<DISP_ROW(OpenLog)>(*this, from, to, a, b, c, d, e, f, t1, t2, t3);
}
bool CMesDisp::Parse_OpenLog(DBTime& from, DBTime& to, int& a, int& b, int& c, int& d, int& e, int& f,
                             DBString& t1, DBString& t2, DBString& t3) const {
    return Read<DISP_ROW(OpenLog)>(*this, from, to, a, b, c, d, e, f, t1, t2, t3);
}

bool CMesDisp::Create_StateOpenLog(int a, int b) {
    return Build<DISP_ROW(StateOpenLog)>(*this, a, b);
}
bool CMesDisp::Parse_StateOpenLog(int& a, int& b) const {
    return Read<DISP_ROW(StateOpenLog)>(*this, a, b);
}
bool CMesDisp::Create_GetEventLog(int a) {
    return Build<DISP_ROW(GetEventLog)>(*this, a);
}
bool CMesDisp::Parse_GetEventLog(int& a) const {
    return Read<DISP_ROW(GetEventLog)>(*this, a);
}
bool CMesDisp::Create_CloseLog() {
    return Build<DISP_ROW(CloseLog)>(*this);
}
bool CMesDisp::Parse_CloseLog() const {
    return Read<DISP_ROW(CloseLog)>(*this);
}
bool CMesDisp::Create_CloseLink() {
    return Build<DISP_ROW(CloseLink)>(*this);
}
bool CMesDisp::Parse_CloseLink() const {
    return Read<DISP_ROW(CloseLink)>(*this);
}

bool CMesDisp::Create_OpenLinkEx(const int* list, int k, int a, int b) {
    if (k < -1) return false;
    // The first three values always travel, even for a shorter list; reading them
    // from a list that does not hold them would read past the caller's array.
    int head[3] = {0, 0, 0};
    const int given = k < 0 ? 3 : (k < 3 ? k : 3);
    for (int i = 0; i < given && list != nullptr; ++i) head[i] = list[i];
    const ListIn tail{k < 0 ? -1 : (k > 3 ? k - 3 : 0), list != nullptr && k > 3 ? list + 3 : nullptr};
    return Build<DISP_ROW(OpenLinkEx)>(*this, head[0], head[1], head[2], a, b, tail);
}
bool CMesDisp::Parse_OpenLinkEx(int* list, int size, int& k, int& a, int& b) const {
    k = -1;
    a = 0;
    b = 0;
    if (list == nullptr || size < 3) return false;
    int tail = 0;
    if (!Read<DISP_ROW(OpenLinkEx)>(*this, list[0], list[1], list[2], a, b,
                                    ListOut{tail, list + 3, size - 3})) {
        k = -1;
        return false;
    }
    k = tail < 0 ? -1 : 3 + tail;
    return true;
}

bool CMesDisp::Create_GetConfig(int a) {
    return Build<DISP_ROW(GetConfig)>(*this, a);
}
bool CMesDisp::Parse_GetConfig(int& a) const {
    return Read<DISP_ROW(GetConfig)>(*this, a);
}

bool CMesDisp::Create_Config(int a, int b, const wchar_t* text) {
    return Build<DISP_ROW(Config)>(*this, a, b, text);
}
bool CMesDisp::Parse_Config(int& a, int& b, DBString& text) const {
    return Read<DISP_ROW(Config)>(*this, a, b, text);
}

bool CMesDisp::Create_GetTypLU(int a) {
    return Build<DISP_ROW(GetTypLU)>(*this, a);
}
bool CMesDisp::Parse_GetTypLU(int& a) const {
    return Read<DISP_ROW(GetTypLU)>(*this, a);
}
bool CMesDisp::Create_TypLU(int a, const wchar_t* text) {
    return Build<DISP_ROW(TypLU)>(*this, a, text);
}
bool CMesDisp::Parse_TypLU(int& a, DBString& text) const {
    return Read<DISP_ROW(TypLU)>(*this, a, text);
}

bool CMesDisp::Create_OpenStatist(int a, const DBTime& t1, const DBTime& t2) {
    return Build<DISP_ROW(OpenStatist)>(*this, a, t1, t2);
}
bool CMesDisp::Parse_OpenStatist(int& a, DBTime& t1, DBTime& t2) const {
    return Read<DISP_ROW(OpenStatist)>(*this, a, t1, t2);
}

bool CMesDisp::Create_StateOpenStatist(int a, int b) {
    return Build<DISP_ROW(StateOpenStatist)>(*this, a, b);
}
bool CMesDisp::Parse_StateOpenStatist(int& a, int& b) const {
    return Read<DISP_ROW(StateOpenStatist)>(*this, a, b);
}
bool CMesDisp::Create_GetStatist(int a, int b) {
    return Build<DISP_ROW(GetStatist)>(*this, a, b);
}
bool CMesDisp::Parse_GetStatist(int& a, int& b) const {
    return Read<DISP_ROW(GetStatist)>(*this, a, b);
}

bool CMesDisp::Create_Statist(int a, int b, int c, const DBTime& time, int d, int e, int f, int g) {
    return Build<DISP_ROW(Statist)>(*this, a, b, c, time, d, e, f, g);
}
bool CMesDisp::Parse_Statist(int& a, int& b, int& c, DBTime& time, int& d, int& e, int& f, int& g) const {
    return Read<DISP_ROW(Statist)>(*this, a, b, c, time, d, e, f, g);
}

bool CMesDisp::Create_CloseStatist() {
    return Build<DISP_ROW(CloseStatist)>(*this);
}
bool CMesDisp::Parse_CloseStatist() const {
    return Read<DISP_ROW(CloseStatist)>(*this);
}

bool CMesDisp::Create_OpenErr(int a, const DBTime& t1, const DBTime& t2) {
    return Build<DISP_ROW(OpenErr)>(*this, a, t1, t2);
}
bool CMesDisp::Parse_OpenErr(int& a, DBTime& t1, DBTime& t2) const {
    return Read<DISP_ROW(OpenErr)>(*this, a, t1, t2);
}

bool CMesDisp::Create_StateOpenErr(int a, int b) {
    return Build<DISP_ROW(StateOpenErr)>(*this, a, b);
}
bool CMesDisp::Parse_StateOpenErr(int& a, int& b) const {
    return Read<DISP_ROW(StateOpenErr)>(*this, a, b);
}
bool CMesDisp::Create_GetErr(int a, int b) {
    return Build<DISP_ROW(GetErr)>(*this, a, b);
}
bool CMesDisp::Parse_GetErr(int& a, int& b) const {
    return Read<DISP_ROW(GetErr)>(*this, a, b);
}

bool CMesDisp::Create_Err(int a, int b, int c, int d, const DBTime& time, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(Err)>(*this, a, b, c, d, time, BlockIn{n, bytes});
}
bool CMesDisp::Parse_Err(int& a, int& b, int& c, int& d, DBTime& time, int& n, unsigned char* buf,
                         int size) const {
    return Read<DISP_ROW(Err)>(*this, a, b, c, d, time, BlockOut{n, buf, size});
}

bool CMesDisp::Create_StateErr(int a, int b, int c) {
    return Build<DISP_ROW(StateErr)>(*this, a, b, c);
}
bool CMesDisp::Parse_StateErr(int& a, int& b, int& c) const {
    return Read<DISP_ROW(StateErr)>(*this, a, b, c);
}
bool CMesDisp::Create_CloseErr() {
    return Build<DISP_ROW(CloseErr)>(*this);
}
bool CMesDisp::Parse_CloseErr() const {
    return Read<DISP_ROW(CloseErr)>(*this);
}

bool CMesDisp::Create_SendMsg(int target, unsigned char kind, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(SendMsg)>(*this, target, kind, BlockIn{n, bytes});
}
bool CMesDisp::Parse_SendMsg(int& target, int& kind, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(SendMsg)>(*this, target, kind, BlockOut{n, buf, size});
}

bool CMesDisp::Create_SubscMsg(int a, int b) {
    return Build<DISP_ROW(SubscMsg)>(*this, a, b);
}
bool CMesDisp::Parse_SubscMsg(int& a, int& b) const {
    return Read<DISP_ROW(SubscMsg)>(*this, a, b);
}

bool CMesDisp::Create_Msg(int source, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(Msg)>(*this, source, BlockIn{n, bytes});
}
bool CMesDisp::Parse_Msg(int& source, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(Msg)>(*this, source, BlockOut{n, buf, size});
}

bool CMesDisp::Create_GetParamStatict(int a) {
    return Build<DISP_ROW(GetParamStatict)>(*this, a);
}
bool CMesDisp::Parse_GetParamStatict(int& a) const {
    return Read<DISP_ROW(GetParamStatict)>(*this, a);
}

bool CMesDisp::Create_ParamStatict(int a, const DBTime& time, double value) {
    return Build<DISP_ROW(ParamStatict)>(*this, a, time, value);
}
bool CMesDisp::Parse_ParamStatict(int& a, DBTime& time, double& value) const {
    return Read<DISP_ROW(ParamStatict)>(*this, a, time, value);
}

bool CMesDisp::Create_Execution() {
    return Build<DISP_ROW(Execution)>(*this);
}
bool CMesDisp::Parse_Execution() const {
    return Read<DISP_ROW(Execution)>(*this);
}
bool CMesDisp::Create_BegExecution() {
    return Build<DISP_ROW(BegExecution)>(*this);
}
bool CMesDisp::Parse_BegExecution() const {
    return Read<DISP_ROW(BegExecution)>(*this);
}
bool CMesDisp::Create_EndExecution() {
    return Build<DISP_ROW(EndExecution)>(*this);
}
bool CMesDisp::Parse_EndExecution() const {
    return Read<DISP_ROW(EndExecution)>(*this);
}

bool CMesDisp::Create_ChangeUser(int n, const unsigned char* bytes) {
    return Build<DISP_ROW(ChangeUser)>(*this, BlockIn{n, bytes});
}
bool CMesDisp::Parse_ChangeUser(int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(ChangeUser)>(*this, BlockOut{n, buf, size});
}

bool CMesDisp::Create_ResChangeUser(int result) {
    return Build<DISP_ROW(ResChangeUser)>(*this, result);
}
bool CMesDisp::Parse_ResChangeUser(int& result) const {
    return Read<DISP_ROW(ResChangeUser)>(*this, result);
}
bool CMesDisp::Create_SetMultiGGS(int a, int b, int c) {
    return Build<DISP_ROW(SetMultiGGS)>(*this, a, b, c);
}
bool CMesDisp::Parse_SetMultiGGS(int& a, int& b, int& c) const {
    return Read<DISP_ROW(SetMultiGGS)>(*this, a, b, c);
}
bool CMesDisp::Create_StatMultiGGS(int a, int b, int c) {
    return Build<DISP_ROW(StatMultiGGS)>(*this, a, b, c);
}
bool CMesDisp::Parse_StatMultiGGS(int& a, int& b, int& c) const {
    return Read<DISP_ROW(StatMultiGGS)>(*this, a, b, c);
}

bool CMesDisp::Create_Voice(int a, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(Voice)>(*this, a, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_Voice(int& a, int& b, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(Voice)>(*this, a, b, BlockOut{n, buf, size});
}
bool CMesDisp::Create_VoiceExt(int a, int b, int n, const unsigned char* bytes, int c, const DBGUID& guid) {
    return Build<kVoiceExt>(*this, a, b, BlockIn{n, bytes}, c, guid);
}
bool CMesDisp::Parse_VoiceExt(int& a, int& b, int& n, unsigned char* buf, int size, int& c,
                              DBGUID& guid) const {
    return Read<kVoiceExt>(*this, a, b, BlockOut{n, buf, size}, c, guid);
}

bool CMesDisp::Create_GetStatLUNode(int a, int b, int c) {
    return Build<DISP_ROW(GetStatLUNode)>(*this, a, b, c);
}
bool CMesDisp::Parse_GetStatLUNode(int& a, int& b, int& c) const {
    return Read<DISP_ROW(GetStatLUNode)>(*this, a, b, c);
}

bool CMesDisp::Create_StatLUNode(int a, int b, const int v[7]) {
    if (v == nullptr) return false;
    return Build<DISP_ROW(StatLUNode)>(*this, a, b, v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
}
bool CMesDisp::Parse_StatLUNode(int& a, int& b, int v[7]) const {
    if (v == nullptr) return false;
    return Read<DISP_ROW(StatLUNode)>(*this, a, b, v[0], v[1], v[2], v[3], v[4], v[5], v[6]);
}

bool CMesDisp::Create_RefreshLU(int a) {
    return Build<DISP_ROW(RefreshLU)>(*this, a);
}
bool CMesDisp::Parse_RefreshLU(int& a) const {
    return Read<DISP_ROW(RefreshLU)>(*this, a);
}

bool CMesDisp::Create_SelSaveVoice(const DBTime& t1, const DBTime& t2, int a, int b) {
    return Build<DISP_ROW(SelSaveVoice)>(*this, t1, t2, a, b);
}
bool CMesDisp::Parse_SelSaveVoice(DBTime& t1, DBTime& t2, int& a, int& b) const {
    return Read<DISP_ROW(SelSaveVoice)>(*this, t1, t2, a, b);
}

bool CMesDisp::Create_ParSaveVoice(int a, const DBTime& time, int b, int c, int d) {
    return Build<DISP_ROW(ParSaveVoice)>(*this, a, time, b, c, d);
}
bool CMesDisp::Parse_ParSaveVoice(int& a, DBTime& time, int& b, int& c, int& d) const {
    return Read<DISP_ROW(ParSaveVoice)>(*this, a, time, b, c, d);
}

bool CMesDisp::Create_GetSaveVoice(int a, int b) {
    return Build<DISP_ROW(GetSaveVoice)>(*this, a, b);
}
bool CMesDisp::Parse_GetSaveVoice(int& a, int& b) const {
    return Read<DISP_ROW(GetSaveVoice)>(*this, a, b);
}
bool CMesDisp::Create_ReConnect() {
    return Build<DISP_ROW(ReConnect)>(*this);
}
bool CMesDisp::Parse_ReConnect() const {
    return Read<DISP_ROW(ReConnect)>(*this);
}

bool CMesDisp::Create_ParReConnect(int a, int b, int n, const int* list) {
    return Build<DISP_ROW(ParReConnect)>(*this, a, b, ListIn{n, list});
}
bool CMesDisp::Parse_ParReConnect(int& a, int& b, int& n, int* list, int size) const {
    return Read<DISP_ROW(ParReConnect)>(*this, a, b, ListOut{n, list, size});
}

bool CMesDisp::Create_AcceptProfil(int a, int b) {
    return Build<DISP_ROW(AcceptProfil)>(*this, a, b);
}
bool CMesDisp::Parse_AcceptProfil(int& a, int& b) const {
    return Read<DISP_ROW(AcceptProfil)>(*this, a, b);
}
bool CMesDisp::Create_GetProfil(int a) {
    return Build<DISP_ROW(GetProfil)>(*this, a);
}
bool CMesDisp::Parse_GetProfil(int& a) const {
    return Read<DISP_ROW(GetProfil)>(*this, a);
}
bool CMesDisp::Create_Profil(int a, const wchar_t* text) {
    return Build<DISP_ROW(Profil)>(*this, a, text);
}
bool CMesDisp::Parse_Profil(int& a, DBString& text) const {
    return Read<DISP_ROW(Profil)>(*this, a, text);
}
bool CMesDisp::Create_ProfilProcessed(int a) {
    return Build<DISP_ROW(ProfilProcessed)>(*this, a);
}
bool CMesDisp::Parse_ProfilProcessed(int& a) const {
    return Read<DISP_ROW(ProfilProcessed)>(*this, a);
}
bool CMesDisp::Create_AcceptStruct(int a) {
    return Build<DISP_ROW(AcceptStruct)>(*this, a);
}
bool CMesDisp::Parse_AcceptStruct(int& a) const {
    return Read<DISP_ROW(AcceptStruct)>(*this, a);
}
bool CMesDisp::Create_GetStruct(int a) {
    return Build<DISP_ROW(GetStruct)>(*this, a);
}
bool CMesDisp::Parse_GetStruct(int& a) const {
    return Read<DISP_ROW(GetStruct)>(*this, a);
}
bool CMesDisp::Create_Struct(int a, const wchar_t* text) {
    return Build<DISP_ROW(Struct)>(*this, a, text);
}
bool CMesDisp::Parse_Struct(int& a, DBString& text) const {
    return Read<DISP_ROW(Struct)>(*this, a, text);
}
bool CMesDisp::Create_StructAccepted(int a) {
    return Build<DISP_ROW(StructAccepted)>(*this, a);
}
bool CMesDisp::Parse_StructAccepted(int& a) const {
    return Read<DISP_ROW(StructAccepted)>(*this, a);
}

bool CMesDisp::Create_AcceptSQLAsk(int a, typAskSQL typ, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(AcceptSQLAsk)>(*this, a, typ, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_AcceptSQLAsk(int& a, typAskSQL& typ, int& b, int& n, unsigned char* buf,
                                  int size) const {
    return Read<DISP_ROW(AcceptSQLAsk)>(*this, a, typ, b, BlockOut{n, buf, size});
}
bool CMesDisp::Create_GetSQLAsk(int a, int b) {
    return Build<DISP_ROW(GetSQLAsk)>(*this, a, b);
}
bool CMesDisp::Parse_GetSQLAsk(int& a, int& b) const {
    return Read<DISP_ROW(GetSQLAsk)>(*this, a, b);
}
bool CMesDisp::Create_FragSQLAsk(int a, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(FragSQLAsk)>(*this, a, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_FragSQLAsk(int& a, int& b, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(FragSQLAsk)>(*this, a, b, BlockOut{n, buf, size});
}

bool CMesDisp::Create_AcceptSQLAnsw(int a, typAnswSQL typ, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(AcceptSQLAnsw)>(*this, a, typ, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_AcceptSQLAnsw(int& a, typAnswSQL& typ, int& b, int& n, unsigned char* buf,
                                   int size) const {
    return Read<DISP_ROW(AcceptSQLAnsw)>(*this, a, typ, b, BlockOut{n, buf, size});
}
bool CMesDisp::Create_GetSQLAnsw(int a, int b) {
    return Build<DISP_ROW(GetSQLAnsw)>(*this, a, b);
}
bool CMesDisp::Parse_GetSQLAnsw(int& a, int& b) const {
    return Read<DISP_ROW(GetSQLAnsw)>(*this, a, b);
}
bool CMesDisp::Create_FragSQLAnsw(int a, int b, int n, const unsigned char* bytes) {
    return Build<DISP_ROW(FragSQLAnsw)>(*this, a, b, BlockIn{n, bytes});
}
bool CMesDisp::Parse_FragSQLAnsw(int& a, int& b, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(FragSQLAnsw)>(*this, a, b, BlockOut{n, buf, size});
}

bool CMesDisp::Create_ExecuteAsk(int a) {
    return Build<DISP_ROW(ExecuteAsk)>(*this, a);
}
bool CMesDisp::Parse_ExecuteAsk(int& a) const {
    return Read<DISP_ROW(ExecuteAsk)>(*this, a);
}

bool CMesDisp::Create_TCPData(const DBGUID& guid, typTCPData typ, int a, int b) {
    return Build<DISP_ROW(TCPData)>(*this, guid, typ, a, b);
}
bool CMesDisp::Parse_TCPData(DBGUID& guid, typTCPData& typ, int& a, int& b) const {
    return Read<DISP_ROW(TCPData)>(*this, guid, typ, a, b);
}
bool CMesDisp::Create_ConfTCPData(const DBGUID& guid, int a, int b) {
    return Build<DISP_ROW(ConfTCPData)>(*this, guid, a, b);
}
bool CMesDisp::Parse_ConfTCPData(DBGUID& guid, int& a, int& b) const {
    return Read<DISP_ROW(ConfTCPData)>(*this, guid, a, b);
}

bool CMesDisp::Create_TimeAndGUID(long t, const DBGUID& guid) {
    return Build<DISP_ROW(TimeAndGUID)>(*this, t, guid);
}
bool CMesDisp::Parse_TimeAndGUID(long& t, DBGUID& guid) const {
    return Read<DISP_ROW(TimeAndGUID)>(*this, t, guid);
}

bool CMesDisp::Create_ClientStatus(typClientStatus status) {
    return Build<DISP_ROW(ClientStatus)>(*this, status);
}
bool CMesDisp::Parse_ClientStatus(typClientStatus& status) const {
    return Read<DISP_ROW(ClientStatus)>(*this, status);
}

namespace {

// The payload of a data-class V7 packet behind its header; false for any other.
bool V7Payload(const CPackV7& p, int& typ, int& n, const unsigned char*& payload) {
    if (p.GetClass() != CPackV7::classData || p.GetLength() < CPackV7::kHeadSize ||
        p.GetLength() > CPackV7::kBufSize)
        return false;
    typ = p.GetTyp();
    n = p.GetLength() - CPackV7::kHeadSize;
    payload = p.GetBuf() + CPackV7::kHeadSize;
    return true;
}

}  // namespace

bool CMesDisp::Create_SendMsgV7(int target, unsigned char kind, int typ, int n,
                                const unsigned char* payload) {
    return Build<DISP_ROW(SendMsgV7)>(*this, target, kind, typ, BlockIn{n, payload});
}
bool CMesDisp::Create_SendMsgV7(int target, unsigned char kind, const CPackV7& p) {
    int typ = 0, n = 0;
    const unsigned char* payload = nullptr;
    return V7Payload(p, typ, n, payload) && Create_SendMsgV7(target, kind, typ, n, payload);
}
bool CMesDisp::Parse_SendMsgV7(int& target, int& kind, int& typ, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(SendMsgV7)>(*this, target, kind, typ, BlockOut{n, buf, size});
}

bool CMesDisp::Create_SubscMsgV7(int a, int b) {
    return Build<DISP_ROW(SubscMsgV7)>(*this, a, b);
}
bool CMesDisp::Parse_SubscMsgV7(int& a, int& b) const {
    return Read<DISP_ROW(SubscMsgV7)>(*this, a, b);
}

bool CMesDisp::Create_MsgV7(int source, unsigned char kind, int typ, int n, const unsigned char* payload) {
    return Build<DISP_ROW(MsgV7)>(*this, source, kind, typ, BlockIn{n, payload});
}
bool CMesDisp::Create_MsgV7(int source, unsigned char kind, const CPackV7& p) {
    int typ = 0, n = 0;
    const unsigned char* payload = nullptr;
    return V7Payload(p, typ, n, payload) && Create_MsgV7(source, kind, typ, n, payload);
}
bool CMesDisp::Parse_MsgV7(int& source, int& kind, int& typ, int& n, unsigned char* buf, int size) const {
    return Read<DISP_ROW(MsgV7)>(*this, source, kind, typ, BlockOut{n, buf, size});
}

#undef DISP_ROW
