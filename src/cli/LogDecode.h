#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

class CMes;

// The traffic logs (the V7 protocol log and the dispatcher log) turned back into readable
// lines. A line of either log holds the direction, the peer, the time and the packet as
// hexadecimal bytes; the protocol log's lines begin with "0". The readable form is a trace
// for engineers and scripts: the same tokens in every language.

struct LogLine {
    bool v7 = false;
    bool sent = false;
    std::string peer;  // the address as logged, without the padding
    int port = 0;
    std::string time;  // "dd.mm.yyyy hh:mm.ss"
    std::vector<uint8_t> bytes;
};

// Nothing for a line that is no packet line of either log.
std::optional<LogLine> ParseLogLine(const std::string& line);

// "16:05.09 04.12.2026 > [::1]:40001 V7 ..." with the packet decoded behind the peer.
std::string DecodeLogLine(const LogLine& line);

// The packet of a protocol-log line (packet bytes and CRC-16): class and type, ident and
// acknowledgement, the two identities, and the line message it carries.
std::string DecodeV7Packet(const std::vector<uint8_t>& bytes);
// The frame of a dispatcher-log line (frame bytes and CRC-16): ident, acknowledged idents, and
// every message by its kind, with the line messages of SendMsg and Msg.
std::string DecodeDispFrame(const std::vector<uint8_t>& bytes);
// A line message: its type and addresses, and what it asks of or tells about the unit's
// NVRAM ("NVRAM word 5 = 0x1234 (default 0x0000)", "write byte 10 := 0x34").
std::string DescribeMes(const CMes& m);
