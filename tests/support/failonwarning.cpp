#include "failonwarning.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMutex>
#include <QMutexLocker>
#include <QTemporaryDir>
#include <QThread>

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace {
// Qt's message handler takes no context: the one test run of the process is reached from here.
struct WarningWatch
{
    QtMessageHandler testlibHandler = nullptr;
    QMutex mutex;
    // Warnings that failed no test function yet.
    QStringList unclaimed;
};

WarningWatch &Watch()
{
    static WarningWatch watch;
    return watch;
}

// The offscreen platform's notes on what it lacks, made by any widget a test shows on it.
const char *const kOffscreenLimits[] = {"This plugin does not support propagateSizeHints()",
                                        // a popup's, such as a completer's list
                                        "This plugin does not support raise()",
                                        "This plugin does not support grabbing the keyboard"};

bool IsWarning(QtMsgType type, const QString &message)
{
    if (type != QtWarningMsg && type != QtCriticalMsg)
        return false;
    if (QGuiApplication::platformName() != QLatin1String("offscreen"))
        return true;
    return std::none_of(std::begin(kOffscreenLimits), std::end(kOffscreenLimits),
                        [&message](const char *limit) { return message == QLatin1String(limit); });
}

// On the test's thread: fails the running test function with the warning, or leaves it
// unclaimed between test functions.
void FailWith(const QString &warning)
{
    if (!QTest::currentTestFunction())
        return;
    {
        QMutexLocker lock(&Watch().mutex);
        if (!Watch().unclaimed.removeOne(warning))
            return;
    }
    QTest::qFail(qPrintable(QStringLiteral("Qt warning: ") + warning), __FILE__, __LINE__);
}

void WatchMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    WarningWatch &watch = Watch();
    watch.testlibHandler(type, context, message);
    if (!IsWarning(type, message))
        return;
    {
        QMutexLocker lock(&watch.mutex);
        watch.unclaimed << message;
    }
    QCoreApplication *application = QCoreApplication::instance();
    if (!application)
        return;
    // A job's worker thread must not touch the test's results: the test's thread takes the
    // failure as soon as it handles events, which every wait for a job does.
    if (QThread::currentThread() == application->thread())
        FailWith(message);
    else
        QMetaObject::invokeMethod(
            application, [message] { FailWith(message); }, Qt::QueuedConnection);
}
} // namespace

namespace TestSupport {
int ExecFailingOnWarnings(QObject *test, int argc, char *argv[])
{
    // The jobs read the user's own chip list: a developer's or the machine's must never reach
    // them. A test that wants one sets its own.
    const QTemporaryDir userData;
    qputenv("XDG_DATA_HOME", userData.path().toLocal8Bit());
    // After qInit, whose own handler logs the messages: this one sees them first.
    QTest::qInit(test, argc, argv);
    WarningWatch &watch = Watch();
    watch.testlibHandler = qInstallMessageHandler(WatchMessage);
    int failures = QTest::qRun();
    QCoreApplication::processEvents();
    qInstallMessageHandler(watch.testlibHandler);
    QTest::qCleanup();
    QMutexLocker lock(&watch.mutex);
    for (const QString &warning : qAsConst(watch.unclaimed))
        std::fprintf(stderr, "FAIL!  : Qt warning outside a test function: %s\n",
                     qPrintable(warning));
    if (!watch.unclaimed.isEmpty())
        failures = qMax(failures, 1);
    return failures;
}
} // namespace TestSupport
