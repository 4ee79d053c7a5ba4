// Block-map bookkeeping of one worker pass for a 5 GiB job (1,310,720 blocks): the
// map write, the done sum, the scan for work and a piece's clip and marks. A pass
// runs every 50 ms, so each of these must stay far below that.

#include "download/BlockMap.h"
#include "download/RangePlan.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <unistd.h>

namespace {

constexpr int64_t kSize = int64_t{5} << 30;

// Nearly finished: the worst case for the scan, which must walk to the end.
tq::TBlockMap NearlyDoneMap() {
    tq::TBlockMap map;
    map.Setup(kSize);
    map.Fill(0, map.BlockCount() - 2, tq::kBlockDone);
    return map;
}

void BM_MapSave(benchmark::State& state) {
    char dir[] = "/tmp/tq-bench-XXXXXX";
    if (!::mkdtemp(dir)) {
        state.SkipWithError("no temporary folder");
        return;
    }
    const std::string path = std::string(dir) + "/1.blk";
    tq::TBlockMap map = NearlyDoneMap();
    tq::TBlockMapFile file;
    file.Open(path, true);
    int32_t i = 0;
    for (auto _ : state) {
        map.Set(i++ % map.BlockCount(), tq::kBlockReceiving);  // a changed map each pass
        benchmark::DoNotOptimize(file.SaveIfChanged(map));
    }
    state.SetBytesProcessed(state.iterations() * map.BlockCount());
    file.Close();
    ::unlink(path.c_str());
    ::rmdir(dir);
}
BENCHMARK(BM_MapSave)->Unit(benchmark::kMicrosecond);

void BM_DoneBytes(benchmark::State& state) {
    const tq::TBlockMap map = NearlyDoneMap();
    for (auto _ : state) benchmark::DoNotOptimize(map.DoneBytes());
}
BENCHMARK(BM_DoneBytes)->Unit(benchmark::kMicrosecond);

void BM_ScanForWork(benchmark::State& state) {
    const tq::TBlockMap map = NearlyDoneMap();
    for (auto _ : state) benchmark::DoNotOptimize(tq::ScanForWork(map));
}
BENCHMARK(BM_ScanForWork)->Unit(benchmark::kMicrosecond);

// One 64 KiB piece of a range in the middle of the file.
void BM_ClipAndMarkPiece(benchmark::State& state) {
    tq::TBlockMap map;
    map.Setup(kSize);
    const tq::TBlockRange range = tq::MakeRange(600000, 700000, map.BlockCount(), kSize);
    int64_t received = 0;
    for (auto _ : state) {
        const tq::TPieceClip clip = tq::ClipPiece(range, received, 65536);
        tq::MarkPiece(map, range, clip);
        received = clip.Finished ? 0 : clip.Received;
    }
}
BENCHMARK(BM_ClipAndMarkPiece);

} // namespace
