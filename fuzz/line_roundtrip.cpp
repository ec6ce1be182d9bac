// Line packets built from the fuzzer's addresses, ident, messages and reply come back whole
// when rebuilt from their bytes, as the console relays them.
//
// Input: sender and receiver line address, ident (bit 7: present), reply (bit 7: present),
// then messages, each a unit count and the units.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "Mes.h"
#include "Pack.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int orig = in.U8() & 15;
    const int dest = in.U8() & 15;
    const int identByte = in.U8();
    const int replByte = in.U8();
    const bool hasIdent = (identByte & 0x80) != 0;
    const int ident = identByte & 63;

    CPackMes sent(orig, dest, 255);
    if (hasIdent) FUZZ_CHECK(sent.SetIdent(ident));
    std::vector<CMes> messages;
    while (in.Left() > 0) {
        const int units = in.Int(5, 58);
        unsigned char raw[CMes::kMaxUnits];
        in.Fill(raw, static_cast<size_t>(units));
        for (int i = 0; i < units; ++i) raw[i] &= 63;
        const CMes m(units, raw);
        if (sent.AddMes(m)) messages.push_back(m);
    }
    const bool replied = (replByte & 0x80) != 0 && sent.AddRepl(static_cast<unsigned char>(replByte)) != 0;

    const CPackMes got(sent.len, sent.buf, 255);
    FUZZ_CHECK(got.GetOrig() == orig && got.GetDest() == dest);
    FUZZ_CHECK(got.hasIdent == hasIdent && (!hasIdent || got.ident == ident));
    FUZZ_CHECK(got.nRepl == (replied ? 1 : 0) && (!replied || got.repl[0] == (replByte & 63)));
    CPackMes walk = got;
    walk.BegGet();
    FUZZ_CHECK(walk.IsValid());
    CMes m;
    for (const CMes& s : messages)
        FUZZ_CHECK(walk.GetMes(m) && m.len == s.len && std::memcmp(m.data, s.data, s.len) == 0);
    FUZZ_CHECK(!walk.GetMes(m));
    return 0;
}
