// A line packet as the console relays it in a Msg (at most 255 bytes): rebuilt from the
// bytes, unpacked once more by the window, checked and walked message by message.
#include <algorithm>

#include "FuzzSupport.h"
#include "Pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int n = static_cast<int>(std::min<size_t>(size, 255));
    CPackMes p(n, data, 255);
    FUZZ_CHECK(p.len <= CPackMes::kMaxLen && p.nRepl >= 0 && p.nRepl <= n);
    p.UnPack();
    ReadLinePacket(p);
    return 0;
}
