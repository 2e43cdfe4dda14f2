// flash's text output for people: see StationOutput.h.
#include <QDir>
#include <algorithm>
#include <string>

#include "Cli.h"
#include "StationOutput.h"

namespace kvr::cli {

namespace {

constexpr int kBarWidth = 20;
constexpr int kProgressFull = 100;
constexpr int kLineColumns = 79;  // a line of the block must not wrap, or the redraw drifts
constexpr int kPortColumns = 24;
constexpr uint64_t kRedrawEveryMs = 100;
constexpr double kMillisecondsPerSecond = 1000.0;

// A port as a short label: the end of a long path is what tells adapters apart.
QString Label(const QString& port) {
    if (port.size() <= kPortColumns)
        return port;
    return QStringLiteral("…") + port.right(kPortColumns - 1);
}

QString Seconds(uint64_t ms) {
    return QStringLiteral("%1 s").arg(static_cast<double>(ms) / kMillisecondsPerSecond, 0, 'f', 1);
}

// Rows in columns as wide as their widest cell; the last column is not padded.
void PrintTable(CliOutput& io, const std::vector<QStringList>& rows) {
    std::vector<qsizetype> widths;
    for (const QStringList& row : rows) {
        widths.resize(std::max(widths.size(), static_cast<size_t>(row.size())), 0);
        for (qsizetype i = 0; i < row.size(); ++i)
            widths[static_cast<size_t>(i)] =
                std::max(widths[static_cast<size_t>(i)], row[i].size());
    }
    for (const QStringList& row : rows) {
        QString line;
        for (qsizetype i = 0; i < row.size(); ++i) {
            line += i + 1 < row.size()
                        ? row[i].leftJustified(widths[static_cast<size_t>(i)] + 2, u' ')
                        : row[i];
        }
        io.Out(line);
    }
}

QString SerialNumberWritten(const RunResult& r) {
    return r.serialNumberConfirmed ? QStringLiteral("written") : QStringLiteral("not confirmed");
}

QString SerialNumberState(const RunResult& r) {
    if (r.serialNumber.isEmpty())
        return QStringLiteral("-");
    return r.serialNumberConfirmed ? QStringLiteral("yes") : QStringLiteral("not confirmed");
}

}  // namespace

TextStationOutput::TextStationOutput(CliOutput& io, std::FILE* progress, bool terminal,
                                     QStringList ports, int pageCount, bool repeat, IClock& clock)
    : io_(io),
      progress_(progress),
      terminal_(terminal),
      ports_(std::move(ports)),
      pageCount_(std::max(pageCount, 1)),
      repeat_(repeat),
      clock_(clock),
      lines_(static_cast<size_t>(ports_.size())) {}

TextStationOutput::~TextStationOutput() = default;

QString TextStationOutput::Prefixed(int port, const QString& text) const {
    return Several() ? ports_[port] + QStringLiteral(": ") + text : text;
}

// A text of the run on standard output, or a note of the station on standard error, with the
// progress out of its way.
void TextStationOutput::Print(int port, const QString& text, bool note) {
    if (bar_)
        bar_->EndLine();
    ClearBlock();
    if (note)
        io_.Err(Prefixed(port, text));
    else
        io_.Out(Prefixed(port, text));
    DrawBlock(true);
}

void TextStationOutput::Out(int port, const QString& text) {
    Print(port, text, false);
}

void TextStationOutput::Note(int port, const QString& text) {
    Print(port, text, true);
}

void TextStationOutput::SetState(int port, const QString& state) {
    lines_[static_cast<size_t>(port)].state = state;
    DrawBlock(true);
}

void TextStationOutput::StateChanged(int port, PortState state, const QString& detail) {
    QString text;
    switch (state) {
        case PortState::Waiting:
            text = QStringLiteral("waiting for a device");
            break;
        case PortState::Updating:
            return;  // the update's own line and bar tell it
        case PortState::TakeOut:
            text = lines_[static_cast<size_t>(port)].succeeded
                       ? QStringLiteral("done, take the device out")
                       : QStringLiteral("failed, take the device out");
            break;
        case PortState::AdapterLost:
            text = QStringLiteral("adapter lost, the port does not open: %1").arg(detail);
            break;
        case PortState::Held:
            text = QStringLiteral("waiting: %1").arg(detail);
            break;
    }
    if (Several() && terminal_)
        SetState(port, text);
    else
        Note(port, text);
}

void TextStationOutput::DevicePresent(int port) {
    if (!(Several() && terminal_))
        Note(port, QStringLiteral("device found"));
}

void TextStationOutput::DeviceRemoved(int port) {
    if (!(Several() && terminal_))
        Note(port, QStringLiteral("device taken away"));
}

void TextStationOutput::RunStarted(int port, int run) {
    PortLine& line = lines_[static_cast<size_t>(port)];
    line = PortLine{};
    if (repeat_)
        Note(port, QStringLiteral("update %1").arg(run));
    if (!Several())
        bar_.emplace(io_, progress_, terminal_, pageCount_, clock_);
    DrawBlock(true);
}

void TextStationOutput::Progress(int port, int position, int pagesSent) {
    if (bar_) {
        bar_->Update(position);
        return;
    }
    PortLine& line = lines_[static_cast<size_t>(port)];
    const bool changed = position != line.position;
    line.position = position;
    line.pagesSent = pagesSent;
    if (terminal_) {
        DrawBlock(position >= kProgressFull);
    } else if (changed) {
        io_.Raw(progress_, Prefixed(port, QStringLiteral("%1%").arg(position)).toUtf8() + '\n');
    }
}

void TextStationOutput::Message(int port, const QString& text) {
    Out(port, text);
}

void TextStationOutput::Question(int port, const QString& text) {
    Out(port, text);
}

void TextStationOutput::Answer(int port, bool yes) {
    // Asked on the terminal, the operator's own answer is on the screen already.
    if (Several())
        Note(port, yes ? QStringLiteral("answered Yes") : QStringLiteral("answered No"));
}

void TextStationOutput::SerialNumberTaken(int port, const QString& number) {
    if (Several() || repeat_)
        Note(port, QStringLiteral("serial number %1").arg(number));
}

void TextStationOutput::LogUnavailable(int port, const QString& path) {
    Note(port, QStringLiteral("the update log %1 does not open: this port keeps no log")
                   .arg(QDir::toNativeSeparators(path)));
}

void TextStationOutput::RecordNote(int port, const QString& text) {
    Note(port, text);
}

void TextStationOutput::RunEnded(int port, const RunResult& result) {
    lines_[static_cast<size_t>(port)].succeeded = result.succeeded;
    if (bar_)
        bar_->EndLine();
    if (Several() && terminal_)
        SetState(port, result.outcome);
    if (repeat_) {
        QString line = QStringLiteral("update %1: %2, %3")
                           .arg(result.run)
                           .arg(result.outcome, Seconds(result.durationMs));
        if (!result.serialNumber.isEmpty())
            line +=
                QStringLiteral(", S/N %1 %2").arg(result.serialNumber, SerialNumberWritten(result));
        Out(port, line);
    }
}

void TextStationOutput::Stopping() {
    if (bar_)
        bar_->EndLine();
    ClearBlock();
    io_.Err(QStringLiteral("Stopping after the exchange under way (Ctrl+C again quits at once)."));
    DrawBlock(true);
}

void TextStationOutput::RecordState(const station::RecordState& state) {
    // Away: said when it happens, then at most once a minute with what waits by then.
    constexpr uint64_t kAwayRepeatMs = 60000;
    QString text;
    if (!state.connected) {
        const uint64_t now = clock_.TickMs();
        if (recordAway_ && now - recordSaidMs_ < kAwayRepeatMs)
            return;
        recordSaidMs_ = now;
        text = QStringLiteral(
                   "The line's record is away since %1: %2 rows wait in this station's "
                   "store, %3 leased numbers left; the station goes on")
                   .arg(state.awaySince.toLocalTime().toString(QStringLiteral("HH:mm:ss")))
                   .arg(state.waiting)
                   .arg(state.leasedLeft);
        if (!recordAway_ && !state.reason.isEmpty())
            text += QStringLiteral(" (%1)").arg(state.reason);
        recordAway_ = true;
    } else if (state.backAfterS >= 0) {
        text = QStringLiteral("The line's record is back after %1 s: %2 rows sent")
                   .arg(state.backAfterS)
                   .arg(state.sentSinceBack);
        recordAway_ = false;
    } else {
        return;  // connected, as before
    }
    if (bar_)
        bar_->EndLine();
    ClearBlock();
    io_.Err(text);
    DrawBlock(true);
}

void TextStationOutput::RecordLeft(int64_t waiting, const QString& store) {
    if (waiting == 0)
        return;
    if (bar_)
        bar_->EndLine();
    ClearBlock();
    io_.Err(QStringLiteral("%1 rows wait in %2 for the record: the next start of a station here "
                           "sends them")
                .arg(waiting)
                .arg(QDir::toNativeSeparators(store)));
}

void TextStationOutput::Hint(int port, const QString& text) {
    ClearBlock();
    io_.Err(Prefixed(port, text));
}

void TextStationOutput::Summary(const Station& station, const QString& nextSerialNumber,
                                int /*exitStatus: the process's own status tells*/) {
    if (bar_)
        bar_->EndLine();
    DrawBlock(true);
    drawnLines_ = 0;  // the block stays on the screen as it is
    if (!Several() && !repeat_) {
        // Beside the progress: standard output keeps only the window's texts.
        for (const RunResult& r : station.Results().front()) {
            if (!r.serialNumber.isEmpty())
                io_.Err(QStringLiteral("S/N %1 %2").arg(r.serialNumber, SerialNumberWritten(r)));
        }
        if (!nextSerialNumber.isEmpty())
            io_.Err(QStringLiteral("Next serial number: %1").arg(nextSerialNumber));
        return;
    }
    io_.Out(QString());
    std::vector<QStringList> rows;
    int succeeded = 0;
    int runs = 0;
    if (repeat_) {
        rows.push_back({QStringLiteral("Port"), QStringLiteral("Updates"),
                        QStringLiteral("Succeeded"), QStringLiteral("Failed"),
                        QStringLiteral("S/N written")});
        for (size_t i = 0; i < station.Results().size(); ++i) {
            int ok = 0;
            int written = 0;
            const auto& results = station.Results()[i];
            for (const RunResult& r : results) {
                ok += r.succeeded ? 1 : 0;
                written += r.serialNumberConfirmed ? 1 : 0;
            }
            rows.push_back({ports_[static_cast<qsizetype>(i)], QString::number(results.size()),
                            QString::number(ok),
                            QString::number(results.size() - static_cast<size_t>(ok)),
                            QString::number(written)});
            succeeded += ok;
            runs += static_cast<int>(results.size());
        }
    } else {
        rows.push_back({QStringLiteral("Port"), QStringLiteral("Outcome"), QStringLiteral("Time"),
                        QStringLiteral("S/N"), QStringLiteral("Written")});
        for (size_t i = 0; i < station.Results().size(); ++i) {
            for (const RunResult& r : station.Results()[i]) {
                rows.push_back({ports_[static_cast<qsizetype>(i)], r.outcome,
                                r.started ? Seconds(r.durationMs) : QStringLiteral("-"),
                                r.serialNumber.isEmpty() ? QStringLiteral("-") : r.serialNumber,
                                SerialNumberState(r)});
                succeeded += r.succeeded ? 1 : 0;
                ++runs;
            }
        }
    }
    PrintTable(io_, rows);
    io_.Out(QStringLiteral("%1 of %2 updates succeeded.").arg(succeeded).arg(runs));
    if (!nextSerialNumber.isEmpty())
        io_.Out(QStringLiteral("Next serial number: %1").arg(nextSerialNumber));
}

void TextStationOutput::DrawBlock(bool force) {
    if (!Several() || !terminal_)
        return;
    const uint64_t now = clock_.TickMs();
    if (!force && drawnLines_ > 0 && now - lastDrawMs_ < kRedrawEveryMs)
        return;
    lastDrawMs_ = now;
    std::string out;
    if (drawnLines_ > 0)
        out += "\x1b[" + std::to_string(drawnLines_) + "A";
    for (qsizetype i = 0; i < ports_.size(); ++i) {
        const PortLine& line = lines_[static_cast<size_t>(i)];
        QString text = Label(ports_[i]).leftJustified(kPortColumns, u' ') + QStringLiteral("  ");
        if (!line.state.isEmpty() || line.position < 0) {
            text += line.state;
        } else {
            const int filled =
                std::clamp(line.position, 0, kProgressFull) * kBarWidth / kProgressFull;
            text += QStringLiteral("[%1%2] %3%  %4/%5 pages")
                        .arg(QString(filled, u'#'), QString(kBarWidth - filled, u'-'))
                        .arg(line.position, 3)
                        .arg(std::min(line.pagesSent, pageCount_))
                        .arg(pageCount_);
        }
        out += "\r\x1b[2K" + text.left(kLineColumns).toStdString() + "\n";
    }
    drawnLines_ = static_cast<int>(ports_.size());
    io_.Raw(progress_, QByteArray::fromStdString(out));
}

void TextStationOutput::ClearBlock() {
    if (drawnLines_ == 0)
        return;
    // From the line's start: the terminal's own echo (^C) may have moved the cursor on.
    io_.Raw(progress_, "\r\x1b[" + QByteArray::number(drawnLines_) + "A\x1b[J");
    drawnLines_ = 0;
}

}  // namespace kvr::cli
