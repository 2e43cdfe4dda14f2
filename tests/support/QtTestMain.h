// main() for Qt Test programs with a window: QTEST_MAIN's, ended as the programs end
// (EndProcess), so that a program whose threads have come and gone does not hang in the
// runtime's static destructors on Windows.
#pragma once

#include <QApplication>
#include <QTest>

#include "ProcessEnd.h"

#define KVR_QTEST_MAIN(TestObject)                                         \
    static int KvrQtTestMain(int argc, char* argv[]) {                     \
        TESTLIB_SELFCOVERAGE_START(#TestObject)                            \
        QT_PREPEND_NAMESPACE(QTest::Internal::callInitMain)<TestObject>(); \
        QTEST_MAIN_SETUP()                                                 \
        TestObject tc;                                                     \
        QTEST_SET_MAIN_SOURCE_PATH                                         \
        return QTest::qExec(&tc, argc, argv);                              \
    }                                                                      \
    int main(int argc, char* argv[]) {                                     \
        return kvr::EndProcess(KvrQtTestMain(argc, argv));                 \
    }
