#pragma once

#include "latestvaluerelay.h"
#include "stopsignals.h"
#include "log/logfile.h"
#include "programmer/jobs/ch341.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QObject>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <cstdio>
#include <unistd.h>

class JobTrace;

// Writes bytes to stream at once.
void Print(FILE *stream, const QByteArray &bytes);

// Runs one job on the worker thread and reports it as the window does: its records go to
// standard output and to the log file, its progress to a terminal's standard error. Main thread.
class TerminalJob : public QObject
{
    Q_OBJECT

public:
    // log: standard output, or standard error when the dump goes to standard output.
    TerminalJob(bool clearProtection, bool acceptSfdp, const QString &part, FILE *log);
    ~TerminalJob() override;

    // The exit status, once the job is done.
    // readTwice: the read, or the update's backup, reads the chip twice and compares;
    // autoSpiClock: a CH347 runs the job at the fastest clock that reads the chip reliably;
    // trace: follows the job to its end; null for none.
    // regions: the part of the chip the job takes.
    int Run(void (CH341::*job)(), const QString &fileName, const RegionSelection &regions,
            bool readTwice, bool autoSpiClock, JobTrace *trace);
    // The I2C clock of a 24xx EEPROM's job, in kHz.
    void SetI2cSpeed(uint32_t kHz) { m_i2cSpeedKHz = kHz; }
    // Logs why the job cannot run, in red, and ends it there; the exit status.
    int Refuse(const QString &reason);

public slots:
    // The folder of a new dump: there is no desktop to show it.
    void OpenUrl(const QUrl &) {}

private:
    void Record(const QString &Message, const QColor &Colour, int Weight, bool Italic,
                bool UnderLine, bool NewLine);
    QByteArray Styled(const QString &text, const QColor &colour, int weightCode, bool italic,
                      bool underLine) const;
    void Answer(CH341 *worker, const QString &statusRegister);
    void AnswerUnknownChip(CH341 *worker, const QString &jedecId, qulonglong size);
    void AnswerPart(CH341 *worker, const QStringList &parts);
    // Draws the progress line now, or at the end of the current interval: a terminal
    // need not show thousands of lines a second.
    void UpdateProgress();
    void DrawProgress();
    void ClearProgress();
    // The log file that cannot be written says so, on the log and on standard error.
    void ReportMissingLogFile();
    // The exit status is the job's recorded outcome, whatever its log said.
    void Finish(CH341::JobOutcome outcome);
    // Logs the completion lines; the exit status.
    int Conclude(CH341::JobOutcome outcome);
    // The first stop signal: the worker stops at its next safe point.
    void Stop();

    const bool m_clearProtection;
    const bool m_acceptSfdp;
    const QString m_part;
    FILE *const m_log;
    uint32_t m_i2cSpeedKHz = I2cTransport::kDefaultSpeedKHz;
    const bool m_colours = isatty(fileno(m_log)) == 1;
    const bool m_showsProgress = isatty(STDERR_FILENO) == 1;
    LogFile m_logFile;
    QThread m_thread;
    QEventLoop m_loop;
    QElapsedTimer m_timer;
    // The line not ended yet: written whole, so that the progress line never splits it.
    QString m_openText;
    QByteArray m_openLine;
    QString m_status;
    qulonglong m_progress = 0;
    qulonglong m_maximum = 0;
    bool m_progressShown = false;
    bool m_progressChanged = false;
    QTimer m_progressInterval;
    LatestValueRelay<QString> m_statusRelay;
    LatestValueRelay<qulonglong> m_progressRelay;
    // The running job's worker, null once it is done.
    CH341 *m_worker = nullptr;
    StopSignals m_stopSignals{[this](int) { Stop(); }};
};
