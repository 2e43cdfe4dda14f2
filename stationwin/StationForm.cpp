#include "StationForm.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "AppPaths.h"
#include "DevicePicture.h"
#include "Fonts.h"
#include "OffThread.h"
#include "PortLogs.h"
#include "ProductionRun.h"
#include "Record.h"
#include "RecordUrl.h"
#include "SerialChannel.h"
#include "SerialPorts.h"
#include "StationLedger.h"
#include "Translate.h"

namespace kvr::stationwin {

using station::PortState;
using station::RunResult;

namespace {

constexpr int kProgressMaximum = 100;
constexpr int kRecordWatchMs = 250;
constexpr int kShiftWatchMs = 30000;
constexpr const char* kTitle = "KVRUplinker Station";
// The main window's faces (Fonts.h): the window's text, and the state word read from two metres.
constexpr const char* kTextFamily = "MS Sans Serif";
constexpr const char* kHeadFamily = "Tahoma";
constexpr int kTextPoints = 8;
constexpr int kStatePoints = 20;
constexpr int kHintPoints = 10;
// The longest a recipe's name or path is shown in the summary; the whole is its tool tip.
constexpr int kSummaryFieldPixels = 420;
constexpr int kLaneMinimumWidth = 290;
constexpr int kLaneMinimumHeight = 250;

// A lane's fill and the colour of its words: told apart from across the bench, the failures
// the loudest.
struct Colours {
    const char* fill;
    const char* text;
};

Colours ColoursOf(LaneState state) {
    switch (state) {
        case LaneState::Waiting:
            return {"#cfe0f5", "#0b3d91"};
        case LaneState::Updating:
            return {"#ffd54a", "#000000"};
        case LaneState::Done:
            return {"#2e9e44", "#ffffff"};
        case LaneState::Failed:
            return {"#d32f2f", "#ffffff"};
        case LaneState::AdapterLost:
            return {"#616161", "#ffffff"};
        case LaneState::Held:
            return {"#f08c00", "#000000"};
        case LaneState::Idle:
            break;
    }
    return {"#e0e0e0", "#424242"};
}

// The state's word, large, and what the operator is to do, below it.
QString Word(LaneState state) {
    switch (state) {
        case LaneState::Waiting:
            return Translate(QStringLiteral("Ожидание"));
        case LaneState::Updating:
            return Translate(QStringLiteral("Обновление"));
        case LaneState::Done:
            return Translate(QStringLiteral("Готово"));
        case LaneState::Failed:
            return Translate(QStringLiteral("Ошибка"));
        case LaneState::AdapterLost:
            return Translate(QStringLiteral("Нет адаптера"));
        case LaneState::Held:
            return Translate(QStringLiteral("Ждёт номер"));
        case LaneState::Idle:
            break;
    }
    return Translate(QStringLiteral("Остановлено"));
}

QString Hint(LaneState state) {
    switch (state) {
        case LaneState::Waiting:
            return Translate(QStringLiteral("Установите прибор"));
        case LaneState::Done:
        case LaneState::Failed:
            return Translate(QStringLiteral("Извлеките прибор"));
        case LaneState::AdapterLost:
            return Translate(QStringLiteral("Адаптер не отвечает"));
        case LaneState::Held:
            return Translate(QStringLiteral("Ждёт серийный номер"));
        case LaneState::Updating:
        case LaneState::Idle:
            break;
    }
    return {};
}

QString DurationText(uint64_t ms) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    if (ms < 60 * 1000)
        return QStringLiteral("%1 с").arg(russian.toString(ms / 1000.0, 'f', 1));
    const uint64_t seconds = (ms + 500) / 1000;
    return QStringLiteral("%1 мин %2 с").arg(seconds / 60).arg(seconds % 60, 2, 10, QChar(u'0'));
}

// "с первого раза: 67 % (2 из 3)", "в час: 9,0", "медиана: 41,2 с"; a dash while there is
// nothing to tell.
QStringList ShiftFields(const ShiftFigures& figures) {
    const QLocale russian(QLocale::Russian, QLocale::Russia);
    const QString none = QStringLiteral("—");
    return {QStringLiteral("%1: %2").arg(Translate(QStringLiteral("с первого раза")),
                                         figures.firstPassYield
                                             ? QStringLiteral("%1 % (%2 %3 %4)")
                                                   .arg(qRound(*figures.firstPassYield * 100))
                                                   .arg(figures.firstPass)
                                                   .arg(Translate(QStringLiteral("из")))
                                                   .arg(figures.units)
                                             : none),
            QStringLiteral("%1: %2").arg(
                Translate(QStringLiteral("в час")),
                figures.unitsPerHour ? russian.toString(*figures.unitsPerHour, 'f', 1) : none),
            QStringLiteral("%1: %2").arg(
                Translate(QStringLiteral("медиана")),
                figures.medianRunMs ? DurationText(*figures.medianRunMs) : none)};
}

// Takes no width from the layout and shows what fits, the middle left out; the whole text is
// its tool tip. Port names (by-id paths) are as long as their adapters make them.
class ElidedLabel final : public QLabel {
public:
    ElidedLabel(const QString& text, QWidget* parent) : QLabel(text, parent) {
        setToolTip(text);
        setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.setFont(font());
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    }
};

// Wraps within the width the layout gives and asks for none: a long line never widens the
// window past the screen.
void WrapInPlace(QLabel* label) {
    label->setWordWrap(true);
    label->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
}

class SystemChannels {
public:
    SerialChannelFactory serial;
    SystemClock clock;
};

SystemChannels& System() {
    static SystemChannels system;
    return system;
}

}  // namespace

TStationFrm::TStationFrm(Recipe recipe, StationFormDependencies deps, QWidget* parent)
    : QWidget(parent), recipe_(std::move(recipe)), deps_(std::move(deps)) {
    if (!deps_.prompter)
        deps_.prompter = std::make_shared<QtPrompter>();
    if (!deps_.channels)
        deps_.channels = [](int) -> IChannelFactory& { return System().serial; };
    if (!deps_.clocks)
        deps_.clocks = [](int) -> IClock& { return System().clock; };
    if (deps_.logPath.isEmpty())
        deps_.logPath = UpdateLogPath();
    shift_ = std::make_unique<ShiftTally>(
        static_cast<int>(recipe_.ports.size()),
        deps_.shiftClock != nullptr ? *deps_.shiftClock : System().clock);
    setWindowTitle(
        QStringLiteral("%1 - '%2'").arg(QLatin1String(kTitle), QFileInfo(recipe_.path).fileName()));
    setWindowIcon(DeviceIcon());
    setFont(QFont(QLatin1String(kTextFamily), kTextPoints));
    BuildLanes();
    ApplyLayoutFonts(this);
}

TStationFrm::~TStationFrm() = default;

QString TStationFrm::SummaryText() const {
    // What the recipe says, for the operator to read and not to change.
    const auto shortened = [this](const QString& text) {
        return fontMetrics().elidedText(text, Qt::ElideMiddle, kSummaryFieldPixels);
    };
    QStringList modes;
    if (recipe_.bootAll)
        modes << QStringLiteral("BootAll");
    if (recipe_.technology)
        modes << QStringLiteral("HW %1, пул %2").arg(recipe_.hardware, shortened(recipe_.pool));
    if (!recipe_.record.isEmpty())
        modes << QStringLiteral("журнал %1")
                     .arg(shortened(record::RedactedRecordText(recipe_.record)));
    modes << (recipe_.continueOnProgramMismatch
                  ? Translate(QStringLiteral("чужая версия программы: продолжать"))
                  : Translate(QStringLiteral("чужая версия программы: остановить")));
    modes << QStringLiteral("%1 %2 с")
                 .arg(Translate(QStringLiteral("извлечение")))
                 .arg(recipe_.removalMs / 1000.0);
    return QStringLiteral("%1: %2 (%3 стр.)%4")
        .arg(Translate(QStringLiteral("Пакет")),
             shortened(QFileInfo(recipe_.packagePath).fileName()))
        .arg(recipe_.package.pages.size())
        .arg(QStringLiteral("; ") + modes.join("; "));
}

QFrame* TStationFrm::BuildLane(int i, const std::vector<SerialPortDetails>& known) {
    const QString port = recipe_.ports[i];
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("Lane%1").arg(i));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setMinimumSize(kLaneMinimumWidth, kLaneMinimumHeight);
    auto* box = new QVBoxLayout(frame);
    const SerialPortDetails* details = station::DetailsOf(port, known);
    const QString adapter =
        details != nullptr ? QString::fromStdString(details->usbSerialNumber) : QString();
    auto* name = new ElidedLabel(
        adapter.isEmpty() ? port : QStringLiteral("%1 (USB %2)").arg(port, adapter), frame);
    name->setObjectName(QStringLiteral("Lane%1Port").arg(i));
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    Lane& lane = lanes_[static_cast<size_t>(i)];
    lane.stateBox = new QFrame(frame);
    lane.stateBox->setObjectName(QStringLiteral("Lane%1StateBox").arg(i));
    lane.stateBox->setAutoFillBackground(true);
    auto* stateLayout = new QVBoxLayout(lane.stateBox);
    stateLayout->setContentsMargins(6, 4, 6, 4);
    stateLayout->setSpacing(0);
    lane.stateLine = new QLabel(lane.stateBox);
    lane.stateLine->setObjectName(QStringLiteral("Lane%1State").arg(i));
    lane.stateLine->setAlignment(Qt::AlignCenter);
    QFont head(QLatin1String(kHeadFamily), kStatePoints);
    head.setBold(true);
    lane.stateLine->setFont(head);
    WrapInPlace(lane.stateLine);
    lane.stateDetail = new QLabel(lane.stateBox);
    lane.stateDetail->setObjectName(QStringLiteral("Lane%1StateDetail").arg(i));
    lane.stateDetail->setAlignment(Qt::AlignCenter);
    // Bold: thin strokes blur on a strong fill.
    QFont hint(QLatin1String(kHeadFamily), kHintPoints);
    hint.setBold(true);
    lane.stateDetail->setFont(hint);
    WrapInPlace(lane.stateDetail);
    stateLayout->addWidget(lane.stateLine);
    stateLayout->addWidget(lane.stateDetail);
    lane.bar = new QProgressBar(frame);
    lane.bar->setRange(0, kProgressMaximum);
    // The Windows style asks for a wide bar; the lane's width is the grid's to give.
    lane.bar->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
    lane.serialNumber = new QLabel(frame);
    lane.counts = new QLabel(frame);
    WrapInPlace(lane.counts);
    lane.shift = new QLabel(frame);
    lane.shift->setObjectName(QStringLiteral("Lane%1Shift").arg(i));
    WrapInPlace(lane.shift);
    lane.message = new QLabel(frame);
    lane.message->setObjectName(QStringLiteral("Lane%1Message").arg(i));
    WrapInPlace(lane.message);
    lane.message->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    box->addWidget(name);
    box->addWidget(lane.stateBox);
    box->addWidget(lane.bar);
    box->addWidget(lane.serialNumber);
    box->addWidget(lane.counts);
    box->addWidget(lane.shift);
    box->addWidget(lane.message, 1);
    return frame;
}

void TStationFrm::BuildLanes() {
    auto* root = new QVBoxLayout(this);
    auto* summary = new QLabel(SummaryText(), this);
    summary->setObjectName(QStringLiteral("RecipeSummary"));
    WrapInPlace(summary);
    root->addWidget(summary);

    auto* grid = new QGridLayout;
    const int count = static_cast<int>(recipe_.ports.size());
    const int columns = count <= 2 ? count : count <= 4 ? 2 : 4;
    const std::vector<SerialPortDetails> known = station::KnownPorts();
    lanes_.resize(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        grid->addWidget(BuildLane(i, known), i / columns, i % columns);
        Show(i, LaneState::Idle);
        ShowCounts(i);
    }
    root->addLayout(grid, 1);

    auto* bottom = new QHBoxLayout;
    start_ = new QPushButton(Translate(QStringLiteral("Запуск")), this);
    start_->setObjectName(QStringLiteral("StartButton"));
    stop_ = new QPushButton(Translate(QStringLiteral("Стоп")), this);
    stop_->setObjectName(QStringLiteral("StopButton"));
    stop_->setEnabled(false);
    totals_ = new QLabel(this);
    totals_->setObjectName(QStringLiteral("Totals"));
    WrapInPlace(totals_);
    bottom->addWidget(start_);
    bottom->addWidget(stop_);
    bottom->addWidget(totals_, 1);
    root->addLayout(bottom);
    shiftTotals_ = new QLabel(this);
    shiftTotals_->setObjectName(QStringLiteral("ShiftTotals"));
    WrapInPlace(shiftTotals_);
    root->addWidget(shiftTotals_);
    recordState_ = new QLabel(this);
    recordState_->setObjectName(QStringLiteral("RecordState"));
    WrapInPlace(recordState_);
    recordState_->setVisible(!recipe_.record.isEmpty());
    root->addWidget(recordState_);
    connect(start_, &QPushButton::clicked, this, [this] { Start(); });
    connect(stop_, &QPushButton::clicked, this, [this] { Stop(); });
    ShowTotals();
    ShowShift();
}

void TStationFrm::Show(int i, LaneState state, const QString& detail) {
    Lane& lane = lanes_[static_cast<size_t>(i)];
    lane.stateLine->setText(Word(state));
    const QString hint = Hint(state);
    lane.stateDetail->setText(detail.isEmpty() ? hint : hint + "\n" + detail);
    lane.stateDetail->setVisible(!lane.stateDetail->text().isEmpty());
    if (lane.state != state || state == LaneState::Idle) {
        const Colours colours = ColoursOf(state);
        QPalette palette = lane.stateBox->palette();
        palette.setColor(QPalette::Window, QColor(QLatin1String(colours.fill)));
        palette.setColor(QPalette::WindowText, QColor(QLatin1String(colours.text)));
        lane.stateBox->setPalette(palette);
    }
    const bool changed = lane.state != state || state == LaneState::Idle;
    lane.state = state;
    if (changed)
        emit LaneChanged(i, state);
}

void TStationFrm::ShowCounts(int i) {
    const Lane& lane = lanes_[static_cast<size_t>(i)];
    lane.counts->setText(QStringLiteral("%1: %2   %3: %4   %5: %6")
                             .arg(Translate(QStringLiteral("Обновлено")))
                             .arg(lane.updated)
                             .arg(Translate(QStringLiteral("успешно")))
                             .arg(lane.succeeded)
                             .arg(Translate(QStringLiteral("с ошибкой")))
                             .arg(lane.failed));
}

void TStationFrm::ShowTotals() {
    int updated = 0, succeeded = 0, failed = 0;
    for (const Lane& lane : lanes_) {
        updated += lane.updated;
        succeeded += lane.succeeded;
        failed += lane.failed;
    }
    QString text = QStringLiteral("%1: %2   %3: %4   %5: %6")
                       .arg(Translate(QStringLiteral("Всего обновлено")))
                       .arg(updated)
                       .arg(Translate(QStringLiteral("успешно")))
                       .arg(succeeded)
                       .arg(Translate(QStringLiteral("с ошибкой")))
                       .arg(failed);
    if (run_ && !recipe_.pool.isEmpty()) {
        const QString next = run_->NextNumber();
        text += QStringLiteral("   %1: %2")
                    .arg(Translate(QStringLiteral("Следующий номер")),
                         next.isEmpty() ? QStringLiteral("—") : next);
    }
    totals_->setText(text);
}

void TStationFrm::ShowShift() {
    for (int i = 0; i < static_cast<int>(lanes_.size()); ++i) {
        // The yield on a line of its own, begun as a sentence.
        QStringList fields = ShiftFields(shift_->Lane(i));
        fields.first()[0] = fields.first()[0].toUpper();
        lanes_[static_cast<size_t>(i)].shift->setText(fields.first() + QLatin1Char('\n') +
                                                      fields.mid(1).join(QStringLiteral("   ")));
    }
    shiftTotals_->setText(
        QStringLiteral("%1: %2").arg(Translate(QStringLiteral("Смена")),
                                     ShiftFields(shift_->Station()).join(QStringLiteral("   "))));
}

void TStationFrm::ShowRecordState(const station::RecordState& state) {
    QString text;
    if (state.connected) {
        text = Translate(QStringLiteral("Журнал линии на связи"));
        if (state.backAfterS >= 0)
            text += QStringLiteral(" (%1 %2 с, %3 %4)")
                        .arg(Translate(QStringLiteral("был недоступен")))
                        .arg(state.backAfterS)
                        .arg(Translate(QStringLiteral("отправлено записей")))
                        .arg(state.sentSinceBack);
    } else {
        text = QStringLiteral("%1 %2: %3 %4, %5 %6")
                   .arg(Translate(QStringLiteral("Журнал линии недоступен с")),
                        state.awaySince.toLocalTime().toString(QStringLiteral("HH:mm")),
                        Translate(QStringLiteral("ждут отправки записей")))
                   .arg(state.waiting)
                   .arg(Translate(QStringLiteral("номеров в запасе")))
                   .arg(state.leasedLeft);
    }
    recordState_->setText(text);
    recordState_->setStyleSheet(state.connected ? QString()
                                                : QStringLiteral("QLabel { color: #a04000; }"));
}

void TStationFrm::FinishRun() {
    if (!run_)
        return;
    delete recordWatch_;
    recordWatch_ = nullptr;
    station::ProductionRun* run = run_.get();
    station::RunOffThisThread([run] { run->Finish(); });
    run_.reset();
}

bool TStationFrm::PrepareRun() {
    // One production run for the window's life: its leases and what waits to be sent outlive
    // a Stop.
    if (run_)
        return true;
    station::ProductionSetup setup;
    setup.packagePath = recipe_.packagePath;
    setup.package = recipe_.package;
    setup.ports = recipe_.ports;
    setup.bootAll = recipe_.bootAll;
    setup.technology = recipe_.technology;
    setup.hardware = recipe_.hardware;
    setup.pool = recipe_.pool;
    setup.record = recipe_.record;
    setup.recordFolder = QFileInfo(recipe_.path).absolutePath();
    setup.updateLogPath = deps_.logPath;
    setup.repeat = true;
    setup.removalMs = recipe_.removalMs;
    setup.leaseSize = recipe_.leaseSize;
    setup.leaseRefillBelow = recipe_.leaseRefillBelow;
    setup.leaseLifetimeS = recipe_.leaseLifetimeS;
    const bool answer = recipe_.continueOnProgramMismatch;
    setup.answerQuestion = [answer](int, const QString&) { return answer; };
    QString error;
    bool usage = false;
    start_->setEnabled(false);
    station::RunOffThisThread(
        [&] { run_ = station::ProductionRun::Prepare(std::move(setup), error, usage); });
    start_->setEnabled(true);
    if (!run_) {
        deps_.prompter->ShowMessage(this, windowTitle(),
                                    usage ? QStringLiteral("Record: %1").arg(error) : error);
        return false;
    }
    return true;
}

void TStationFrm::Start() {
    if (station_ || !PrepareRun())
        return;
    station_ = run_->BuildStation(deps_.channels, deps_.clocks, *this);
    shift_->Begin();
    if (!shiftWatch_) {
        shiftWatch_ = new QTimer(this);
        connect(shiftWatch_, &QTimer::timeout, this, [this] { ShowShift(); });
        shiftWatch_->start(kShiftWatchMs);
    }
    // The record's state, looked at from this thread for the run's life (its rows go on being
    // sent after a Stop): the ledger's threads never call in.
    if (station::StationLedger* ledger = run_->Ledger(); ledger != nullptr && !recordWatch_) {
        ShowRecordState(ledger->State());
        recordWatch_ = new QTimer(this);
        connect(recordWatch_, &QTimer::timeout, this, [this, ledger] {
            for (const station::RecordState& state : ledger->TakeSaid())
                ShowRecordState(state);
        });
        recordWatch_->start(kRecordWatchMs);
    }
    start_->setEnabled(false);
    stop_->setEnabled(true);
    station_->Run();  // serves this window meanwhile
    station_.reset();
    for (int i = 0; i < static_cast<int>(lanes_.size()); ++i)
        Show(i, LaneState::Idle);
    start_->setEnabled(true);
    stop_->setEnabled(false);
    ShowTotals();
    ShowShift();
    emit StationEnded();
    if (closeWhenEnded_)
        close();
}

void TStationFrm::Stop() {
    if (!station_)
        return;
    stop_->setEnabled(false);
    station_->Stop();
}

void TStationFrm::closeEvent(QCloseEvent* event) {
    if (!station_) {
        FinishRun();
        event->accept();
        return;
    }
    const bool updating = std::any_of(lanes_.begin(), lanes_.end(),
                                      [](const Lane& l) { return l.state == LaneState::Updating; });
    if (updating &&
        !deps_.prompter->AskYesNo(
            this, windowTitle(),
            Translate(QStringLiteral("Идёт обновление. Остановить станцию и закрыть окно?")))) {
        event->ignore();
        return;
    }
    // Closes once every lane has ended.
    closeWhenEnded_ = true;
    Stop();
    event->ignore();
}

void TStationFrm::StateChanged(int port, PortState state, const QString& detail) {
    switch (state) {
        case PortState::Waiting:
            Show(port, LaneState::Waiting);
            break;
        case PortState::Updating:
            Show(port, LaneState::Updating);
            break;
        case PortState::TakeOut:
            break;  // the run's end has said done or failed
        case PortState::AdapterLost:
            Show(port, LaneState::AdapterLost, detail);
            break;
        case PortState::Held:
            Show(port, LaneState::Held, detail);
            break;
    }
}

void TStationFrm::DeviceRemoved(int port) {
    // A past success is never shown once its device has gone.
    Lane& lane = lanes_[static_cast<size_t>(port)];
    lane.message->clear();
    lane.bar->setValue(0);
    lane.serialNumber->clear();
}

void TStationFrm::RunStarted(int port, int) {
    Lane& lane = lanes_[static_cast<size_t>(port)];
    lane.bar->setValue(0);
    lane.message->clear();
    lane.serialNumber->clear();
}

void TStationFrm::Progress(int port, int position, int) {
    lanes_[static_cast<size_t>(port)].bar->setValue(qBound(0, position, kProgressMaximum));
}

void TStationFrm::Message(int port, const QString& text) {
    QLabel* message = lanes_[static_cast<size_t>(port)].message;
    message->setText(message->text().isEmpty() ? text : message->text() + "\n" + text);
}

void TStationFrm::Question(int port, const QString& text) {
    Message(port, text);
}

void TStationFrm::Answer(int port, bool yes) {
    Message(port, yes ? Translate(QStringLiteral("Да")) : Translate(QStringLiteral("Нет")));
}

void TStationFrm::SerialNumberTaken(int port, const QString& number) {
    lanes_[static_cast<size_t>(port)].serialNumber->setText(QStringLiteral("S/N %1").arg(number));
}

void TStationFrm::LogUnavailable(int port, const QString& path) {
    Message(port, QStringLiteral("log %1 does not open").arg(QDir::toNativeSeparators(path)));
}

void TStationFrm::RecordNote(int port, const QString& text) {
    Message(port, text);
}

void TStationFrm::RunEnded(int port, const RunResult& result) {
    Lane& lane = lanes_[static_cast<size_t>(port)];
    if (result.started) {
        ++lane.updated;
        ++(result.succeeded ? lane.succeeded : lane.failed);
    }
    if (!result.started && !result.outcome.isEmpty())
        Message(port, result.outcome);
    if (!result.serialNumber.isEmpty()) {
        lane.serialNumber->setText(QStringLiteral("S/N %1 %2")
                                       .arg(result.serialNumber, result.serialNumberConfirmed
                                                                     ? QStringLiteral("✓")
                                                                     : QStringLiteral("✗")));
    }
    shift_->Add(port, result);
    ShowCounts(port);
    ShowTotals();
    ShowShift();
    if (!result.stopped)
        Show(port, result.succeeded ? LaneState::Done : LaneState::Failed);
}

}  // namespace kvr::stationwin
