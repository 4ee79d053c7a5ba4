// One download job of 1 GiB from nginx on loopback over 8 connections, run by the job
// driver into a partial file and renamed: wall time, the process's CPU time per job and
// its peak resident memory. nginx is started on a free port with its files in a
// temporary folder.

#include "download/JobFiles.h"
#include "download/QNCliDrive.h"
#include "bench/BenchNginx.h"

#include <benchmark/benchmark.h>

#include <sys/resource.h>
#include <thread>

namespace {

constexpr size_t kFileSize = 1024u * 1024 * 1024;

using tq::bench::NginxProcess;

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void BM_DriverJobFromNginx(benchmark::State& state)
{
    static NginxProcess nginx(kFileSize);
    const std::string save = nginx.Dir() + "/save", store = nginx.Dir() + "/store";
    std::filesystem::create_directories(save);
    std::filesystem::create_directories(store);
    double cpu = 0;
    for (auto _ : state) {
        tq::TDLMangeData job;
        job.URL = "http://127.0.0.1:" + std::to_string(nginx.Port()) + "/big.bin";
        job.SavePath = save;
        job.FileName = "big.bin";
        job.TempFileName = std::string("big.bin.") + tq::kPartialFileExt;
        job.BlockFileName = "1.blk";
        job.MaxConnections = int32_t(state.range(0));
        const double before = CpuSeconds();
        {
            tq::QNCliDrive drive(job, store);
            drive.OpenJob(2, true);
            drive.StartThread();
            drive.WaitEnded(std::chrono::seconds(300));
        }
        cpu += CpuSeconds() - before;
        if (!job.Completed || job.DoneSize != int64_t(kFileSize)) {
            state.SkipWithError("download failed");
            break;
        }
        state.PauseTiming();
        std::filesystem::remove(save + "/big.bin");
        state.ResumeTiming();
    }
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    state.counters["cpu_s_per_job"] = cpu / double(state.iterations());
    state.counters["peak_rss_MiB"] = double(u.ru_maxrss) / 1024.0;
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(kFileSize));
}
BENCHMARK(BM_DriverJobFromNginx)->Arg(8)->Iterations(3)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace
