#include "LogDecode.h"

#include <cstdio>

#include "DBString.h"
#include "DispCatalog.h"
#include "IdentV7.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackDisp.h"
#include "PackV7.h"

namespace {

// The time as the logs write it: "dd.mm.yyyy hh:mm.ss".
constexpr size_t kTimeLength = 19;
// Raw unit at which a device request's payload begins.
constexpr int kPayloadUnit = 8;

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Ident(const uint8_t* wire) {
    CIdentV7 id;
    id.SetValue(wire);
    return id.GetString().ToStr();
}

std::string DescribeRequest(const CMes& m) {
    const int payload = m.len - kPayloadUnit;
    switch (m.ask) {
        case CMes::askDevParam:
            return "device parameters?";
        case CMes::askLbNVRAM: {
            if (payload <= 0) return "NVRAM read";
            unsigned char b[3] = {};
            CMes::Conv6To8(std::min(payload, 4), m.data + kPayloadUnit, 3, b, 3);
            if ((b[0] & 0x80) == 0 || (b[1] & 0x80) == 0) return "NVRAM request, no byte write";
            const int address = (b[0] & 0x7F) | ((b[1] & 15) << 7) | (((b[1] >> 4) & 3) << 11);
            return FormatStr("NVRAM write byte %d (word %d %s) := 0x%02X", address, address / 2,
                             address % 2 == 0 ? "low" : "high", b[2]);
        }
        case CMes::askRestart: {
            unsigned char b[3] = {};
            CMes::Conv6To8(std::min(std::max(payload, 0), 4), m.data + kPayloadUnit, 3, b, 3);
            return b[0] == CMes::sub18Restart ? "restart" : FormatStr("command %d", b[0]);
        }
        default:
            return FormatStr("request, sub-address %d", m.ask);
    }
}

std::string DescribeAnswer(const CMes& m) {
    if (m.ask == CMes::askLbNVRAM) {
        // The NVRAM service's own reading: a bare word answer may carry bit 15 in the error mark.
        if (IsNvramErrorReport(m)) return "NVRAM error report";
        int index = 0;
        unsigned short value = 0;
        unsigned short value2 = 0;
        bool isWord = false;
        bool hasValue2 = false;
        if (!m.GetLbNVRAM(index, value, isWord, value2, hasValue2)) return "NVRAM answer, too short";
        if (!isWord) return FormatStr("NVRAM byte %d = 0x%02X", index, value & 0xFF);
        std::string text = FormatStr("NVRAM word %d = 0x%04X", index, value);
        if (hasValue2) text += FormatStr(" (default 0x%04X)", value2);
        return text;
    }
    if (!m.IsGood()) return FormatStr("error report, sub-address %d", m.ask);
    if (m.ask == CMes::askDevParam) return FormatStr("device parameters: type %d", m[2]);
    return FormatStr("answer, sub-address %d", m.ask);
}

}  // namespace

std::optional<LogLine> ParseLogLine(const std::string& text) {
    LogLine line;
    size_t at = 0;
    if (!text.empty() && text[0] == '0') {
        line.v7 = true;
        at = 1;
    }
    if (at >= text.size() || (text[at] != '>' && text[at] != ' ')) return std::nullopt;
    line.sent = text[at] == '>';
    const size_t bar = text.find('|', at + 1);
    if (bar == std::string::npos) return std::nullopt;
    const size_t first = text.find_first_not_of(' ', at + 1);
    if (first == std::string::npos || first >= bar) return std::nullopt;
    line.peer = text.substr(first, bar - first);
    at = bar + 1;
    size_t digits = 0;
    while (at < text.size() && text[at] >= '0' && text[at] <= '9') {
        line.port = line.port * 10 + (text[at++] - '0');
        if (++digits > 5) return std::nullopt;
    }
    if (digits == 0 || at >= text.size() || text[at] != ' ') return std::nullopt;
    ++at;
    if (text.size() < at + kTimeLength + 1) return std::nullopt;
    line.time = text.substr(at, kTimeLength);
    at += kTimeLength;
    // A received packet carries "<" here; the mark and the sender's ">" must agree.
    if ((text[at] == '<') == line.sent || (text[at] != '<' && text[at] != ' ')) return std::nullopt;
    ++at;
    while (at < text.size()) {
        if (text[at] == ' ' || text[at] == '\r') {
            ++at;
            continue;
        }
        const int high = HexDigit(text[at]);
        const int low = at + 1 < text.size() ? HexDigit(text[at + 1]) : -1;
        if (high < 0 || low < 0) return std::nullopt;
        line.bytes.push_back(static_cast<uint8_t>(high * 16 + low));
        at += 2;
    }
    if (line.bytes.empty()) return std::nullopt;
    return line;
}

std::string DescribeMes(const CMes& m) {
    std::string text =
        FormatStr("type %d dev %d %d.%d->%d.%d ", m.typ, m.dev, m.origNode, m.origSub, m.destNode, m.destSub);
    if (m.typ == CMes::mesDevAsk) return text + DescribeRequest(m);
    if (m.typ == CMes::mesDevAnswer) return text + DescribeAnswer(m);
    return text + FormatStr("sub-address %d", m.ask);
}

std::string DecodeV7Packet(const std::vector<uint8_t>& bytes) {
    const int n = static_cast<int>(bytes.size());
    if (n < CPackV7::kHeadSize + 2) return FormatStr("V7 short packet (%d bytes)", n);
    const uint8_t* b = bytes.data();
    const int cls = b[0];
    const int typ = b[12] & 127;
    std::string text = FormatStr("V7 %d.%d ident %d repl %d %s->%s", cls, typ, b[1], b[2],
                                 Ident(b + 3).c_str(), Ident(b + 7).c_str());
    if (!CPackV7::TestCRC(b, n)) text += " CRC-BAD";
    const int length = n - 2;
    if (cls == CPackV7::classLink && typ == CPackV7::typCloseLink) {
        return text + (length >= 17 ? " close link by " + Ident(b + 13) : std::string(" close link"));
    }
    if (cls == CPackV7::classLink && typ == CPackV7::typRefuse)
        return text + (length > 13 && b[13] == 1 ? " link refused" : " refusal?");
    if (cls == CPackV7::classData && typ == CPackV7::typEmpty) return text + " ack";
    if (cls == CPackV7::classData && typ == CPackV7::typMes) {
        CMes m;
        if (length < 14 || b[13] != length - CPackV7::kHeadSize || !m.SetDann(b[13] - 1, b + 14))
            return text + " message?";
        return text + " | " + DescribeMes(m);
    }
    if (cls == CPackV7::classData && typ == CPackV7::typAsk3 && length > 13 &&
        (b[13] & 127) == CPackV7::askRestart)
        return text + " restart";
    if (cls == CPackV7::classVoice) return text + FormatStr(" voice %d bytes", length - CPackV7::kHeadSize);
    return text + FormatStr(" %d bytes", length - CPackV7::kHeadSize);
}

std::string DecodeDispFrame(const std::vector<uint8_t>& bytes) {
    CPackDisp frame;
    frame.Decoding(bytes.data(), static_cast<int>(bytes.size()), nullptr);
    if (!frame.valid) return FormatStr("Disp bad frame (%d bytes)", static_cast<int>(bytes.size()));
    std::string text = FormatStr("Disp ident %d", frame.ident);
    int replies = 0;
    const unsigned char* ids = frame.GetReply(replies);
    for (int i = 0; i < replies; ++i) text += FormatStr(i == 0 ? " acks %d" : ",%d", ids[i]);
    frame.BegGet();
    CMesDisp m;
    while (frame.GetMes(m)) {
        const int code = m.TypMes();
        const auto& kinds = DispCatalog::kKinds;
        const bool known = code >= 1 && code <= DispCatalog::kGetParCfgEx;
        text += " | ";
        text += known ? kinds[code - 1].name : FormatStr("code %d", code);
        int address = 0;
        int kind = 0;
        int n = 0;
        unsigned char line[255];
        bool hasLine = false;
        if (code == CMesDisp::mesSendMsg && m.Parse_SendMsg(address, kind, n, line, sizeof line)) {
            text += FormatStr(" target %d kind %d", address, kind);
            hasLine = true;
        } else if (code == CMesDisp::mesMsg && m.Parse_Msg(address, n, line, sizeof line)) {
            text += FormatStr(" source %d", address);
            hasLine = true;
        }
        if (!hasLine) continue;
        CPackMes pack(n, line, 255);
        pack.UnPack();
        if (!pack.IsValid()) {
            text += " line packet?";
            continue;
        }
        CMes mes;
        while (pack.GetMes(mes)) text += " | " + DescribeMes(mes);
    }
    return text;
}

std::string DecodeLogLine(const LogLine& line) {
    std::string text =
        line.time + (line.sent ? " > " : " < ") + "[" + line.peer + "]:" + std::to_string(line.port) + " ";
    return text + (line.v7 ? DecodeV7Packet(line.bytes) : DecodeDispFrame(line.bytes));
}
