// Full-block throughput of both directions of the transform (block by block and in runs) over a
// 1 MiB buffer, with a plain
// memcpy of the same bytes as the yardstick.

#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "cipher/cipher.h"

namespace {

constexpr std::size_t kBufferSize = 1 << 20;

std::vector<std::uint8_t> SampleData() {
    std::vector<std::uint8_t> data(kBufferSize);
    std::uint32_t x = 1;
    for (auto& b : data) {
        x = x * 1664525u + 1013904223u;
        b = std::uint8_t(x >> 24);
    }
    return data;
}

CipherState SampleState() {
    return InitCipherState(ParseKeyText(u"7K2Q.M9XA.4PZ1.C8RT").digits);
}

void BM_Memcpy(benchmark::State& run) {
    const std::vector<std::uint8_t> in = SampleData();
    std::vector<std::uint8_t> out(kBufferSize);
    for (auto _ : run) {
        std::memcpy(out.data(), in.data(), kBufferSize);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    run.SetBytesProcessed(std::int64_t(run.iterations()) * std::int64_t(kBufferSize));
}

// The argument chooses the full-block shuffle: 1 the processor's instruction, 0 the portable loop.
void ChooseShuffle(benchmark::State& run) {
    if (!UseVectorShuffle(run.range(0) != 0) && run.range(0) != 0) {
        run.SkipWithError("no vector shuffle on this processor");
    }
}

void BM_EncryptBlock(benchmark::State& run) {
    ChooseShuffle(run);
    const std::vector<std::uint8_t> in = SampleData();
    std::vector<std::uint8_t> out(kBufferSize);
    CipherRun cipher(SampleState());
    for (auto _ : run) {
        for (std::size_t offset = 0; offset < kBufferSize; offset += 16) {
            cipher.EncryptBlock(in.data() + offset, 16, out.data() + offset);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    run.SetBytesProcessed(std::int64_t(run.iterations()) * std::int64_t(kBufferSize));
}

void BM_DecryptBlock(benchmark::State& run) {
    ChooseShuffle(run);
    const std::vector<std::uint8_t> in = SampleData();
    std::vector<std::uint8_t> out(kBufferSize);
    CipherRun cipher(SampleState());
    std::array<std::uint8_t, 16> area{};
    for (auto _ : run) {
        for (std::size_t offset = 0; offset < kBufferSize; offset += 16) {
            cipher.DecryptBlock(in.data() + offset, 16, area);
            std::memcpy(out.data() + offset, area.data(), 16);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    run.SetBytesProcessed(std::int64_t(run.iterations()) * std::int64_t(kBufferSize));
}

// Runs of full blocks, 64 blocks (1 KiB) per call as the file operations take them.
template <void (CipherRun::*Transform)(const std::uint8_t*, std::size_t, std::uint8_t*)>
void BM_BlockRuns(benchmark::State& run) {
    ChooseShuffle(run);
    constexpr std::size_t kRun = 1024;
    const std::vector<std::uint8_t> in = SampleData();
    std::vector<std::uint8_t> out(kBufferSize);
    CipherRun cipher(SampleState());
    for (auto _ : run) {
        for (std::size_t offset = 0; offset < kBufferSize; offset += kRun) {
            (cipher.*Transform)(in.data() + offset, kRun / 16, out.data() + offset);
        }
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    run.SetBytesProcessed(std::int64_t(run.iterations()) * std::int64_t(kBufferSize));
}

BENCHMARK(BM_Memcpy);
BENCHMARK(BM_EncryptBlock)->ArgName("vector")->Arg(1)->Arg(0);
BENCHMARK(BM_DecryptBlock)->ArgName("vector")->Arg(1)->Arg(0);
BENCHMARK(BM_BlockRuns<&CipherRun::EncryptBlocks>)
    ->Name("BM_EncryptBlocks")
    ->ArgName("vector")
    ->Arg(1)
    ->Arg(0);
BENCHMARK(BM_BlockRuns<&CipherRun::DecryptBlocks>)
    ->Name("BM_DecryptBlocks")
    ->ArgName("vector")
    ->Arg(1)
    ->Arg(0);

}  // namespace

BENCHMARK_MAIN();
