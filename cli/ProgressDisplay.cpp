#include "ProgressDisplay.h"

#include <algorithm>
#include <string>

namespace kvr::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kProgressFull = 100;
constexpr double kMillisecondsPerSecond = 1000.0;

}  // namespace

ProgressDisplay::ProgressDisplay(std::FILE* stream, bool terminal, int pageCount, IClock& clock)
    : stream_(stream), terminal_(terminal), pageCount_(std::max(pageCount, 1)), clock_(clock) {}

void ProgressDisplay::Update(int position) {
    if (updates_ == 0)
        firstUpdateMs_ = clock_.TickMs();
    ++updates_;
    const bool changed = position != position_;
    position_ = position;
    if (terminal_) {
        DrawBar();
    } else if (changed) {
        std::fprintf(stream_, "%d%%\n", position);
        std::fflush(stream_);
    }
}

void ProgressDisplay::DrawBar() {
    const int filled = std::clamp(position_, 0, kProgressFull) * kBarWidth / kProgressFull;
    // One update per page taken, and one more at completion.
    const int pages = std::min(updates_, pageCount_);
    const uint64_t elapsedMs = clock_.TickMs() - firstUpdateMs_;
    const double rate =
        elapsedMs > 0 ? (updates_ - 1) * kMillisecondsPerSecond / static_cast<double>(elapsedMs)
                      : 0.0;
    std::fprintf(stream_, "\r[%s%s] %3d%%  %d/%d pages  %.1f pages/s  ",
                 std::string(static_cast<size_t>(filled), '#').c_str(),
                 std::string(static_cast<size_t>(kBarWidth - filled), '-').c_str(), position_,
                 pages, pageCount_, rate);
    std::fflush(stream_);
    lineOpen_ = true;
}

void ProgressDisplay::EndLine() {
    if (!lineOpen_)
        return;
    std::fputc('\n', stream_);
    std::fflush(stream_);
    lineOpen_ = false;
}

}  // namespace kvr::cli
