// Progress display of the download commands.
#include "cli/ProgressView.h"
#include "download/BlockMap.h"

#include <algorithm>

#include <gtest/gtest.h>

namespace tq::test {
namespace {

using cli::TProgressItem;
using cli::TProgressView;

constexpr uint8_t D = kBlockDone, R = kBlockReceiving, F = kBlockFree;

TEST(ProgressView, BarCellsFromTheBlockMap) {
    struct Row {
        std::vector<uint8_t> map;
        int width;
        const char* bar;
    };
    const Row rows[] = {
        {{}, 4, "...."},                             // length not known yet
        {{D, D, F, F}, 4, "##.."},
        {{D, R, 0, 3}, 4, "#>--"},                   // owned by connections 0 and 3
        {{D, D, D, F, R, 0, F, F}, 4, "#->."},      // two blocks a cell: mixed is in progress
        {{D, F}, 4, "##.."},                         // fewer blocks than cells: stretched
        {{D, D, D, D, D, D, D, R, D}, 3, "##>"},
    };
    for (const Row& r : rows) {
        EXPECT_EQ(TProgressView::Bar(r.map, r.width), r.bar);
    }
    // A big map still gives exactly width cells, one receiving block marked.
    std::vector<uint8_t> big(16384, D);
    big[16000] = R;
    const std::string bar = TProgressView::Bar(big, 60);
    EXPECT_EQ(bar.size(), 60u);
    EXPECT_EQ(bar.find('>'), 58u);
    EXPECT_EQ(std::count(bar.begin(), bar.end(), '#'), 59);
}

TEST(ProgressView, Figures) {
    EXPECT_EQ(TProgressView::FormatBytes(0), "0 B");
    EXPECT_EQ(TProgressView::FormatBytes(1023), "1023 B");
    EXPECT_EQ(TProgressView::FormatBytes(1536), "1.5 KiB");
    EXPECT_EQ(TProgressView::FormatBytes(50LL << 20), "50.0 MiB");
    EXPECT_EQ(TProgressView::FormatBytes(5LL << 40), "5.0 TiB");
    EXPECT_EQ(TProgressView::FormatDuration(-1), "--:--");
    EXPECT_EQ(TProgressView::FormatDuration(9), "00:09");
    EXPECT_EQ(TProgressView::FormatDuration(3725), "1:02:05");
    EXPECT_EQ(TProgressView::FormatDuration(1000000), "--:--");
}

TProgressItem Job(int32_t id, const std::string& name, int64_t size, int64_t done, int32_t state) {
    TProgressItem i;
    i.ID = id;
    i.Name = name;
    i.FileSize = size;
    i.DoneSize = done;
    i.State = state;
    i.Connections = 5;
    return i;
}

// Display columns of a line as a terminal counts them (CJK twice).
int Columns(const std::string& s) {
    int n = 0;
    for (size_t i = 0; i < s.size();) {
        const unsigned char c = static_cast<unsigned char>(s[i]);
        n += c >= 0xE0 ? 2 : 1;
        i += c < 0x80 ? 1 : c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
    }
    return n;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    for (size_t nl; (nl = text.find('\n', pos)) != std::string::npos; pos = nl + 1)
        lines.push_back(text.substr(pos, nl - pos));
    return lines;
}

TEST(ProgressView, TerminalRedrawsInPlaceAtMostFourTimesASecond) {
    TProgressView view(true, 64);
    const int64_t mib = 1 << 20;
    std::vector<TProgressItem> jobs = {Job(1, "a.bin", 10 * mib, 0, 1),
                                       Job(2, std::string(40, 'x') + "下载文件名很长很长.iso", 0, 0, 6)};
    jobs[0].BlockMap.assign(2560, F);

    const std::string first = view.Render(jobs, 1000);
    EXPECT_EQ(first.find("\x1b[4A"), std::string::npos) << "nothing to go back over yet";
    const auto lines = Lines(first);
    ASSERT_EQ(lines.size(), 4u);
    for (const std::string& l : lines) {
        const std::string shown = l.substr(1, l.size() - 4);  // without "\r" and "\x1b[K"
        EXPECT_LE(Columns(shown), 63) << shown << ": a wrapped line would break the redraw";
    }
    EXPECT_NE(lines[1].find("[....."), std::string::npos);
    EXPECT_NE(lines[2].find("waiting"), std::string::npos);

    jobs[0].DoneSize = mib;
    EXPECT_EQ(view.Render(jobs, 1200), "") << "too soon";
    jobs[0].DoneSize = 2 * mib;
    std::fill(jobs[0].BlockMap.begin(), jobs[0].BlockMap.begin() + 512, D);
    const std::string second = view.Render(jobs, 2000);
    EXPECT_EQ(second.rfind("\x1b[4A", 0), 0u) << "starts by going back over the four lines";
    EXPECT_NE(second.find("20.0%"), std::string::npos) << second;
    EXPECT_NE(second.find("2.0 MiB/10.0 MiB"), std::string::npos) << second;
    EXPECT_NE(second.find("2.0 MiB/s  ETA 00:04  5 conn"), std::string::npos) << second;
    EXPECT_NE(second.find("[###########-..."), std::string::npos);

    jobs[1].State = 1;  // a state change is shown at once
    EXPECT_NE(view.Render(jobs, 2050), "");

    jobs.pop_back();
    jobs[0].State = 3;
    const std::string last = view.Final(jobs, 2060);
    EXPECT_NE(last.find("completed"), std::string::npos);
    EXPECT_NE(last.find("\x1b[J"), std::string::npos) << "lines of the dropped job cleared";
}

TEST(ProgressView, JobsThatDoNotFitTheScreenGiveUpBarsThenLines) {
    std::vector<TProgressItem> jobs;
    for (int i = 1; i <= 6; ++i) jobs.push_back(Job(i, "j" + std::to_string(i), 100, 50, 1));
    struct Row {
        int height;
        size_t lines;
        const char* last;
    };
    const Row rows[] = {
        {0, 12, "  ["},           // not limited: figures and bar for each
        {13, 12, "  ["},
        {12, 6, "j6  50.0%"},     // one line per job
        {5, 4, "... and 3 more jobs"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.height);
        TProgressView view(true, 60, r.height);
        const auto lines = Lines(view.Render(jobs, 0));
        ASSERT_EQ(lines.size(), r.lines);
        EXPECT_EQ(lines.back().find(r.last), 1u) << lines.back();
        EXPECT_EQ(view.Render(jobs, 1000).rfind("\x1b[" + std::to_string(r.lines) + "A", 0), 0u)
            << "goes back over exactly what it drew";
    }
}

TEST(ProgressView, PlainLinesEveryFewSecondsAndOnEachStateChange) {
    TProgressView view(false);
    const int64_t mib = 1 << 20;
    std::vector<TProgressItem> jobs = {Job(7, "a.bin", 10 * mib, 0, 1), Job(8, "b.bin", 4 * mib, 0, 1)};

    EXPECT_EQ(Lines(view.Render(jobs, 0)).size(), 2u);
    jobs[0].DoneSize = 3 * mib;
    jobs[1].DoneSize = mib;
    EXPECT_EQ(view.Render(jobs, 1000), "") << "within the interval";

    jobs[1].State = 4;
    jobs[1].LastError = "(404 Not Found";
    const std::string failed = view.Render(jobs, 1500);
    EXPECT_EQ(failed, "[8] b.bin: failed at 25.0%: (404 Not Found\n") << "only the job that changed";

    jobs[0].DoneSize = 4 * mib;
    const std::string periodic = view.Render(jobs, 3000);
    EXPECT_NE(periodic.find("[7] a.bin: 40.0% (4.0 MiB of 10.0 MiB), 1.3 MiB/s, 00:05 left, 5 connections\n"),
              std::string::npos) << periodic;

    // A run that started over from nothing does not show a negative speed.
    jobs[0].DoneSize = 0;
    const std::string restarted = view.Render(jobs, 6000);
    EXPECT_NE(restarted.find("[7] a.bin: 0.0% (0 B of 10.0 MiB), 0 B/s, --:-- left"), std::string::npos)
        << restarted;

    jobs[0].State = 3;
    jobs[0].DoneSize = 10 * mib;
    EXPECT_EQ(view.Final(jobs, 6100), "[7] a.bin: completed, 10.0 MiB\n") << "each final state once";
    EXPECT_EQ(view.Final(jobs, 6200), "");
}

} // namespace
} // namespace tq::test
