// Progress display of the download commands.

#include "cli/ProgressView.h"

#include "download/BlockMap.h"

#include <algorithm>
#include <cstdio>

namespace tq::cli {

namespace {

constexpr uint64_t kSpeedWindowMs = 5000;
constexpr uint64_t kMinSpeedSpanMs = 500;

bool IsRunning(int32_t state) { return state == 0 || state == 1; }


// Columns a UTF-8 sequence takes: wide for the CJK planes (3- and 4-byte forms).
int CharColumns(unsigned char lead) { return lead >= 0xE0 ? 2 : 1; }

size_t CharBytes(unsigned char lead) {
    if (lead < 0x80) return 1;
    if (lead >= 0xF0) return 4;
    if (lead >= 0xE0) return 3;
    if (lead >= 0xC0) return 2;
    return 1;  // a stray continuation byte: step over it alone
}

// The longest head of text that fits in columns, cut between characters.
std::string FitColumns(const std::string& text, int columns) {
    int used = 0;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const int w = CharColumns(c);
        const size_t n = std::min(CharBytes(c), text.size() - i);
        if (used + w > columns) break;
        used += w;
        i += n;
    }
    return text.substr(0, i);
}

std::string Percent(int64_t done, int64_t size) {
    if (size <= 0) return "?%";
    const int64_t tenths = std::min<int64_t>(done, size) * 1000 / size;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lld.%lld%%", static_cast<long long>(tenths / 10),
                  static_cast<long long>(tenths % 10));
    return buf;
}

std::string Amount(int64_t done, int64_t size) {
    return size > 0 ? TProgressView::FormatBytes(done) + " of " + TProgressView::FormatBytes(size)
                    : TProgressView::FormatBytes(done);
}

} // namespace

const char* StateWord(int32_t state) {
    switch (state & 0xFF) {  // the low byte holds the state
    case 0:
    case 1: return "running";
    case 2: return "stopped";
    case 3: return "completed";
    case 4: return "failed";
    case 5: return "scheduled";
    case 6: return "waiting";
    default: return "unknown";
    }
}

TProgressView::TProgressView(bool terminal, int width, int height)
    : terminal_(terminal), width_(std::max(width, 20)), height_(height > 0 ? std::max(height, 3) : 0) {}

std::string TProgressView::FormatBytes(int64_t bytes) {
    static const char* const kUnits[] = {"KiB", "MiB", "GiB", "TiB"};
    char buf[32];
    if (bytes < 1024) {
        std::snprintf(buf, sizeof buf, "%lld B", static_cast<long long>(bytes));
        return buf;
    }
    double v = static_cast<double>(bytes) / 1024;
    int unit = 0;
    while (v >= 1024 && unit < 3) {
        v /= 1024;
        ++unit;
    }
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[unit]);
    return buf;
}

std::string TProgressView::FormatDuration(int64_t seconds) {
    if (seconds < 0 || seconds > 99 * 3600 + 3599) return "--:--";
    char buf[32];
    if (seconds >= 3600)
        std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                      static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
    else
        std::snprintf(buf, sizeof buf, "%02lld:%02lld", static_cast<long long>(seconds / 60),
                      static_cast<long long>(seconds % 60));
    return buf;
}

std::string TProgressView::Bar(const std::vector<uint8_t>& map, int width) {
    if (width <= 0) return {};
    std::string bar(static_cast<size_t>(width), kBarFree);
    const int64_t n = static_cast<int64_t>(map.size());
    if (n == 0) return bar;
    for (int64_t cell = 0; cell < width; ++cell) {
        const int64_t lo = cell * n / width;
        const int64_t hi = std::min(n, std::max(lo + 1, (cell + 1) * n / width));
        bool receiving = false, allDone = true, allFree = true;
        for (int64_t b = lo; b < hi; ++b) {
            const uint8_t v = map[static_cast<size_t>(b)];
            receiving |= v == kBlockReceiving;
            allDone &= v == kBlockDone;
            allFree &= v == kBlockFree;
        }
        bar[static_cast<size_t>(cell)] = receiving ? kBarConn : allDone ? kBarDone : allFree ? kBarFree : kBarBusy;
    }
    return bar;
}

int64_t TProgressView::SpeedOf(int32_t id) const {
    const auto it = tracks_.find(id);
    if (it == tracks_.end() || it->second.Samples.size() < 2) return 0;
    const TSample& first = it->second.Samples.front();
    const TSample& last = it->second.Samples.back();
    const uint64_t span = last.Ms - first.Ms;
    if (span < kMinSpeedSpanMs || last.Done <= first.Done) return 0;
    return (last.Done - first.Done) * 1000 / static_cast<int64_t>(span);
}

void TProgressView::Track(const std::vector<TProgressItem>& items, uint64_t nowMs) {
    for (const TProgressItem& item : items) {
        auto& samples = tracks_[item.ID].Samples;
        // A run that started over, or a job that is not receiving, has no speed.
        if (!IsRunning(item.State) || (!samples.empty() && item.DoneSize < samples.back().Done)) {
            samples.clear();
            if (!IsRunning(item.State)) continue;
        }
        samples.push_back({nowMs, item.DoneSize});
        while (samples.size() > 2 && samples.front().Ms + kSpeedWindowMs < nowMs)
            samples.erase(samples.begin());
    }
}

std::string TProgressView::FiguresLine(const TProgressItem& item) const {
    std::string figures = "  " + Percent(item.DoneSize, item.FileSize) + "  " +
                          (item.FileSize > 0 ? FormatBytes(item.DoneSize) + "/" + FormatBytes(item.FileSize)
                                             : FormatBytes(item.DoneSize)) +
                          "  ";
    if (IsRunning(item.State)) {
        const int64_t speed = SpeedOf(item.ID);
        const int64_t left = speed > 0 && item.FileSize > 0
                                 ? (std::max<int64_t>(item.FileSize - item.DoneSize, 0) + speed - 1) / speed
                                 : -1;
        figures += FormatBytes(speed) + "/s  ETA " + FormatDuration(left) + "  " +
                   std::to_string(item.Connections) + " conn";
    } else {
        figures += StateWord(item.State);
        if (item.State == 4 && !item.LastError.empty()) figures += ": " + item.LastError;
    }
    // The name gives way first, so the figures stay readable on a narrow terminal.
    const int nameRoom = std::max(8, width_ - 1 - static_cast<int>(figures.size()));
    return FitColumns(FitColumns(item.Name, nameRoom) + figures, width_ - 1);
}

std::string TProgressView::PlainLine(const TProgressItem& item) const {
    std::string line = "[" + std::to_string(item.ID) + "] " + item.Name + ": ";
    switch (item.State) {
    case 0:
    case 1: {
        const int64_t speed = SpeedOf(item.ID);
        const int64_t left = speed > 0 && item.FileSize > 0
                                 ? (std::max<int64_t>(item.FileSize - item.DoneSize, 0) + speed - 1) / speed
                                 : -1;
        line += Percent(item.DoneSize, item.FileSize) + " (" + Amount(item.DoneSize, item.FileSize) + "), " +
                FormatBytes(speed) + "/s, " + FormatDuration(left) + " left, " +
                std::to_string(item.Connections) + " connections";
        break;
    }
    case 3: line += "completed, " + FormatBytes(item.DoneSize); break;
    case 4:
        line += "failed at " + Percent(item.DoneSize, item.FileSize) +
                (item.LastError.empty() ? std::string() : ": " + item.LastError);
        break;
    default:
        line += std::string(StateWord(item.State)) + " at " + Percent(item.DoneSize, item.FileSize) + " (" +
                Amount(item.DoneSize, item.FileSize) + ")";
        break;
    }
    return line + "\n";
}

std::string TProgressView::TerminalText(const std::vector<TProgressItem>& items) {
    std::string out;
    // Back to the first line of the last picture, then every line rewritten and cleared.
    if (linesDrawn_ > 0) out += "\x1b[" + std::to_string(linesDrawn_) + "A";
    const int jobs = static_cast<int>(items.size());
    const int room = height_ > 0 ? height_ - 1 : 2 * jobs;
    const bool bars = 2 * jobs <= room;
    const int shown = bars || jobs <= room ? jobs : room - 1;
    int lines = 0;
    for (int i = 0; i < shown; ++i) {
        out += "\r" + FiguresLine(items[static_cast<size_t>(i)]) + "\x1b[K\n";
        ++lines;
        if (bars) {
            out += "\r  [" + Bar(items[static_cast<size_t>(i)].BlockMap, width_ - 5) + "]\x1b[K\n";
            ++lines;
        }
    }
    if (shown < jobs) {
        out += "\r... and " + std::to_string(jobs - shown) + " more jobs\x1b[K\n";
        ++lines;
    }
    if (lines < linesDrawn_) out += "\x1b[J";
    linesDrawn_ = lines;
    return out;
}

std::string TProgressView::PlainText(const std::vector<TProgressItem>& items, bool all) {
    std::string out;
    for (const TProgressItem& item : items) {
        TJobTrack& t = tracks_[item.ID];
        if (all || !t.Printed || t.LastState != item.State) out += PlainLine(item);
        t.Printed = true;
        t.LastState = item.State;
    }
    return out;
}

std::string TProgressView::Render(const std::vector<TProgressItem>& items, uint64_t nowMs) {
    Track(items, nowMs);
    const uint64_t interval = terminal_ ? kTerminalIntervalMs : kPlainIntervalMs;
    const bool due = !drawnOnce_ || nowMs - lastDraw_ >= interval;
    if (due) {
        drawnOnce_ = true;
        lastDraw_ = nowMs;
    }
    if (terminal_) {
        bool changed = false;
        for (const TProgressItem& item : items) {
            TJobTrack& t = tracks_[item.ID];
            changed |= t.LastState != item.State;
            t.LastState = item.State;
        }
        return due || changed ? TerminalText(items) : std::string();
    }
    return PlainText(items, due);
}

std::string TProgressView::Final(const std::vector<TProgressItem>& items, uint64_t nowMs) {
    Track(items, nowMs);
    if (terminal_) return TerminalText(items);
    return PlainText(items, false);
}

} // namespace tq::cli
