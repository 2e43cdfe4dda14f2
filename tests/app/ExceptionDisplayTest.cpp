// The standard exception display's text, the serial number conversion and Qt's Russian texts.
#include <QTest>
#include <limits>
#include <stdexcept>

#include "Exception.h"
#include "ExceptionDisplay.h"
#include "QtTranslations.h"
#include "StrToInt.h"

using namespace kvr;

class ExceptionDisplayTest : public QObject {
    Q_OBJECT

private slots:
    void fullStopIsAppendedAfterCodesAboveTheDot_data() {
        QTest::addColumn<QString>("message");
        QTest::addColumn<QString>("shown");
        QTest::newRow("letter") << "Port busy"
                                << "Port busy.";
        QTest::newRow("dot") << "Done."
                             << "Done.";
        QTest::newRow("exclamation") << "Ошибка CRC!"
                                     << "Ошибка CRC!";
        QTest::newRow("closing parenthesis") << "code (5)"
                                             << "code (5)";
        QTest::newRow("comma") << "a,"
                               << "a,";
        QTest::newRow("hyphen") << "a-"
                                << "a-";
        QTest::newRow("slash") << "a/"
                               << "a/.";
        QTest::newRow("digit") << "code 5"
                               << "code 5.";
        QTest::newRow("quote") << "''x'' is not a valid integer value"
                               << "''x'' is not a valid integer value.";
        QTest::newRow("cyrillic") << "Порт занят"
                                  << "Порт занят.";
        QTest::newRow("blank") << "a "
                               << "a ";
        QTest::newRow("empty") << ""
                               << "";
    }
    void fullStopIsAppendedAfterCodesAboveTheDot() {
        QFETCH(QString, message);
        QFETCH(QString, shown);
        QCOMPARE(WithClosingFullStop(message), shown);
    }

    void innermostOfNestedErrorsIsShown() {
        std::exception_ptr error;
        try {
            try {
                try {
                    throw EFOpenError("Cannot open file \"/x\". No such file or directory");
                } catch (...) {
                    std::throw_with_nested(EInOutError("middle"));
                }
            } catch (...) {
                std::throw_with_nested(std::runtime_error("outer"));
            }
        } catch (...) {
            error = std::current_exception();
        }
        QCOMPARE(ExceptionDisplayText(error),
                 QStringLiteral("Cannot open file \"/x\". No such file or directory."));
    }

    void plainErrorsAndForeignValues() {
        QCOMPARE(ExceptionDisplayText(std::make_exception_ptr(EConvertError("Ошибка"))),
                 QStringLiteral("Ошибка."));
        QCOMPARE(ExceptionDisplayText(std::make_exception_ptr(std::logic_error("bad"))),
                 QStringLiteral("bad."));
        // The system's and the libraries' texts come in the locale's code page (the ANSI code
        // page on Windows), ours in UTF-8.
        const QString foreign = QStringLiteral("Größe: ошибка");
        const QByteArray local = foreign.toLocal8Bit();
        QCOMPARE(ExceptionDisplayText(std::make_exception_ptr(std::runtime_error(local.data()))),
                 QString::fromLocal8Bit(local) + u'.');
        if (QString::fromLocal8Bit(local) != QString::fromUtf8(local)) {
            QCOMPARE(ExceptionDisplayText(std::make_exception_ptr(EInOutError("Größe"))),
                     QStringLiteral("Größe."));
        }
        // Anything that is no exception object counts as an error with an empty message.
        QCOMPARE(ExceptionDisplayText(std::make_exception_ptr(42)), QString());
        QCOMPARE(ExceptionDisplayText(nullptr), QString());
    }

    void strToIntAcceptsDecimalInt32_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("value");
        QTest::newRow("plain") << "12345678" << 12345678;
        QTest::newRow("leading zeros") << "00000099" << 99;
        QTest::newRow("zero") << "0" << 0;
        QTest::newRow("plus") << "+7" << 7;
        QTest::newRow("minus") << "-7" << -7;
        QTest::newRow("leading blanks") << "  15" << 15;
        QTest::newRow("max") << "2147483647" << std::numeric_limits<int>::max();
        QTest::newRow("min") << "-2147483648" << std::numeric_limits<int>::min();
    }
    void strToIntAcceptsDecimalInt32() {
        QFETCH(QString, text);
        QFETCH(int, value);
        QCOMPARE(StrToInt(text), value);
    }

    void strToIntRejectsTheRest_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("empty") << "";
        QTest::newRow("blank") << " ";
        QTest::newRow("sign only") << "-";
        QTest::newRow("letters") << "12a";
        QTest::newRow("trailing blank") << "12 ";
        QTest::newRow("above max") << "2147483648";
        QTest::newRow("below min") << "-2147483649";
        QTest::newRow("very long") << "999999999999999999999999";
        QTest::newRow("hex") << "$10";
        QTest::newRow("arabic-indic digit") << QString::fromUtf8("١٢");
    }
    void strToIntRejectsTheRest() {
        QFETCH(QString, text);
        try {
            StrToInt(text);
            QFAIL("no error");
        } catch (const EConvertError& e) {
            QCOMPARE(QString::fromUtf8(e.what()),
                     QStringLiteral("''%1'' is not a valid integer value").arg(text));
        }
    }

    void qtStandardButtonsReadRussian() {
        QVERIFY(InstallQtTranslations(*QCoreApplication::instance()));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&Yes"), QStringLiteral("&Да"));
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "&No"), QStringLiteral("&Нет"));
    }
};

QTEST_GUILESS_MAIN(ExceptionDisplayTest)
#include "ExceptionDisplayTest.moc"
