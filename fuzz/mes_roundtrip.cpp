// Round trips of the message layer: bytes packed three into four units and back, and the
// unit's NVRAM write requests, one byte or a whole word, read back by the byte form of the
// NVRAM answer decoder.
//
// Input: mode; then for packing the room for units and the bytes, for writes the target,
// address or word, and value.
#include <algorithm>
#include <vector>

#include "FuzzSupport.h"
#include "Mes.h"
#include "NvRam.h"

namespace {

void Packing(FuzzInput& in) {
    const int room = in.U8();
    const auto bytes = in.Bytes(96);
    const int n = static_cast<int>(bytes.size());
    const int need = 4 * ((n + 2) / 3);
    std::vector<unsigned char> units(static_cast<size_t>(room));
    const int w = CMes::Conv8To6(n, bytes.data(), units.data(), room);
    FUZZ_CHECK(w == std::min(need, room));
    FUZZ_CHECK(std::all_of(units.begin(), units.end(), [](unsigned char u) { return u < 64; }));
    if (room < need || n == 0) return;
    std::vector<unsigned char> back(static_cast<size_t>(n));
    FUZZ_CHECK(CMes::Conv6To8(w, units.data(), n, back.data(), n) == n);
    FUZZ_CHECK(std::equal(back.begin(), back.end(), bytes.begin()));
}

LuTarget Target(FuzzInput& in) {
    LuTarget t;
    t.destNode = in.Int(-1, 256);
    t.destSub = in.Int(-1, 16);
    t.dev = in.Int(-1, 200);
    t.origNode = in.Int(-1, 256);
    t.origSub = in.Int(-1, 16);
    return t;
}

void ReadsBack(const CMes& m, int address, unsigned char value) {
    int index = -1;
    unsigned short got = 0;
    bool isWord = true;
    FUZZ_CHECK(m.GetLbNVRAM(index, got, isWord));
    FUZZ_CHECK(!isWord && index == address && got == value);
    FUZZ_CHECK(m.typ == CMes::mesDevAsk && m.ask == CMes::askLbNVRAM);
}

void ByteWrite(FuzzInput& in) {
    const LuTarget t = Target(in);
    const int address = in.Int(-2, kLbNvramMaxAddr + 2);
    const auto value = static_cast<unsigned char>(in.U8());
    const auto m = LuByteWriteMes(t, address, value);
    FUZZ_CHECK(m.has_value() == (t.IsValid() && address >= 0 && address <= kLbNvramMaxAddr));
    if (m) ReadsBack(*m, address, value);
}

void WordWrite(FuzzInput& in) {
    const LuTarget t = Target(in);
    const int word = in.Int(-1, kLbNvramMaxWord + 1);
    const uint16_t value = in.U16();
    const auto requests = LuWordWriteRequests(word, value);
    FUZZ_CHECK(requests.has_value() == (word >= 0 && word <= kLbNvramMaxWord));
    if (!requests) return;
    // Low byte first, each at its own byte address.
    const auto low = (*requests)[0].ToMes(t);
    const auto high = (*requests)[1].ToMes(t);
    FUZZ_CHECK(low.has_value() == t.IsValid() && high.has_value() == t.IsValid());
    if (!low) return;
    ReadsBack(*low, 2 * word, static_cast<unsigned char>(value & 0xFF));
    ReadsBack(*high, 2 * word + 1, static_cast<unsigned char>(value >> 8));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    switch (in.U8() % 3) {
        case 0:
            Packing(in);
            break;
        case 1:
            ByteWrite(in);
            break;
        default:
            WordWrite(in);
            break;
    }
    return 0;
}
