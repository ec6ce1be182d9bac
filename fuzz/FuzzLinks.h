#pragma once

// The two receive paths without a socket: a V7 endpoint whose checks run on datagrams handed
// to it directly, and a dispatcher sender that interprets the console's datagrams. Both
// hand what they accept to the readers of FuzzSupport.h, as the tool's windows would.

#include <netinet/in.h>

#include "KeySys.h"
#include "ReceivV7.h"
#include "SendDisp.h"
#include "SendV7.h"

// How the endpoint sees the unit.
struct FuzzV7Setup {
    bool viaRelay = false;      // the unit is reached through the relay
    bool ownKey = false;        // the unit has a key of its own: FuzzOtherKey
    bool fixedAddress = false;  // datagrams must come from the unit's address
    bool disabled = false;      // the link to the unit is switched off
    bool relayDecoder = false;  // the endpoint also opens relay-coded datagrams
};

class FuzzV7Endpoint : public CReceivV7 {
public:
    static const CIdentV7 kOwn;   // the tool
    static const CIdentV7 kUnit;  // the unit it services
    static const in6_addr kUnitAddress;
    static constexpr int kUnitPort = 30000;

    explicit FuzzV7Endpoint(const FuzzV7Setup& setup);
    ~FuzzV7Endpoint() override;

    // One datagram, as the receive loop would hand it on.
    using CReceivV7::Receive;

    // Packets that passed every check.
    int Delivered() const { return m_Delivered; }

    void BadPut(const wchar_t*, bool) override {}
    void BadPutErr(const wchar_t*, int) override {}
    void BadPutMes(const wchar_t*, const unsigned char*, int, bool) override {}
    // The unit's node, and 0.0, as the tool's endpoint knows them.
    CSendV7* GetSend(const CIdentV7& ident) override;
    void HandlingData(const CPackV7& pack, const CSendV7* sender) override;
    bool ChanDecod(const unsigned char* in, int n, CPackV7& pack, CKeySys& key, bool& viaRelay) override;

private:
    class Unit : public CSendV7 {
    public:
        explicit Unit(CReceivV7& receiv) : CSendV7(nullptr), m_Receiv(receiv) {}
        ~Unit() override { StopOnly(); }
        void IsNoLink() override {}
        void BadPut(const wchar_t*) override {}
        void BadPutErr(const wchar_t*, int) override {}
        void BadPutMes(const wchar_t*, const unsigned char*, int) override {}
        CReceivV7* GetReceiv() override { return &m_Receiv; }

    private:
        CReceivV7& m_Receiv;
    };

    Unit m_Unit;
    bool m_RelayDecoder;
    int m_Delivered = 0;
};

// The tool's side of the dispatcher link before any user logs in; every frame it sends back
// must be one the console can read.
class FuzzDispLink : public CSendDisp {
public:
    // Blocks and lists of received messages are read into buffers of `room` units.
    explicit FuzzDispLink(int room);
    ~FuzzDispLink() override;

    // Frames that passed the link's checks.
    int Handled() const { return m_Handled; }

    void LogSend(const in6_addr&, int, const CPackDisp&) override {}
    void LogReceive(const in6_addr&, int, const CPackDisp&) override {}
    void BadPut(const wchar_t*) override {}
    void BadPutErr(const wchar_t*, int) override {}
    void BadPutMes(const wchar_t*, const unsigned char*, int) override {}
    int Send(const unsigned char* data, int n, const in6_addr& addr, int port) override;
    void Disconnect(const in6_addr&, int) override {}
    // Every message read; a Msg's line packet rebuilt and walked as the windows do.
    void HandlingData(CPackDisp& p) override;

private:
    int m_Room;
    int m_Handled = 0;
};
