// The window as it looks before any run: modes, caption, the texts the operator reads and
// their fit, fonts, and resizing.
#include <QFontInfo>
#include <QFrame>
#include <QTest>

#include "Fonts.h"
#include "QtTestMain.h"
#include "WindowTestSupport.h"

using namespace kvr;
using namespace kvr::test;

class WindowLayoutTest : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir_;
    std::shared_ptr<RecordingPrompter> prompter_;

    std::unique_ptr<TFormProgFrm> MakeWindow(const QStringList& arguments, int ports = 2) {
        const CommandLineModes modes = ParseSwitches(arguments);
        SetModes(modes.technologyMode, modes.bootAllMode);
        prompter_ = std::make_shared<RecordingPrompter>();
        FormDependencies deps;
        deps.settingsPath = dir_.filePath(QStringLiteral("kvr-uplinker.ini"));
        deps.languagePath = dir_.filePath(QStringLiteral("ru.lng"));
        deps.listPorts = [ports] { return MakePorts(ports); };
        deps.prompter = prompter_;
        return std::make_unique<TFormProgFrm>(deps);
    }

private slots:
    void init() { QFile::remove(dir_.filePath(QStringLiteral("kvr-uplinker.ini"))); }
    void cleanup() { SetModes(false, false); }

    void switchesMatchWholeArgumentsOnly_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("technology");
        QTest::addColumn<bool>("bootAll");
        QTest::newRow("none") << QStringList{} << false << false;
        QTest::newRow("-t") << QStringList{"-t"} << true << false;
        QTest::newRow("-all") << QStringList{"-all"} << false << true;
        QTest::newRow("both") << QStringList{"-all", "-t"} << true << true;
        QTest::newRow("both reversed") << QStringList{"-t", "-all"} << true << true;
        QTest::newRow("repeated") << QStringList{"-t", "-t", "x"} << true << false;
        QTest::newRow("upper case") << QStringList{"-T", "-ALL"} << false << false;
        QTest::newRow("slash") << QStringList{"/t", "/all"} << false << false;
        QTest::newRow("with blanks") << QStringList{"-t ", " -all"} << false << false;
        QTest::newRow("prefixes") << QStringList{"-tt", "-al", "-all2"} << false << false;
    }
    void switchesMatchWholeArgumentsOnly() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, technology);
        QFETCH(bool, bootAll);
        const CommandLineModes modes = ParseSwitches(arguments);
        QCOMPARE(modes.technologyMode, technology);
        QCOMPARE(modes.bootAllMode, bootAll);
    }

    void captionPanelAndStartFollowTheModes_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<QString>("caption");
        QTest::addColumn<bool>("panelShown");
        QTest::addColumn<bool>("startButtonEnabled");
        QTest::newRow("none") << QStringList{} << "KVRUplinker v1.0.14" << false << true;
        QTest::newRow("-t") << QStringList{"-t"} << "KVRUplinker v1.0.14 Technology mode" << true
                            << false;
        QTest::newRow("-all") << QStringList{"-all"} << "KVRUplinker v1.0.14 BootAll" << false
                              << true;
        QTest::newRow("-all -t") << QStringList{"-all", "-t"}
                                 << "KVRUplinker v1.0.14 BootAll Technology mode" << true << false;
        QTest::newRow("-t -all") << QStringList{"-t", "-all"}
                                 << "KVRUplinker v1.0.14 BootAll Technology mode" << true << false;
    }
    void captionPanelAndStartFollowTheModes() {
        QFETCH(QStringList, arguments);
        QFETCH(QString, caption);
        QFETCH(bool, panelShown);
        QFETCH(bool, startButtonEnabled);
        auto window = MakeWindow(arguments);
        QCOMPARE(window->windowTitle(), caption);
        QCOMPARE(ApplicationTitle(), caption);
        QCOMPARE(!Find<QFrame>(window.get(), "Panel2")->isHidden(), panelShown);
        QCOMPARE(Find<QPushButton>(window.get(), "BitBtn1")->isEnabled(), startButtonEnabled);
        // The action itself stays enabled in every mode; only the button differs.
        QVERIFY(Find<QAction>(window.get(), "ActionStart")->isEnabled());
        QVERIFY(Find<QAction>(window.get(), "ActionOpenFile")->isEnabled());
        QVERIFY(Find<QAction>(window.get(), "ActionStop")->isEnabled());
    }

    // The left panel keeps its width when the window grows; the right one takes the rest, and
    // every control stays inside its panel.
    void resizingGrowsOnlyTheRightPanel() {
        auto window = MakeWindow({"-t"});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto* left = Find<QFrame>(window.get(), "Panel1");
        auto* right = Find<QFrame>(window.get(), "Panel3");
        const int leftWidth = left->width();
        QVERIFY(leftWidth > 0);
        const QSize grown = window->size() + QSize(177, 62);
        window->resize(grown);
        QCoreApplication::processEvents();
        QCOMPARE(window->size(), grown);
        QCOMPARE(left->width(), leftWidth);
        QCOMPARE(left->height(), grown.height());
        QCOMPARE(right->x(), leftWidth);
        QCOMPARE(right->width(), grown.width() - leftWidth);
        QCOMPARE(right->height(), grown.height());
        for (QFrame* panel : {left, right}) {
            for (QWidget* child : panel->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
                if (child->isHidden())
                    continue;
                QVERIFY2(panel->rect().contains(child->geometry()),
                         qPrintable(child->objectName()));
            }
        }
        // The S/N panel above the picture's, both inside the right panel.
        auto* serial = Find<QFrame>(window.get(), "Panel2");
        auto* picture = Find<QFrame>(window.get(), "Panel4");
        QVERIFY(serial->geometry().bottom() < picture->geometry().top());
    }

    void pictureSitsInTheRightPanelOutsideTechnologyMode() {
        auto window = MakeWindow({});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        auto* panel = Find<QFrame>(window.get(), "Panel4");
        auto* image = Find<QLabel>(window.get(), "Image1");
        QVERIFY(Find<QFrame>(window.get(), "Panel2")->isHidden());
        QVERIFY(image->isVisible());
        QVERIFY(!image->pixmap().isNull());
        QVERIFY(!image->geometry().isEmpty());
        QVERIFY(panel->rect().contains(image->geometry()));
        QVERIFY(Find<QFrame>(window.get(), "Panel3")->rect().contains(panel->geometry()));
    }

    // What the operator reads on the window and in its hints.
    void textsTheOperatorReads() {
        auto window = MakeWindow({"-t"});
        QWidget* w = window.get();
        QCOMPARE(Find<QLabel>(w, "Label11")->text(), QStringLiteral("Порт:"));
        QCOMPARE(Find<QLabel>(w, "Label3")->text(), QStringLiteral("Файл:"));
        QCOMPARE(Find<QLabel>(w, "Label5")->text(),
                 QStringLiteral("Совместимые аппаратные версии"));
        QCOMPARE(Find<QLabel>(w, "Label6")->text(), QStringLiteral("Версии совместимых программ"));
        QCOMPARE(Find<QLabel>(w, "Label1")->text(), QStringLiteral("Статус обновления"));
        QCOMPARE(Find<QLabel>(w, "Label2")->text(), QStringLiteral("S/N:"));
        QCOMPARE(Find<QLabel>(w, "Label7")->text(), QStringLiteral("HW:"));
        auto* start = Find<QPushButton>(w, "BitBtn1");
        QCOMPARE(start->text(), QStringLiteral("Запуск"));
        QCOMPARE(start->toolTip(), QStringLiteral("Запуск обновления"));
        QCOMPARE(Find<QAction>(w, "ActionStart")->text(), QStringLiteral("Запуск"));
        QCOMPARE(Find<QAction>(w, "ActionStop")->text(), QStringLiteral("Stop"));
        QVERIFY(Find<QAction>(w, "ActionStart")->shortcut().isEmpty());
        QVERIFY(!Find<QAction>(w, "ActionOpenFile")->icon().isNull());
        QCOMPARE(Find<QLineEdit>(w, "FileNameEdit")->toolTip(), QStringLiteral("File of update"));
        QVERIFY(Find<QLineEdit>(w, "FileNameEdit")->isReadOnly());
        QCOMPARE(Find<QComboBox>(w, "PortNameCombo")->toolTip(),
                 QStringLiteral("Communication port"));
        QVERIFY(Find<QComboBox>(w, "PortNameCombo")->isHidden());
        QCOMPARE(Find<QToolButton>(w, "SpeedButton1")->text(), QStringLiteral("+1"));
        QCOMPARE(Find<QToolButton>(w, "SpeedButton1")->toolTip(),
                 QStringLiteral("Увеличить серийный номер на 1 и создать bsk2 файл"));
        QCOMPARE(Find<QToolButton>(w, "SpeedButton2")->toolTip(),
                 QStringLiteral("Создать bsk файл с заданным серийным номером"));
        for (const char* name : {"Label4", "Label8"}) {
            auto* label = Find<QLabel>(w, name);
            QCOMPARE(label->text(), QStringLiteral("Проверка отключена"));
            QVERIFY(label->isHidden());
        }
        auto* bar = Find<QProgressBar>(w, "ProgressBar1");
        QCOMPARE(bar->minimum(), 0);
        QCOMPARE(bar->maximum(), 100);
        QCOMPARE(bar->value(), 0);
        QVERIFY(bar->toolTip().isEmpty());  // its hint is switched off
        QVERIFY(Find<QListWidget>(w, "CLMemo")->isSortingEnabled());
        QVERIFY(Find<QListWidget>(w, "SCLMemo")->isSortingEnabled());
        // No minimise or maximise box.
        QVERIFY(!(window->windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(window->windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(window->windowFlags() & Qt::WindowCloseButtonHint);
    }

    void fontsFallBackToCloseMetrics() {
        auto window = MakeWindow({"-t"});
        const QString body = EffectiveFontFamily(QStringLiteral("MS Sans Serif"));
        const QString bold = EffectiveFontFamily(QStringLiteral("Tahoma"));
        QCOMPARE(QFontInfo(Find<QLabel>(window.get(), "Label5")->font()).family(), body);
        QCOMPARE(Find<QLabel>(window.get(), "Label5")->font().pixelSize(), 11);
        const QFont snFont = Find<QLineEdit>(window.get(), "SN")->font();
        QVERIFY(snFont.bold());
        QCOMPARE(QFontInfo(snFont).family(), bold);
        QVERIFY(Find<QLabel>(window.get(), "Label2")->font().bold());
        QVERIFY(!Find<QLabel>(window.get(), "Label5")->font().bold());
        QCOMPARE(Find<QLineEdit>(window.get(), "SN")->alignment() & Qt::AlignHCenter,
                 Qt::AlignHCenter);
    }

    // Every caption must fit its fixed box: a wider fallback font (DejaVu Sans) fails here.
    void labelsAreNotClipped() {
        auto window = MakeWindow({"-t"});
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window.get()));
        const auto labels = window->findChildren<QLabel*>();
        for (QLabel* label : labels) {
            if (label->objectName() == QLatin1String("Image1"))
                continue;
            const QString what = label->objectName() + ": " + label->text();
            if (label->wordWrap()) {
                QVERIFY2(label->heightForWidth(label->width()) <= label->height(),
                         qPrintable(what));
                // No single word may be wider than the box either.
                const QFontMetrics fm(label->font());
                for (const QString& word : label->text().split(u' '))
                    QVERIFY2(fm.horizontalAdvance(word) <= label->width(), qPrintable(what));
            } else {
                QVERIFY2(label->fontMetrics().horizontalAdvance(label->text()) <= label->width(),
                         qPrintable(what));
            }
        }
        auto* start = Find<QPushButton>(window.get(), "BitBtn1");
        QVERIFY(start->fontMetrics().horizontalAdvance(start->text()) + 8 <= start->width());
        auto* plusOne = Find<QToolButton>(window.get(), "SpeedButton1");
        QVERIFY(plusOne->fontMetrics().horizontalAdvance(plusOne->text()) +
                    plusOne->iconSize().width() + 8 <=
                plusOne->width());
    }

    // Qt's own binding would enable the button on any change of its action; here only a
    // change of the action's enabled state counts, and only when the two states agreed.
    void technologyModeButtonIgnoresOtherActionChanges() {
        auto window = MakeWindow({"-t"});
        auto* action = Find<QAction>(window.get(), "ActionStart");
        auto* button = Find<QPushButton>(window.get(), "BitBtn1");
        action->setText(QStringLiteral("Запуск"));
        action->setToolTip(QStringLiteral("Запуск обновления"));
        action->setEnabled(true);
        QVERIFY(!button->isEnabled());
        action->setEnabled(false);
        QVERIFY(!button->isEnabled());
        action->setText(QStringLiteral("x"));
        QVERIFY(!button->isEnabled());
        action->setEnabled(true);
        QVERIFY(button->isEnabled());
        // Same rule for the open-file button and its action.
        auto* open = Find<QToolButton>(window.get(), "ToolButton1");
        auto* openAction = Find<QAction>(window.get(), "ActionOpenFile");
        open->setEnabled(false);
        openAction->setIcon(QIcon());
        QVERIFY(!open->isEnabled());
        openAction->setEnabled(false);
        openAction->setEnabled(true);
        QVERIFY(open->isEnabled());
    }

    void startButtonFollowsTheActionOutsideTechnologyMode() {
        auto window = MakeWindow({});
        auto* action = Find<QAction>(window.get(), "ActionStart");
        auto* button = Find<QPushButton>(window.get(), "BitBtn1");
        action->setEnabled(false);
        QVERIFY(!button->isEnabled());
        action->setEnabled(true);
        QVERIFY(button->isEnabled());
        // A change of the caption or hint does not touch the enabled state.
        action->setEnabled(false);
        action->setToolTip(QStringLiteral("x"));
        action->setText(QStringLiteral("Запуск"));
        QVERIFY(!button->isEnabled());
    }
};

KVR_QTEST_MAIN(WindowLayoutTest)
#include "WindowLayoutTest.moc"
