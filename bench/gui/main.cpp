// With the real main window (offscreen): runs every job from the worker
// thread, with the emulated bridge at several speeds, and reports the longest
// stall of the GUI event loop; then loads 16 MiB into the hex view and times
// the first painted frame and the scroll to the end. Prints Markdown.

#include "loopwatch.h"
#include "paintwatch.h"
#include "urlsink.h"
#include "emulator/chipmodel.h"
#include "emulator/emulatedlink.h"
#include "emulator/pacedlink.h"
#include "hexedit/qhexedit.h"
#include "mainwindow.h"
#include "programmer/jobs/ch341.h"

#include "bridge/bridge.h"
#include "bridge/usblink.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QKeyEvent>
#include <QLoggingCategory>
#include <QRandomGenerator>
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
// A frame that has not come after this long counts as never painted.
constexpr qint64 kPaintGiveUpMs = 10000;
constexpr double kStallTargetMs = 50;

using JobSlot = void (CH341::*)();
struct Job
{
    const char *name;
    JobSlot slot;
    bool needsImage;
};
// The chip holds the image: the read dumps it, the verify matches it, the
// write erases and programs it again, the erase blanks it.
const Job kJobs[] = {{"read", &CH341::DoReadFlash, false},
                     {"verify", &CH341::DoVerifyFlash, true},
                     {"write", &CH341::DoWriteFlash, true},
                     {"erase", &CH341::DoEraseFlash, false}};

// Each speed gets a chip that keeps its jobs to seconds of real time; 0 runs
// the emulated bridge flat out, as fast as the machine allows. A CH347 at
// 30 MHz sends a 4 KiB chunk's status text and progress value every 1.25 ms,
// 25 times as often as a CH341A.
struct Speed
{
    double speedup;
    const char *chipLabel;
    emu::ChipModel (*chip)();
    ch341::BridgeKind bridge = ch341::BridgeKind::Ch341a;
    uint32_t clockKHz = 0;
};
const Speed kSpeeds[] = {
    {1, "W25Q80DV 1 MiB", emu::w25q80dv},
    {1, "CH347 30 MHz, W25Q80DV 1 MiB", emu::w25q80dv, ch341::BridgeKind::Ch347, 30000},
    {20, "W25Q64FV 8 MiB", emu::w25q64fv},
    {100, "W25Q256JV 32 MiB", emu::w25q256jv},
    {0, "W25Q256JV 32 MiB", emu::w25q256jv}};

struct JobFigures
{
    double longestStallMs = 0;
    double stallEndMs = 0; // when that stall ended, since the job started
    quint64 callsInLongestStall = 0;
    double cpuInLongestStallMs = 0;
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

// One job wired to the window the way the window wires its own jobs, on the
// emulated bridge `link` drives.
JobFigures RunJob(MainWindow &window, emu::EmulatedLink &emulated, const Job &job,
                  const QString &file)
{
    QThread thread;
    CH341 *worker = new CH341(false, nullptr);
    worker->FileName = file;
    QObject::connect(worker, &CH341::UpdateLogWindow_Text, &window,
                     &MainWindow::UpdateLogWindow_Text);
    QObject::connect(worker, &CH341::SetProgreesBar_MaxValue, &window,
                     &MainWindow::SetProgreesBar_MaxValue);
    window.ShowProgressOf(worker);
    if (job.slot == &CH341::DoVerifyFlash)
        QObject::connect(worker, &CH341::UpdateHexView, &window, &MainWindow::UpdateHexView);
    QEventLoop loop;
    JobFigures figures;
    QObject::connect(worker, &CH341::JobDone, &loop, [&figures, &loop] {
        figures.finished = true;
        loop.quit();
    });
    QObject::connect(&thread, &QThread::started, worker, job.slot);
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
    figures.callsInLongestStall = watch.callsInLongestGap();
    figures.cpuInLongestStallMs = watch.cpuInLongestGapMs();
    window.removeEventFilter(&watch);
    return figures;
}

// Every job at one speed; the figures in the order of kJobs.
std::vector<JobFigures> RunJobs(MainWindow &window, const Speed &speed, const QDir &folder)
{
    const emu::ChipModel model = speed.chip();
    auto link = std::make_unique<emu::EmulatedLink>(model, speed.bridge);
    link->chip().setRecording(false);
    emu::EmulatedLink &emulated = *link;
    const emu::HostProfile host = speed.bridge == ch341::BridgeKind::Ch347
                                      ? emu::HostProfile::HighSpeed
                                      : emu::HostProfile::Frame;
    ch341::setSpiClockKHz(speed.clockKHz);
    if (speed.speedup > 0)
        ch341::installUsbLink(
            std::make_unique<emu::PacedLink>(std::move(link), speed.speedup, host));
    else
        ch341::installUsbLink(std::move(link));

    QByteArray image(int(model.sizeBytes), Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32 *>(image.data()), image.size() / 4);
    std::copy(image.begin(), image.end(), emulated.chip().memory().begin());
    const QString imagePath = folder.filePath(QStringLiteral("image.bin"));
    QFile imageFile(imagePath);
    imageFile.open(QIODevice::WriteOnly);
    imageFile.write(image);
    imageFile.close();

    std::vector<JobFigures> figures;
    for (const Job &job : kJobs) {
        figures.push_back(
            RunJob(window, emulated, job,
                   job.needsImage ? imagePath : folder.filePath(QStringLiteral("dump.bin"))));
    }
    ch341::installUsbLink(nullptr);
    ch341::setSpiClockKHz(0);
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
    std::vector<std::vector<JobFigures>> bySpeed;
    for (const Speed &speed : kSpeeds)
        bySpeed.push_back(RunJobs(window, speed, QDir(folder.path())));
    const HexFigures hexView = TimeHexView(window, *hex);

    // One row per job: its worst stall at each speed, with the GUI thread's CPU time and the
    // queued calls the window ran in that stall, and the job's real seconds.
    out << "| job | worst stall |";
    for (const Speed &speed : kSpeeds) {
        out << ' '
            << (speed.speedup > 0 ? QString::number(speed.speedup) + QStringLiteral("x real")
                                  : QStringLiteral("flat out"))
            << ", " << speed.chipLabel << " |";
    }
    out << " target |\n|---|---:|" << QStringLiteral("---:|").repeated(int(std::size(kSpeeds)))
        << "---|\n";
    bool allFinished = true;
    double worstMs = 0;
    for (std::size_t job = 0; job < std::size(kJobs); ++job) {
        double jobWorstMs = 0;
        QString cells;
        for (const std::vector<JobFigures> &speed : bySpeed) {
            const JobFigures &f = speed[job];
            allFinished = allFinished && f.finished;
            jobWorstMs = std::max(jobWorstMs, f.longestStallMs);
            cells += ' ' + Ms(f.longestStallMs) + QStringLiteral(" (") +
                     Ms(f.cpuInLongestStallMs) + QStringLiteral(" CPU, ") +
                     QString::number(f.callsInLongestStall) + QStringLiteral(" calls, ") +
                     QString::number(f.realSeconds, 'f', 1) + QStringLiteral(" s) |");
        }
        worstMs = std::max(worstMs, jobWorstMs);
        out << "| " << kJobs[job].name << " | " << Ms(jobWorstMs) << " |" << cells
            << " under 50 ms |\n";
    }
    out << "\n| measurement | result | target |\n|---|---|---|\n";
    out << "| longest gap of the same 1 ms timer in an idle second | " << Ms(idleStallMs)
        << " | - |\n";
    out << "| GUI thread per chunk (status text and progress value, called directly) | "
        << QString::number(slotCostUs, 'f', 1) << " us | - |\n";
    out << "| one log record into the log view and log file, first of 10 | " << Series(logMs)
        << " | - |\n";
    out << "| 16 MiB into the hex view: first painted frame, first of " << kRepeats << " | "
        << Series(hexView.firstFrameMs) << " | under 100 ms |\n";
    out << "| scroll to the end with Ctrl+End, painted | " << Series(hexView.endKeyMs)
        << " | under 100 ms |\n";
    out << "| scroll to the end with the scroll bar, painted | " << Series(hexView.endBarMs)
        << " | under 100 ms |\n";
    out << "| rows painted by the smallest of those frames (of " << hex->visibleRowCount()
        << " visible) | " << hexView.fewestRowsPainted << " | all visible rows |\n";
    out.flush();

    const bool met = allFinished && worstMs < kStallTargetMs &&
                     AllUnder(hexView.firstFrameMs, 100) && AllUnder(hexView.endKeyMs, 100) &&
                     AllUnder(hexView.endBarMs, 100) && hexView.reachedEnd &&
                     hexView.fewestRowsPainted >= hex->visibleRowCount();
    if (!allFinished || !hexView.reachedEnd)
        QTextStream(stderr) << "a job or the scroll to the end did not complete\n";
    return met ? 0 : 2;
}
