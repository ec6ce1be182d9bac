#pragma once

#include <netinet/in.h>

#include <vector>

#include "IdentV7.h"
#include "KeySys.h"
#include "PackV7.h"

// The far end of a V7 link for the tests: a UDP socket on ::1 that codes and decodes
// datagrams with a link key of its own choosing. Every wait has its own time-out.
class ScriptedPeer {
public:
    explicit ScriptedPeer(const CKeySys& key);
    ~ScriptedPeer();
    ScriptedPeer(const ScriptedPeer&) = delete;
    ScriptedPeer& operator=(const ScriptedPeer&) = delete;

    int Port() const { return m_Port; }

    // The next datagram, as received.
    bool ReceiveRaw(std::vector<unsigned char>& out, int timeoutMs);
    // The next datagram that decodes with the key; undecodable ones are counted and
    // skipped.
    bool Receive(CPackV7& out, int timeoutMs);
    // Everything that decodes until nothing has come for quietMs.
    std::vector<CPackV7> Drain(int quietMs);

    // Codes p with the key and sends it to [::1]:port.
    bool Send(CPackV7 p, int port);
    bool SendRaw(const unsigned char* bytes, int n, int port);

    // The relay's side: relay coding, with the link key of the original sender inside.
    bool SendRelay(CPackV7 p, const CKeySys& carried, int port);
    // The next datagram that opens with the relay coding, and the key it carries;
    // anything else is counted and skipped.
    bool ReceiveRelay(CPackV7& out, CKeySys& carried, int timeoutMs);

    int Undecodable() const { return m_Undecodable; }

private:
    CKeySys m_Key;
    int m_Socket = -1;
    int m_Port = 0;
    int m_Undecodable = 0;
};

// A packet of the unit to the tool.
CPackV7 PeerPacket(const CIdentV7& from, const CIdentV7& to, int ident, int repl);
// A data packet (class 4, type 2) carrying a 16-bit number, so that it can be recognised.
CPackV7 NumberedPacket(int number);
// The number of a NumberedPacket, or -1 for any other packet.
int PacketNumber(const CPackV7& p);
