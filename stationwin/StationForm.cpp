#include "StationForm.h"

#include <QCloseEvent>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
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
constexpr const char* kTitle = "KVRUplinker Station";

// Fills of the state line: the operator reads a lane's state from across the bench.
const char* Colour(LaneState state) {
    switch (state) {
        case LaneState::Waiting:
            return "#dce6f2";
        case LaneState::Updating:
            return "#fff1b8";
        case LaneState::Done:
            return "#bfe8bf";
        case LaneState::Failed:
            return "#f4b9b9";
        case LaneState::AdapterLost:
            return "#c9c9c9";
        case LaneState::Held:
            return "#f6dd8f";
        case LaneState::Idle:
            break;
    }
    return "#eeeeee";
}

QString Words(LaneState state) {
    switch (state) {
        case LaneState::Waiting:
            return Translate(QStringLiteral("Ожидание прибора"));
        case LaneState::Updating:
            return Translate(QStringLiteral("Обновление"));
        case LaneState::Done:
            return Translate(QStringLiteral("Готово. Извлеките прибор"));
        case LaneState::Failed:
            return Translate(QStringLiteral("Ошибка. Извлеките прибор"));
        case LaneState::AdapterLost:
            return Translate(QStringLiteral("Адаптер не отвечает"));
        case LaneState::Held:
            return Translate(QStringLiteral("Ждёт серийный номер"));
        case LaneState::Idle:
            break;
    }
    return Translate(QStringLiteral("Остановлено"));
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
    setWindowTitle(
        QStringLiteral("%1 - '%2'").arg(QLatin1String(kTitle), QFileInfo(recipe_.path).fileName()));
    setWindowIcon(DeviceIcon());
    BuildLanes();
    ApplyLayoutFonts(this);
}

TStationFrm::~TStationFrm() = default;

QString TStationFrm::SummaryText() const {
    // What the recipe says, for the operator to read and not to change.
    QStringList modes;
    if (recipe_.bootAll)
        modes << QStringLiteral("BootAll");
    if (recipe_.technology)
        modes << QStringLiteral("HW %1, пул %2").arg(recipe_.hardware, recipe_.pool);
    if (!recipe_.record.isEmpty())
        modes << QStringLiteral("журнал %1").arg(record::RedactedRecordText(recipe_.record));
    modes << (recipe_.continueOnProgramMismatch
                  ? Translate(QStringLiteral("чужая версия программы: продолжать"))
                  : Translate(QStringLiteral("чужая версия программы: остановить")));
    modes << QStringLiteral("%1 %2 с")
                 .arg(Translate(QStringLiteral("извлечение")))
                 .arg(recipe_.removalMs / 1000.0);
    return QStringLiteral("%1: %2 (%3 стр.)%4")
        .arg(Translate(QStringLiteral("Пакет")), QFileInfo(recipe_.packagePath).fileName())
        .arg(recipe_.package.pages.size())
        .arg(QStringLiteral("; ") + modes.join("; "));
}

QFrame* TStationFrm::BuildLane(int i, const std::vector<SerialPortDetails>& known) {
    const QString port = recipe_.ports[i];
    auto* frame = new QFrame(this);
    frame->setObjectName(QStringLiteral("Lane%1").arg(i));
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setMinimumSize(300, 250);
    auto* box = new QVBoxLayout(frame);
    const SerialPortDetails* details = station::DetailsOf(port, known);
    const QString adapter =
        details != nullptr ? QString::fromStdString(details->usbSerialNumber) : QString();
    auto* name = new QLabel(
        adapter.isEmpty() ? port : QStringLiteral("%1 (USB %2)").arg(port, adapter), frame);
    QFont bold = name->font();
    bold.setBold(true);
    name->setFont(bold);
    Lane& lane = lanes_[static_cast<size_t>(i)];
    lane.stateLine = new QLabel(frame);
    lane.stateLine->setObjectName(QStringLiteral("Lane%1State").arg(i));
    lane.stateLine->setAlignment(Qt::AlignCenter);
    lane.stateLine->setMinimumHeight(48);
    lane.stateLine->setWordWrap(true);
    lane.bar = new QProgressBar(frame);
    lane.bar->setRange(0, kProgressMaximum);
    lane.serialNumber = new QLabel(frame);
    lane.counts = new QLabel(frame);
    lane.message = new QLabel(frame);
    lane.message->setObjectName(QStringLiteral("Lane%1Message").arg(i));
    lane.message->setWordWrap(true);
    lane.message->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    box->addWidget(name);
    box->addWidget(lane.stateLine);
    box->addWidget(lane.bar);
    box->addWidget(lane.serialNumber);
    box->addWidget(lane.counts);
    box->addWidget(lane.message, 1);
    return frame;
}

void TStationFrm::BuildLanes() {
    auto* root = new QVBoxLayout(this);
    auto* summary = new QLabel(SummaryText(), this);
    summary->setObjectName(QStringLiteral("RecipeSummary"));
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
    bottom->addWidget(start_);
    bottom->addWidget(stop_);
    bottom->addWidget(totals_, 1);
    root->addLayout(bottom);
    recordState_ = new QLabel(this);
    recordState_->setObjectName(QStringLiteral("RecordState"));
    recordState_->setWordWrap(true);
    recordState_->setVisible(!recipe_.record.isEmpty());
    root->addWidget(recordState_);
    connect(start_, &QPushButton::clicked, this, [this] { Start(); });
    connect(stop_, &QPushButton::clicked, this, [this] { Stop(); });
    ShowTotals();
}

void TStationFrm::Show(int i, LaneState state, const QString& detail) {
    Lane& lane = lanes_[static_cast<size_t>(i)];
    lane.stateLine->setText(detail.isEmpty() ? Words(state) : Words(state) + "\n" + detail);
    lane.stateLine->setStyleSheet(QStringLiteral("QLabel { background: %1; border-radius: 4px; }")
                                      .arg(QLatin1String(Colour(state))));
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
    ShowCounts(port);
    ShowTotals();
    if (!result.stopped)
        Show(port, result.succeeded ? LaneState::Done : LaneState::Failed);
}

}  // namespace kvr::stationwin
