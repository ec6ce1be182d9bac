// V7 packets built from the fuzzer's fields come back unchanged through the link coding and
// through the relay coding, which also hands back the link key it carries.
#include <cstring>

#include "FuzzSupport.h"
#include "Mes.h"
#include "PackV7.h"

namespace {

void Same(const CPackV7& sent, const CPackV7& got) {
    const int len = sent.GetLength();
    FUZZ_CHECK(got.GetLength() == len && std::memcmp(got.GetBuf(), sent.GetBuf(), len) == 0);
    FUZZ_CHECK(got.GetClass() == sent.GetClass() && got.GetTyp() == sent.GetTyp());
    FUZZ_CHECK(got.GetAsk() == sent.GetAsk() && got.GetDirAsk() == sent.GetDirAsk());
    FUZZ_CHECK(got.GetIdent() == sent.GetIdent() && got.GetRepl() == sent.GetRepl());
    FUZZ_CHECK(got.GetSource().FullEQ(sent.GetSource()) && got.GetDest().FullEQ(sent.GetDest()));
    FUZZ_CHECK(got.GetReserved() == sent.GetReserved() && got.IsValid() == sent.IsValid());
    CMes a, b;
    FUZZ_CHECK(sent.GetMes(a) == got.GetMes(b));
    FUZZ_CHECK(a.len == b.len && std::memcmp(a.data, b.data, sizeof a.data) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const CKeySys& key = in.Bool() ? FuzzOtherKey() : FuzzLinkKey();
    CPackV7 plain;
    bool oversized = false;
    const bool built = BuildV7Packet(in, plain, oversized);
    // Builders refuse an oversized payload, and nothing else.
    FUZZ_CHECK(built != oversized);
    if (!built) return 0;
    const int len = plain.GetLength();

    unsigned char out[CPackV7::kBufSize];
    CPackV7 link = plain;
    const int n = link.ChanCod(out, sizeof out, key);
    if (len > CPackV7::kMaxCodable) {
        FUZZ_CHECK(n == 0);
    } else {
        FUZZ_CHECK(n == len + 3);
        CPackV7 got;
        FUZZ_CHECK(got.ChanDecod(out, n, key));
        Same(plain, got);
    }

    CPackV7 relay = plain;
    const int m = relay.ChanCloudProCod(out, sizeof out, key);
    // Length, packet, CRC-16 and key in whole cipher blocks, and up to three bytes behind.
    const int blocks = (2 + len + 2 + CKeySys::kSize + 7) / 8;
    FUZZ_CHECK(m > 0 || blocks * 8 + 3 > CPackV7::kBufSize);
    if (m > 0) {
        CPackV7 got;
        CKeySys carried;
        FUZZ_CHECK(got.ChanCloudProDecod(out, m, carried));
        FUZZ_CHECK(carried == key);
        Same(plain, got);
    }
    return 0;
}
