// NVRAM answers of the unit (type 26, sub-address 15) with the fuzzer's units from unit 8 on:
// word form or byte form, with or without the default value, read by both decoder forms.
// Units carry six bits, so the two bits above them must not change the answer.
#include <algorithm>
#include <cstring>

#include "FuzzSupport.h"
#include "Mes.h"

namespace {

struct Answer {
    bool ok = false;
    int index = 0;
    unsigned short value = 0, value2 = 0;
    bool isWord = false, has2 = false;

    explicit Answer(const CMes& m) { ok = m.GetLbNVRAM(index, value, isWord, value2, has2); }
    bool operator==(const Answer&) const = default;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const CMes head(3, 4, 255, 15, 5, CMes::mesDevAnswer, CMes::askLbNVRAM, nullptr, 0, -1);
    const int units = static_cast<int>(std::min<size_t>(size, CMes::kMaxLoad - head.len));
    unsigned char raw[CMes::kMaxLoad];
    std::memcpy(raw, head.data, static_cast<size_t>(head.len));
    std::memcpy(raw + head.len, data, static_cast<size_t>(units));

    const CMes m(head.len + units, raw);
    FUZZ_CHECK(m.typ == CMes::mesDevAnswer && m.ask == CMes::askLbNVRAM);
    ReadMessage(m);

    for (int i = head.len; i < m.len; ++i) raw[i] &= 63;
    FUZZ_CHECK(Answer(m) == Answer(CMes(m.len, raw)));
    return 0;
}
