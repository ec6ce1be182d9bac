// A V7 datagram as it comes off the socket: the link decoding with the endpoint's key and the
// relay decoding, then what the tool reads from a packet that decodes.
#include <algorithm>

#include "FuzzSupport.h"
#include "PackV7.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int n = static_cast<int>(std::min<size_t>(size, 2 * CPackV7::kBufSize));

    CPackV7 link;
    if (link.ChanDecod(data, n, FuzzLinkKey())) {
        // The packet is the datagram less its CRC-16 and trailer; a longer one is cut.
        FUZZ_CHECK(link.GetLength() == std::min(n, CPackV7::kBufSize) - 3);
        ReadV7Packet(link);
    } else {
        FUZZ_CHECK(link.GetLength() == 0);
    }

    CPackV7 relay;
    CKeySys key = FuzzOtherKey();
    if (relay.ChanCloudProDecod(data, n, key)) {
        ReadV7Packet(relay);
    } else {
        FUZZ_CHECK(relay.GetLength() == 0 && key == FuzzOtherKey());
    }
    return 0;
}
