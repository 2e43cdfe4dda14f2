#include "ProgressDisplay.h"

#include <QString>
#include <algorithm>

namespace kvr::cli {

namespace {

constexpr int kBarWidth = 30;
constexpr int kProgressFull = 100;
constexpr double kMillisecondsPerSecond = 1000.0;

}  // namespace

ProgressDisplay::ProgressDisplay(CliOutput& io, std::FILE* stream, bool terminal, int pageCount,
                                 IClock& clock)
    : io_(io),
      stream_(stream),
      terminal_(terminal),
      pageCount_(std::max(pageCount, 1)),
      clock_(clock) {}

void ProgressDisplay::Update(int position) {
    if (updates_ == 0)
        firstUpdateMs_ = clock_.TickMs();
    ++updates_;
    const bool changed = position != position_;
    position_ = position;
    if (terminal_) {
        DrawBar();
    } else if (changed) {
        io_.Raw(stream_, QByteArray::number(position) + "%\n");
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
    io_.Raw(stream_, QStringLiteral("\r[%1%2] %3%  %4/%5 pages  %6 pages/s  ")
                         .arg(QString(filled, u'#'), QString(kBarWidth - filled, u'-'))
                         .arg(position_, 3)
                         .arg(pages)
                         .arg(pageCount_)
                         .arg(rate, 0, 'f', 1)
                         .toUtf8());
    lineOpen_ = true;
}

void ProgressDisplay::EndLine() {
    if (!lineOpen_)
        return;
    io_.Raw(stream_, "\n");
    lineOpen_ = false;
}

}  // namespace kvr::cli
