#pragma once

// The test programs' main: a Qt warning or critical message that a test or a job prints fails
// the test function it came in (at once on the test's thread, at the next event otherwise),
// and one that no test function can take fails the program. Every test program ends with
// VARNOCK_TEST_MAIN or VARNOCK_TEST_GUILESS_MAIN instead of Qt's QTEST_MAIN.

#include <QtTest>

class QObject;

namespace TestSupport {
// QTest::qExec, with the warnings failing the tests.
int ExecFailingOnWarnings(QObject *test, int argc, char *argv[]);
} // namespace TestSupport

#if defined(QT_WIDGETS_LIB)
#include <QApplication>
#define VARNOCK_TEST_APPLICATION QApplication
#elif defined(QT_GUI_LIB)
#include <QGuiApplication>
#define VARNOCK_TEST_APPLICATION QGuiApplication
#else
#define VARNOCK_TEST_APPLICATION QCoreApplication
#endif

#define VARNOCK_TEST_MAIN_WITH(Application, TestObject)                                           \
    int main(int argc, char *argv[])                                                              \
    {                                                                                             \
        QTest::Internal::callInitMain<TestObject>();                                              \
        Application app(argc, argv);                                                              \
        app.setAttribute(Qt::AA_Use96Dpi, true);                                                  \
        TestObject test;                                                                          \
        QTEST_SET_MAIN_SOURCE_PATH                                                                \
        return TestSupport::ExecFailingOnWarnings(&test, argc, argv);                             \
    }

#define VARNOCK_TEST_MAIN(TestObject) VARNOCK_TEST_MAIN_WITH(VARNOCK_TEST_APPLICATION, TestObject)
#define VARNOCK_TEST_GUILESS_MAIN(TestObject) VARNOCK_TEST_MAIN_WITH(QCoreApplication, TestObject)
