// One dispatcher frame's round trip through both ends of the link: the sender builds
// a SendMsg message carrying a 20-byte line packet, puts it into a numbered frame and
// enciphers it; the receiver deciphers the datagram, checks the frame, walks to the
// message and reads the line packet back. items_per_second is frames per second.
//
// The parts are also timed alone, so that a change in the total can be traced.

#include <benchmark/benchmark.h>

#include <cstring>

#include "Idea.h"
#include "PackDisp.h"

namespace {

const unsigned char kKey[16] = {0x3C, 0x91, 0xE0, 0x7B, 0x2D, 0x46, 0xF8, 0xA1,
                                0xC3, 0x9E, 0x5D, 0x70, 0x24, 0xB6, 0xF1, 0x5A};

struct LinePacket {
    unsigned char bytes[20];
    LinePacket() {
        for (int i = 0; i < 20; ++i) bytes[i] = static_cast<unsigned char>(0x21 + 3 * i);
    }
};

CPackDisp BuildFrame(const LinePacket& line, int ident) {
    CMesDisp m;
    m.Create_SendMsg(1234, 8, 20, line.bytes);
    CPackDisp p(m);
    p.SetIdent(ident);
    return p;
}

void BM_SendMsgRoundTrip(benchmark::State& state) {
    const CIdeaCtx ctx(kKey);
    const LinePacket line;
    unsigned char wire[CPackDisp::kWireSize];
    int ident = 0;
    for (auto _ : state) {
        ident = ident % 255 + 1;
        CPackDisp out = BuildFrame(line, ident);
        const int n = out.Encoding(wire, sizeof wire, &ctx);

        CPackDisp in;
        in.Decoding(wire, n, &ctx);
        CMesDisp m;
        int target = 0, kind = 0, count = 0;
        unsigned char packet[64];
        in.BegGet();
        const bool ok =
            in.valid && in.GetMes(m) && m.Parse_SendMsg(target, kind, count, packet, sizeof packet);
        if (!ok || count != 20 || std::memcmp(packet, line.bytes, 20) != 0) {
            state.SkipWithError("frame did not survive the round trip");
            break;
        }
        benchmark::DoNotOptimize(packet);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_SendMsgRoundTrip);

void BM_BuildOnly(benchmark::State& state) {
    const LinePacket line;
    for (auto _ : state) {
        CPackDisp p = BuildFrame(line, 1);
        benchmark::DoNotOptimize(p);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildOnly);

void BM_EncipherOnly(benchmark::State& state) {
    const CIdeaCtx ctx(kKey);
    CPackDisp p = BuildFrame(LinePacket(), 1);
    unsigned char wire[CPackDisp::kWireSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.Encoding(wire, sizeof wire, &ctx));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EncipherOnly);

void BM_DecipherAndParseOnly(benchmark::State& state) {
    const CIdeaCtx ctx(kKey);
    CPackDisp p = BuildFrame(LinePacket(), 1);
    unsigned char wire[CPackDisp::kWireSize];
    const int n = p.Encoding(wire, sizeof wire, &ctx);
    for (auto _ : state) {
        CPackDisp in;
        in.Decoding(wire, n, &ctx);
        CMesDisp m;
        int target = 0, kind = 0, count = 0;
        unsigned char packet[64];
        in.GetMes(m);
        benchmark::DoNotOptimize(m.Parse_SendMsg(target, kind, count, packet, sizeof packet));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DecipherAndParseOnly);

}  // namespace
