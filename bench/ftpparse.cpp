// Listing parser speed: 1,000,000 UNIX-style LIST lines per iteration, on one core.
// Target: at least 2 million lines per second in a release build.

#include "ftp/FtpParse.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

namespace {

// The lines lie in one buffer, as a received listing does.
struct Listing {
    std::string bytes;
    std::vector<std::string_view> lines;
};

const Listing& UnixListing() {
    static const Listing listing = [] {
        static const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        Listing out;
        out.bytes.reserve(80000000);
        std::vector<size_t> ends;
        ends.reserve(1000000);
        unsigned x = 12345;
        for (int i = 0; i < 1000000; ++i) {
            x = x * 1103515245u + 12345u;
            const unsigned kind = x % 10;
            std::string line = kind == 0 ? "drwxr-xr-x    2 " : kind == 1 ? "lrwxrwxrwx    1 " : "-rw-r--r--    1 ";
            line += (x >> 8) % 3 == 0 ? "verylongowner staff    " : "ftp      ftp      ";
            line += std::to_string((uint64_t(x) * 7919u) % 6000000000ULL);
            line += ' ';
            line += kMonths[(x >> 4) % 12];
            line += ' ';
            const unsigned day = 1 + (x >> 12) % 28;
            if (day < 10) line += ' ';
            line += std::to_string(day);
            if ((x >> 16) % 2) {
                line += "  ";
                line += std::to_string(1990 + (x >> 18) % 35);
            } else {
                line += ' ';
                line += std::to_string(10 + (x >> 18) % 14);
                line += ':';
                line += std::to_string(10 + (x >> 20) % 50);
            }
            line += " file number ";
            line += std::to_string(i);
            line += kind == 1 ? ".d -> target/dir" : ".dat";
            out.bytes += line;
            ends.push_back(out.bytes.size());
            out.bytes += "\r\n";
        }
        size_t begin = 0;
        for (size_t end : ends) {
            out.lines.emplace_back(out.bytes.data() + begin, end - begin);
            begin = end + 2;
        }
        return out;
    }();
    return listing;
}

constexpr tq::ListToday kToday{2026, 12, 11};

void BM_LineToFileData(benchmark::State& state) {
    const auto& lines = UnixListing().lines;
    tq::TQNFileData entry;
    int64_t parsed = 0;
    for (auto _ : state) {
        for (std::string_view line : lines) parsed += tq::LineToFileData(line, entry, tq::ftpstUNIX, kToday);
        benchmark::DoNotOptimize(entry);
    }
    if (parsed != int64_t(lines.size()) * int64_t(state.iterations())) state.SkipWithError("a line was not read");
    state.SetItemsProcessed(int64_t(lines.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_LineToFileData)->Unit(benchmark::kMillisecond);

void BM_ParseListLine(benchmark::State& state) {
    const auto& lines = UnixListing().lines;
    std::string name, attrs, link, date, size;
    bool isDir = false;
    for (auto _ : state) {
        for (std::string_view line : lines)
            tq::ParseListLine(tq::ftpstUNIX, line, name, isDir, attrs, link, date, size, kToday);
        benchmark::DoNotOptimize(name);
    }
    state.SetItemsProcessed(int64_t(lines.size()) * int64_t(state.iterations()));
}
BENCHMARK(BM_ParseListLine)->Unit(benchmark::kMillisecond);

} // namespace
