// With the real main window (offscreen): streams the status texts and
// progress values of a 32 MiB read from the worker thread and reports the
// longest stall of the GUI event loop; then loads 16 MiB into the hex view and
// times the first painted frame and the scroll to the end. Prints Markdown.

#include "loopwatch.h"
#include "pacedlink.h"
#include "paintwatch.h"
#include "urlsink.h"
#include "emulator/chipmodel.h"
#include "emulator/emulatedlink.h"
#include "hexedit/qhexedit.h"
#include "mainwindow.h"
#include "programmer/ch341.h"

#include "bridge/usblink.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QScrollBar>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <climits>
#include <memory>
#include <vector>

namespace {

constexpr int kHexViewBytes = 16 * 1024 * 1024;
constexpr int kRepeats = 5;
// The stall depends on how the two threads share the cores, so the read runs
// a few times and the worst run counts.
constexpr int kStreamRuns = 3;
// Paced run: 20 times a real bridge's speed, about 20 s for the 32 MiB read.
constexpr double kPacedSpeedup = 20;
// A frame that has not come after this long counts as never painted.
constexpr qint64 kPaintGiveUpMs = 10000;

struct StreamFigures
{
    double longestStallMs = 0;
    double stallEndMs = 0; // when that stall ended, since the job started
    quint64 callsInLongestStall = 0;
    quint64 mostCallsInOneGap = 0;
    quint64 ticks = 0;
    double realSeconds = 0;
    double modelledSeconds = 0;
    bool finished = false;
};

// The same watch over an idle second: what the machine alone costs.
double IdleStallMs()
{
    LoopWatch watch;
    QEventLoop loop;
    QTimer::singleShot(1000, &loop, &QEventLoop::quit);
    watch.start();
    loop.exec();
    watch.stop();
    return watch.longestGapMs();
}

// GUI-thread cost of one chunk's two slot calls, called directly, in
// microseconds; the layout and paint they cause come once at the end.
double SlotCostPerChunkUs(MainWindow &window)
{
    constexpr int kChunks = 20000;
    constexpr qulonglong kSize = 32 * 1024 * 1024;
    window.SetProgreesBar_MaxValue(kSize);
    QElapsedTimer timer;
    timer.start();
    for (int chunk = 1; chunk <= kChunks; ++chunk) {
        const qulonglong offset = qulonglong(chunk) * 256;
        window.Set_Label_Status_TEXT(QStringLiteral("Read [%1:%2]").arg(offset).arg(kSize));
        window.UpdateProgreesBar_Value(offset);
    }
    QCoreApplication::processEvents();
    const double perChunk = timer.nsecsElapsed() / 1e3 / kChunks;
    window.UpdateProgreesBar_Value(0);
    window.Set_Label_Status_TEXT(QStringLiteral("Idle."));
    return perChunk;
}

// Milliseconds each of a few log records takes to reach the log view and the
// log file, as the end of a read job logs them.
std::vector<double> LogRecordMs(MainWindow &window)
{
    std::vector<double> times;
    for (int record = 0; record < 10; ++record) {
        QElapsedTimer timer;
        timer.start();
        window.UpdateLogWindow_Text(QStringLiteral("Flash Chip Read File Saved in:"),
                                    QColor("black"), 1, false, false, true);
        window.UpdateLogWindow_Text(QStringLiteral("/tmp/dump.bin"), QColor("blue"), 1, false,
                                    false, true);
        times.push_back(timer.nsecsElapsed() / 2e6);
    }
    return times;
}

// The read job wired to the window the way the window wires its own jobs;
// with a speedup, the emulated bridge keeps to real time that many times
// faster than a real one, else it runs flat out.
StreamFigures StreamRead(MainWindow &window, const QString &dumpPath, double speedup = 0)
{
    auto link = std::make_unique<emu::EmulatedLink>(emu::w25q256jv());
    link->chip().setRecording(false);
    emu::EmulatedLink &emulated = *link;
    if (speedup > 0)
        ch341::installUsbLink(std::make_unique<PacedLink>(std::move(link), speedup));
    else
        ch341::installUsbLink(std::move(link));

    QThread thread;
    CH341 *worker = new CH341(false, nullptr);
    worker->FileName = dumpPath;
    QObject::connect(worker, &CH341::UpdateLogWindow_Text, &window,
                     &MainWindow::UpdateLogWindow_Text);
    QObject::connect(worker, &CH341::UpdateProgreesBar_Value, &window,
                     &MainWindow::UpdateProgreesBar_Value);
    QObject::connect(worker, &CH341::SetProgreesBar_MaxValue, &window,
                     &MainWindow::SetProgreesBar_MaxValue);
    QObject::connect(worker, &CH341::Set_Label_Status_TEXT, &window,
                     &MainWindow::Set_Label_Status_TEXT);
    QEventLoop loop;
    StreamFigures figures;
    QObject::connect(worker, &CH341::JobDone, &loop, [&figures, &loop] {
        figures.finished = true;
        loop.quit();
    });
    QObject::connect(&thread, &QThread::started, worker, &CH341::DoReadFlash);
    QObject::connect(&thread, &QThread::finished, worker, &QObject::deleteLater);
    worker->moveToThread(&thread);

    LoopWatch watch;
    window.installEventFilter(&watch);
    QElapsedTimer real;
    const uint64_t startNs = emulated.clock().nowNs();
    real.start();
    watch.start();
    thread.start();
    loop.exec();
    watch.stop();
    figures.realSeconds = real.nsecsElapsed() / 1e9;
    thread.quit();
    thread.wait();
    figures.modelledSeconds = (emulated.clock().nowNs() - startNs) / 1e9;
    figures.longestStallMs = watch.longestGapMs();
    figures.stallEndMs = watch.longestGapEndMs();
    figures.ticks = watch.ticks();
    figures.callsInLongestStall = watch.callsInLongestGap();
    figures.mostCallsInOneGap = watch.mostCallsInOneGap();
    window.removeEventFilter(&watch);
    ch341::installUsbLink(nullptr);
    return figures;
}

// Runs the event loop until the watched viewport has painted once more; the
// milliseconds since `timer` started, or -1 when no frame came.
double UntilPainted(const PaintWatch &paints, int paintsBefore, const QElapsedTimer &timer)
{
    while (paints.paints() == paintsBefore) {
        if (timer.elapsed() > kPaintGiveUpMs)
            return -1;
        QCoreApplication::processEvents(QEventLoop::AllEvents);
    }
    return timer.nsecsElapsed() / 1e6;
}

struct HexFigures
{
    std::vector<double> firstFrameMs;
    std::vector<double> endKeyMs;
    std::vector<double> endBarMs;
    bool reachedEnd = true;
    int fewestRowsPainted = INT_MAX; // rows drawn by the smallest measured frame
};

void SendKey(QWidget *target, int key, Qt::KeyboardModifiers modifiers)
{
    QKeyEvent press(QEvent::KeyPress, key, modifiers);
    QCoreApplication::sendEvent(target, &press);
    QKeyEvent release(QEvent::KeyRelease, key, modifiers);
    QCoreApplication::sendEvent(target, &release);
}

HexFigures TimeHexView(MainWindow &window, QHexEdit &hex)
{
    QByteArray data(kHexViewBytes, Qt::Uninitialized);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(i * 7 + (i >> 12));
    PaintWatch paints;
    hex.viewport()->installEventFilter(&paints);
    HexFigures figures;
    QScrollBar *bar = hex.verticalScrollBar();
    for (int run = 0; run < kRepeats; ++run) {
        QElapsedTimer timer;
        int before = paints.paints();
        timer.start();
        window.UpdateHexView(data);
        figures.firstFrameMs.push_back(UntilPainted(paints, before, timer));
        figures.fewestRowsPainted = std::min(figures.fewestRowsPainted, hex.paintedRowCount());

        before = paints.paints();
        timer.start();
        SendKey(&hex, Qt::Key_End, Qt::ControlModifier);
        figures.endKeyMs.push_back(UntilPainted(paints, before, timer));
        figures.fewestRowsPainted = std::min(figures.fewestRowsPainted, hex.paintedRowCount());
        figures.reachedEnd =
            figures.reachedEnd && bar->value() == bar->maximum() && bar->maximum() > 0;

        SendKey(&hex, Qt::Key_Home, Qt::ControlModifier);
        UntilPainted(paints, paints.paints(), timer);
        before = paints.paints();
        timer.start();
        bar->setValue(bar->maximum());
        figures.endBarMs.push_back(UntilPainted(paints, before, timer));
        figures.fewestRowsPainted = std::min(figures.fewestRowsPainted, hex.paintedRowCount());
    }
    hex.viewport()->removeEventFilter(&paints);
    return figures;
}

QString Ms(double value)
{
    return value < 0 ? QStringLiteral("never") : QString::number(value, 'f', 1) + " ms";
}

QString Series(std::vector<double> values)
{
    const double first = values.front();
    std::sort(values.begin(), values.end());
    return Ms(first) + " (median " + Ms(values[values.size() / 2]) + ", max " + Ms(values.back()) +
           ")";
}

bool AllUnder(const std::vector<double> &values, double limitMs)
{
    return std::all_of(values.begin(), values.end(),
                       [limitMs](double value) { return value >= 0 && value < limitMs; });
}

} // namespace

int main(int argc, char *argv[])
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication application(argc, argv);
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    QTextStream out(stdout);

    QTemporaryDir folder;
    if (!folder.isValid())
        return 1;
    // The window writes its dated log folder below the working folder.
    QDir::setCurrent(folder.path());
    UrlSink urls;
    MainWindow window;
    window.show();
    QCoreApplication::processEvents();
    QHexEdit *hex = window.findChild<QHexEdit *>();
    if (!hex)
        return 1;

    const double idleStallMs = IdleStallMs();
    const double slotCostUs = SlotCostPerChunkUs(window);
    const std::vector<double> logMs = LogRecordMs(window);
    std::vector<StreamFigures> runs;
    QString eachRun;
    for (int run = 0; run < kStreamRuns; ++run) {
        runs.push_back(StreamRead(window, folder.filePath(QStringLiteral("dump.bin"))));
        eachRun += (run ? QStringLiteral(", ") : QString()) + Ms(runs.back().longestStallMs) +
                   QStringLiteral(" at ") + Ms(runs.back().stallEndMs);
    }
    const StreamFigures stream = *std::max_element(
        runs.begin(), runs.end(), [](const StreamFigures &a, const StreamFigures &b) {
            return a.longestStallMs < b.longestStallMs;
        });
    const StreamFigures paced =
        StreamRead(window, folder.filePath(QStringLiteral("dump.bin")), kPacedSpeedup);
    const bool allFinished =
        paced.finished && std::all_of(runs.begin(), runs.end(),
                                      [](const StreamFigures &run) { return run.finished; });
    const HexFigures hexView = TimeHexView(window, *hex);

    out << "| measurement | result | target |\n|---|---|---|\n";
    out << "| longest event-loop stall while a 32 MiB read streams 131,072 status texts and "
           "progress values, worst of "
        << kStreamRuns << " runs (each run: " << eachRun << ") | " << Ms(stream.longestStallMs)
        << " | under 50 ms |\n";
    out << "| the same with the bridge paced to " << kPacedSpeedup
        << " times real USB speed (one chunk every "
        << QString::number(paced.modelledSeconds * 1e6 / 131072 / kPacedSpeedup, 'f', 0) << " us, "
        << QString::number(paced.realSeconds, 'f', 1) << " s) | " << Ms(paced.longestStallMs)
        << ", ending " << Ms(paced.stallEndMs) << " into the job | under 50 ms |\n";
    out << "| worst flat-out stall ended | " << Ms(stream.stallEndMs) << " into the job | - |\n";
    out << "| queued slot calls the window ran in that stall (most in any gap) | "
        << stream.callsInLongestStall << " (" << stream.mostCallsInOneGap << ") | - |\n";
    out << "| longest gap of the same timer in an idle second | " << Ms(idleStallMs) << " | - |\n";
    out << "| GUI thread per chunk (status text and progress value, called directly) | "
        << QString::number(slotCostUs, 'f', 1) << " us | - |\n";
    out << "| one log record into the log view and log file, first of 10 | " << Series(logMs)
        << " | - |\n";
    out << "| worker per chunk in that run (131,072 chunks) | "
        << QString::number(stream.realSeconds * 1e6 / 131072, 'f', 1) << " us | - |\n";
    out << "| ticks of the 1 ms timer in that run | " << stream.ticks << " | - |\n";
    out << "| that read, real time (modelled) | " << QString::number(stream.realSeconds, 'f', 2)
        << " s (" << QString::number(stream.modelledSeconds, 'f', 1) << " s) | - |\n";
    out << "| 16 MiB into the hex view: first painted frame, first of " << kRepeats << " | "
        << Series(hexView.firstFrameMs) << " | under 100 ms |\n";
    out << "| scroll to the end with Ctrl+End, painted | " << Series(hexView.endKeyMs)
        << " | under 100 ms |\n";
    out << "| scroll to the end with the scroll bar, painted | " << Series(hexView.endBarMs)
        << " | under 100 ms |\n";
    out << "| rows painted by the smallest of those frames (of " << hex->visibleRowCount()
        << " visible) | " << hexView.fewestRowsPainted << " | all visible rows |\n";
    out.flush();

    const bool met = allFinished && stream.longestStallMs < 50 && paced.longestStallMs < 50 &&
                     AllUnder(hexView.firstFrameMs, 100) && AllUnder(hexView.endKeyMs, 100) &&
                     AllUnder(hexView.endBarMs, 100) && hexView.reachedEnd &&
                     hexView.fewestRowsPainted >= hex->visibleRowCount();
    if (!allFinished || !hexView.reachedEnd)
        QTextStream(stderr) << "the read job or the scroll to the end did not complete\n";
    return met ? 0 : 2;
}
