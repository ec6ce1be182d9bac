#pragma once

#include <vector>

#include "Idea.h"
#include "PackDisp.h"

// The console's end of the dispatcher link for the tests: a UDP socket on ::1 that
// enciphers and deciphers frames with the link key both ends derive from the shared
// base key. Every wait has its own time-out.
class DispPeer {
public:
    DispPeer();
    ~DispPeer();
    DispPeer(const DispPeer&) = delete;
    DispPeer& operator=(const DispPeer&) = delete;

    int Port() const { return m_Port; }

    bool ReceiveRaw(std::vector<unsigned char>& out, int timeoutMs);
    // The next datagram that deciphers to a good frame; others are counted and skipped.
    bool Receive(CPackDisp& out, int timeoutMs);
    // The next good frame that holds messages; acknowledgement frames are skipped.
    bool ReceiveWithMessages(CPackDisp& out, int timeoutMs);
    // Every good frame until nothing has come for quietMs.
    std::vector<CPackDisp> Drain(int quietMs);

    bool Send(CPackDisp p, int port);
    bool SendRaw(const unsigned char* bytes, int n, int port);

    int Undecodable() const { return m_Undecodable; }

private:
    CIdeaCtx m_Ctx;
    int m_Socket = -1;
    int m_Port = 0;
    int m_Undecodable = 0;
};

// The link cipher both ends use.
CIdeaCtx LinkCipher();
// A frame of the console: the messages, then the ident and the acknowledged idents.
CPackDisp PeerFrame(const std::vector<CMesDisp>& messages, int ident,
                    const std::vector<unsigned char>& acks = {});
// A SendMsg carrying a recognisable number as its target and a short line packet.
CMesDisp NumberedMes(int number);
// The targets of the SendMsg messages of a frame, in order.
std::vector<int> Numbers(CPackDisp p);
// The codes of the messages of a frame, in order.
std::vector<int> Codes(CPackDisp p);
// The reply bytes of a frame.
std::vector<unsigned char> Acks(const CPackDisp& p);
