// IDEA in ECB mode, our CIdeaCtx beside libgcrypt's, on the buffer sizes the program
// meets: one block, two blocks (a pass-phrase key), 520 bytes (a large relay or Disp
// packet) and 1 MiB for the bulk rate. Both ciphers are keyed once outside the
// measurement, so each iteration is one enciphering call on a warm buffer; read the
// bytes_per_second counter, or the time per iteration for the small sizes. On a shared
// machine run with --benchmark_repetitions=9 --benchmark_enable_random_interleaving=true
// so that both ciphers see the same background load.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <vector>

#include "Idea.h"

#ifdef TOLVANE_HAVE_GCRYPT
#include <gcrypt.h>
#endif

namespace {

const unsigned char kKey[16] = {0x61, 0x9C, 0x0E, 0xD3, 0x47, 0xB2, 0x88, 0x15,
                                0xF9, 0x2A, 0x6B, 0xC4, 0x30, 0x7D, 0xE1, 0x5F};

std::vector<unsigned char> RandomBytes(size_t n) {
    std::vector<unsigned char> v(n);
    std::mt19937 gen(1);
    for (auto& b : v) b = static_cast<unsigned char>(gen());
    return v;
}

void BM_IdeaOurs(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const std::vector<unsigned char> in = RandomBytes(n);
    std::vector<unsigned char> out(n);
    const CIdeaCtx ctx(kKey);
    for (auto _ : state) {
        ctx.Encrypt(in.data(), out.data(), static_cast<int>(n / 8));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}

#ifdef TOLVANE_HAVE_GCRYPT
void BM_IdeaGcrypt(benchmark::State& state) {
    const size_t n = static_cast<size_t>(state.range(0));
    const std::vector<unsigned char> in = RandomBytes(n);
    std::vector<unsigned char> out(n);
    gcry_check_version(nullptr);
    gcry_cipher_hd_t h;
    if (gcry_cipher_open(&h, GCRY_CIPHER_IDEA, GCRY_CIPHER_MODE_ECB, 0) != 0 ||
        gcry_cipher_setkey(h, kKey, sizeof kKey) != 0) {
        state.SkipWithError("libgcrypt offers no IDEA");
        return;
    }
    for (auto _ : state) {
        gcry_cipher_encrypt(h, out.data(), n, in.data(), n);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    gcry_cipher_close(h);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(n));
}
#endif

void Sizes(benchmark::internal::Benchmark* b) {
    for (int n : {8, 16, 520, 1 << 20}) b->Arg(n);
}

}  // namespace

BENCHMARK(BM_IdeaOurs)->Apply(Sizes);
#ifdef TOLVANE_HAVE_GCRYPT
BENCHMARK(BM_IdeaGcrypt)->Apply(Sizes);
#endif
