// Cost of option reads and writes on the registry: the scheduler ticks read several
// options every 200 ms, each through its own registry handle.

#include "config/TQnOption.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

std::string FreshRegistry() {
    const std::string dir = std::filesystem::temp_directory_path() /
                            ("tq-bench-" + std::to_string(getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir + "/registry.db";
}

void BM_FirstRunDefaults(benchmark::State& state) {
    for (auto _ : state) {
        state.PauseTiming();
        const std::string db = FreshRegistry();
        state.ResumeTiming();
        tq::TQNoption opt(db);
        benchmark::DoNotOptimize(&opt);
    }
}
BENCHMARK(BM_FirstRunDefaults)->Unit(benchmark::kMillisecond);

void BM_ReadIntNoHandle(benchmark::State& state) {
    const tq::TQNoption opt(FreshRegistry());
    for (auto _ : state) benchmark::DoNotOptimize(opt.ReadIntOpt(tq::ioMaxCanRunJob));
}
BENCHMARK(BM_ReadIntNoHandle)->Unit(benchmark::kMicrosecond);

void BM_ReadIntCallerHandle(benchmark::State& state) {
    const tq::TQNoption opt(FreshRegistry());
    tq::TRegistry reg(opt.RegistryPath());
    for (auto _ : state) benchmark::DoNotOptimize(opt.ReadIntOpt(tq::ioMaxCanRunJob, &reg));
}
BENCHMARK(BM_ReadIntCallerHandle)->Unit(benchmark::kMicrosecond);

void BM_WriteIntNoHandle(benchmark::State& state) {
    const tq::TQNoption opt(FreshRegistry());
    int v = 0;
    for (auto _ : state) opt.WriteIntOpt(tq::ioMaxCanRunJob, ++v % 100);
}
BENCHMARK(BM_WriteIntNoHandle)->Unit(benchmark::kMicrosecond);

void BM_FindProxyByID(benchmark::State& state) {
    const tq::TQNoption opt(FreshRegistry());
    for (int i = 0; i < 20; ++i) {
        tq::TproxyData p;
        opt.AddProxy(p);
    }
    for (auto _ : state) benchmark::DoNotOptimize(opt.FindProxyByID(15));
}
BENCHMARK(BM_FindProxyByID)->Unit(benchmark::kMicrosecond);

} // namespace
