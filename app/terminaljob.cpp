#include "terminaljob.h"

#include "commandline.h"
#include "version.h"
#include "log/logwindow.h"
#include "programmer/jobs/tracelog.h"

#include <QDesktopServices>

namespace {
constexpr int kProgressIntervalMs = 100;

// SGR colours of the log's colour names; black stays the terminal's own colour.
const struct
{
    const char *name;
    const char *code;
} kTerminalColours[] = {{"red", "31"}, {"green", "32"}, {"blue", "34"}, {"gray", "90"}};
} // namespace

void Print(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

TerminalJob::TerminalJob(bool clearProtection, bool acceptSfdp, const QString &part, FILE *log)
    : m_clearProtection(clearProtection)
    , m_acceptSfdp(acceptSfdp)
    , m_part(part)
    , m_log(log)
    , m_logFile(LogFile::chooseLogFilePath(), true, true, true)
    , m_statusRelay(this,
                    [this](const QString &text) {
                        m_status = text;
                        UpdateProgress();
                    })
    , m_progressRelay(this, [this](qulonglong value) {
        m_progress = value;
        UpdateProgress();
    })
{
    m_progressInterval.setInterval(kProgressIntervalMs);
    m_progressInterval.setSingleShot(true);
    connect(&m_progressInterval, &QTimer::timeout, this, [this] {
        if (m_progressChanged)
            UpdateProgress();
    });
    QDesktopServices::setUrlHandler(QStringLiteral("file"), this, "OpenUrl");
}

TerminalJob::~TerminalJob()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
}

void TerminalJob::ReportMissingLogFile()
{
    const QString reason = LogFile::whyNoLogFile();
    if (reason.isEmpty())
        return;
    Record(reason, QColor(QStringLiteral("red")), 1, false, false, true);
    if (m_log != stderr)
        Print(stderr, (reason + QLatin1Char('\n')).toLocal8Bit());
}

int TerminalJob::Run(void (CH341::*job)(), const QString &fileName, const RegionSelection &regions,
                     bool readTwice, bool autoSpiClock, JobTrace *trace)
{
    ReportMissingLogFile();
    auto *worker = new CH341(false, nullptr);
    worker->FileName = fileName;
    worker->Regions = regions;
    worker->ReadTwice = readTwice;
    worker->AutoSpiClock = autoSpiClock;
    worker->I2cSpeedKHz = m_i2cSpeedKHz;
    worker->BackupFolder = LogFile::chooseBackupFolder();
    worker->PartName = m_part;
    if (trace)
        trace->Follow(worker);
    connect(worker, &CH341::UpdateLogWindow_Text, this, &TerminalJob::Record);
    connect(worker, &CH341::SetProgreesBar_MaxValue, this,
            [this](qulonglong maximum) { m_maximum = maximum; });
    if (m_showsProgress) {
        connect(
            worker, &CH341::Set_Label_Status_TEXT, worker,
            [this](QString text) { m_statusRelay.store(std::move(text)); }, Qt::DirectConnection);
        connect(
            worker, &CH341::UpdateProgreesBar_Value, worker,
            [this](qulonglong value) { m_progressRelay.store(value); }, Qt::DirectConnection);
    }
    connect(worker, &CH341::ClearProtection_Question, this,
            [this, worker](const QString &status) { Answer(worker, status); });
    connect(worker, &CH341::UnknownChip_Question, this,
            [this, worker](const QString &jedecId, qulonglong size) {
                AnswerUnknownChip(worker, jedecId, size);
            });
    connect(worker, &CH341::PartChoice_Question, this,
            [this, worker](const QStringList &parts) { AnswerPart(worker, parts); });
    connect(worker, &CH341::JobDone, this, [this, worker] { Finish(worker->Outcome()); });
    connect(&m_thread, &QThread::started, worker, job);
    connect(&m_thread, &QThread::finished, worker, &QObject::deleteLater);
    worker->moveToThread(&m_thread);
    m_worker = worker;
    m_timer.start();
    StopSignals::startShielded(m_thread);
    return m_loop.exec();
}

void TerminalJob::Stop()
{
    if (!m_worker)
        return;
    m_worker->RequestStop();
    ClearProgress();
    Print(stderr, "Stopping after the chip command in flight; a second signal ends the program "
                  "at once.\n");
}

void TerminalJob::Record(const QString &Message, const QColor &Colour, int Weight, bool Italic,
                         bool UnderLine, bool NewLine)
{
    const std::optional<int> code = LogWindow::weightCodeFor(Weight);
    if (!code)
        return;
    m_logFile.Write(Message, NewLine);
    m_openText += Message;
    m_openLine += Styled(Message, Colour, *code, Italic, UnderLine);
    if (!NewLine) {
        UpdateProgress();
        return;
    }
    ClearProgress();
    Print(m_log, m_openLine + '\n');
    m_openText.clear();
    m_openLine.clear();
    m_status.clear();
}

QByteArray TerminalJob::Styled(const QString &text, const QColor &colour, int weightCode,
                               bool italic, bool underLine) const
{
    if (!m_colours)
        return text.toLocal8Bit();
    QByteArrayList codes;
    if (weightCode > 1)
        codes << "1";
    if (italic)
        codes << "3";
    if (underLine)
        codes << "4";
    for (const auto &known : kTerminalColours) {
        if (colour == QColor(QLatin1String(known.name)))
            codes << known.code;
    }
    if (codes.isEmpty())
        return text.toLocal8Bit();
    return "\033[" + codes.join(';') + 'm' + text.toLocal8Bit() + "\033[0m";
}

void TerminalJob::Answer(CH341 *worker, const QString &statusRegister)
{
    ClearProgress();
    Print(stderr, QStringLiteral("The chip is write protected (Status Register: 0x%1): %2\n")
                      .arg(statusRegister,
                           m_clearProtection
                               ? QStringLiteral("clearing the protection (--yes).")
                               : QStringLiteral("leaving it protected (--yes would clear it)."))
                      .toLocal8Bit());
    // The worker sleeps until it has the answer.
    worker->AnswerClearProtection(m_clearProtection);
}

void TerminalJob::AnswerUnknownChip(CH341 *worker, const QString &jedecId, qulonglong size)
{
    ClearProgress();
    Print(stderr, QStringLiteral("The chip (JEDEC ID 0x%1) is in no chip list; its SFDP table "
                                 "gives %2 bytes: %3\n")
                      .arg(jedecId)
                      .arg(size)
                      .arg(m_acceptSfdp ? QStringLiteral("using it (--accept-sfdp).")
                                        : QStringLiteral("not using it (--accept-sfdp would)."))
                      .toLocal8Bit());
    worker->AnswerClearProtection(m_acceptSfdp);
}

void TerminalJob::AnswerPart(CH341 *worker, const QStringList &parts)
{
    // Asked only without --part: the worker takes a named part without a question.
    ClearProgress();
    Print(stderr, QStringLiteral("Parts of different sizes share the chip's identifier: %1. "
                                 "--part NAME names the one in the socket.\n")
                      .arg(parts.join(QLatin1String(", ")))
                      .toLocal8Bit());
    worker->AnswerPartChoice(QString());
}

void TerminalJob::UpdateProgress()
{
    if (!m_showsProgress)
        return;
    m_progressChanged = true;
    if (m_progressInterval.isActive())
        return;
    DrawProgress();
    m_progressInterval.start();
}

void TerminalJob::DrawProgress()
{
    m_progressChanged = false;
    QString line = m_openText + m_status;
    if (!m_status.isEmpty() && m_maximum > 0)
        line += QStringLiteral(" %1%").arg(m_progress * 100 / m_maximum);
    if (line.isEmpty()) {
        ClearProgress();
        return;
    }
    Print(stderr, "\r\033[K" + line.toLocal8Bit());
    m_progressShown = true;
}

void TerminalJob::ClearProgress()
{
    // The next line is drawn as soon as it starts.
    m_progressChanged = false;
    m_progressInterval.stop();
    if (m_progressShown)
        Print(stderr, "\r\033[K");
    m_progressShown = false;
}

int TerminalJob::Refuse(const QString &reason)
{
    m_timer.start();
    ReportMissingLogFile();
    Record(reason, QColor(QStringLiteral("red")), 1, false, false, true);
    return Conclude(CH341::JobOutcome::Failed);
}

void TerminalJob::Finish(CH341::JobOutcome outcome)
{
    m_worker = nullptr;
    m_thread.quit();
    m_thread.wait();
    m_loop.exit(Conclude(outcome));
}

int TerminalJob::Conclude(CH341::JobOutcome outcome)
{
    const QColor black(QStringLiteral("black"));
    Record(
        QStringLiteral("Operation Completed. <Performed By version %1>").arg(ApplicationVersion()),
        black, 2, false, false, true);
    Record(QStringLiteral("Elapsed Time: "), black, 1, false, false, false);
    Record(QString::number(m_timer.elapsed() / 1000) + QStringLiteral(" seconds"), black, 3, false,
           false, true);
    ClearProgress();
    if (outcome == CH341::JobOutcome::Succeeded)
        return CommandLine::Succeeded;
    // A job a signal stopped ends as the signal would have ended it.
    return m_stopSignals.received() != 0 ? 128 + m_stopSignals.received() : CommandLine::JobFailed;
}
