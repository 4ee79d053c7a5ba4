// One HTTP connection from nginx on loopback into memory: the rate at which THttpCli
// reads a large body and hands it on. nginx is started on a free port with its files in
// a temporary folder.

#include "download/HttpProtqn.h"
#include "platform/EventLoop.h"
#include "bench/BenchNginx.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <thread>

namespace {

constexpr size_t kFileSize = 512u * 1024 * 1024;

using tq::bench::NginxProcess;

void BM_HttpGetIntoMemory(benchmark::State& state)
{
    static NginxProcess nginx(kFileSize);
    tq::TEventLoop loop;
    tq::THttpCli cli(loop);
    std::string memory(kFileSize, '\0');
    size_t at = 0;
    bool done = false;
    int error = 0;
    cli.OnDocData = [&](tq::THttpCli*, const char* data, int32_t len) {
        if (at + size_t(len) <= memory.size())
            std::memcpy(memory.data() + at, data, size_t(len));
        at += size_t(len);
    };
    cli.OnRequestDone = [&](tq::THttpCli*, tq::THttpRequest, int e) {
        done = true;
        error = e;
    };
    for (auto _ : state) {
        at = 0;
        done = false;
        cli.TargetHost = "127.0.0.1";
        cli.TargetPort = std::to_string(nginx.Port());
        cli.TargetPath = "/big.bin";
        cli.GetASync();
        loop.PumpUntil([&] { return done; }, std::chrono::seconds(120));
        if (!done || error || at != kFileSize) {
            state.SkipWithError("download failed");
            break;
        }
        benchmark::DoNotOptimize(memory.data());
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_HttpGetIntoMemory)->Unit(benchmark::kMillisecond)->MinTime(3.0)->UseRealTime();

} // namespace
