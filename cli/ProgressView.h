#pragma once
// Progress display of the download commands, rendered from snapshots of the jobs. On a
// terminal the lines are redrawn in place (two lines per job: figures, and a bar drawn
// from the block map); elsewhere one plain line per job is printed every few seconds
// and whenever a job's state changes. Rendering is pure: the caller passes the time
// and writes the returned text.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tq::cli {

// What the view needs of one job at one moment.
struct TProgressItem {
    int32_t ID = 0;
    std::string Name;
    int64_t FileSize = 0;          // 0: not known yet
    int64_t DoneSize = 0;
    int32_t State = 0;             // job state: 0/1 running, 2 stopped, 3 completed, 4 failed, 5, 6 waiting
    int32_t Connections = 0;       // connections of the run
    std::vector<uint8_t> BlockMap;  // one byte per block, as the job's driver keeps it
    std::string LastError;         // the job's last error line, shown when it failed
};

// Bar cells: block runs all done, in progress (owned by a connection or partly done),
// with a connection receiving in them, and not started.
constexpr char kBarDone = '#';
constexpr char kBarBusy = '-';
constexpr char kBarConn = '>';
constexpr char kBarFree = '.';

// A job state as a word: running, stopped, completed, failed, scheduled, waiting.
const char* StateWord(int32_t state);

class TProgressView {
public:
    static constexpr uint64_t kTerminalIntervalMs = 250;
    static constexpr uint64_t kPlainIntervalMs = 3000;

    // width and height: the terminal's size. Lines never wrap and never scroll the
    // picture off the screen, so redrawing stays in place: when the jobs do not fit,
    // the bars go first, then the jobs past the screen give way to a count.
    explicit TProgressView(bool terminal, int width = 80, int height = 0);

    // The text to write at nowMs (a monotonic clock); empty when nothing is due.
    std::string Render(const std::vector<TProgressItem>& items, uint64_t nowMs);
    // The last picture: drawn at once, whatever the interval.
    std::string Final(const std::vector<TProgressItem>& items, uint64_t nowMs);

    // The block map squeezed or stretched into width cells.
    static std::string Bar(const std::vector<uint8_t>& map, int width);
    static std::string FormatBytes(int64_t bytes);
    // "mm:ss", "h:mm:ss"; "--:--" when unknown (negative).
    static std::string FormatDuration(int64_t seconds);
    // Bytes per second over the last few seconds of samples; 0 until there are enough.
    int64_t SpeedOf(int32_t id) const;

private:
    struct TSample {
        uint64_t Ms;
        int64_t Done;
    };
    struct TJobTrack {
        std::vector<TSample> Samples;
        int32_t LastState = -1;
        bool Printed = false;
    };

    void Track(const std::vector<TProgressItem>& items, uint64_t nowMs);
    std::string TerminalText(const std::vector<TProgressItem>& items);
    std::string PlainText(const std::vector<TProgressItem>& items, bool all);
    std::string FiguresLine(const TProgressItem& item) const;
    std::string PlainLine(const TProgressItem& item) const;

    bool terminal_;
    int width_;
    int height_;  // 0: not limited
    bool drawnOnce_ = false;
    uint64_t lastDraw_ = 0;
    int linesDrawn_ = 0;
    std::map<int32_t, TJobTrack> tracks_;
};

} // namespace tq::cli
