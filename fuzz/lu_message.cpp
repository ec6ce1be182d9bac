// A message of the unit as its units arrive; inside a V7 message packet any byte can stand in
// a unit. Loaded as the packet readers load it, then read by every decoder the tool runs on
// an answer, the device parameters among them.
#include <algorithm>

#include "FuzzSupport.h"
#include "Mes.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int n = static_cast<int>(std::min<size_t>(size, CMes::kMaxUnits));
    CMes m;
    // 64 units is one more than a record takes in: refused, the record stays empty.
    FUZZ_CHECK(m.SetDann(n, data) == (n <= CMes::kMaxLoad ? 1 : 0));
    FUZZ_CHECK(m.len == (n <= CMes::kMaxLoad ? n : 0));
    ReadMessage(m);
    return 0;
}
