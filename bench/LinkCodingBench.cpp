#include <benchmark/benchmark.h>

#include <cstdlib>
#include <vector>

#include "PackV7.h"

namespace {

const unsigned char kKey[16] = {0x5A, 0x3C, 0x91, 0xE0, 0x7B, 0x2D, 0x46, 0xF8,
                                0xA1, 0xC3, 0x9E, 0x5D, 0x70, 0x24, 0xB6, 0xF1};

// A packet of exactly `length` bytes (13 .. 1021).
CPackV7 PacketOf(int length) {
    CPackV7 p;
    p.SetID(CIdentV7(12345678, 0), CIdentV7(123456, 0));
    std::vector<unsigned char> data(static_cast<size_t>(length - CPackV7::kHeadSize));
    for (size_t i = 0; i < data.size(); ++i) {
        data[i] = static_cast<unsigned char>(i * 31 + 7);
    }
    p.SetLink(CPackV7::typMes, data.data(), static_cast<int>(data.size()));
    return p;
}

void BM_ChanCod(benchmark::State& state) {
    CPackV7 p = PacketOf(static_cast<int>(state.range(0)));
    unsigned char out[CPackV7::kBufSize];
    for (auto _ : state) {
        benchmark::DoNotOptimize(p.ChanCod(out, sizeof out, kKey));
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_ChanDecod(benchmark::State& state) {
    CPackV7 p = PacketOf(static_cast<int>(state.range(0)));
    unsigned char datagram[CPackV7::kBufSize];
    const int n = p.ChanCod(datagram, sizeof datagram, kKey);
    CPackV7 q;
    for (auto _ : state) {
        if (!q.ChanDecod(datagram, n, kKey)) {
            state.SkipWithError("datagram did not decode");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// One packet out and back: what one exchange with the LU costs in coding.
void BM_ChanCodAndDecod(benchmark::State& state) {
    CPackV7 p = PacketOf(static_cast<int>(state.range(0)));
    unsigned char datagram[CPackV7::kBufSize];
    CPackV7 q;
    for (auto _ : state) {
        const int n = p.ChanCod(datagram, sizeof datagram, kKey);
        if (!q.ChanDecod(datagram, n, kKey)) {
            state.SkipWithError("datagram did not decode");
            break;
        }
        benchmark::ClobberMemory();
    }
    state.SetItemsProcessed(state.iterations());
}

}  // namespace

BENCHMARK(BM_ChanCod)->Arg(13)->Arg(64)->Arg(1021);
BENCHMARK(BM_ChanDecod)->Arg(13)->Arg(64)->Arg(1021);
BENCHMARK(BM_ChanCodAndDecod)->Arg(13)->Arg(64)->Arg(1021);
