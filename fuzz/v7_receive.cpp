// The V7 receiver's checks on one datagram, without a socket. The fuzzer chooses how the
// endpoint knows the unit, where the datagram comes from, and either the datagram itself or a
// packet that the target codes (link or relay coding, right or wrong key) so that the checks
// behind the decoding are reached.
#include <vector>

#include "FuzzLinks.h"
#include "FuzzSupport.h"
#include "PackV7.h"

namespace {

enum Flag : uint16_t {
    kViaRelay = 1,
    kOwnKey = 2,
    kFixedAddress = 4,
    kDisabled = 8,
    kRelayDecoder = 16,
    kRelayCoded = 32,
    kWrongKey = 64,
    kOtherAddress = 128,
    kRaw = 256,
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint16_t flags = in.U16();
    FuzzV7Setup setup;
    setup.viaRelay = (flags & kViaRelay) != 0;
    setup.ownKey = (flags & kOwnKey) != 0;
    setup.fixedAddress = (flags & kFixedAddress) != 0;
    setup.disabled = (flags & kDisabled) != 0;
    setup.relayDecoder = (flags & kRelayDecoder) != 0;
    const bool relayCoded = (flags & kRelayCoded) != 0;
    const CKeySys& key = (flags & kWrongKey) != 0 ? FuzzOtherKey() : FuzzLinkKey();

    std::vector<unsigned char> datagram(CPackV7::kBufSize);
    int n = 0;
    if ((flags & kRaw) != 0) {
        const auto raw = in.Bytes(CReceivV7::kMaxDatagram);
        datagram.assign(raw.begin(), raw.end());
        n = static_cast<int>(raw.size());
    } else {
        CPackV7 p;
        bool oversized = false;
        if (!BuildV7Packet(in, p, oversized)) return 0;
        n = relayCoded ? p.ChanCloudProCod(datagram.data(), CPackV7::kBufSize, key)
                       : p.ChanCod(datagram.data(), CPackV7::kBufSize, key);
    }
    if (n < CReceivV7::kMinDatagram) return 0;

    const bool otherAddress = (flags & kOtherAddress) != 0;
    in6_addr from = FuzzV7Endpoint::kUnitAddress;
    if (otherAddress) from.s6_addr[15] ^= 1;
    FuzzV7Endpoint endpoint(setup);
    endpoint.Receive(datagram.data(), n, from, FuzzV7Endpoint::kUnitPort + (otherAddress ? 7 : 0));

    if (endpoint.Delivered() > 0 && (flags & kRaw) == 0) {
        // Only the road the unit is known by, with the unit's key, and from its address when
        // that is fixed.
        FUZZ_CHECK(relayCoded == setup.viaRelay);
        if (!setup.viaRelay) FUZZ_CHECK(key == (setup.ownKey ? FuzzOtherKey() : FuzzLinkKey()));
        FUZZ_CHECK(!setup.fixedAddress || !otherAddress);
    }
    return 0;
}
